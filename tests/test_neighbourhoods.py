"""Neighbourhoods of plov.Index beyond a plain query: each point's own k nearest
(`query_self`, `knn_graph`), searches started at hints, and balls (`query_ball_point`),
each against brute force in the points' precision."""

import numpy as np
import pytest

import plov
from plov import _index


def distances(x, y):
    """All distances from the rows of x to those of y as the search computes them:
    sqrt((dx*dx + dy*dy) + dz*dz) in the points' precision."""
    d = [x[:, None, a] - y[None, :, a] for a in range(3)]
    return np.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])


def brute_rows(d, k, r=None):
    """The k smallest entries of each row of d in (distance, column) order, misses
    (inf, number of columns)."""
    m, n = d.shape
    dists = np.full((m, k), np.inf, d.dtype)
    idx = np.full((m, k), n, np.int64)
    for i in range(m):
        order = np.lexsort((np.arange(n), d[i]))[:k]
        order = order[np.isfinite(d[i, order]) & ((r is None) or (d[i, order] <= d.dtype.type(r)))]
        dists[i, :len(order)], idx[i, :len(order)] = d[i, order], order
    return dists, idx


def clouds(dtype):
    """Clean and degenerate clouds: uniform, with many copies, a grid, a flat scan, tiny."""
    rng = np.random.default_rng(5)
    grid = np.stack(np.meshgrid(*[np.arange(6.0)] * 3, indexing="ij"), -1).reshape(-1, 3)
    base = rng.random((120, 3))
    out = {
        "uniform": rng.random((400, 3)),
        "duplicates": np.concatenate([base, base[rng.integers(0, 120, 80)], base[:10]])[rng.permutation(210)],
        "grid": grid[rng.permutation(len(grid))],
        "flat": np.c_[rng.integers(0, 12, (150, 2)) / 4.0, np.zeros(150)],
        "one": np.zeros((1, 3)),
        "two copies": np.ones((2, 3)),
        "three": np.array([[0.0, 0, 0], [1, 0, 0], [0, 2, 0]]),
    }
    return {name: p.astype(dtype) for name, p in out.items()}


@pytest.fixture(params=[False, True], ids=["caller-order", "renumbered"])
def reorder(request, monkeypatch):
    if request.param:
        monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    return request.param


CLOUD_NAMES = list(clouds(np.float64))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("name", CLOUD_NAMES)
def test_query_self_equals_brute_force(name, dtype, reorder):
    p = clouds(dtype)[name]
    index = plov.Index(p)
    d = distances(p, p)
    np.fill_diagonal(d, np.inf)
    for k, r in [(1, None), (4, None), (13, None), (6, 1.0), (3, 0.0)]:
        bd, bi = brute_rows(d, k, r)
        for workers in (1, 2):
            sd, si = index.query_self(k, distance_upper_bound=r, workers=workers)
            assert sd.shape == si.shape == (len(p), k) and sd.dtype == dtype, name
            np.testing.assert_array_equal(si, bi, err_msg=f"k={k} r={r}")
            np.testing.assert_array_equal(sd, bd, err_msg=f"k={k} r={r}")


def test_query_self_in_many_calls_and_shares(monkeypatch):
    # One query per native call, several workers: every call takes the visit stamps the
    # last one gave back, and each share walks its own run of the index's vertices.
    rng = np.random.default_rng(8)
    base = rng.random((1500, 3))
    p = np.concatenate([base, base[:300]])[rng.permutation(1800)]
    monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    monkeypatch.setattr(_index, "_CALL_WORK", 1)
    monkeypatch.setattr(_index, "_MIN_CHUNK", 7)
    calls = []
    real = _index._native.knn_self
    monkeypatch.setattr(_index._native, "knn_self", lambda *a: calls.append(a[5]) or real(*a))
    index = plov.Index(p)
    d = distances(p, p)
    np.fill_diagonal(d, np.inf)
    bd, bi = brute_rows(d, 9)
    for workers in (1, 3):
        calls.clear()
        sd, si = index.query_self(9, workers=workers)
        np.testing.assert_array_equal(si, bi)
        np.testing.assert_array_equal(sd, bd)
        assert sorted(calls) == list(range(len(p)))  # one vertex per call, each once


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_every_search_of_one_index_shares_its_stamps(dtype, monkeypatch):
    # Balls, k nearest with and without hints and self-queries take turns on one index,
    # one query per native call (the stamps go back and forth between calls and kinds of
    # search), with more queries than one gathered block.
    rng = np.random.default_rng(12)
    base = np.round(rng.random((700, 3)) * 8) / 8  # a grid with repeated points
    y = np.concatenate([base, base[:150]]).astype(dtype)
    x = (rng.random((600, 3)) * 1.1 - 0.05).astype(dtype)
    monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    monkeypatch.setattr(_index, "_CALL_WORK", 1)
    monkeypatch.setattr(_index, "_CHUNK_WORK", 1)
    monkeypatch.setattr(_index, "_MIN_CHUNK", 300)
    index = plov.Index(y)
    dxy, dyy = distances(x, y), distances(y, y)
    np.fill_diagonal(dyy, np.inf)
    want_k, want_self = brute_rows(dxy, 6), brute_rows(dyy, 5)
    want_counts = (dxy.astype(np.float64) <= 0.2).sum(axis=1)
    hint = rng.integers(0, len(y), len(x))
    for _ in range(2):
        np.testing.assert_array_equal(index.query_ball_point(x, 0.2, return_length=True), want_counts)
        for workers in (1, 2):
            assert all(np.array_equal(a, b) for a, b in zip(index.query(x, 6, workers=workers), want_k))
        assert all(np.array_equal(a, b) for a, b in zip(index.query(x, 6, hint=hint), want_k))
        assert all(np.array_equal(a, b) for a, b in zip(index.query_self(5, workers=2), want_self))
        indptr, indices = index.query_ball_point(x, 0.2)
        np.testing.assert_array_equal(np.diff(indptr), want_counts)


def test_a_bad_start_is_refused_where_it_is_walked():
    from plov import _native

    index = plov.Index(np.random.default_rng(4).random((30, 3)))
    x = np.random.default_rng(5).random((3, 3))
    d, i = np.empty((3, 1)), np.empty((3, 1), np.int64)
    starts = np.array([0, 1, 30])
    rows = np.array([0, 1])
    _native.knn_exact(index._target, x, d, i, None, None, 0, rows, 10**6, starts)  # row 2 is not walked
    with pytest.raises(BaseException, match="the len is 30 but the index is 30") as err:  # a PanicException
        _native.knn_exact(index._target, x, d, i, None, None, 0, np.array([2]), 10**6, starts)
    assert type(err.value).__name__ == "PanicException"


def test_knn_graph_arrays_and_sparse_forms():
    sparse = pytest.importorskip("scipy.sparse")
    p = clouds(np.float64)["duplicates"]
    n, k = len(p), 5
    d, i = plov.knn_graph(p, k)
    sd, si = plov.Index(p).query_self(k)
    np.testing.assert_array_equal(d, sd)
    np.testing.assert_array_equal(i, si)

    g = plov.knn_graph(p, k, as_csr=True)
    assert isinstance(g, sparse.csr_matrix) and g.shape == (n, n) and g.nnz == n * k
    assert g.has_sorted_indices
    for row in range(n):  # copies stay as stored zeros
        cols = g.indices[g.indptr[row]:g.indptr[row + 1]]
        np.testing.assert_array_equal(cols, np.sort(i[row]))
        np.testing.assert_array_equal(g.data[g.indptr[row]:g.indptr[row + 1]], d[row][np.argsort(i[row])])

    s = plov.knn_graph(p, k, as_csr=True, symmetric=True)
    dense = np.full((n, n), -1.0)
    dense[np.repeat(np.arange(n), k), i.ravel()] = d.ravel()
    dense[i.ravel(), np.repeat(np.arange(n), k)] = d.ravel()
    rows, cols = np.nonzero(dense >= 0)
    assert s.nnz == len(rows) and (s != s.T).nnz == 0
    np.testing.assert_array_equal(s.toarray()[rows, cols], dense[rows, cols])

    # a bound cuts edges: misses are not stored
    g = plov.knn_graph(p, k, distance_upper_bound=0.05, as_csr=True)
    assert g.nnz == int((plov.Index(p).query_self(k, distance_upper_bound=0.05)[1] < n).sum())


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_hints_never_change_the_answer(dtype, reorder):
    rng = np.random.default_rng(8)
    for name, y in clouds(dtype).items():
        index = plov.Index(y)
        x = np.concatenate([y[:50], rng.random((100, 3)) * 6 - 0.5]).astype(dtype)
        for k in (1, 5):
            want = index.query(x, k)
            nearest_hint = np.asarray(want[1]).reshape(len(x), -1)[:, 0]
            for hint in (nearest_hint, rng.integers(0, len(y), len(x)), np.zeros(len(x), np.uint8)):
                for workers in (1, 2):
                    got = index.query(x, k, hint=hint, workers=workers)
                    np.testing.assert_array_equal(got[0], want[0], err_msg=name)
                    np.testing.assert_array_equal(got[1], want[1], err_msg=name)
    # one point, one hint
    index = plov.Index(clouds(dtype)["uniform"])
    assert index.query([0.5, 0.5, 0.5], hint=7) == index.query([0.5, 0.5, 0.5])


@pytest.mark.parametrize("hint, error, match", [
    (np.zeros(3, np.float64), TypeError, "hint must hold"),
    (np.zeros(3, bool), TypeError, "hint must hold"),
    ([[0, 1, 2]], ValueError, r"hint must have shape \(3,\)"),
    ([0, 1], ValueError, r"hint must have shape \(3,\)"),
    ([0, 1, 10], ValueError, r"hint\[2\] is 10"),
    ([0, -1, 0], ValueError, r"hint\[1\] is -1"),
    (np.array([0, 2**64 - 1, 0], np.uint64), ValueError, r"hint\[1\]"),
    ("abc", TypeError, "hint must hold"),
])
def test_bad_hints_are_refused(hint, error, match):
    index = plov.Index(clouds(np.float64)["grid"][:10])
    with pytest.raises(error, match=match):
        index.query(np.zeros((3, 3)), hint=hint)


@pytest.mark.parametrize("call, error, match", [
    (lambda ix: ix.query_self(0), ValueError, "k must be at least 1"),
    (lambda ix: ix.query_self(2.0), TypeError, "k must be an integer"),
    (lambda ix: ix.query_self(2, distance_upper_bound=-1), ValueError, "distance_upper_bound"),
    (lambda ix: ix.query_self(2, workers=0), ValueError, "workers"),
    (lambda ix: plov.knn_graph(np.zeros((0, 3)), 2), ValueError, "points is empty"),
    (lambda ix: plov.knn_graph(np.zeros((4, 2)), 2), ValueError, "points must have shape"),
    (lambda ix: plov.knn_graph(np.zeros((4, 3)), 2, as_csr=1), TypeError, "as_csr must be True or False"),
    (lambda ix: plov.knn_graph(np.zeros((4, 3)), 2, symmetric=True), ValueError, "symmetric=True needs as_csr"),
])
def test_self_queries_refuse_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call(plov.Index(np.eye(3)))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("name", list(clouds(np.float64)))
def test_balls_equal_brute_force(name, dtype, reorder):
    rng = np.random.default_rng(9)
    y = clouds(dtype)[name]
    index = plov.Index(y)
    # queries on the points, off them, and far away; radii at exact grid distances
    x = np.concatenate([y[:40], rng.random((50, 3)) * 6 - 0.5, [[1e6, 0, 0]]]).astype(dtype)
    d = distances(x, y)
    per_point = rng.choice([0.0, 0.5, 1.0, 2.5], len(x))
    for r in (0.0, 0.25, 1.0, np.sqrt(2), 3.0, np.inf, per_point):
        rr = np.broadcast_to(r, len(x))
        want = [np.nonzero(d[i].astype(np.float64) <= rr[i])[0] for i in range(len(x))]
        counts = index.query_ball_point(x, r, return_length=True)
        np.testing.assert_array_equal(counts, [len(w) for w in want])
        for sort, with_dists, workers in [(False, True, 1), (True, True, 2), (False, False, 2), (True, False, 1)]:
            found = index.query_ball_point(x, r, return_sorted=sort, return_distances=with_dists, workers=workers)
            indptr, indices = found[:2]
            dists = found[2] if with_dists else d[np.repeat(np.arange(len(x)), np.diff(indptr)), indices]
            assert indptr.dtype == indices.dtype == np.int64 and dists.dtype == dtype
            assert indptr[0] == 0 and len(indptr) == len(x) + 1 and indptr[-1] == len(indices) == len(dists)
            for i, w in enumerate(want):
                if sort:
                    w = w[np.lexsort((w, d[i, w]))]
                np.testing.assert_array_equal(indices[indptr[i]:indptr[i + 1]], w)
                np.testing.assert_array_equal(dists[indptr[i]:indptr[i + 1]], d[i, w])


def test_ball_of_one_point_and_empty_query_sets():
    index = plov.Index(clouds(np.float64)["grid"])
    ind, dist = index.query_ball_point([0, 0, 0], 1.0, return_sorted=True, return_distances=True)
    np.testing.assert_array_equal(dist, [0, 1, 1, 1])
    assert index.query_ball_point([0, 0, 0], 1.0, return_length=True) == 4
    assert index.query_ball_point(np.zeros(3, np.float32), [1.0], return_length=True) == 4
    indptr, indices = index.query_ball_point(np.zeros((0, 3)), 1.0)
    np.testing.assert_array_equal(indptr, [0])
    assert len(indices) == 0
    assert len(index.query_ball_point(np.zeros((0, 3)), 1.0, return_length=True)) == 0


def test_ball_search_is_interrupted(monkeypatch):
    # Ctrl-C arrives during a call whose one chunk would list every point many times.
    import signal
    import threading

    index = plov.Index(np.random.default_rng(0).random((20000, 3)))
    monkeypatch.setattr(plov._neighbourhoods, "_BALL_CHUNK", 10**6)
    timer = threading.Timer(0.2, signal.raise_signal, (signal.SIGINT,))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            index.query_ball_point(np.zeros((5000, 3)), np.inf, return_length=True)
    finally:
        timer.cancel()


@pytest.mark.parametrize("call, error, match", [
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), -1.0), ValueError, "r must be a non-negative distance"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), np.nan), ValueError, "r must be a non-negative distance"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), [1.0, -2]), ValueError, r"r\[1\] must be a non-negative"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), [1.0, 2, 3]), ValueError, r"r must be a number or have shape"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), "1"), TypeError, "r must hold real numbers"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), True), TypeError, "r must hold real numbers"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 2)), 1.0), ValueError, "x must have shape"),
    (lambda ix: ix.query_ball_point([[np.nan, 0, 0]], 1.0), ValueError, "x has a NaN"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), 1.0, return_sorted=None), TypeError, "return_sorted must be"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), 1.0, return_length=1), TypeError, "return_length must be"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), 1.0, return_distances="y"), TypeError, "return_distances"),
    (lambda ix: ix.query_ball_point(np.zeros((2, 3)), 1.0, workers=0), ValueError, "workers"),
])
def test_balls_refuse_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call(plov.Index(np.eye(3)))


def test_icp_example_registers_with_and_without_hints():
    import runpy
    import types
    from pathlib import Path

    spatial = pytest.importorskip("scipy.spatial")
    path = Path(__file__).resolve().parent.parent / "examples" / "icp.py"
    icp = types.SimpleNamespace(**runpy.run_path(str(path), run_name="icp_example"))
    source, target, truth = icp.problem(4000, 2000, degrees=2.0)
    hinted = icp.plov_icp(source, target, 15, max_distance=0.3)
    # the same answers at every step, so the same transform to the last bit
    np.testing.assert_array_equal(hinted, icp.plov_icp(source, target, 15, max_distance=0.3, hints=False))
    tree = spatial.cKDTree(target)
    with_tree = icp.icp(source, target, lambda x, hint: tree.query(x, distance_upper_bound=0.3), 15, 0.3)
    np.testing.assert_allclose(hinted, with_tree, atol=1e-12)
    assert np.linalg.norm(hinted - truth) < np.linalg.norm(np.eye(4) - truth) / 2


def test_ball_answer_beyond_memory_is_a_memory_error(monkeypatch):
    index = plov.Index(np.random.default_rng(0).random((2000, 3)))
    monkeypatch.setattr(plov._neighbourhoods, "_listing_budget", lambda dtype: 5000)
    assert index.query_ball_point(np.zeros((100, 3)), np.inf, return_length=True).sum() == 100 * 2000
    with pytest.raises(MemoryError, match="more than 5,000 points"):
        index.query_ball_point(np.zeros((100, 3)), np.inf)
    indptr, indices = index.query_ball_point(np.zeros((100, 3)), 0.05)  # a small answer still fits
    assert indptr[-1] == len(indices) < 5000


def test_native_runs_and_self_search_refuse_what_does_not_fit():
    from plov import _native

    src, rows, counts, indptr = np.arange(5), np.array([1, 0]), np.array([2, 3]), np.array([0, 3, 5])
    out = np.zeros(5, np.int64)
    _native.scatter_runs(src, rows, counts, indptr, out)
    assert out.tolist() == [2, 3, 4, 0, 1]
    for bad in ({"counts": np.array([2, 4])}, {"counts": np.array([-1, 3])}, {"rows": np.array([2, 0])},
                {"indptr": np.array([0, 4, 5])}, {"indptr": np.array([-9, 3, 5])}):
        args = {"src": src, "rows": rows, "counts": counts, "indptr": indptr, "out": out} | bad
        with pytest.raises(ValueError):
            _native.scatter_runs(**args)
    with pytest.raises(ValueError, match="writeable"):
        _native.scatter_runs(src, rows, counts, indptr, out[::-1])
    index = plov.Index(np.random.default_rng(3).random((50, 3)))
    d, i = np.empty((50, 2)), np.empty((50, 2), np.int64)
    for first, end in ((3, 2), (0, 51)):
        with pytest.raises(ValueError, match="first and end"):
            _native.knn_self(index._target, d, i, None, None, first, end)
    with pytest.raises(ValueError, match="target.n"):
        _native.knn_self(index._target, d[:49], i[:49])
