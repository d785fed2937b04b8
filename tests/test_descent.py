"""Single-nearest search: packing, prepared targets, the warm-started descent along
the query graph, bounds, and failures on malformed input."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.spatial import cKDTree

import _plov
from helpers import brute_nearest, chain_graph, cloud_with_graph, csr, line, panic_message

INF = np.inf
U32 = np.uint32


def forward_chain(n):
    """0 -> 1 -> ... -> n-1: a descent can only move to higher numbers."""
    return csr([[i + 1] if i + 1 < n else [] for i in range(n)])


EMPTY_GRAPH = (np.zeros(1, U32), np.zeros(0, U32))


# ---- exactness on Delaunay graphs ---------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_matches_exact_answers_on_delaunay_graphs(dtype):
    x, xi, xn = cloud_with_graph(3000, 1, dtype)
    y, yi, yn = cloud_with_graph(4000, 2, dtype, scale=1.2, offset=-0.1)
    fn = _plov.all_nearest_neighbours if dtype == np.float64 else _plov.all_nearest_neighbours_f32
    d, i = fn(x, xi, xn, y, yi, yn)
    assert d.dtype == dtype and i.dtype == np.uint64 and d.shape == (3000,)
    bd, bi = brute_nearest(x, y)
    np.testing.assert_array_equal(i, bi)
    # distances in the points' precision: sqrt of (dx*dx + dy*dy) + dz*dz in that type
    diff = y[i.astype(np.int64)] - x
    expect = np.sqrt((diff[:, 0] * diff[:, 0] + diff[:, 1] * diff[:, 1]) + diff[:, 2] * diff[:, 2])
    np.testing.assert_array_equal(d, expect)
    t = (_plov.PreparedF64 if dtype == np.float64 else _plov.PreparedF32)(y, yi, yn)
    for r in (t.query(x, xi, xn), t.query_prepared(type(t)(x, xi, xn))):
        np.testing.assert_array_equal(r[0], d)
        np.testing.assert_array_equal(r[1], i)


def test_self_join_is_identity():
    x, xi, xn = cloud_with_graph(500, 3)
    d, i = _plov.all_nearest_neighbours(x, xi, xn, x, xi, xn)
    assert (d == 0).all() and (i == np.arange(500)).all()
    p = _plov.PreparedF64(x, xi, xn)
    d, i = p.query_prepared(p)
    assert (d == 0).all() and (i == np.arange(500)).all()


def test_bounded_matches_tree_with_inclusive_bound():
    x, xi, xn = cloud_with_graph(2000, 4)
    y, yi, yn = cloud_with_graph(2000, 5, offset=0.5)
    t = _plov.PreparedF64(y, yi, yn)
    td, ti = cKDTree(y).query(x)
    for r in (0.05, 0.2, 10.0):
        for d, i in (t.query(x, xi, xn, r), t.query_prepared(_plov.PreparedF64(x, xi, xn), r)):
            hit = td <= r
            np.testing.assert_array_equal(i[hit], ti[hit])
            assert (d[~hit] == INF).all() and (i[~hit] == 2000).all()


# ---- packing and prepared targets ---------------------------------------------------


def test_packing_reads_any_layout():
    rng = np.random.default_rng(0)
    base = rng.random((40, 3))
    ip, ix = chain_graph(40)
    wide = np.hstack([base, rng.random((40, 2))])
    fortran = np.asfortranarray(base)
    transposed = np.ascontiguousarray(base.T).T
    reversed_ = base[::-1].copy()[::-1]
    strided = np.repeat(base, 2, axis=0)[::2]
    for v in (wide, fortran, transposed, reversed_, strided):
        p = _plov.PreparedF64(v, ip, ix)
        assert p.data.tobytes() == base.tobytes()
    q = rng.random((40, 3))
    ref = _plov.PreparedF64(base, ip, ix).query(q, ip, ix)
    got = _plov.PreparedF64(base, ip, ix).query(np.asfortranarray(q)[::-1][::-1], ip, ix)
    np.testing.assert_array_equal(ref[0], got[0])


def test_prepared_is_a_copy():
    x, xi, xn = cloud_with_graph(200, 6)
    x2, xi2, xn2 = x.copy(), xi.copy(), xn.copy()
    p = _plov.PreparedF64(x2, xi2, xn2)
    before = p.query_prepared(p)
    x2[:] = 7
    xi2[:] = 0
    xn2[:] = 99999
    np.testing.assert_array_equal(p.data, x)
    after = p.query_prepared(p)
    np.testing.assert_array_equal(before[1], after[1])


def test_empty_and_tiny_prepared():
    p = _plov.PreparedF32(np.zeros((0, 3), np.float32), np.zeros(1, U32), np.zeros(0, U32))
    assert p.n == 0 and repr(p) == "PreparedF32(n=0)"
    assert p.data.shape == (0, 3) and p.data.dtype == np.float32
    assert repr(_plov.PreparedF64(np.zeros((2, 5)), *chain_graph(2))) == "PreparedF64(n=2)"
    # (0, 2) packs to nothing; (1, 2) cannot be packed
    assert _plov.PreparedF64(np.zeros((0, 2)), *EMPTY_GRAPH).n == 0
    msg = panic_message(_plov.PreparedF64, np.zeros((1, 2)), *EMPTY_GRAPH)
    assert msg == "ndarray: index out of bounds"


# ---- traversal order and seeding ----------------------------------------------------

# A forward-only target chain at x = 0..9: from seed s the descent ends at
# max(s, nearest), so the answers reveal where each descent started.
TARGET = line(np.arange(10.0))
TARGET_GRAPH = forward_chain(10)


def test_query_graph_order_and_carried_seed():
    # 0 lists 1 and 2, both list 0, 3 is alone: solved in the order 0, 2, 1, 3.
    qi, qn = csr([[1, 2], [0], [0], []])
    q = line([5.0, 2.0, 7.0, 0.0])
    d, i = _plov.all_nearest_neighbours(q, qi, qn, TARGET, *TARGET_GRAPH)
    # 2 and 1 start at 0's answer (5); 3 starts at 1's answer, the latest solved.
    assert i.tolist() == [5, 5, 7, 5]
    assert d.tolist() == [0.0, 3.0, 0.0, 5.0]


def test_query_graph_without_edges_solves_in_index_order():
    q = line([3.0, 1.0, 8.0, 6.0])
    qi, qn = csr([[], [], [], []])
    _, i = _plov.all_nearest_neighbours(q, qi, qn, TARGET, *TARGET_GRAPH)
    assert i.tolist() == [3, 3, 8, 8]


def test_per_point_misses_do_not_move_the_seed():
    # The query box sticks out of the target box grown by r: per-point mode.
    t = _plov.PreparedF64(TARGET, *TARGET_GRAPH)
    qi, qn = csr([[1, 2], [0], [0], []])
    q = line([4.0, 30.0, 7.0, 6.0])
    d, i = t.query(q, qi, qn, 1.0)
    # 1 is a miss; 2 starts at 0's answer, 3 at 2's answer (the latest hit).
    assert i.tolist() == [4, 10, 7, 7]
    assert d[1] == INF


def test_ties_go_to_the_smaller_vertex():
    # Vertex 0 at the origin lists 2 before 1; both are at distance 1 from the query.
    y = np.array([[0, 0, 0], [2, 1, 0], [2, -1, 0]], float)
    yi, yn = csr([[2, 1], [0], [0]])
    q = np.array([[2.0, 0, 0]])
    _, i = _plov.all_nearest_neighbours(q, *csr([[]]), y, yi, yn)
    assert i.tolist() == [1]


def test_nan_query_point_keeps_its_seed():
    q = line([4.0, np.nan])
    q[1, 1] = np.nan
    d, i = _plov.all_nearest_neighbours(q, *csr([[1], [0]]), TARGET, *TARGET_GRAPH)
    assert i.tolist() == [4, 4] and np.isnan(d[1])


@pytest.mark.parametrize("lists, message", [
    ([[1, 9], [0], [3], [2]], "index out of bounds: the len is 4 but the index is 9"),
    (None, "range end index 7 out of range for slice of length 4"),
])
def test_nan_query_point_still_reads_its_seeds_list(lists, message):
    # A NaN query never moves, but its descent reads the seed's neighbours all the same,
    # so a malformed list there fails as it would for any other query.
    y = line([0.0, 1.0, 2.0, 3.0])
    graph = csr(lists) if lists else (np.array([0, 7, 7, 7, 7], U32), np.arange(4, dtype=U32))
    q = np.array([[np.nan, 0.0, 0.0]])
    qg = (np.array([0, 0], U32), np.zeros(0, U32))
    t = _plov.PreparedF64(y, *graph)
    assert panic_message(_plov.all_nearest_neighbours, q, *qg, y, *graph) == message
    assert panic_message(t.query, q, *qg) == message
    assert panic_message(t.query_prepared_blocked, _plov.PreparedF64(q, *qg)) == message


# ---- bounds ------------------------------------------------------------------------


def bounded(q, r, graph=None):
    t = _plov.PreparedF64(TARGET, *TARGET_GRAPH)
    return t.query(q, *(graph or csr([[] for _ in q])), r)


def test_bound_is_inclusive_in_both_modes():
    # inside the grown box (post-filter) and sticking out of it (per-point)
    for extra in ([], [-50.0]):
        q = line([0.0, 3.0, 12.0, 10.0] + extra)
        q[0, 1] = 1.0  # exactly at distance 1 from target point 0
        d, i = bounded(q, 1.0)
        assert i[:4].tolist() == [0, 3, 10, 9]
        assert d[:4].tolist() == [1.0, 0.0, INF, 1.0]


def test_nan_and_infinite_bounds_do_not_filter():
    q = line([0.5, 3.0, 120.0])
    free = _plov.PreparedF64(TARGET, *TARGET_GRAPH).query(q, *csr([[], [], []]))
    for r in (np.nan, np.inf):
        np.testing.assert_array_equal(bounded(q, r)[1], free[1])
    np.testing.assert_array_equal(bounded(q, -0.75)[1], bounded(q, 0.75)[1])


def test_far_query_cloud_is_rejected_without_reading_graphs():
    q = line([100.0, 101.0])
    bad_graph = (np.array([0, 5, 9], U32), np.array([7], U32))  # malformed, never read
    d, i = bounded(q, 2.0, bad_graph)
    assert d.tolist() == [INF, INF] and i.tolist() == [10, 10]


def test_empty_target():
    q = line([1.0, 2.0])
    qg = csr([[1], [0]])
    empty = (np.zeros((0, 3)), *EMPTY_GRAPH)
    t = _plov.PreparedF64(*empty)
    d, i = t.query(q, *qg, 5.0)
    assert d.tolist() == [INF, INF] and i.tolist() == [0, 0]
    for call in (lambda: t.query(q, *qg), lambda: t.query(q, *qg, np.inf),
                 lambda: _plov.all_nearest_neighbours(q, *qg, *empty)):
        assert panic_message(call) == "index out of bounds: the len is 0 but the index is 0"


def test_empty_query():
    t = _plov.PreparedF32(np.zeros((0, 3), np.float32), *EMPTY_GRAPH)
    for r in (None, 1.0):
        d, i = t.query(np.zeros((0, 3), np.float32), *EMPTY_GRAPH, r)
        assert d.shape == i.shape == (0,) and d.dtype == np.float32 and i.dtype == np.uint64


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_next_float_above_a_reported_distance_keeps_its_point(dtype):
    # The bound is applied to squared distances, so a reported distance passed back as
    # the bound can lose its own point by one rounding; the next float above it cannot.
    Prepared = _plov.PreparedF64 if dtype == np.float64 else _plov.PreparedF32
    target = Prepared(*cloud_with_graph(2_000, 5, dtype))
    x = cloud_with_graph(300, 6, dtype)[0]
    alone = (np.zeros(2, U32), np.zeros(0, U32))
    lost = 0
    for p in x:
        one = Prepared(p[None], *alone)
        searches = (
            lambda r: target.query(p[None], *alone, r),
            lambda r: target.query_k(p[None], *alone, 1, 4, r),
            lambda r: target.query_prepared_blocked(one, 1, r),
        )
        for search in searches:
            (d,), (i,) = (a.ravel() for a in search(None))
            (_,), (i_next,) = (a.ravel() for a in search(np.nextafter(d, dtype(INF))))
            assert i_next == i
            lost += search(d)[1].ravel()[0] != i
    assert lost > 0  # passing the distance itself does lose some


def test_f32_bound_is_rounded_to_single_precision():
    y = line([0.0], np.float32)
    t = _plov.PreparedF32(y, *csr([[]]))
    q = line([0.1], np.float32)  # distance float32(0.1)
    r = float(np.float32(0.1)) - 1e-12  # rounds back up to float32(0.1)
    assert t.query(q, *csr([[]]), r)[1].tolist() == [0]


# ---- malformed input ---------------------------------------------------------------

PTS = line(np.arange(4.0))
GOOD = chain_graph(4)


@pytest.mark.parametrize(
    "query_graph, target_graph, message",
    [
        ((np.zeros(0, U32), GOOD[1]), GOOD, "capacity overflow"),
        ((np.arange(12, dtype=U32)[::2], GOOD[1]), GOOD, "contiguous CSR indptr"),
        ((GOOD[0], np.repeat(GOOD[1], 2)[::2]), GOOD, "contiguous CSR neighbours"),
        (GOOD, (np.repeat(GOOD[0], 2)[::2], GOOD[1]), "contiguous CSR indptr"),
        (GOOD, (GOOD[0], np.repeat(GOOD[1], 2)[::-2]), "contiguous CSR neighbours"),
        ((np.array([0, 1, 1, 1, 1, 1], U32), np.array([1], U32)), GOOD, "index out of bounds: the len is 4 but the index is 4"),
        ((np.array([0, 1, 1, 1, 1], U32), np.array([9], U32)), GOOD, "index out of bounds: the len is 4 but the index is 9"),
        (GOOD, (GOOD[0], np.array([1, 0, 2, 1, 3, 7], U32)), "index out of bounds: the len is 4 but the index is 7"),
        (GOOD, (np.array([0, 1, 3], U32), GOOD[1]), "index out of bounds: the len is 3 but the index is 3"),
        (GOOD, (np.array([9, 9, 9, 9, 9], U32), GOOD[1]), "range start index 9 out of range for slice of length 6"),
        (GOOD, (np.array([0, 7, 7, 7, 7], U32), GOOD[1]), "range end index 7 out of range for slice of length 6"),
        (GOOD, (np.array([0, 3, 1, 5, 6], U32), GOOD[1]), "slice index starts at 3 but ends at 1"),
    ],
)
def test_malformed_graphs_raise_in_order(query_graph, target_graph, message):
    q = PTS + 0.25
    assert panic_message(_plov.all_nearest_neighbours, q, *query_graph, PTS, *target_graph) == message
    # the prepared path reports the same failure (its own graph copy is always
    # contiguous), and the instance stays usable
    if message.startswith("contiguous") and target_graph is not GOOD:
        return
    t = _plov.PreparedF64(PTS, *target_graph)
    assert panic_message(t.query, q, *query_graph) == message
    if target_graph is GOOD:
        assert t.query(q, *GOOD)[1].tolist() == [0, 1, 2, 3]


def test_more_vertices_than_points():
    ip = np.array([0, 0, 0, 0], U32)
    msg = panic_message(_plov.all_nearest_neighbours, PTS[:2], ip, np.zeros(0, U32), PTS, *GOOD)
    assert msg == "index out of bounds: the len is 2 but the index is 2"
    # extra points beyond the vertices are ignored
    d, i = _plov.all_nearest_neighbours(PTS, ip, np.zeros(0, U32), PTS, *GOOD)
    assert i.tolist() == [0, 1, 2]


def test_query_box_needs_points():
    t = _plov.PreparedF64(PTS, *GOOD)
    msg = panic_message(t.query, np.zeros((0, 3)), np.zeros(2, U32), np.zeros(0, U32), 1.0)
    assert msg == "index out of bounds: the len is 0 but the index is 0"


def test_too_few_columns():
    assert panic_message(_plov.all_nearest_neighbours, PTS[:, :2], *GOOD, PTS, *GOOD) == "ndarray: index out of bounds"
    assert panic_message(_plov.all_nearest_neighbours, PTS, *GOOD, PTS[:, :2], *GOOD) == "ndarray: index out of bounds"


def test_malformed_inputs_do_not_crash_the_interpreter():
    # Run a batch of hostile calls in a child, so that a crash fails this test only.
    script = textwrap.dedent(
        """
        import numpy as np, _plov
        U = np.uint32
        pts = np.random.default_rng(0).random((50, 3))
        big = np.array([0, 2**32 - 1, 2**32 - 1], U)
        cases = [
            (pts, np.array([0, 2**32 - 1], U), np.zeros(3, U)),
            (pts, np.array([0, 1], U), np.array([2**32 - 1], U)),
            (pts, big, np.zeros(5, U)),
            (pts[:1], np.arange(60, dtype=U), np.zeros(60, U)),
            (pts, np.array([5, 3, 1], U), np.zeros(2, U)),
        ]
        for q in cases:
            for t in cases:
                for r in (None, 0.5, float("nan")):
                    try:
                        _plov.PreparedF64(*t).query(*q, r)
                    except BaseException as e:
                        assert type(e).__name__ == "PanicException", e
        print("survived")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "survived" in out.stdout


# ---- a reference model of the traversal, on graphs where descents get stuck ---------


def model_search(q, qi, qn, y, yi, yn, r=None):
    """One query vertex at a time, exactly as the traversal is defined: roots in index
    order, a stack of (seed, vertex), answers handed to neighbours, the carried seed."""
    nq, nt = len(qi) - 1, len(y)
    d2 = lambda a, b: ((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1])) + (a[2] - b[2]) * (a[2] - b[2])

    def descend(p, s):
        best, bi = d2(y[s], p), s
        while True:
            cur = bi
            for j in yn[yi[cur]:yi[cur + 1]]:
                d = d2(y[j], p)
                if d < best or (d == best and j < bi):
                    best, bi = d, j
            if bi == cur:
                return best, bi

    lo, hi = y.min(0), y.max(0)
    per_point = r is not None and ((q.min(0) < lo - r).any() or (q.max(0) > hi + r).any())
    dists, idx = np.zeros(nq), np.zeros(nq, np.int64)
    seen, carried = np.zeros(nq, bool), 0
    for root in range(nq):
        if seen[root]:
            continue
        seen[root] = True
        stack = [(carried, root)]
        while stack:
            s, v = stack.pop()
            p, handed = q[v], s
            gap = np.maximum(lo - p, 0) + np.maximum(p - hi, 0)
            if per_point and (gap * gap).sum() > r * r:
                dists[v], idx[v] = np.inf, nt
            else:
                dd, j = descend(p, s)
                d = np.sqrt(dd)
                if per_point and d * d > r * r:
                    dists[v], idx[v] = np.inf, nt
                else:
                    dists[v], idx[v], handed, carried = d, j, j, j
            for w in qn[qi[v]:qi[v + 1]]:
                if not seen[w]:
                    seen[w] = True
                    stack.append((handed, w))
    if r is not None and not per_point:
        far = dists * dists > r * r
        dists[far], idx[far] = np.inf, nt
    return dists, idx


def sparse_graph(points, near, rng):
    """Directed lists of the `near` nearest points plus one random point, shuffled:
    greedy descents travel far but often stop at local minima."""
    d = ((points[:, None] - points[None]) ** 2).sum(-1)
    lists = []
    for v in range(len(points)):
        nb = list(np.argsort(d[v])[1:near + 1]) + [int(rng.integers(len(points)))]
        rng.shuffle(nb)
        lists.append(nb)
    return csr(lists)


@pytest.mark.parametrize("seed", range(4))
def test_traversal_matches_reference_model(seed):
    rng = np.random.default_rng(seed)
    y = rng.random((150, 3))
    q = rng.random((120, 3)) * 1.6 - 0.3
    yi, yn = sparse_graph(y, 3, rng)
    qi, qn = sparse_graph(q, 2, rng)
    t = _plov.PreparedF64(y, yi, yn)
    for r in (None, 0.2, 1.0):  # unbounded, per-point (the query box sticks out), post-filter
        ed, ei = model_search(q, qi, qn, y, yi, yn, r)
        got = [t.query(q, qi, qn, r), t.query_prepared(_plov.PreparedF64(q, qi, qn), r)]
        if r is None:
            got.append(_plov.all_nearest_neighbours(q, qi, qn, y, yi, yn))
        for d, i in got:
            np.testing.assert_array_equal(i, ei)
            np.testing.assert_array_equal(d, ed)


def model_blocked(q, y, yi, yn, block):
    """The blocked descent without a bound: every query of a block starts at the answer
    of the last query of the blocks before (vertex 0 at first)."""
    d2 = lambda a, b: ((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1])) + (a[2] - b[2]) * (a[2] - b[2])
    dists, idx, seed, b = np.zeros(len(q)), np.zeros(len(q), np.int64), 0, max(block, 1)
    for start in range(0, len(q), b):
        for v in range(start, min(start + b, len(q))):
            best, bi = d2(y[seed], q[v]), seed
            while True:
                cur = bi
                for j in yn[yi[cur]:yi[cur + 1]]:
                    d = d2(y[j], q[v])
                    if d < best or (d == best and j < bi):
                        best, bi = d, j
                if bi == cur:
                    break
            dists[v], idx[v] = np.sqrt(best), bi
        seed = idx[min(start + b, len(q)) - 1]
    return dists, idx


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("checked", [False, True])
def test_non_finite_targets_and_ties_follow_the_comparison_rules(checked):
    # Distances to NaN points are NaN (never taken), to infinite points +inf or NaN; many
    # points are exact copies (ties go to the smaller number); one query is NaN. With
    # `checked`, one more unreachable vertex lists a vertex that does not exist: the
    # answers stay, but the target is searched with per-access checks (and the blocked
    # descent by its shared-gather passes).
    n = 3000
    rng = np.random.default_rng(5)
    y = rng.random((n, 3))
    y[rng.choice(n, n // 20, replace=False)] = np.nan
    y[rng.choice(n, n // 20, replace=False), rng.integers(0, 3)] = np.inf
    y[rng.choice(n, n // 10)] = y[rng.choice(n, n // 10)]
    y[0] = np.nan  # the first seed itself
    lists = [[(v - 1) % n, (v + 1) % n, int(rng.integers(n)), int(rng.integers(n))] for v in range(n)]
    lists = [sorted(set(nb) - {v}, key=lambda _: rng.random()) for v, nb in enumerate(lists)]
    q = np.vstack([y[rng.choice(n, 60)], rng.random((140, 3))])
    rng.shuffle(q)
    q[17] = np.nan
    qi, qn = csr([[w for w in (v - 1, v + 1) if 0 <= w < len(q)] for v in range(len(q))])
    yi, yn = csr(lists)
    ed, ei = model_search(q, qi, qn, y, yi, yn)
    blocked = {block: model_blocked(q, y, yi, yn, block) for block in (1, 5, 64)}
    if checked:
        y, yi, yn = np.vstack([y, [[50.0, 50.0, 50.0]]]), *csr(lists + [[n + 7]])
    t = _plov.PreparedF64(y, yi, yn)
    qp = _plov.PreparedF64(q, qi, qn)
    for d, i in [t.query(q, qi, qn), t.query_prepared(qp), _plov.all_nearest_neighbours(q, qi, qn, y, yi, yn)]:
        np.testing.assert_array_equal(i, ei)
        np.testing.assert_array_equal(d, ed)
    for block, (bd, bi) in blocked.items():
        d, i = t.query_prepared_blocked(qp, block)
        np.testing.assert_array_equal(i, bi)
        np.testing.assert_array_equal(d, bd)
