"""plov.Index and plov.nearest: exact k-nearest results in the caller's numbering, and
the errors of the plov layer."""

import time

import numpy as np
import pytest

import plov
from plov import _index
from helpers import cloud, delaunay_csr


def brute_knn(x, y, k, r=None):
    """The k nearest points of y for each row of x as a scan in the points' precision
    reports them: distances sqrt((dx*dx + dy*dy) + dz*dz), each step rounded, rows by
    (distance, index); with a bound, only distances d <= r; misses (inf, n)."""
    diff = [x[:, None, a] - y[None, :, a] for a in range(3)]
    with np.errstate(over="ignore"):  # squares beyond the dtype's range are inf
        d = np.sqrt((diff[0] * diff[0] + diff[1] * diff[1]) + diff[2] * diff[2])
    order = np.argsort(d, axis=1, kind="stable")[:, :k]  # stable: ties to the smaller index
    dists, idx = np.take_along_axis(d, order, 1), order.astype(np.int64)
    if r is not None:
        miss = dists.astype(np.float64) > r
        dists[miss], idx[miss] = np.inf, len(y)
    pad = k - dists.shape[1]
    return (np.pad(dists, ((0, 0), (0, pad)), constant_values=np.inf),
            np.pad(idx, ((0, 0), (0, pad)), constant_values=len(y)))


def with_duplicates(pts, seed):
    """`pts` with a fifth of its points repeated at random places, and a graph on which
    every copy is joined to the triangulated copy (the first) in both directions."""
    rng = np.random.default_rng(seed)
    n = len(pts)
    extra = rng.integers(0, n, n // 5)
    allpts = np.concatenate([pts, pts[extra]])
    perm = rng.permutation(len(allpts))
    allpts = allpts[perm]
    _, first, inverse = np.unique(allpts, axis=0, return_index=True, return_inverse=True)
    ip, ix = delaunay_csr(allpts[first])
    lists = [list(first[ix[ip[u]:ip[u + 1]]]) for u in range(len(first))]
    full = [[] for _ in range(len(allpts))]
    for v, u in enumerate(inverse.ravel()):
        rep = first[u]
        if v == rep:
            full[v] += lists[u]
        else:
            full[v].append(rep)
            full[rep].append(v)
    indptr = np.zeros(len(allpts) + 1, np.uint32)
    np.cumsum([len(l) for l in full], out=indptr[1:])
    return allpts, (indptr, np.array([j for l in full for j in l], np.uint32))


def grid(m):
    """An m^3 integer grid, shuffled: every query between grid points has ties."""
    g = np.stack(np.meshgrid(*[np.arange(m, dtype=np.float64)] * 3, indexing="ij"), -1).reshape(-1, 3)
    return g[np.random.default_rng(m).permutation(len(g))]


@pytest.fixture(params=[False, True], ids=["caller-order", "renumbered"])
def reorder(request, monkeypatch):
    if request.param:
        monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    return request.param


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("kind", ["uniform", "grid", "duplicates", "duplicates-raw", "flat"])
def test_index_equals_brute_force(kind, dtype, reorder):
    if kind == "uniform":
        y, graph = cloud(3000, 1), None
        x = cloud(700, 2, scale=1.2, offset=-0.1)
    elif kind == "grid":
        y, graph = grid(9), None
        x = np.concatenate([grid(9), np.random.default_rng(3).integers(0, 17, (600, 3)) / 2.0])
    elif kind == "duplicates":  # a caller's graph
        y, graph = with_duplicates(cloud(1500, 4), 5)
        x = np.concatenate([y[:300], cloud(400, 6)])
    elif kind == "duplicates-raw":  # the graph built by the index
        y, graph = with_duplicates(cloud(1500, 4), 5)[0], None
        x = np.concatenate([y[:300], cloud(400, 6)])
    else:  # a planar scan: a flat integer grid, queries above and on it
        y, graph = grid(40)[:1600] * [1, 1, 0], None
        y = y[np.unique(y, axis=0, return_index=True)[1]]
        x = np.concatenate([y[:200], np.random.default_rng(7).integers(0, 79, (500, 3)) / 2.0])
    y, x = y.astype(dtype), x.astype(dtype)
    if graph is None and kind == "grid":
        graph = delaunay_csr(y)
    index = plov.Index(y, graph=graph)
    assert index.dtype == dtype and index.n == len(y)
    np.testing.assert_array_equal(index.data, y)
    for k in (1, 6):
        bd, bi = brute_knn(x, y, k)
        for workers in (1, 2):
            d, i = index.query(x, k, workers=workers)
            assert d.dtype == dtype and i.dtype == np.int64
            assert d.shape == i.shape == ((len(x),) if k == 1 else (len(x), k))
            np.testing.assert_array_equal(i.reshape(len(x), k), bi)
            np.testing.assert_array_equal(d.reshape(len(x), k), bd)


def small_cloud(rng):
    """A cloud of 1 to 8 points made to tie: integer, flat, collinear, with copies, or on
    a sphere around the origin, in either precision and at a scale far from 1."""
    n = int(rng.integers(1, 9))
    kind = rng.integers(5)
    if kind == 0:
        y = rng.integers(-2, 3, (n, 3)).astype(float)
    elif kind == 1:  # flat
        y = rng.integers(-2, 3, (n, 3)) * [1, 1, 0] @ rng.permutation(np.eye(3))
    elif kind == 2:  # collinear
        y = rng.integers(-3, 4, (n, 1)) * rng.integers(-1, 2, (1, 3)) + rng.integers(-1, 2, 3)
    elif kind == 3:  # copies of two or three points
        y = rng.integers(-1, 2, (3, 3))[rng.integers(0, 3, n)]
    else:
        y = rng.normal(size=(n, 3))
        y /= np.linalg.norm(y, axis=1)[:, None]
    dtype = (np.float32, np.float64)[rng.integers(2)]
    return (np.asarray(y, float) * 2.0 ** rng.choice([0, -40, 70])).astype(dtype)


def test_small_clouds_equal_brute_force(reorder):
    rng = np.random.default_rng(2026)
    for _ in range(700):
        y = small_cloud(rng)
        scale = y.dtype.type(np.abs(y).max() or 1)
        x = np.concatenate([np.zeros((1, 3)), y, (y + y[::-1]) / 2,
                            rng.integers(-5, 6, (4, 3)) / 2 * scale]).astype(y.dtype)
        index = plov.Index(y)
        for k in (1, 3, len(y) + 1):
            bd, bi = brute_knn(x, y, k)
            for r in (None, float(bd[0, min(k, len(y)) - 1])):
                wd, wi = brute_knn(x, y, k, r) if r is not None else (bd, bi)
                d, i = index.query(x, k, distance_upper_bound=r)
                np.testing.assert_array_equal(i.reshape(len(x), k), wi, err_msg=f"{y!r} k={k} r={r}")
                np.testing.assert_array_equal(d.reshape(len(x), k), wd)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_copies_and_rounding_ties(dtype, reorder):
    # Three points at distance 1 from the origin, two of them copies: the copy with the
    # smaller index is the third answer.
    six = np.array([(0.5, 0, 0), (-1, 0, 0), (5, 5, 5), (-1, 0, 0), (0, 1, 0), (0, 0, -3)], dtype)
    assert plov.Index(six).query(np.zeros(3), 3)[1].tolist() == [0, 1, 3]
    # A grid with a hundred copies, queried at grid points and between them.
    rng = np.random.default_rng(26)
    g = grid(6)
    y = np.concatenate([g, g[rng.integers(0, len(g), 103)]]).astype(dtype)
    y = y[rng.permutation(len(y))]
    x = (rng.integers(0, 11, (300, 3)) / 2.0).astype(dtype)
    index = plov.Index(y)
    for k, r in ((13, None), (13, 1.5), (1, None)):
        for workers in (1, 2):
            d, i = index.query(x, k, distance_upper_bound=r, workers=workers)
            bd, bi = brute_knn(x, y, k, r)
            np.testing.assert_array_equal(i.reshape(bi.shape), bi)
            np.testing.assert_array_equal(d.reshape(bd.shape), bd)
    # Points on a unit sphere queried at its centre: their distances round to a few
    # neighbouring values, and rows go by the distance as reported, then the index.
    for m in (8, 12, 200):
        y = rng.normal(size=(m, 3))
        y = (y / np.linalg.norm(y, axis=1)[:, None]).astype(dtype)
        x = np.zeros((1, 3), dtype)
        for k in (1, 3, 8):
            d, i = plov.Index(y).query(x, k)
            bd, bi = brute_knn(x, y, k)
            np.testing.assert_array_equal(np.reshape(i, bi.shape), bi)
            np.testing.assert_array_equal(np.reshape(d, bd.shape), bd)


def test_bound_is_inclusive_and_misses_are_marked(reorder):
    y, x = cloud(2000, 7), cloud(500, 8, scale=1.5, offset=-0.25)
    index = plov.Index(y)
    bd, bi = brute_knn(x, y, 4)
    r = float(np.median(bd[:, 2]))  # some rows full, some partly, some empty
    d, i = index.query(x, 4, distance_upper_bound=r)
    np.testing.assert_array_equal(i, brute_knn(x, y, 4, r)[1])
    exact = plov.Index(y).query(x[:1], 1, distance_upper_bound=bd[0, 0])  # d == r is reported
    assert exact[1][0] == bi[0, 0]
    far = index.query(x + 100.0, 3, distance_upper_bound=1.0)
    assert np.isinf(far[0]).all() and (far[1] == len(y)).all()


def test_shapes_and_one_shot_forms():
    y, x = cloud(400, 9), cloud(50, 10)
    index = plov.Index(y)
    d1, i1 = index.query(x[0])
    assert np.ndim(d1) == 0 and int(i1) == brute_knn(x[:1], y, 1)[1][0, 0]
    dk, ik = index.query(list(x[0]), k=3)
    assert dk.shape == ik.shape == (3,)
    assert index.query(np.zeros((0, 3)), 2)[0].shape == (0, 2)
    # the queries as an Index: answers in its own numbering
    other = plov.Index(x)
    np.testing.assert_array_equal(index.query_index(other, 2)[1], index.query(x, 2)[1])
    # one-shot; float32 stays float32 only when both clouds are float32; ints become float64
    d, i = plov.nearest(x, y, 2)
    np.testing.assert_array_equal(i, index.query(x, 2)[1])
    assert plov.nearest(x.astype(np.float32), y.astype(np.float32))[0].dtype == np.float32
    assert plov.nearest(x.astype(np.float32), y)[0].dtype == np.float64
    assert plov.Index((y * 100).astype(np.int32)).dtype == np.float64
    for n in (1, 2, 4):  # below a tetrahedron's worth: the complete graph
        np.testing.assert_array_equal(plov.Index(y[:n]).query(x, n)[1].reshape(len(x), n), brute_knn(x, y[:n], n)[1])
    d, i = plov.Index(y[:3]).query(x, 5)  # more neighbours than points: misses
    np.testing.assert_array_equal(i[:, :3], brute_knn(x, y[:3], 3)[1])
    assert np.isinf(d[:, 3:]).all() and (i[:, 3:] == 3).all()


def test_long_rows(reorder):
    # Rows too long to be staged are written straight into the caller's rows.
    y, x = cloud(120, 16), cloud(90, 17)
    bd, bi = brute_knn(x, y, 100)
    d, i = plov.Index(y).query(x, 100, workers=2)
    np.testing.assert_array_equal(i, bi)
    np.testing.assert_array_equal(d, bd)


def test_chunks_cover_every_query(monkeypatch):
    monkeypatch.setattr(_index, "_CHUNK_WORK", 1)
    monkeypatch.setattr(_index, "_MIN_CHUNK", 7)
    y, x = cloud(500, 11), cloud(100, 12)
    bi = brute_knn(x, y, 2)[1]
    for workers in (1, 3, -1):
        np.testing.assert_array_equal(plov.Index(y).query(x, 2, workers=workers)[1], bi)


def test_interrupt_stops_between_chunks(monkeypatch):
    monkeypatch.setattr(_index, "_CHUNK_WORK", 1)
    monkeypatch.setattr(_index, "_MIN_CHUNK", 10)
    index = plov.Index(cloud(300, 13))
    real, calls = _index._native.knn_exact, []

    def interrupted(*args):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        if len(calls) > 2:
            time.sleep(0.05)  # chunks already running: leave the caller time to cancel the rest
        return real(*args)

    monkeypatch.setattr(_index._native, "knn_exact", interrupted)
    for workers in (1, 2):
        calls.clear()
        with pytest.raises(KeyboardInterrupt):
            index.query(cloud(1000, 14), workers=workers)
        assert len(calls) == 2 if workers == 1 else len(calls) < 100  # not all 100 chunks ran


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_far_queries_cost_what_near_ones_do(dtype):
    # So far away that every distance rounds alike: the answer is the smallest indices,
    # found without visiting the cloud (here: work 1 per query, where a scan is 20,000).
    y = cloud(20_000, 30, dtype)
    index = plov.Index(y)
    far = np.array([[1e20, 0, 0], [-3e19, 1e19, 5], [0, 0, 1e25]], dtype)
    for k in (1, 4):
        d, i = index.query(far, k)
        bd, bi = brute_knn(far, y, k)
        np.testing.assert_array_equal(i.reshape(bi.shape), bi)
        np.testing.assert_array_equal(d.reshape(bd.shape), bd)
    dists, idx = np.empty((3, 4), dtype), np.empty((3, 4), np.int64)
    done, _ = _index._native.knn_exact(index._target, far, dists, idx, None, index._labels, 0, None, 3)
    assert done == 3
    assert (idx == np.arange(4)).all()
    # Nearer, where distances round to a few values: the expansion covers the ties.
    y, x = y[:3000], np.array([[3e15, 0.5, 0.5], [0.5, -2e15, 0.25]] if dtype == np.float64 else
                              [[3e6, 0.5, 0.5], [0.5, -2e6, 0.25]], dtype)
    for k in (1, 5):
        bd, bi = brute_knn(x, y, k)
        d, i = plov.Index(y).query(x, k)
        np.testing.assert_array_equal(i.reshape(bi.shape), bi)
        np.testing.assert_array_equal(d.reshape(bd.shape), bd)


def test_a_call_stops_when_its_work_is_done(monkeypatch):
    # Each native call answers queries until it has computed `_CALL_WORK` distances; the
    # walk goes on from the first query not answered, with the seed where it stopped.
    y, x = cloud(2000, 31), cloud(300, 32)
    index = plov.Index(y)
    calls = []
    real = _index._native.knn_exact

    def counted(*args):
        calls.append(len(args[7]))
        return real(*args)

    monkeypatch.setattr(_index._native, "knn_exact", counted)
    monkeypatch.setattr(_index, "_CALL_WORK", 1)
    for workers in (1, 2):
        d, i = index.query(x, 5, workers=workers)
        np.testing.assert_array_equal(i, brute_knn(x, y, 5)[1])
    assert len(calls) >= 2 * len(x)  # one query per call


def test_data_is_the_index_own_and_other_is_checked():
    y = cloud(50, 33)
    index = plov.Index(y)
    y[0] = 7.0
    assert (index.data[0] != 7.0).all() and not index.data.flags.writeable
    with pytest.raises(ValueError, match="assignment destination is read-only"):
        index.data[1] = 0.0
    np.testing.assert_array_equal(index.query(y[1:2])[1], [1])
    # a float64 Index whose points overflow float32 cannot query a float32 one
    other = plov.Index(np.array([[0, 0, 0], [1e39, 0, 0], [1, 1, 1], [0, 1, 0], [1, 0, 0]]))
    with pytest.raises(ValueError, match=r"other has a NaN or infinite coordinate in row 1"):
        plov.Index(y.astype(np.float32)).query_index(other)


def test_coordinates_the_graph_counts_as_zero_are_refused():
    four = np.array([(0, 0, 0), (1e-44, 0, 0), (4e-45, 0, 0), (1, 1, 1)])
    for call in (lambda: plov.Index(four), lambda: plov.nearest(four[:1], four)):
        with pytest.raises(ValueError, match=r"points has a coordinate in row 1 .* smaller than 2\^-130 times"):
            call()
    # zeros, and coordinates just above the limit, are fine
    ok = np.array([(0, 0, 0), (2.0**-129, 0, 0), (0, 1, 0), (0, 0, 1.5)])
    assert plov.Index(ok).query([2.0**-130, 0, 0], 2)[1].tolist() == [0, 1]

Y = cloud(50, 15)


@pytest.mark.parametrize("call, error, match", [
    (lambda: plov.Index(np.zeros((0, 3))), ValueError, "points is empty"),
    (lambda: plov.Index(np.zeros((5, 2))), ValueError, r"points must have shape \(n, 3\)"),
    (lambda: plov.Index([[0, 0, 0], [1, 1]]), ValueError, "points is not an array"),
    (lambda: plov.Index(Y.astype(complex)), TypeError, "points must hold real numbers"),
    (lambda: plov.Index(np.array([["a", "b", "c"]])), TypeError, "points must hold real numbers"),
    (lambda: plov.Index(np.where(np.arange(150).reshape(50, 3) == 7, np.nan, Y)), ValueError,
     "points has a NaN or infinite coordinate in row 2"),
    (lambda: plov.Index(Y, dtype=np.int32), ValueError, "dtype must be float32 or float64"),
    (lambda: plov.Index(Y).query(np.zeros((2, 4))), ValueError, r"x must have shape \(n, 3\)"),
    (lambda: plov.Index(Y).query([[np.inf, 0, 0]]), ValueError, "x has a NaN or infinite coordinate in row 0"),
    (lambda: plov.Index(Y.astype(np.float32)).query([[1e300, 0, 0]]), ValueError, "x has a NaN or infinite"),
    (lambda: plov.Index(Y).query(Y, k=0), ValueError, "k must be at least 1"),
    (lambda: plov.Index(Y).query(Y, k=2.0), TypeError, "k must be an integer"),
    (lambda: plov.Index(Y).query(Y, distance_upper_bound=-1.0), ValueError, "distance_upper_bound must be a non-neg"),
    (lambda: plov.Index(Y).query(Y, distance_upper_bound=np.nan), ValueError, "distance_upper_bound must be a non-neg"),
    (lambda: plov.Index(Y).query(Y, distance_upper_bound="1"), TypeError, "distance_upper_bound must be a real"),
    (lambda: plov.Index(Y).query(Y, workers=0), ValueError, "workers must be a positive integer or -1"),
    (lambda: plov.Index(Y).query_index(Y), TypeError, "other must be a plov.Index"),
    (lambda: plov.nearest(np.zeros((3, 2)), Y), ValueError, r"x must have shape \(n, 3\)"),
    (lambda: plov.nearest(Y, np.zeros((0, 3))), ValueError, "points is empty"),
])
def test_bad_input_names_the_argument(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_callers_graph_is_checked():
    ip, ix = delaunay_csr(Y)
    plov.Index(Y, graph=(ip, ix))
    for graph, match in [
        ((ip[:-1], ix), r"graph: indptr must have n \+ 1 = 51 entries"),
        ((ip, ix[:-1]), "graph: indptr must rise from 0 to len"),
        ((ip, np.where(ix == 3, 50, ix)), r"graph: neighbour numbers must lie in \[0, 50\)"),
        ((np.where(np.arange(51) > 0, ip, 1), ix), "graph: indptr must rise from 0"),
        ((np.concatenate([[0, 0], ip[2:] - ip[1]]), ix[ip[1]:]), "graph: point 0 has no neighbours"),
        ((ip.astype(float), ix), "graph: indptr must hold integers"),
    ]:
        with pytest.raises(ValueError, match=match):
            plov.Index(Y, graph=graph)
    with pytest.raises(TypeError, match="graph must be an"):
        plov.Index(Y, graph=ip)


def test_native_failure_becomes_runtime_error():
    class PanicException(BaseException):
        pass

    with pytest.raises(RuntimeError, match="internal error") as info:
        with plov._validate.native_errors():
            raise PanicException("index out of bounds")
    assert isinstance(info.value.__cause__, PanicException)


def test_all_by_all_cancels_targets_not_started(monkeypatch):
    from plov import _allbyall

    clouds = [cloud(200, 20 + c) for c in range(20)]
    real, calls = _allbyall._target_column, []

    def interrupted(*args):
        calls.append(1)
        if len(calls) == 1:
            raise KeyboardInterrupt
        time.sleep(0.1)  # the targets after it take seconds together: time to cancel them
        return real(*args)

    monkeypatch.setattr(_allbyall, "_target_column", interrupted)
    with pytest.raises(KeyboardInterrupt):
        plov.all_by_all(clouds, workers=1)
    # The pool's one thread may start a few targets before the interrupt is seen, never
    # all of them.
    assert len(calls) < len(clouds)
    with pytest.raises(ValueError, match="clouds\\[1\\] has a NaN"):
        plov.all_by_all([clouds[0], np.full((9, 3), np.nan)])
    with pytest.raises(ValueError, match="distance_upper_bound must be a non-negative"):
        plov.all_by_all(clouds, distance_upper_bound=-1)
    assert plov.all_by_all(clouds[:3], workers=-1).shape == (3, 3)
