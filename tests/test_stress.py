"""Thread stress: from 2 to 16 threads call every lock-releasing entry point at once on
shared prepared objects and one shared grouped set per precision, while other threads
create objects, hand them to calls on other threads and drop them, and make failing calls;
every result equals the serial one."""

import random
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _plov
from helpers import cloud_with_graph, delaunay_csr
from scipy.spatial import Delaunay


def settle(job):
    """A comparable record of a call: its arrays, or its exception's type and message."""
    try:
        result = job()
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return ("error", type(e).__name__, str(e))
    if isinstance(result, tuple):
        return ("ok",) + tuple((a.dtype.str, a.shape, a.tobytes()) for a in result)
    return ("ok", repr(result), result.offsets.tobytes(), result.perm.tobytes())


@pytest.fixture(scope="module")
def world():
    clouds = [cloud_with_graph(1500, 40 + c, offset=0.3 * c) for c in range(4)]
    rng = np.random.default_rng(7)
    perms = [rng.permutation(len(c[0])).astype(np.int64) for c in clouds]
    jobs = {}
    for dtype, Prepared, Grouped, suffix in (
        (np.float64, _plov.PreparedF64, _plov.GroupedQueriesF64, ""),
        (np.float32, _plov.PreparedF32, _plov.GroupedQueriesF32, "_f32"),
    ):
        raw = [(p.astype(dtype), ip, ix) for p, ip, ix in clouds]
        prepared = [Prepared(*c) for c in raw]
        grouped = Grouped.prepare(prepared, [perms[0], None, perms[2]])
        t, q = prepared[0], prepared[1]
        x, xi, xn = raw[1]
        ann = getattr(_plov, "all_nearest_neighbours" + suffix)
        ann_k = getattr(_plov, "all_nearest_neighbours_k" + suffix)
        bad_ip = xi.copy()
        bad_ip[-1] = len(xn) + 5  # the last vertex's range runs past the neighbour list
        jobs.update(
            {
                f"query{suffix}": lambda t=t, x=x, xi=xi, xn=xn: t.query(x, xi, xn),
                f"query_bounded{suffix}": lambda t=t, x=x, xi=xi, xn=xn: t.query(x, xi, xn, 0.02),
                f"query_prepared{suffix}": lambda t=t, q=q: t.query_prepared(q, 0.05),
                f"query_prepared_self{suffix}": lambda t=t: t.query_prepared(t),
                f"query_k{suffix}": lambda t=t, x=x, xi=xi, xn=xn: t.query_k(x, xi, xn, 4, 8),
                f"query_prepared_k{suffix}": lambda t=t, q=q: t.query_prepared_k(q, 3, 6, 0.1),
                f"query_prepared_blocked{suffix}": lambda t=t, q=q: t.query_prepared_blocked(q, 16),
                f"query_grouped{suffix}": lambda q=q, g=grouped: q.query_grouped(g, perms[1]),
                f"query_grouped_raw{suffix}": lambda t=t, g=grouped: t.query_grouped(g, None, 8, 0.1, False),
                f"prepare{suffix}": lambda Grouped=Grouped, prepared=prepared: Grouped.prepare(prepared[::-1], []),
                f"ann{suffix}": lambda ann=ann, a=raw[1], b=raw[0]: ann(*a, *b),
                f"ann_k{suffix}": lambda ann_k=ann_k, a=raw[2], b=raw[3]: ann_k(*a, *b, 2, 4),
                f"failing_query{suffix}": lambda t=t, x=x, xi=bad_ip, xn=xn: t.query(x, xi, xn),
                f"failing_k{suffix}": lambda t=t, q=q: t.query_prepared_k(q, -1, 4),
            }
        )
    tets = Delaunay(clouds[0][0]).simplices.astype(np.uint64)
    jobs["graph_from_simplices"] = lambda: _plov.graph_from_simplices(tets, len(clouds[0][0]))
    serial = {name: settle(job) for name, job in jobs.items()}
    assert serial["failing_query"][:2] == ("error", "PanicException")
    assert serial["failing_k_f32"][:2] == ("error", "OverflowError")
    return jobs, serial


def churn(stop, pool, target, errors, rng):
    """Creates prepared objects and grouped sets, hands them to calls on the worker pool,
    drops its own references at once, and checks the results when they come back."""
    while not stop.is_set():
        n = int(rng.integers(5, 60))
        pts = rng.random((n, 3))
        ip, ix = delaunay_csr(pts) if n >= 5 else (np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32))
        obj = _plov.PreparedF64(pts, ip, ix)
        grouped = _plov.GroupedQueriesF64.prepare([obj, target], [None])
        want = target.query_prepared(obj)
        fut = pool.submit(target.query_prepared, obj)
        fut_g = pool.submit(target.query_grouped, grouped, None)
        del obj, grouped  # the pending calls keep what they use alive
        try:
            got = fut.result()
            dists, idx = fut_g.result()
            assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
            assert np.array_equal(dists[:n], want[0]) and np.array_equal(idx[:n], want[1])
            assert dists.shape == (n + target.n,)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)
            return


@pytest.mark.parametrize("n_threads", [2, 5, 16])
def test_every_entry_point_from_many_threads_equals_serial(world, n_threads):
    jobs, serial = world
    names = sorted(jobs)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch often, so the Python parts interleave too
    try:
        barrier = threading.Barrier(n_threads)
        mismatches, errors = [], []

        def worker(seed):
            order = names * 4
            random.Random(seed).shuffle(order)
            barrier.wait()
            for name in order:
                got = settle(jobs[name])
                if got != serial[name]:
                    mismatches.append((name, got[:3] if got[0] == "error" else "different arrays"))

        stop = threading.Event()
        with ThreadPoolExecutor(max_workers=2) as pool:
            churners = [
                threading.Thread(
                    target=churn,
                    args=(stop, pool, _plov.PreparedF64(*cloud_with_graph(300, 90 + i)), errors, np.random.default_rng(i)),
                )
                for i in range(2)
            ]
            for c in churners:
                c.start()
            workers = [threading.Thread(target=worker, args=(s,)) for s in range(n_threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            stop.set()
            for c in churners:
                c.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors[0]
    assert not mismatches, mismatches[:5]
