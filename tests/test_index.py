"""plov.Index and plov.nearest: exact k-nearest results in the caller's numbering, and
the errors of the plov layer."""

import time

import numpy as np
import pytest

import plov
from plov import _index
from helpers import cloud, delaunay_csr


def brute_knn(x, y, k, r=None):
    """The k nearest points of y for each row of x in (distance, index) order, with the
    distances computed in the points' precision as the search does; misses (inf, n)."""
    d2 = np.zeros((len(x), len(y)), x.dtype)
    for a in range(3):
        diff = x[:, None, a] - y[None, :, a]
        d2 = d2 + diff * diff
    order = np.argsort(d2, axis=1, kind="stable")[:, :k]
    dk = np.take_along_axis(d2, order, 1)
    dists, idx = np.sqrt(dk), order.astype(np.int64)
    if r is not None:
        miss = dk > x.dtype.type(r) * x.dtype.type(r)
        dists[miss], idx[miss] = np.inf, len(y)
    return dists, idx


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
        monkeypatch.setattr(_index, "_REORDER_MIN_POINTS", 0)
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


def test_morton_order_lists_each_selected_row_once():
    x = cloud(3000, 18)
    for pts in (x, x.astype(np.float32), x[::2]):  # both precisions, strided rows
        assert sorted(_index.morton_order(pts)) == list(range(len(pts)))
        for lo, hi in ((None, 0.3), (0.3, 0.7), (0.7, None), (2.0, None)):
            want = np.flatnonzero((pts[:, 1] >= (lo if lo is not None else -np.inf)) &
                                  (pts[:, 1] < (hi if hi is not None else np.inf)))
            np.testing.assert_array_equal(np.sort(_index.morton_order(pts, 1, lo, hi)), want)


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

    clouds = [cloud(200, 20 + c) for c in range(12)]
    real, calls = _allbyall._target, []

    def interrupted(*args):
        calls.append(1)
        if len(calls) == 1:
            raise KeyboardInterrupt
        return real(*args)

    monkeypatch.setattr(_allbyall, "_target", interrupted)
    with pytest.raises(KeyboardInterrupt):
        plov.all_by_all(clouds, workers=1)
    assert len(calls) <= 2  # the interrupted one, and at most one started meanwhile
    with pytest.raises(ValueError, match="clouds\\[1\\] has a NaN"):
        plov.all_by_all([clouds[0], np.full((9, 3), np.nan)])
    with pytest.raises(ValueError, match="distance_upper_bound must be a non-negative"):
        plov.all_by_all(clouds, distance_upper_bound=-1)
    assert plov.all_by_all(clouds[:3], workers=-1).shape == (3, 3)
