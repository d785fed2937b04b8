"""k-nearest best-first search: the search against a model of its contract (`heapq`
and `bisect`) on tie-heavy graphs, its seeding along the query graph, bounds, failures on malformed
input, and the three entry points."""

import bisect
import heapq

import numpy as np
import pytest
from scipy.spatial import cKDTree

import _plov
from helpers import chain_graph, cloud_with_graph, csr, line, panic_message

INF = np.inf
U32 = np.uint32


def no_edges(n):
    return csr([[] for _ in range(n)])


class Candidate:
    """A candidate ordered by distance alone. `heapq` is the binary heap the search is
    specified with (a pop moves the hole down to a leaf, taking the right child on a
    tie, and the last entry rises from there), so equal distances leave it in the
    search's order; the index never breaks a tie."""

    __slots__ = ("dist", "index")

    def __init__(self, dist, index):
        self.dist, self.index = dist, index

    def __lt__(self, other):
        return self.dist < other.dist


def model_search_k(xp, xi, xn, yp, yi, yn, k, ef, r=None):
    """The search's contract, for well-formed graphs and NaN-free points: from the
    carried seed, expand the nearest candidate first, keep the `ef` nearest admitted
    points (a later one goes after the earlier ones at its distance), stop once the
    nearest candidate is beyond the `ef`-th kept point, and report the first `k`."""
    T = xp.dtype.type
    nq, nt = len(xi) - 1, len(yp)
    dists, idx = np.full((nq, k), INF, xp.dtype), np.full((nq, k), nt, np.uint64)

    def sq(g):
        return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]

    per_point = False
    if r is not None:
        r = T(r)
        tlo, thi, qlo, qhi = yp.min(0), yp.max(0), xp.min(0), xp.max(0)
        if sq([max(tlo[a] - qhi[a], qlo[a] - thi[a], T(0)) for a in range(3)]) > r * r:
            return dists, idx
        per_point = any(qlo[a] < tlo[a] - r or qhi[a] > thi[a] + r for a in range(3))

    visited, carried = [False] * nq, 0
    for i in range(nq):
        if visited[i]:
            continue
        visited[i], stack = True, [(carried, i)]
        while stack:
            s, q = stack.pop()
            p = xp[q]
            if not (per_point and sq([max(tlo[a] - p[a], T(0)) + max(p[a] - thi[a], T(0)) for a in range(3)]) > r * r):
                seen, d = {s}, sq(p - yp[s])
                heap, res = [Candidate(d, s)], [(d, s)]
                while heap:
                    c = heapq.heappop(heap)
                    if len(res) == ef and c.dist > res[ef - 1][0]:
                        break
                    for v in yn[yi[c.index]:yi[c.index + 1]]:
                        if v not in seen:
                            seen.add(v)
                            d = sq(p - yp[v])
                            if len(res) < ef or d < res[-1][0]:
                                heapq.heappush(heap, Candidate(d, v))
                                res = res[:ef - 1] if len(res) == ef else res
                                res.insert(bisect.bisect_right([e[0] for e in res], d), (d, v))
                for j, (d, v) in enumerate(res[:k]):
                    if r is not None and d > r * r:
                        break
                    dists[q, j], idx[q, j] = np.sqrt(d), v
                    carried = v if j == 0 else carried
            for u in xn[xi[q]:xi[q + 1]]:
                if not visited[u]:
                    visited[u] = True
                    stack.append((carried, u))
    return dists, idx


def assert_same(got, expect):
    np.testing.assert_array_equal(got[0], expect[0])
    np.testing.assert_array_equal(got[1], expect[1])


@pytest.mark.parametrize("seed", range(6))
def test_matches_model_on_tie_heavy_graphs(seed):
    # Small integer coordinates give many equal distances, so heap mechanics, admission
    # order and upper-bound insertion all show; random directed lists (repeats,
    # self-loops, several components) exercise the seeding.
    rng = np.random.default_rng(seed)
    dtype = np.float64 if seed % 2 == 0 else np.float32
    yp, xp = rng.integers(0, 4, (40, 3)).astype(dtype), rng.integers(-1, 5, (25, 3)).astype(dtype)
    yi, yn = csr([list(rng.integers(0, 40, rng.integers(0, 8))) for _ in range(40)])
    xi, xn = csr([list(rng.integers(0, 25, rng.integers(0, 4))) for _ in range(25)])
    f = _plov.all_nearest_neighbours_k if dtype == np.float64 else _plov.all_nearest_neighbours_k_f32
    t = (_plov.PreparedF64 if dtype == np.float64 else _plov.PreparedF32)(yp, yi, yn)
    for k, ef in ((3, 5), (6, 2), (4, 0), (1, 1), (5, 40)):
        expect = model_search_k(xp, xi, xn, yp, yi, yn, k, ef)
        assert_same(f(xp, xi, xn, yp, yi, yn, k, ef), expect)
        assert_same(t.query_k(xp, xi, xn, k, ef), expect)
        for r in (0.0, 1.5):  # per-point mode, post-filter mode
            assert_same(t.query_k(xp, xi, xn, k, ef, r), model_search_k(xp, xi, xn, yp, yi, yn, k, ef, r))


def test_worked_example_carried_seed_and_extremes():
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *chain_graph(4))
    q = line([2.25])
    assert_same(t.query_k(q, *no_edges(1), 3, 2), ([[0.25, 0.75, INF]], [[2, 3, 4]]))
    # ef = 0: no cap, admitted while closer than the seed, which stays last
    assert_same(t.query_k(q, *no_edges(1), 5, 0), ([[0.25, 0.75, 1.25, 2.25, INF]], [[2, 3, 1, 0, 4]]))
    assert t.query_k(q, *no_edges(1), 4, 1)[1].tolist() == [[2, 4, 4, 4]]  # 0 < ef < k
    # One-way chain 0 -> 1 -> 2 -> 3 -> 2: the second root starts at the first one's
    # nearest (2), from which 0 and 1 are out of reach.
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *csr([[1], [2], [3], [2]]))
    assert_same(t.query_k(line([2.25, 0]), *no_edges(2), 2, 2), ([[0.25, 0.75], [2, 3]], [[2, 3], [2, 3]]))
    # k = 0: shape (N, 0), yet every vertex is still searched
    d, i = t.query_k(line([0, 1]), *chain_graph(2), 0, 4)
    assert d.shape == i.shape == (2, 0) and d.dtype == np.float64 and i.dtype == np.uint64
    bad = _plov.PreparedF64(line([0, 1]), *csr([[7], []]))
    assert panic_message(bad.query_k, q, *no_edges(1), 0, 4) == "index out of bounds: the len is 2 but the index is 7"


def test_empty_clouds_and_bounds():
    empty = _plov.PreparedF64(np.zeros((0, 3)), np.zeros(1, U32), np.zeros(0, U32))
    for r in (None, 1.0):
        assert empty.query_k(np.zeros((0, 3)), *no_edges(0), 3, 4, r)[0].shape == (0, 3)
    x = line([0, 1])
    assert_same(empty.query_k(x, *chain_graph(2), 2, 4, 5.0), ([[INF] * 2] * 2, [[0, 0]] * 2))
    msg = "index out of bounds: the len is 0 but the index is 0"
    assert panic_message(empty.query_k, x, *chain_graph(2), 2, 4) == msg
    assert panic_message(empty.query_k, x, *chain_graph(2), 2, 4, INF) == msg  # +inf does not reject

    y, yi, yn = cloud_with_graph(400, 3)
    x, xi, xn = cloud_with_graph(150, 4, scale=1.6, offset=-0.3)
    t = _plov.PreparedF64(y, yi, yn)
    free = t.query_k(x, xi, xn, 6, 12)
    for r in (np.nan, INF, None):
        assert_same(t.query_k(x, xi, xn, 6, 12, r), free)
    for r in (0.08, 0.5):
        got = t.query_k(x, xi, xn, 6, 12, r)
        assert_same(got, model_search_k(x, xi, xn, y, yi, yn, 6, 12, r))
        assert_same(t.query_k(x, xi, xn, 6, 12, -r), got)
    # exactly at the bound is kept; a query box out of reach is never searched, but
    # points beyond the query vertices still widen that box
    t = _plov.PreparedF64(line([0, 1]), *chain_graph(2))
    assert t.query_k(line([2, 0]), *no_edges(2), 2, 2, 1.0)[1].tolist() == [[1, 2], [0, 1]]
    assert t.query_k(line([2, 0]), *no_edges(2), 2, 2, np.nextafter(1, 0))[1].tolist() == [[2, 2], [0, 2]]
    broken = (np.array([0, 1], U32), np.array([7], U32))
    assert t.query_k(line([50]), *broken, 2, 2, 1.0)[1].tolist() == [[2, 2]]
    assert panic_message(t.query_k, line([50, 0.5]), *broken, 2, 2, 1.0).endswith("the len is 1 but the index is 7")
    # single precision rounds the bound: float32(0.1) is a little above the double 0.1
    x32 = np.float32(0.1)
    t = _plov.PreparedF32(line([0], np.float32), *no_edges(1))
    assert_same(t.query_k(line([x32], np.float32), *no_edges(1), 1, 1, 0.1), ([[x32]], [[0]]))


def test_recall_and_entry_points_agree():
    y, yi, yn = cloud_with_graph(3000, 5)
    x, xi, xn = cloud_with_graph(2000, 6, scale=1.1, offset=-0.05)
    t, qp = _plov.PreparedF64(y, yi, yn), _plov.PreparedF64(x, xi, xn)
    d, i = t.query_prepared_k(qp, 8, 32)
    assert d.shape == (2000, 8) and d.flags.c_contiguous and d.flags.writeable
    _, truth = cKDTree(y).query(x, k=8)
    assert sum(len(np.intersect1d(a, b)) for a, b in zip(i, truth)) / truth.size > 0.99
    diff = y[i.astype(np.int64)] - x[:, None, :]
    np.testing.assert_array_equal(d, np.sqrt((diff[..., 0] ** 2 + diff[..., 1] ** 2) + diff[..., 2] ** 2))
    assert_same(t.query_k(x, xi, xn, 8, 32), (d, i))
    assert_same(_plov.all_nearest_neighbours_k(x, xi, xn, y, yi, yn, 8, 32), (d, i))
    for r in (0.02, 0.5):
        assert_same(t.query_prepared_k(qp, 8, 32, distance_upper_bound=r), t.query_k(x, xi, xn, 8, 32, r))

    # a cloud against itself finds every point first; well separated distances give
    # the same neighbours in single precision
    d, i = qp.query_prepared_k(qp, 4, 8)
    assert (i[:, 0] == np.arange(2000)).all() and (d[:, 0] == 0).all()
    p32 = _plov.PreparedF32(x.astype(np.float32), xi, xn)
    d32, i32 = p32.query_prepared_k(p32, 4, 8)
    assert d32.dtype == np.float32
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
    for v in (strided, reversed_view):
        assert_same(_plov.all_nearest_neighbours_k(x, v(xi), v(xn), y, v(yi), v(yn), 5, 10), base)


def target4(indptr, indices):
    return _plov.PreparedF64(line([0, 1, 2, 3]), np.array(indptr, U32), np.array(indices, U32))


@pytest.mark.parametrize("call, message", [
    # a query vertex without a point; a query neighbour beyond nq; no points for a box
    (lambda t: t.query_k(line([0, 1]), *chain_graph(3), 2, 4), "index out of bounds: the len is 2 but the index is 2"),
    (lambda t: t.query_k(line([0, 1]), *csr([[5], []]), 2, 4), "index out of bounds: the len is 2 but the index is 5"),
    (lambda t: t.query_k(np.zeros((0, 3)), *no_edges(1), 2, 4, 1.0), "index out of bounds: the len is 0 but the index is 0"),
    # target lists: a neighbour beyond n, a missing second offset, offsets beyond the list
    (lambda t: target4([0, 1, 1, 1, 1], [9]).query_k(line([0]), *no_edges(1), 2, 4),
     "index out of bounds: the len is 4 but the index is 9"),
    (lambda t: target4([0, 1], [1]).query_k(line([0]), *no_edges(1), 2, 4), "ndarray: index out of bounds"),
    (lambda t: target4([4, 4, 4, 4, 4], [1, 0, 2]).query_k(line([0]), *no_edges(1), 2, 4),
     "assertion failed: start <= axis_len"),
    (lambda t: target4([0, 1, 4, 4, 4], [1, 0, 2]).query_k(line([0]), *no_edges(1), 2, 4),
     "assertion failed: end <= axis_len"),
    (lambda t: t.query_k(line([0, 1]), np.array([0, 3, 3], U32), np.zeros(1, U32), 1, 1),
     "assertion failed: end <= axis_len"),
    # sizes: an empty indptr, rows * k beyond isize, the heap reservation for ef
    (lambda t: t.query_k(line([0]), np.zeros(0, U32), np.zeros(0, U32), 1, 1),
     "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
    (lambda t: t.query_k(line([0, 1]), *chain_graph(2), 2**62, 1),
     "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
    (lambda t: t.query_k(line([0]), *no_edges(0), 2**63, 1),
     "ndarray: Shape too large, product of non-zero axis lengths overflows isize"),
    (lambda t: t.query_k(line([0, 1]), *chain_graph(2), 2, 2**57), "capacity overflow"),
    (lambda t: t.query_prepared_k(t, 2, 2**57), "capacity overflow"),
])
def test_failures(call, message):
    t = _plov.PreparedF64(line([0, 1, 2, 3]), *chain_graph(4))
    assert panic_message(call, t) == message
    assert t.query_k(line([0.2]), *no_edges(1), 2, 4)[1].tolist() == [[0, 1]]  # still usable


def test_malformed_but_accepted():
    # offsets inverted within the list: no neighbours
    assert target4([0, 1, 0, 3, 3], [1, 0, 2]).query_k(line([0.2]), *no_edges(1), 2, 4)[1].tolist() == [[0, 1]]
    t = _plov.PreparedF64(line([0, 1]), *chain_graph(2))
    assert t.query_k(line([0]), *no_edges(0), 2**59, 1)[0].shape == (0, 2**59)
    assert (t.query_k(line([50, 51]), *chain_graph(2), 2, 2**57, 1.0)[0] == INF).all()  # rejected first
    assert t.query_k(line([0, 1]), *chain_graph(2), 2, 2**57 - 1)[1].tolist() == [[0, 1], [1, 0]]


def test_argument_errors():
    x, xi, xn = line([0, 1]), *chain_graph(2)
    t, t64 = _plov.PreparedF32(x.astype(np.float32), xi, xn), _plov.PreparedF64(x, xi, xn)
    cases = [
        (lambda: t64.query_k(x, xi, xn, -1, 4), OverflowError, None, "k"),
        (lambda: t64.query_prepared_k(t64, 2.0, 4), TypeError, None, "k"),
        (lambda: _plov.all_nearest_neighbours_k(x, xi, xn, x, xi, xn, 1, -3), OverflowError, None, "ef"),
        (lambda: t.query_k(x, xi, xn, 1, 1), TypeError, "'ndarray' object is not an instance of 'ndarray'", "x_points"),
        (lambda: t.query_prepared_k(t64, 1, 1), TypeError, "'PreparedF64' object is not an instance of 'PreparedF32'",
         "other"),
        (lambda: t.query_k(x.astype(np.float32), xi, xn, 1, 1, "far"), TypeError, None, "distance_upper_bound"),
        (lambda: t64.query_k(x, xi, xn), TypeError,
         "PreparedF64.query_k() missing 2 required positional arguments: 'k' and 'ef'", None),
        (lambda: t.query_prepared_k(t, 1, 1, None, 5), TypeError,
         "PreparedF32.query_prepared_k() takes from 3 to 4 positional arguments but 5 were given", None),
        (lambda: _plov.all_nearest_neighbours_k_f32(x, xi, xn, x, xi, xn, 1), TypeError,
         "all_nearest_neighbours_k_f32() missing 1 required positional argument: 'ef'", None),
    ]
    for call, kind, message, param in cases:
        with pytest.raises(kind) as e:
            call()
        assert message is None or str(e.value) == message
        assert getattr(e.value, "__notes__", None) == ([f"while processing '{param}'"] if param else None)
    assert t64.query_k(x, xi, xn, np.uint64(2), np.int8(3))[1].shape == (2, 2)
    d, i = t.query_prepared_k(other=t, k=2, ef=2, distance_upper_bound=None)
    assert i.tolist() == [[0, 1], [1, 0]] and d.dtype == np.float32
