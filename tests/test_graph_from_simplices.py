"""graph_from_simplices: the vertex adjacency of tetrahedra as a symmetric CSR graph."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.spatial import Delaunay, cKDTree

import _plov
from helpers import cloud

build = _plov.graph_from_simplices
U32_LIMIT = 2**32 - 1


def tets(rows, cols=None):
    a = np.array(rows, dtype=np.uint64)
    return a.reshape(0, cols) if cols is not None else a


def lists_of(indptr, indices):
    return [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(len(indptr) - 1)]


def reference(rows, n):
    """Neighbour lists by the definition: every pair of a row's first four ids, both ways."""
    adj = [set() for _ in range(n)]
    for r in rows:
        a = r[:4]
        for i in range(4):
            for j in range(i + 1, 4):
                adj[a[i]].add(a[j])
                adj[a[j]].add(a[i])
    return [sorted(s) for s in adj]


def panic_message(simplices, n):
    with pytest.raises(BaseException) as info:
        build(simplices, n)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    return str(info.value)


@pytest.mark.parametrize(
    "rows, n, indptr, indices",
    [
        ([[0, 1, 2, 3]], 4, [0, 3, 6, 9, 12], [1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2]),
        ([[3, 2, 1, 0]], 4, [0, 3, 6, 9, 12], [1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2]),
        ([[0, 1, 2, 3], [1, 2, 3, 4]], 6, [0, 3, 7, 11, 15, 18, 18],
         [1, 2, 3, 0, 2, 3, 4, 0, 1, 3, 4, 0, 1, 2, 4, 1, 2, 3]),
        ([[0, 0, 1, 2]], 3, [0, 3, 5, 7], [0, 1, 2, 0, 2, 0, 1]),
        ([[2, 2, 2, 2]], 3, [0, 0, 0, 1], [2]),
        ([[0, 1, 2, 3, 99]], 4, [0, 3, 6, 9, 12], [1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2]),
        (tets([], 4), 3, [0, 0, 0, 0], []),
        (tets([], 4), 0, [0], []),
        (tets([], 2), 2, [0, 0, 0], []),
    ],
)
def test_small_graphs(rows, n, indptr, indices):
    ip, ix = build(tets(rows) if isinstance(rows, list) else rows, n)
    for arr, want in ((ip, indptr), (ix, indices)):
        assert type(arr) is np.ndarray and arr.dtype == np.uint32 and arr.ndim == 1
        assert arr.flags.c_contiguous and arr.flags.writeable
        assert arr.tolist() == want


@pytest.mark.parametrize(
    "rows, n, message",
    [
        ([[0, 1, 2]], 4, "ndarray: index out of bounds"),
        ([[0, 1, 2]], 2, "ndarray: index out of bounds"),  # columns are checked before ids
        ([[0, 1, 2, 7]], 4, "index out of bounds: the len is 4 but the index is 7"),
        # ids are compared at full width, not after narrowing to 32 bits
        ([[0, 1, 2**32, 3]], 4, "index out of bounds: the len is 4 but the index is 4294967296"),
        ([[0, 1, 2**64 - 1, 3]], 4, "index out of bounds: the len is 4 but the index is 18446744073709551615"),
        ([[5, 1, 2, 3]], 0, "index out of bounds: the len is 0 but the index is 5"),
        # the first bad id in row-major order wins, also against a later row's first column
        ([[0, 1, 2, 3], [0, 9, 8, 1], [7, 1, 2, 3]], 4, "index out of bounds: the len is 4 but the index is 9"),
        ([[0, 1, 2, 3], [6, 1, 2, 9]], 4, "index out of bounds: the len is 4 but the index is 6"),
        ([[0, 1, 2, 7]], 2**32, "graph_from_simplices: 4294967296 points exceeds the u32 CSR limit of 4294967295"),
        ([[0, 1]], 2**64 - 1,
         "graph_from_simplices: 18446744073709551615 points exceeds the u32 CSR limit of 4294967295"),
    ],
)
def test_failures(rows, n, message):
    assert panic_message(tets(rows), n) == message


def test_layouts_read_in_place():
    rng = np.random.default_rng(3)
    wide = rng.integers(0, 40, size=(60, 7)).astype(np.uint64)
    views = [
        wide[:, :4],
        np.asfortranarray(wide),
        wide[::-1],
        wide[::-2, ::-1],
        wide[:, 6:1:-1],
        np.broadcast_to(wide[5], (9, 7)),
    ]
    for v in views:
        ro = v.copy()
        ro.flags.writeable = False
        want = reference(np.ascontiguousarray(v).tolist(), 40)
        for arr in (v, ro):
            assert lists_of(*build(arr, 40)) == want


def test_bad_ids_in_strided_views():
    a = np.array([[0, 1, 2, 3], [0, 1, 2, 8]], dtype=np.uint64)
    assert panic_message(a[::-1], 4).endswith("the index is 8")
    assert panic_message(np.asfortranarray(a), 4).endswith("the index is 8")


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint32, np.float64])
def test_other_dtypes_refused(dtype):
    with pytest.raises(TypeError) as info:
        build(np.array([[0, 1, 2, 3]], dtype=dtype), 4)
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert info.value.__notes__ == ["while processing 'simplices'"]


def test_argument_errors():
    a = tets([[0, 1, 2, 3]])
    with pytest.raises(TypeError) as info:
        build(a)
    assert str(info.value) == "graph_from_simplices() missing 1 required positional argument: 'n_points'"
    assert not getattr(info.value, "__notes__", None)
    for bad, err in ((-1, OverflowError), (2**64, OverflowError), (4.0, TypeError), (None, TypeError)):
        with pytest.raises(err) as info:
            build(a, bad)
        assert info.value.__notes__ == ["while processing 'n_points'"]
    for bad in ([[0, 1, 2, 3]], np.zeros(4, np.uint64), np.zeros((1, 1, 4), np.uint64)):
        with pytest.raises(TypeError) as info:
            build(bad, -1)  # simplices is converted first
        assert info.value.__notes__ == ["while processing 'simplices'"]
    assert lists_of(*build(n_points=np.uint64(4), simplices=a)) == reference(a.tolist(), 4)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 200).flatmap(
    lambda n: st.tuples(st.just(n), st.lists(st.lists(st.integers(0, n - 1), min_size=4, max_size=4), max_size=60))))
def test_matches_definition(case):
    n, rows = case
    ip, ix = build(tets(rows) if rows else tets([], 4), n)
    assert len(ip) == n + 1 and ip[0] == 0 and ip[-1] == len(ix)
    assert lists_of(ip, ix) == reference(rows, n)


@settings(max_examples=25, deadline=None)
@given(st.integers(5, 300), st.integers(0, 2**32 - 1))
def test_matches_delaunay_and_is_symmetric(n, seed):
    tri = Delaunay(cloud(n, seed))
    ip, ix = build(tri.simplices.astype(np.uint64), n)
    sp, sx = tri.vertex_neighbor_vertices
    assert lists_of(ip, ix) == [sorted(l) for l in lists_of(sp, sx)]
    edges = {(u, v) for u, l in enumerate(lists_of(ip, ix)) for v in l}
    assert edges == {(v, u) for u, v in edges}


def test_graph_drives_exact_search():
    x, y = cloud(3000, 11), cloud(2500, 12)
    xi, xn = build(Delaunay(x).simplices.astype(np.uint64), len(x))
    yi, yn = build(Delaunay(y).simplices.astype(np.uint64), len(y))
    d, idx = _plov.all_nearest_neighbours(x, xi, xn, y, yi, yn)
    kd, kidx = cKDTree(y).query(x)
    assert np.array_equal(idx, kidx)
    assert np.array_equal(d, kd)


def test_parallel_builds_agree():
    simplices = [Delaunay(cloud(2000, s)).simplices.astype(np.uint64) for s in range(4)]
    serial = [build(s, 2000) for s in simplices]
    with ThreadPoolExecutor(4) as pool:
        parallel = list(pool.map(lambda s: build(s, 2000), simplices * 2))
    for (a, b), (c, d) in zip(serial * 2, parallel):
        assert np.array_equal(a, c) and np.array_equal(b, d)
