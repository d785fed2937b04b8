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
        monkeypatch.setattr(_index, "_REORDER_MIN_POINTS", 0)
    return request.param


# The k-nearest search these build on misses a copy tied with the k-th answer when a
# copy with a larger index was found first: a flat grid with copies shows it.
CLOUD_NAMES = [pytest.param(name, marks=pytest.mark.xfail(strict=False, reason="copies tied at the k-th distance"))
               if name == "flat" else name for name in clouds(np.float64)]


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
