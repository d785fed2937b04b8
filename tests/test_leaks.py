"""Leaks and ownership: long loops of successful and failing calls of every entry point
keep the process memory flat; calls leave the reference counts of their inputs as they
were; result arrays own their memory and stay valid after every input is gone.

PLOV_LEAK_CALLS sets the calls per loop (default 5000; the figures in
docs/reliability.md come from 100,000). Memory counts as flat when, after a warm-up,
the resident set grows by less than 4 MiB and the interpreter's allocated blocks by
fewer than 100 over the whole loop: every case below allocates at least 3 KiB per call
(a leaked result or scratch buffer would add megabytes), and a leaked Python object
adds one block per call."""

import gc
import os
import sys

import numpy as np
import pytest

import _plov
from helpers import cloud_with_graph

CALLS = int(os.environ.get("PLOV_LEAK_CALLS", "5000"))
SANITIZED = bool(os.environ.get("PLOV_SANITIZED"))
RSS_TOLERANCE = 4 * 2**20
BLOCK_TOLERANCE = 100
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.fixture(scope="module")
def w():
    """Shared operands: 200-point clouds with Delaunay graphs in both precisions."""
    ns = {}
    for dtype, sfx in ((np.float64, "64"), (np.float32, "32")):
        x, xi, xn = cloud_with_graph(200, 1, dtype)
        y, yi, yn = cloud_with_graph(200, 2, dtype)
        Prepared = _plov.PreparedF64 if sfx == "64" else _plov.PreparedF32
        Grouped = _plov.GroupedQueriesF64 if sfx == "64" else _plov.GroupedQueriesF32
        t, q = Prepared(y, yi, yn), Prepared(x, xi, xn)
        bad = xi.copy()
        bad[-1] = len(xn) + 1  # fails at the last query vertex, after the results exist
        ns.update({f"x{sfx}": x, f"y{sfx}": y, f"t{sfx}": t, f"q{sfx}": q, f"P{sfx}": Prepared,
                   f"G{sfx}": Grouped, f"g{sfx}": Grouped.prepare([q, t], [None, np.arange(200)]),
                   f"bad{sfx}": bad})
    ns.update(xi=xi, xn=xn, yi=yi, yn=yn)
    ns["short_perm"] = [np.arange(150, dtype=np.int64)]  # shorter than its cloud
    ns["strided_perm"] = [np.arange(400, dtype=np.int64)[::2]]
    ns["tets"] = np.array([[i, i + 1, i + 2, i + 3] for i in range(400)], np.uint64)
    ns["tets_bad"] = ns["tets"].copy()
    ns["tets_bad"][-1, 3] = 10**6
    return ns


# Every entry point, succeeding and failing (name -> code run with the fixture's names).
CASES = {
    "constructor": "P64(y64, yi, yn)",
    "constructor fails": "P32(x32[:, :2], xi, xn)",
    "query": "t64.query(x64, xi, xn)",
    "query bounded f32": "t32.query(x32, xi, xn, 0.05)",
    "query fails late": "t64.query(x64, bad64, xn)",
    "query bad dtype": "t64.query(x32, xi, xn)",
    "query_prepared": "t32.query_prepared(q32, 0.1)",
    "query_k": "t64.query_k(x64, xi, xn, 2, 4)",
    "query_k fails late": "t32.query_k(x32, bad32, xn, 2, 4)",
    "query_k refused ef": "t64.query_k(x64, xi, xn, 2, 2**60)",
    "query_prepared_k": "t64.query_prepared_k(q64, 3, 5, 0.2)",
    "query_prepared_k bad k": "t64.query_prepared_k(q64, Index(-1), 5)",
    "query_prepared_blocked": "t32.query_prepared_blocked(q32, 4)",
    "query_grouped": "t64.query_grouped(g64, np.arange(200))",
    "query_grouped raw": "t32.query_grouped(g32, None, 8, 0.1, False)",
    "query_grouped fails in finalizing": "t64.query_grouped(G64.prepare([q64], short_perm), None)",
    "query_grouped bad finalize": "t64.query_grouped(g64, None, finalize=1)",
    "prepare": "G32.prepare([q32, t32, q32], [None])",
    "prepare fails": "G64.prepare([q64], strided_perm)",
    "prepare bad sequence": "G64.prepare('abc', [])",
    "properties": "(t64.data, t32.n, repr(t32), g64.offsets, g32.perm, g32.n_points, repr(g64))",
    "all_nearest_neighbours": "_plov.all_nearest_neighbours(x64, xi, xn, y64, yi, yn)",
    "all_nearest_neighbours_f32 fails late": "_plov.all_nearest_neighbours_f32(x32, bad32, xn, y32, yi, yn)",
    "all_nearest_neighbours_k": "_plov.all_nearest_neighbours_k(x64, xi, xn, y64, yi, yn, 2, 3)",
    "all_nearest_neighbours_k_f32": "_plov.all_nearest_neighbours_k_f32(x32, xi, xn, y32, yi, yn, 2, 3)",
    "binding error": "_plov.all_nearest_neighbours(x64, xi, xn, y64, yi)",
    "graph_from_simplices": "_plov.graph_from_simplices(tets, 403)",
    "graph_from_simplices fails late": "_plov.graph_from_simplices(tets_bad, 403)",
}


def call_quietly(f):
    try:
        f()
    except BaseException:  # noqa: BLE001 - the failing cases fail on purpose
        pass


@pytest.mark.parametrize("case", list(CASES))
def test_memory_stays_flat(w, case):
    f = eval("lambda: " + CASES[case], {**globals(), **w})
    for _ in range(max(CALLS // 20, 50)):  # warm-up: caches, free lists, allocator arenas
        call_quietly(f)

    def growth():
        gc.collect()
        rss0, blocks0 = rss(), sys.getallocatedblocks()
        for _ in range(CALLS):
            call_quietly(f)
        gc.collect()
        return rss() - rss0, sys.getallocatedblocks() - blocks0

    grew_rss, grew_blocks = growth()
    if grew_rss >= RSS_TOLERANCE or grew_blocks >= BLOCK_TOLERANCE:
        # a one-off growth (another test's thread finishing, an arena of the allocator)
        # does not come back; a leak grows again with every loop
        grew_rss, grew_blocks = growth()
    print(f"{case}: {CALLS} calls, resident {grew_rss / 1024:+.0f} KiB, blocks {grew_blocks:+d}")  # shown with -s
    # the sanitizer's allocator keeps freed memory in quarantine, and PYTHONMALLOC=malloc
    # counts no blocks; its leak check at exit covers those runs
    if not SANITIZED:
        assert grew_rss < RSS_TOLERANCE, f"{case}: resident memory grew by {grew_rss / 2**20:.1f} MiB over {CALLS} calls"
        assert grew_blocks < BLOCK_TOLERANCE, f"{case}: {grew_blocks} more allocated blocks after {CALLS} calls"


def test_reference_counts_of_inputs_are_unchanged(w):
    """Every argument object keeps its reference count through successful and failing calls."""
    k = Index(2)
    bound = 0.25
    perms = [None, np.arange(200)]
    queries = [w["q64"], w["t64"]]
    watched = dict(w, k=k, bound=bound, perms=perms, queries=queries)
    calls = list(CASES.values()) + [
        "t64.query_k(x64, xi, xn, k, k, bound)",
        "G64.prepare(queries, perms)",
        "t64.query_grouped(G64.prepare(queries, perms), perms[1], k)",
        "t64.query_prepared(t64, bound)",
    ]
    ns = {**globals(), **watched}
    names = list(watched)
    for code in calls:
        f = eval("lambda: " + code, ns)
        call_quietly(f)  # first call: lazily created state (NumPy's API table, class objects)
        before = {n: sys.getrefcount(watched[n]) for n in names}
        for _ in range(10):
            call_quietly(f)
        after = {n: sys.getrefcount(watched[n]) for n in names}
        changed = {n: (before[n], after[n]) for n in names if before[n] != after[n]}
        assert not changed, f"{code}: reference counts changed {changed}"


def test_results_outlive_their_inputs_and_objects():
    """Results and property arrays own their memory: they keep their values after every
    input array and object is deleted and the memory has been reused."""

    def compute():
        x, xi, xn = cloud_with_graph(300, 5)
        y, yi, yn = cloud_with_graph(300, 6)
        t, q = _plov.PreparedF64(y, yi, yn), _plov.PreparedF32(x.astype(np.float32), xi, xn)
        t32 = _plov.PreparedF32(y.astype(np.float32), yi, yn)
        g = _plov.GroupedQueriesF32.prepare([q, t32], [np.arange(300)[::-1].copy()])
        tets = np.array([[0, 1, 2, 3], [1, 2, 3, 4]], np.uint64)
        return [
            *t.query(x, xi, xn),
            *t.query_k(x, xi, xn, 3, 6),
            *t32.query_prepared(q),
            *t32.query_prepared_k(q, 2, 4),
            *t32.query_prepared_blocked(q),
            *t32.query_grouped(g, np.arange(300)[::-1].copy()),
            *t32.query_grouped(g, None, finalize=False),
            *_plov.all_nearest_neighbours(x, xi, xn, y, yi, yn),
            *_plov.all_nearest_neighbours_k_f32(x.astype(np.float32), xi, xn, y.astype(np.float32), yi, yn, 2, 2),
            *_plov.graph_from_simplices(tets, 6),
            t.data,
            g.offsets,
            g.perm,
        ]

    results = compute()
    copies = [r.copy() for r in results]
    gc.collect()
    # reuse the freed memory: objects and arrays of the same sizes, written with other values
    junk = []
    for seed in range(20):
        p, ip, ix = cloud_with_graph(300, 100 + seed)
        junk.append((_plov.PreparedF64(p, ip, ix), np.full((300, 3), -7.0), np.full(600, 7, np.uint64)))
    del junk
    for r, c in zip(results, copies):
        assert type(r) is np.ndarray and r.flags.c_contiguous and r.flags.writeable
        assert not r.flags.owndata and r.base is not None  # adopted buffer, freed by its owner
        np.testing.assert_array_equal(r, c)
    # the arrays are independent of each other and writable
    for r in results:
        r[...] = 0
    assert all(not r.any() for r in results)
    del results
    gc.collect()
