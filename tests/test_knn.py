"""k-nearest best-first search: the search itself (against a plain Python model of it
on tie-heavy graphs), its seeding along the query graph, bounds, failures on malformed
input, and the three entry points."""

import bisect

import numpy as np
import pytest
from scipy.spatial import cKDTree

import _plov
from helpers import chain_graph, cloud_with_graph, csr

INF = np.inf
U32 = np.uint32
SHAPE_TOO_LARGE = "ndarray: Shape too large, product of non-zero axis lengths overflows isize"


def panic_message(fn, *args, **kw):
    with pytest.raises(BaseException) as e:
        fn(*args, **kw)
    assert type(e.value).__name__ == "PanicException", repr(e.value)
    return str(e.value)


def line(xs, dtype=np.float64):
    """Points on the x axis."""
    pts = np.zeros((len(xs), 3), dtype)
    pts[:, 0] = xs
    return pts


def no_edges(n):
    return csr([[] for _ in range(n)])


# ---- a plain model of the search ---------------------------------------------------


def model_search_k(xp, xi, xn, yp, yi, yn, k, ef, r=None):
    """The best-first search written out step by step (non-negative, non-NaN distances;
    well-formed graphs). Returns (dists, idx) like the extension."""
    T = xp.dtype.type
    nq, nt = len(xi) - 1, len(yp)
    dists = np.full((nq, k), INF, xp.dtype)
    idx = np.full((nq, k), nt, np.uint64)

    def d2(a, b):
        dx, dy, dz = T(a[0]) - T(b[0]), T(a[1]) - T(b[1]), T(a[2]) - T(b[2])
        return (dx * dx + dy * dy) + dz * dz

    def box_gap2(lo, hi, p):
        g = [max(lo[a] - p[a], T(0)) + max(p[a] - hi[a], T(0)) for a in range(3)]
        return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]

    bounded = per_point = False
    if r is not None:
        if nq == 0:
            return dists, idx
        r = T(r)
        r2 = r * r
        tlo, thi = yp.min(0), yp.max(0)
        qlo, qhi = xp.min(0), xp.max(0)
        gap = [max(max(tlo[a] - qhi[a], qlo[a] - thi[a]), T(0)) for a in range(3)]
        if (gap[0] * gap[0] + gap[1] * gap[1]) + gap[2] * gap[2] > r2:
            return dists, idx
        bounded = True
        per_point = any(qlo[a] < tlo[a] - r or qhi[a] > thi[a] + r for a in range(3))

    def push(heap, item):
        heap.append(item)
        pos = len(heap) - 1
        while pos > 0 and heap[(pos - 1) // 2][0] > item[0]:
            heap[pos] = heap[(pos - 1) // 2]
            pos = (pos - 1) // 2
        heap[pos] = item

    def pop(heap):
        top, last = heap[0], heap.pop()
        end = len(heap)
        if end == 0:
            return top
        hole, child = 0, 1
        while child + 1 < end:
            child += heap[child + 1][0] <= heap[child][0]
            heap[hole], hole, child = heap[child], child, 2 * child + 1
        if child == end - 1:
            heap[hole], hole = heap[child], child
        while hole > 0 and heap[(hole - 1) // 2][0] > last[0]:
            heap[hole], hole = heap[(hole - 1) // 2], (hole - 1) // 2
        heap[hole] = last
        return top

    visited, carried = [False] * nq, 0
    for i in range(nq):
        if visited[i]:
            continue
        visited[i] = True
        stack = [(carried, i)]
        while stack:
            s, q = stack.pop()
            p = xp[q]
            if not (per_point and box_gap2(tlo, thi, p) > r2):
                seen, d = {s}, d2(p, yp[s])
                heap, res = [(d, s)], [(d, s)]
                while heap:
                    c = pop(heap)
                    if len(res) == ef and c[0] > res[ef - 1][0]:
                        break
                    for v in yn[yi[c[1]]:yi[c[1] + 1]]:
                        if v in seen:
                            continue
                        seen.add(v)
                        d = d2(p, yp[v])
                        if len(res) >= ef and not d < res[-1][0]:
                            continue
                        push(heap, (d, v))
                        if len(res) == ef:
                            res.pop()
                        res.insert(bisect.bisect_right([e[0] for e in res], d), (d, v))
                for j, (d, v) in enumerate(res[:k]):
                    if bounded and d > r2:
                        break
                    dists[q, j], idx[q, j] = np.sqrt(d), v
                    if j == 0:
                        carried = v
            for u in xn[xi[q]:xi[q + 1]]:
                if not visited[u]:
                    visited[u] = True
                    stack.append((carried, u))
    return dists, idx


def random_graph(rng, n, max_degree):
    """Directed lists of random length, repeats and self-loops allowed."""
    return csr([list(rng.integers(0, n, rng.integers(0, max_degree + 1))) for _ in range(n)])


@pytest.mark.parametrize("seed", range(6))
def test_matches_model_on_tie_heavy_graphs(seed):
    # Small integer coordinates: many equal distances, so heap order, admission order
    # and the upper-bound insertion all show in the rows.
    rng = np.random.default_rng(seed)
    dtype = np.float64 if seed % 2 == 0 else np.float32
    nt, nq = 40, 25
    yp = rng.integers(0, 4, (nt, 3)).astype(dtype)
    xp = rng.integers(-1, 5, (nq, 3)).astype(dtype)
    yi, yn = random_graph(rng, nt, 7)
    xi, xn = random_graph(rng, nq, 3)
    f = _plov.all_nearest_neighbours_k if dtype == np.float64 else _plov.all_nearest_neighbours_k_f32
    P = _plov.PreparedF64 if dtype == np.float64 else _plov.PreparedF32
    t = P(yp, yi, yn)
    for k, ef in ((3, 5), (6, 2), (4, 0), (1, 1), (5, 40)):
        expect = model_search_k(xp, xi, xn, yp, yi, yn, k, ef)
        for got in (f(xp, xi, xn, yp, yi, yn, k, ef), t.query_k(xp, xi, xn, k, ef)):
            np.testing.assert_array_equal(got[0], expect[0])
            np.testing.assert_array_equal(got[1], expect[1])
        for r in (1.5, 0.0, 2.0):
            expect = model_search_k(xp, xi, xn, yp, yi, yn, k, ef, r)
            got = t.query_k(xp, xi, xn, k, ef, r)
            np.testing.assert_array_equal(got[0], expect[0])
            np.testing.assert_array_equal(got[1], expect[1])


# ---- the worked example and the seeding ---------------------------------------------


def test_worked_example_and_carried_seed():
    # Target chain 0-1-2-3 on the x axis, query at 2.25 seeded at 0, ef = 2.
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *chain_graph(4))
    q = line([2.25])
    d, i = t.query_k(q, *no_edges(1), 2, 2)
    assert d.tolist() == [[0.25, 0.75]] and i.tolist() == [[2, 3]]
    d, i = t.query_k(q, *no_edges(1), 3, 2)
    assert d.tolist() == [[0.25, 0.75, INF]] and i.tolist() == [[2, 3, 4]]

    # A one-way chain 0 -> 1 -> 2 -> 3 -> 2: vertex 2 and 3 can never reach back to 0.
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *csr([[1], [2], [3], [2]]))
    d, i = t.query_k(line([2.25, 0]), *no_edges(2), 2, 2)
    # The second root starts where the first one's nearest was reported (2), not at 0.
    assert i.tolist() == [[2, 3], [2, 3]] and d.tolist() == [[0.25, 0.75], [2.0, 3.0]]


def test_a_skipped_vertex_passes_on_the_latest_report_not_its_own_seed():
    # Target: 0 at x=0 and 1 at x=10, one edge 0 -> 1. Query graph 0:[1, 2], 1:[3].
    # 0 reports target 0 and pushes 1 and 2 with seed 0; 2 reports target 1; 1 is far
    # outside the bound and skipped, so 3 starts at the latest report (target 1), from
    # which target 0 is unreachable.
    t = _plov.PreparedF64(line([0, 10]), *csr([[1], []]))
    x = line([0, 1000, 10, 0])
    d, i = t.query_k(x, *csr([[1, 2], [3], [], []]), 1, 4, 20.0)
    assert i.tolist() == [[0], [2], [1], [1]]
    assert d.tolist() == [[0.0], [INF], [0.0], [10.0]]


def test_a_target_component_limits_the_rows():
    # Two components {0, 1} and {2, 3}: a search seeded at 0 never sees 2 or 3.
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *csr([[1], [0], [3], [2]]))
    d, i = t.query_k(line([3]), *no_edges(1), 4, 8)
    assert i.tolist() == [[1, 0, 4, 4]] and d.tolist() == [[2.0, 3.0, INF, INF]]


# ---- k and ef extremes -------------------------------------------------------------


def test_k_and_ef_extremes():
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *chain_graph(4))
    q = line([2.25])
    # ef = 0 sets no cap: admitted while strictly closer than the seed, which stays last
    d, i = t.query_k(q, *no_edges(1), 5, 0)
    assert i.tolist() == [[2, 3, 1, 0, 4]] and d.tolist() == [[0.25, 0.75, 1.25, 2.25, INF]]
    # 0 < ef < k: at most ef entries
    d, i = t.query_k(q, *no_edges(1), 4, 1)
    assert i.tolist() == [[2, 4, 4, 4]]
    # k = 0: shape (N, 0), but every vertex is still searched
    d, i = t.query_k(line([0, 1, 2]), *chain_graph(3), 0, 4)
    assert d.shape == i.shape == (3, 0) and d.dtype == np.float64 and i.dtype == np.uint64
    bad = _plov.PreparedF64(line([0, 1]), *csr([[7], []]))
    assert panic_message(bad.query_k, q, *no_edges(1), 0, 4) == "index out of bounds: the len is 2 but the index is 7"
    # fewer admitted points than k: the row ends in misses
    t3 = _plov.PreparedF64(line([0, 1, 2]), *chain_graph(3))
    d, i = t3.query_k(line([0.5, 5]), *chain_graph(2), 5, 8)
    assert (i[:, 3:] == 3).all() and (d[:, 3:] == INF).all() and sorted(i[0, :3]) == [0, 1, 2]


def test_empty_query_and_empty_target():
    empty_t = _plov.PreparedF64(np.zeros((0, 3)), np.zeros(1, U32), np.zeros(0, U32))
    for t in (empty_t, _plov.PreparedF64(line([0, 1]), *chain_graph(2))):
        for r in (None, 1.0):
            d, i = t.query_k(np.zeros((0, 3)), np.zeros(1, U32), np.zeros(0, U32), 3, 4, r)
            assert d.shape == i.shape == (0, 3)
    x = line([0, 1])
    d, i = empty_t.query_k(x, *chain_graph(2), 2, 4, 5.0)
    assert (d == INF).all() and (i == 0).all()
    msg = panic_message(empty_t.query_k, x, *chain_graph(2), 2, 4)
    assert msg == "index out of bounds: the len is 0 but the index is 0"
    # an infinite bound does not reject, so it fails like no bound
    assert panic_message(empty_t.query_k, x, *chain_graph(2), 2, 4, INF) == msg


# ---- bounds ------------------------------------------------------------------------


def test_bounds():
    y, yi, yn = cloud_with_graph(400, 3)
    x, xi, xn = cloud_with_graph(150, 4, scale=1.6, offset=-0.3)  # pokes out: per-point mode
    t = _plov.PreparedF64(y, yi, yn)
    free = t.query_k(x, xi, xn, 6, 12)
    for r in (np.nan, INF):
        same = t.query_k(x, xi, xn, 6, 12, r)
        np.testing.assert_array_equal(same[0], free[0])
        np.testing.assert_array_equal(same[1], free[1])
    np.testing.assert_array_equal(t.query_k(x, xi, xn, 6, 12, None)[1], free[1])
    d, i = t.query_k(x, xi, xn, 6, 12, 0.08)
    neg = t.query_k(x, xi, xn, 6, 12, -0.08)
    np.testing.assert_array_equal(neg[1], i)
    assert ((d <= 0.08) | (d == INF)).all() and ((d == INF) == (i == 400)).all()
    assert (d == INF).any() and (d < INF).any()
    assert (np.diff((d < INF).astype(int), axis=1) <= 0).all()  # misses only at row ends
    for r in (0.08, 0.5):  # per-point mode, then post-filter mode
        expect = model_search_k(x, xi, xn, y, yi, yn, 6, 12, r)
        got = t.query_k(x, xi, xn, 6, 12, r)
        np.testing.assert_array_equal(got[0], expect[0])
        np.testing.assert_array_equal(got[1], expect[1])

    # exactly at the bound is reported, just beyond it is not; r = 0 keeps exact hits
    t = _plov.PreparedF64(line([0, 1]), *chain_graph(2))
    q = line([2, 0])
    assert t.query_k(q, *no_edges(2), 2, 2, 1.0)[1].tolist() == [[1, 2], [0, 1]]
    assert t.query_k(q, *no_edges(2), 2, 2, np.nextafter(1.0, 0))[1].tolist() == [[2, 2], [0, 2]]
    assert t.query_k(q, *no_edges(2), 2, 2, 0)[1].tolist() == [[2, 2], [0, 2]]
    # a query box farther than the bound: all misses, even with a broken query graph
    d, i = t.query_k(line([50, 60]), np.array([0, 9, 9], U32), np.zeros(0, U32), 2, 2, 1.0)
    assert (i == 2).all() and (d == INF).all()
    # points beyond the query vertices still widen the box: no rejection, the graph is read
    far = (np.array([0, 1], U32), np.array([7], U32))
    assert t.query_k(line([50]), *far, 2, 2, 1.0)[1].tolist() == [[2, 2]]
    assert panic_message(t.query_k, line([50, 0.5]), *far, 2, 2, 1.0) == (
        "index out of bounds: the len is 1 but the index is 7")


def test_single_precision_bound_is_rounded():
    x32 = np.float32(0.1)  # a little above the double 0.1
    t = _plov.PreparedF32(line([0], np.float32), *no_edges(1))
    d, i = t.query_k(line([x32], np.float32), *no_edges(1), 1, 1, 0.1)
    assert i.tolist() == [[0]] and d[0, 0] == x32
    t64 = _plov.PreparedF64(line([0]), *no_edges(1))
    assert t64.query_k(line([float(x32)]), *no_edges(1), 1, 1, 0.1)[1].tolist() == [[1]]


# ---- the search on Delaunay clouds and the entry points ------------------------------


def test_recall_against_ckdtree_and_entry_points_agree():
    y, yi, yn = cloud_with_graph(3000, 5)
    x, xi, xn = cloud_with_graph(2000, 6, scale=1.1, offset=-0.05)
    _, truth = cKDTree(y).query(x, k=8)
    t, qp = _plov.PreparedF64(y, yi, yn), _plov.PreparedF64(x, xi, xn)
    d, i = t.query_prepared_k(qp, 8, 32)
    assert d.shape == i.shape == (2000, 8) and d.flags.c_contiguous and d.flags.writeable
    hits = sum(len(np.intersect1d(a, b)) for a, b in zip(i, truth))
    assert hits / truth.size > 0.99
    assert (np.diff(d, axis=1) >= 0).all()
    diff = y[i.astype(np.int64)] - x[:, None, :]
    np.testing.assert_array_equal(d, np.sqrt((diff[..., 0] ** 2 + diff[..., 1] ** 2) + diff[..., 2] ** 2))
    for other in (t.query_k(x, xi, xn, 8, 32), _plov.all_nearest_neighbours_k(x, xi, xn, y, yi, yn, 8, 32)):
        np.testing.assert_array_equal(other[0], d)
        np.testing.assert_array_equal(other[1], i)
    for r in (0.02, 0.5):
        a = t.query_k(x, xi, xn, 8, 32, r)
        b = t.query_prepared_k(qp, 8, 32, distance_upper_bound=r)
        np.testing.assert_array_equal(a[0], b[0])
        np.testing.assert_array_equal(a[1], b[1])


def test_self_query_and_single_precision():
    x, xi, xn = cloud_with_graph(800, 7)
    p = _plov.PreparedF64(x, xi, xn)
    d, i = p.query_prepared_k(p, 4, 8)
    assert (i[:, 0] == np.arange(800)).all() and (d[:, 0] == 0).all()
    d32, i32 = _plov.PreparedF32(x.astype(np.float32), xi, xn).query_prepared_k(
        _plov.PreparedF32(x.astype(np.float32), xi, xn), 4, 8)
    assert d32.dtype == np.float32
    # random points: distances are well separated, so both precisions agree
    np.testing.assert_array_equal(i32, i)
    np.testing.assert_allclose(d32, d, rtol=1e-5, atol=1e-6)


def test_strided_and_reversed_index_arrays_equal_contiguous_copies():
    def strided(a):
        big = np.zeros(2 * len(a), a.dtype)
        big[::2] = a
        return big[::2]

    def reversed_view(a):
        return np.ascontiguousarray(a[::-1])[::-1]

    y, yi, yn = cloud_with_graph(500, 8)
    x, xi, xn = cloud_with_graph(200, 9)
    base = _plov.all_nearest_neighbours_k(x, xi, xn, y, yi, yn, 5, 10)
    for view in (strided, reversed_view):
        got = _plov.all_nearest_neighbours_k(x, view(xi), view(xn), y, view(yi), view(yn), 5, 10)
        np.testing.assert_array_equal(got[1], base[1])
        np.testing.assert_array_equal(got[0], base[0])
        got = _plov.PreparedF64(y, yi, yn).query_k(x, view(xi), view(xn), 5, 10, 0.3)
        ref = _plov.PreparedF64(y, yi, yn).query_k(x, xi, xn, 5, 10, 0.3)
        np.testing.assert_array_equal(got[1], ref[1])


# ---- failures on malformed input ----------------------------------------------------


def test_index_failures():
    good = chain_graph(4)
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *good)
    q = line([0.2])
    # a query vertex without a packed point
    assert panic_message(t.query_k, line([0, 1]), *chain_graph(3), 2, 4) == (
        "index out of bounds: the len is 2 but the index is 2")
    # a query neighbour beyond nq
    assert panic_message(t.query_k, line([0, 1]), *csr([[5], []]), 2, 4) == (
        "index out of bounds: the len is 2 but the index is 5")
    # a bound, no supplied query box and no query points
    assert panic_message(t.query_k, np.zeros((0, 3)), *no_edges(1), 2, 4, 1.0) == (
        "index out of bounds: the len is 0 but the index is 0")
    # the seed: vertex 0 of an empty target, also through query_prepared_k
    empty = _plov.PreparedF64(np.zeros((0, 3)), np.zeros(1, U32), np.zeros(0, U32))
    assert panic_message(empty.query_prepared_k, t, 1, 1) == "index out of bounds: the len is 0 but the index is 0"
    # target neighbour lists
    def target(lists_or_arrays):
        return _plov.PreparedF64(line([0, 1, 2, 3]), *lists_or_arrays)
    assert panic_message(target(csr([[9], [], [], []])).query_k, q, *no_edges(1), 2, 4) == (
        "index out of bounds: the len is 4 but the index is 9")
    short = (np.array([0, 1], U32), np.array([1], U32))  # vertex 1 has no second offset
    assert panic_message(target(short).query_k, q, *no_edges(1), 2, 4) == "ndarray: index out of bounds"
    start = (np.array([5, 6, 6, 6, 6], U32), np.array([1, 0, 2], U32))  # both offsets beyond
    assert panic_message(target(start).query_k, q, *no_edges(1), 2, 4) == "assertion failed: start <= axis_len"
    end = (np.array([0, 1, 4, 4, 4], U32), np.array([1, 0, 2], U32))
    assert panic_message(target(end).query_k, q, *no_edges(1), 2, 4) == "assertion failed: end <= axis_len"
    # an inverted pair within the list is just an empty list
    inverted = (np.array([0, 1, 0, 3, 3], U32), np.array([1, 0, 2], U32))
    assert target(inverted).query_k(q, *no_edges(1), 2, 4)[1].tolist() == [[0, 1]]
    # the same offsets on the query side
    assert panic_message(t.query_k, line([0, 1]), np.array([0, 3, 3], U32), np.zeros(1, U32), 1, 1) == (
        "assertion failed: end <= axis_len")
    # the instance is unchanged by all of this
    assert t.query_k(q, *no_edges(1), 2, 4)[1].tolist() == [[0, 1]]


def test_size_failures():
    t = _plov.PreparedF64(line([0, 1]), *chain_graph(2))
    x = line([0, 1])
    assert panic_message(t.query_k, x, np.zeros(0, U32), np.zeros(0, U32), 1, 1) == SHAPE_TOO_LARGE
    assert panic_message(t.query_k, x, *chain_graph(2), 2**62, 1) == SHAPE_TOO_LARGE
    assert panic_message(t.query_k, x, np.zeros(1, U32), np.zeros(0, U32), 2**63, 1) == SHAPE_TOO_LARGE
    assert t.query_k(x, np.zeros(1, U32), np.zeros(0, U32), 2**59, 1)[0].shape == (0, 2**59)
    # the heap reservation for ef; a rejected cloud never reserves it
    assert panic_message(t.query_k, x, *chain_graph(2), 2, 2**57) == "capacity overflow"
    assert panic_message(t.query_k, x, np.zeros(1, U32), np.zeros(0, U32), 2, 2**57) == "capacity overflow"
    d, _ = t.query_k(line([50, 51]), *chain_graph(2), 2, 2**57, 1.0)
    assert (d == INF).all()
    # a large but representable ef is just a search without a cap
    assert t.query_k(x, *chain_graph(2), 2, 2**57 - 1)[1].tolist() == [[0, 1], [1, 0]]


# ---- argument conversion -------------------------------------------------------------


def test_argument_errors():
    x, xi, xn = line([0, 1]), *chain_graph(2)
    t = _plov.PreparedF32(x.astype(np.float32), xi, xn)
    t64 = _plov.PreparedF64(x, xi, xn)

    def error(fn, *args, **kw):
        with pytest.raises(Exception) as e:
            fn(*args, **kw)
        return e.value

    e = error(t64.query_k, x, xi, xn, -1, 4)
    assert type(e) is OverflowError and e.__notes__ == ["while processing 'k'"]
    e = error(t64.query_prepared_k, t64, 2.0, 4)
    assert type(e) is TypeError and e.__notes__ == ["while processing 'k'"]
    e = error(_plov.all_nearest_neighbours_k, x, xi, xn, x, xi, xn, 1, -3)
    assert type(e) is OverflowError and e.__notes__ == ["while processing 'ef'"]
    assert t64.query_k(x, xi, xn, np.uint64(2), np.int8(3))[1].shape == (2, 2)
    e = error(t.query_k, x, xi, xn, 1, 1)
    assert str(e) == "'ndarray' object is not an instance of 'ndarray'" and e.__notes__ == ["while processing 'x_points'"]
    e = error(t.query_prepared_k, t64, 1, 1)
    assert str(e) == "'PreparedF64' object is not an instance of 'PreparedF32'"
    assert e.__notes__ == ["while processing 'other'"]
    e = error(t.query_k, x.astype(np.float32), xi, xn, 1, 1, "far")
    assert type(e) is TypeError and e.__notes__ == ["while processing 'distance_upper_bound'"]
    assert str(error(t64.query_k, x, xi, xn)) == (
        "PreparedF64.query_k() missing 2 required positional arguments: 'k' and 'ef'")
    assert str(error(t.query_prepared_k, t, 1, 1, None, 5)) == (
        "PreparedF32.query_prepared_k() takes from 3 to 4 positional arguments but 5 were given")
    assert str(error(_plov.all_nearest_neighbours_k_f32, x, xi, xn, x, xi, xn, 1)) == (
        "all_nearest_neighbours_k_f32() missing 1 required positional argument: 'ef'")
    assert str(error(_plov.all_nearest_neighbours_k, x, xi, xn, x, xi, xn, k=1, ef=1, r=2)) == (
        "all_nearest_neighbours_k() got an unexpected keyword argument 'r'")
    # keywords work throughout, and the instances are still usable
    d, i = t.query_prepared_k(other=t, k=2, ef=2, distance_upper_bound=None)
    assert i.tolist() == [[0, 1], [1, 0]] and d.dtype == np.float32
