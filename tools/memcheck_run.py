"""A small, representative workload for a memcheck run (tools/memcheck.sh): every entry
point once or twice in both precisions, succeeding and failing, on clouds of a few
hundred points, then the results checked after their inputs are gone."""

import gc

import numpy as np

import _plov


def csr(lists):
    ip = np.zeros(len(lists) + 1, np.uint32)
    ip[1:] = np.cumsum([len(x) for x in lists])
    return ip, np.array([v for x in lists for v in x], np.uint32)


def grid_cloud(n, seed, dtype):
    """Points on a jittered line with a chain graph (no SciPy needed)."""
    rng = np.random.default_rng(seed)
    pts = np.zeros((n, 3), dtype)
    pts[:, 0] = np.arange(n) + rng.random(n) * 0.1
    pts[:, 1:] = rng.random((n, 2))
    return (pts, *csr([[v for v in (i - 1, i + 1) if 0 <= v < n] for i in range(n)]))


def attempt(f):
    try:
        return f()
    except BaseException as e:  # noqa: BLE001 - failures are part of the workload
        return e


def workload():
    kept = []
    for dtype, P, G, sfx in ((np.float64, _plov.PreparedF64, _plov.GroupedQueriesF64, ""),
                             (np.float32, _plov.PreparedF32, _plov.GroupedQueriesF32, "_f32")):
        x, xi, xn = grid_cloud(300, 1, dtype)
        y, yi, yn = grid_cloud(400, 2, dtype)
        t, q = P(y, yi, yn), P(x, xi, xn)
        g = G.prepare([q, t], [np.arange(300)[::-1].copy(), None])
        ann = getattr(_plov, "all_nearest_neighbours" + sfx)
        ann_k = getattr(_plov, "all_nearest_neighbours_k" + sfx)
        bad = xi.copy()
        bad[-1] = len(xn) + 3
        kept += [
            t.query(x, xi, xn), t.query(x, xi, xn, 0.3), t.query_prepared(q), t.query_prepared(q, 0.2),
            t.query_k(x, xi, xn, 3, 6), t.query_k(x[:, :3], xi[::-1].copy()[::-1], xn, 2, 4, 0.5),
            t.query_prepared_k(q, 4, 8), t.query_prepared_blocked(q), t.query_prepared_blocked(q, 3, 0.4),
            t.query_grouped(g, np.arange(400)), t.query_grouped(g, None, 5, 0.3, False),
            ann(x, xi, xn, y, yi, yn), ann_k(x, xi, xn, y, yi, yn, 2, 3),
            (t.data, g.offsets, g.perm),
        ]
        for f in (
            lambda: t.query(x, bad, xn),
            lambda: t.query(x, xi[::2], xn),
            lambda: t.query_k(x, bad, xn, 2, 4),
            lambda: t.query_k(x, xi, xn, 2**62, 4),
            lambda: t.query_k(x, xi, xn, 2, 2**60),
            lambda: t.query_prepared_blocked(q, 2**63),
            lambda: t.query_grouped(G.prepare([q], [np.arange(5)]), None),
            lambda: t.query_grouped(g, np.arange(10)[::2]),
            lambda: G.prepare([q], [np.arange(300)[::2]]),
            lambda: G.prepare("abc", []),
            lambda: P(x[:, :2], xi, xn),
            lambda: ann(x, xi, xn, y[:0], yi[:1], yn[:0]),
            lambda: t.query(x.astype(np.float16), xi, xn),
            lambda: t.query_k(x, xi, xn, -1, 2),
        ):
            e = attempt(f)
            assert isinstance(e, BaseException), e
    tets = np.array([[i, i + 1, i + 2, i + 3] for i in range(200)], np.uint64)
    kept.append(_plov.graph_from_simplices(tets, 210))
    kept.append(_plov.graph_from_simplices(np.asfortranarray(tets[::-1]), 203))
    assert isinstance(attempt(lambda: _plov.graph_from_simplices(tets, 100)), BaseException)
    assert isinstance(attempt(lambda: _plov.graph_from_simplices(tets, 2**32)), BaseException)
    return kept


def flatten(results):
    for r in results:
        if isinstance(r, tuple):
            yield from flatten(r)
        else:
            yield r


results = list(flatten(workload()))
copies = [r.copy() for r in results]
gc.collect()
junk = [np.full(400, 9.0) for _ in range(200)]
del junk
assert all(np.array_equal(r, c, equal_nan=True) for r, c in zip(results, copies))
print(f"memcheck workload done: {len(results)} result arrays intact")
