"""Grouped query sets, query_grouped and query_prepared_blocked."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _plov
from helpers import brute_nearest, cloud_with_graph, csr

CLASSES = {np.float32: (_plov.PreparedF32, _plov.GroupedQueriesF32),
           np.float64: (_plov.PreparedF64, _plov.GroupedQueriesF64)}
BLOCKS = [0, 1, 2, 7, 32, 1000]
INDEX_MSG = "index out of bounds: the len is {} but the index is {}"


def edgeless(n):
    return np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32)


def prep(points, dtype=np.float64, graph=None):
    points = np.asarray(points, dtype).reshape(-1, 3)
    return CLASSES[dtype][0](points, *(graph or edgeless(len(points))))


def panic(fn, *args, **kw):
    with pytest.raises(BaseException) as info:
        fn(*args, **kw)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


def type_error(fn, *args, **kw):
    with pytest.raises(TypeError) as info:
        fn(*args, **kw)
    return str(info.value), getattr(info.value, "__notes__", [])


@pytest.fixture(scope="module")
def world():
    """Three Delaunay clouds of overlapping extent, each stored in a shuffled order."""
    rng = np.random.default_rng(11)
    clouds = []
    for seed, n in [(1, 700), (2, 500), (3, 900)]:
        pts, indptr, indices = cloud_with_graph(n, seed, offset=0.2 * seed)
        perm = rng.permutation(n)  # stored point k is original point perm[k]
        inv = np.argsort(perm)
        lists = [[inv[v] for v in indices[indptr[perm[k]]:indptr[perm[k] + 1]]] for k in range(n)]
        clouds.append((pts, perm.astype(np.int64), pts[perm], *csr(lists)))
    return clouds


def grouped_set(world, dtype):
    prepared_cls, grouped_cls = CLASSES[dtype]
    preps = [prepared_cls(c[2].astype(dtype), c[3], c[4]) for c in world]
    return preps, grouped_cls.prepare(preps, [c[1] for c in world])


# ---- the grouped set itself ---------------------------------------------------------

def test_empty_set():
    g = _plov.GroupedQueriesF32.prepare([], [])
    assert (g.n_clouds, g.n_points) == (0, 0)
    assert repr(g) == "GroupedQueriesF32(n_clouds=0, n_points=0)"
    assert g.offsets.tolist() == [0] and g.offsets.dtype == np.uint64
    assert g.perm.tolist() == [] and g.perm.dtype == np.uint64
    t = prep(np.random.default_rng(0).random((4, 3)), np.float32)
    for finalize in (True, False):
        d, i = t.query_grouped(g, None, finalize=finalize)
        assert (d.dtype, i.dtype, len(d), len(i)) == (np.float32, np.uint64, 0, 0)


def test_offsets_repr_and_copies():
    rng = np.random.default_rng(1)
    a, b, empty = prep(rng.random((3, 3))), prep(rng.random((4, 3))), prep(np.zeros((0, 3)))
    g = _plov.GroupedQueriesF64.prepare((a, empty, b), [])
    assert g.offsets.tolist() == [0, 3, 3, 7]
    assert repr(g) == "GroupedQueriesF64(n_clouds=3, n_points=7)"
    g.offsets[0] = 99
    g.perm[0] = 99
    assert g.offsets[0] == 0 and sorted(g.perm.tolist()) == list(range(7))
    with pytest.raises(AttributeError):
        g.n_points = 3


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_raw_results_are_the_morton_sorted_concatenation(world, dtype):
    preps, g = grouped_set(world, dtype)
    target = preps[2]
    raw_d, raw_i = target.query_grouped(g, None, finalize=False)
    concat = np.vstack([c[2] for c in world]).astype(dtype)
    ref_d, ref_i = target.query_prepared_blocked(prep(concat[g.perm], dtype), 32)
    assert np.array_equal(raw_d, ref_d) and np.array_equal(raw_i, ref_i)


# ---- finalize -------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_finalize_maps_clouds_and_target(world, dtype):
    preps, g = grouped_set(world, dtype)
    pts_t, tperm = world[1][0], world[1][1]
    target = preps[1]
    d, i = target.query_grouped(g, tperm)
    raw_d, raw_i = target.query_grouped(g, tperm, finalize=False)
    assert np.array_equal(raw_i, target.query_grouped(g, None, finalize=False)[1])

    # Scatter to concatenated order, then map per cloud and through target_perm.
    n = g.n_points
    cat_d, cat_i = np.empty(n, dtype), np.empty(n, np.uint64)
    cat_d[g.perm], cat_i[g.perm] = raw_d, raw_i
    fin_d, fin_i = np.empty(n, dtype), np.empty(n, np.uint64)
    off = g.offsets.astype(np.int64)
    for c, (_, qperm, *_rest) in enumerate(world):
        dst = off[c] + qperm
        fin_d[dst] = cat_d[off[c]:off[c + 1]]
        fin_i[dst] = tperm[cat_i[off[c]:off[c + 1]]].astype(np.uint64)
    assert np.array_equal(d, fin_d) and np.array_equal(i, fin_i)

    # Per cloud this is the plain descent, in original numbering on both sides.
    for c, (orig, qperm, *_rest) in enumerate(world):
        sd, si = target.query_prepared(preps[c])
        od, oi = np.empty_like(sd), np.empty_like(si)
        od[qperm], oi[qperm] = sd, tperm[si].astype(np.uint64)
        assert np.array_equal(d[off[c]:off[c + 1]], od)
        assert np.array_equal(i[off[c]:off[c + 1]], oi)
        bd, bi = brute_nearest(orig.astype(dtype), pts_t.astype(dtype))
        assert np.allclose(d[off[c]:off[c + 1]], bd, rtol=1e-5, atol=1e-6)


def test_query_perm_count_and_target_perm_values():
    rng = np.random.default_rng(5)
    a, b = prep(rng.random((3, 3))), prep(rng.random((4, 3)) + 5)
    target = prep([[0, 0, 0], [10, 10, 10]], graph=csr([[1], [0]]))
    base_d, base_i = target.query_grouped(_plov.GroupedQueriesF64.prepare([a, b], []), None)
    # Missing entries mean "not reordered"; surplus entries are ignored.
    rev = np.array([2, 1, 0], np.int64)
    for perms in ([rev], [rev, None, np.array([5], np.int64)]):
        d, i = target.query_grouped(_plov.GroupedQueriesF64.prepare([a, b], perms), None)
        assert np.array_equal(d[:3], base_d[:3][::-1]) and np.array_equal(d[3:], base_d[3:])
    # Negative target indices come back as their uint64 pattern; misses keep n_t.
    g = _plov.GroupedQueriesF64.prepare([a, b], [])
    tperm = np.array([-1, -7], np.int64)
    d, i = target.query_grouped(g, tperm)
    assert i.tolist() == tperm.astype(np.uint64)[base_i].tolist()
    d, i = target.query_grouped(g, tperm, distance_upper_bound=3.0)
    assert i.tolist() == [2**64 - 1] * 3 + [2] * 4
    assert base_i.tolist() == [0] * 3 + [1] * 4
    assert np.all(np.isinf(d[3:]))


# ---- blocked descent ------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_blocked_equals_single_descent_on_delaunay(world, dtype):
    preps, _ = grouped_set(world, dtype)
    prepared_cls, grouped_cls = CLASSES[dtype]
    plain = grouped_cls.prepare(preps, [])
    for target in preps:
        ref = [target.query_prepared(q) for q in preps]
        ref_d = np.concatenate([r[0] for r in ref])
        for block in BLOCKS:
            d, i = target.query_grouped(plain, None, block=block)
            assert np.array_equal(d, ref_d), block
            for q, (rd, ri) in zip(preps, ref):
                bd, bi = target.query_prepared_blocked(q, block)
                assert np.array_equal(bd, rd) and np.array_equal(bi, ri), block
        assert np.array_equal(target.query_prepared_blocked(preps[0])[0], ref[0][0])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_bounds_against_brute_force(world, dtype):
    preps, g = grouped_set(world, dtype)
    target = preps[0]
    q = preps[2]
    qpts = world[2][2].astype(dtype)
    full_d, full_i = target.query_prepared_blocked(q)
    for r in (np.inf, np.nan, -np.inf):
        d, i = target.query_prepared_blocked(q, distance_upper_bound=r)
        assert np.array_equal(d, full_d) and np.array_equal(i, full_i)
    # A bound between two consecutive answer distances, so no answer sits on it.
    mid = np.sort(full_d.astype(np.float64))[len(full_d) // 2 - 1:len(full_d) // 2 + 1]
    r = float(mid.mean())
    hit = full_d < r
    assert 0 < hit.sum() < len(hit)
    for bound in (r, -r):
        d, i = target.query_prepared_blocked(q, 4, bound)
        assert np.array_equal(d[hit], full_d[hit]) and np.array_equal(i[hit], full_i[hit])
        assert np.all(np.isinf(d[~hit])) and np.all(i[~hit] == target.n)
    gd, gi = target.query_grouped(g, None)
    d, i = target.query_grouped(g, None, distance_upper_bound=r)
    hit = gd < r
    assert np.array_equal(d[hit], gd[hit]) and np.array_equal(i[hit], gi[hit])
    assert np.all(np.isinf(d[~hit])) and np.all(i[~hit] == target.n)
    # A bound below the gap between the boxes: every result is the miss marker.
    far = prep(qpts + 100, dtype)
    d, i = target.query_prepared_blocked(far, distance_upper_bound=1.0)
    assert np.all(np.isinf(d)) and np.all(i == target.n)


def trap():
    """Target where the start vertex decides the answer of the query (1, 0, 0):
    from 0 the descent stays at 0 (distance 1); from 1 it reaches 2 (distance 0).
    Vertex 3 only widens the box."""
    pts = [[0, 0, 0], [10, 0, 0], [1, 0, 0], [10, 4, 0]]
    return prep(pts, graph=csr([[1], [0, 2], [1], []]))


def test_carried_seed_between_blocks():
    t = trap()
    q = prep([[10, 2, 0], [1, 0, 0]])  # the first query ends at vertex 1, distance 2
    assert t.query_prepared_blocked(q, 1)[1].tolist() == [1, 2]
    assert t.query_prepared_blocked(q, 0)[1].tolist() == [1, 2]
    # One block: both start at vertex 0.
    assert t.query_prepared_blocked(q, 2)[1].tolist() == [1, 0]
    assert t.query_prepared_blocked(q, 2**62 - 1)[1].tolist() == [1, 0]
    # An answer exactly at the bound counts and moves the seed; a miss does not.
    d, i = t.query_prepared_blocked(q, 1, 2.0)
    assert d.tolist() == [2.0, 0.0] and i.tolist() == [1, 2]
    d, i = t.query_prepared_blocked(q, 1, 1.5)
    assert d.tolist() == [np.inf, 1.0] and i.tolist() == [4, 0]
    # A NaN query never moves and leaves the seed where it was.
    nanq = prep([[10, 2, 0], [np.nan, 0, 0], [1, 0, 0]])
    d, i = t.query_prepared_blocked(nanq, 1)
    assert np.isnan(d[1]) and i.tolist() == [1, 1, 2]


def test_degenerate_targets_and_ties():
    q = prep([[1, 2, 3], [4, 5, 6]])
    for empty in (prep(np.zeros((0, 3))), prep(np.zeros((0, 3)), graph=(np.zeros(0, np.uint32),) * 2)):
        d, i = empty.query_prepared_blocked(q)
        assert d.tolist() == [np.inf, np.inf] and i.tolist() == [0, 0]
    assert [len(a) for a in q.query_prepared_blocked(prep(np.zeros((0, 3))))] == [0, 0]
    single = prep([[0, 0, 0]])
    d, i = single.query_prepared_blocked(q, 3)
    assert i.tolist() == [0, 0] and np.allclose(d, [14**0.5, 77**0.5])
    # Equidistant neighbours: the smaller vertex number wins, whatever the list order.
    t = prep([[-1, -1, 0], [2, 0, 0], [0, 2, 0]], graph=csr([[2, 1], [0], [0]]))
    assert t.query_prepared_blocked(prep([[1, 1, 0]]))[1].tolist() == [1]
    # Equidistant to the current vertex: move only to a smaller number. The first
    # query puts the seed on the vertex at (0, 2, 0).
    q = prep([[0, 2, 0], [0, 1, 0]])
    t = prep([[10, 0, 0], [0, 0, 0], [0, 2, 0]], graph=csr([[2], [2], [0, 1]]))
    assert t.query_prepared_blocked(q, 1)[1].tolist() == [2, 1]
    t = prep([[10, 0, 0], [0, 2, 0], [0, 0, 0]], graph=csr([[1], [0, 2], [1]]))
    assert t.query_prepared_blocked(q, 1)[1].tolist() == [1, 1]


def test_concurrent_calls_share_one_set(world):
    preps, g = grouped_set(world, np.float64)
    expected = [t.query_grouped(g, None) for t in preps]
    with ThreadPoolExecutor(2) as pool:
        got = list(pool.map(lambda t: t.query_grouped(g, None), preps * 3))
    for k, (d, i) in enumerate(got):
        assert np.array_equal(d, expected[k % 3][0]) and np.array_equal(i, expected[k % 3][1])


# ---- failures -------------------------------------------------------------------------

def test_failures():
    rng = np.random.default_rng(9)
    a, b = prep(rng.random((3, 3))), prep(rng.random((4, 3)))
    target = prep(rng.random((5, 3)))
    strided = np.arange(8, dtype=np.int64)[::2]
    assert panic(_plov.GroupedQueriesF64.prepare, [a], [None, strided]) == "contiguous perm"
    g = _plov.GroupedQueriesF64.prepare([a, b], [])
    for finalize in (True, False):
        assert panic(target.query_grouped, g, strided, finalize=finalize) == "contiguous target perm"
    short = _plov.GroupedQueriesF64.prepare([a, b], [None, np.array([0, 1, 2], np.int64)])
    assert panic(target.query_grouped, short, None) == INDEX_MSG.format(3, 3)
    out = _plov.GroupedQueriesF64.prepare([a, b], [None, np.array([0, 1, 2, 4], np.int64)])
    assert panic(target.query_grouped, out, None) == INDEX_MSG.format(7, 7)
    neg = _plov.GroupedQueriesF64.prepare([a, b], [np.array([0, -1, 1], np.int64)])
    assert panic(target.query_grouped, neg, None) == INDEX_MSG.format(7, 2**64 - 1)
    assert len(target.query_grouped(out, None, finalize=False)[0]) == 7
    # Entries that pass the index test but are no permutation of their own cloud: a
    # repeat (one slot never written) or a destination in another cloud.
    for perms, cloud in (([np.array([0, 1, 1], np.int64)], 0),
                         ([None, np.array([0, 1, 2, 2], np.int64)], 1),
                         ([None, np.array([0, 1, 2, -1], np.int64)], 1),
                         ([np.array([0, 1, 3], np.int64), np.array([0, 1, 2, 3], np.int64)], 0)):
        bad = _plov.GroupedQueriesF64.prepare([a, b], perms)
        message = f"query_perms[{cloud}] is not a permutation of the cloud's {3 + cloud} points"
        assert panic(target.query_grouped, bad, None) == message
        assert panic(target.query_grouped, bad, np.arange(5, dtype=np.int64)) == message
        assert len(target.query_grouped(bad, None, finalize=False)[0]) == 7
    # the failures of the index tests come first, whichever cloud they are in
    both = _plov.GroupedQueriesF64.prepare([a, b], [np.array([1, 1, 1], np.int64), np.array([0, 1, 2], np.int64)])
    assert panic(target.query_grouped, both, None) == INDEX_MSG.format(3, 3)
    repeat = _plov.GroupedQueriesF64.prepare([a, b], [np.array([1, 1, 1], np.int64)])
    assert panic(target.query_grouped, repeat, np.zeros(0, np.int64)).startswith(INDEX_MSG.format(0, "")[:-1])
    assert panic(target.query_grouped, g, np.zeros(0, np.int64)) == INDEX_MSG.format(0, 0)
    assert panic(target.query_grouped, g, None, 2**62) == "capacity overflow"
    assert panic(target.query_prepared_blocked, a, 2**64 - 1) == "capacity overflow"
    # Query counts come from the offsets: none at all, or more than there are points.
    empty = np.zeros(0, np.uint32)
    assert panic(target.query_prepared_blocked, prep(rng.random((2, 3)), graph=(empty, empty))) == \
        "capacity overflow"
    assert panic(target.query_prepared_blocked, prep(rng.random((2, 3)), graph=edgeless(3))) == \
        INDEX_MSG.format(2, 2)
    # A target whose graph names a missing vertex fails at the first fetch.
    broken = prep(rng.random((2, 3)), graph=csr([[5], [0]]))
    assert panic(broken.query_prepared_blocked, a) == INDEX_MSG.format(2, 5)
    assert panic(prep(rng.random((2, 3)), graph=(np.zeros(1, np.uint32), np.zeros(0, np.uint32))).
                 query_prepared_blocked, a) == INDEX_MSG.format(1, 1)


def test_argument_errors():
    a32 = prep(np.ones((2, 3)), np.float32)
    a64 = prep(np.ones((2, 3)))
    g64 = _plov.GroupedQueriesF64.prepare([a64], [])
    msg, notes = type_error(a32.query_grouped, g64, None)
    assert msg == "'GroupedQueriesF64' object is not an instance of 'GroupedQueriesF32'"
    assert notes == ["while processing 'grouped'"]
    msg, notes = type_error(_plov.GroupedQueriesF32.prepare, "ab", [])
    assert (msg, notes) == ("Can't extract `str` to `Vec`", ["while processing 'queries'"])
    msg, notes = type_error(_plov.GroupedQueriesF32.prepare, [a32, a64], [])
    assert msg == "'PreparedF64' object is not an instance of 'PreparedF32'"
    msg, notes = type_error(_plov.GroupedQueriesF32.prepare, [a32], [np.zeros(2, np.int32)])
    assert notes == ["while processing 'query_perms'"]
    msg, _ = type_error(_plov.GroupedQueriesF32.prepare, [a32])
    assert msg == "GroupedQueriesF32.prepare() missing 1 required positional argument: 'query_perms'"
    msg, _ = type_error(a64.query_prepared_blocked, a64, 1, None, 4, 5)
    assert msg == "PreparedF64.query_prepared_blocked() takes from 1 to 3 positional arguments but 5 were given"
    assert type_error(a64.query_grouped, g64, None, finalize=1)[1] == ["while processing 'finalize'"]
    assert type_error(a64.query_grouped, g64, None, finalize=None)[1] == ["while processing 'finalize'"]
    assert type_error(a64.query_grouped, g64, None, block=None)[1] == ["while processing 'block'"]
    assert type_error(a64.query_prepared_blocked, a64, block=None)[1] == ["while processing 'block'"]
    a64.query_grouped(g64, None, block=np.uint64(3), distance_upper_bound=1, finalize=np.True_)
    with pytest.raises(TypeError):
        _plov.GroupedQueriesF32()
    with pytest.raises(TypeError):
        type("X", (_plov.GroupedQueriesF64,), {})
    assert _plov.GroupedQueriesF32.prepare.__text_signature__ == "(queries, query_perms)"


def test_large_target_descended_query_by_query_gives_the_pass_results():
    # A consistent target is descended query by query; any other target by the
    # shared-gather passes. On a graph where descents stop at local minima (so results
    # depend on every start vertex), both must agree exactly.
    from scipy.spatial import cKDTree

    rng = np.random.default_rng(7)
    n = 40000
    y = rng.random((n, 3))
    near = cKDTree(y).query(y, k=4)[1][:, 1:]
    lists = np.concatenate([near, rng.integers(0, n, (n, 1))], axis=1).astype(np.uint32)
    indptr = np.arange(0, 4 * n + 1, 4, dtype=np.uint32)
    consistent = _plov.PreparedF64(y, indptr, lists.ravel())
    # one more point, far away and unreachable, whose list names a vertex that does not
    # exist: the same answers, but the target is no longer known to be consistent
    y2 = np.vstack([y, [[50.0, 50.0, 50.0]]])
    indptr2 = np.append(indptr, indptr[-1] + 1).astype(np.uint32)
    lists2 = np.append(lists.ravel(), n + 7).astype(np.uint32)
    checked = _plov.PreparedF64(y2, indptr2, lists2)
    q = rng.random((3000, 3)) * 1.1 - 0.05
    qp = _plov.PreparedF64(q, np.zeros(3001, np.uint32), np.zeros(0, np.uint32))
    grouped = _plov.GroupedQueriesF64.prepare([qp], [None])
    for block in (1, 8, 32):
        d1, i1 = consistent.query_grouped(grouped, None, block)
        d2, i2 = checked.query_grouped(grouped, None, block)
        np.testing.assert_array_equal(i1, i2)
        np.testing.assert_array_equal(d1, d2)
        b1 = consistent.query_prepared_blocked(qp, block)
        b2 = checked.query_prepared_blocked(qp, block)
        np.testing.assert_array_equal(b1[1], b2[1])
    exact = cKDTree(y).query(q)[1]
    assert (i1 != exact).any()  # the graph really has local minima
