"""Overhead of the `plov` layer: `plov.all_by_all` against the native calls it makes,
and the effect of its Morton renumbering on clouds numbered in sampling order.

    python bench/bench_package.py [--clouds 40] [--points 5000] [--repeat 5]
"""

import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _plov
import plov


def surface_clouds(m, n, seed):
    """Overlapping noisy sphere samples, in sampling (spatially random) order."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(m):
        v = rng.normal(size=(n, 3))
        v /= np.linalg.norm(v, axis=1, keepdims=True)
        out.append(v * rng.uniform(0.8, 1.2) + rng.normal(scale=0.05, size=3) + rng.normal(scale=0.01, size=(n, 3)))
    return out


def native_chamfer(clouds, graphs, workers):
    """The same job written against _plov directly (no renumbering)."""
    prepared = [_plov.PreparedF64(c, *g) for c, g in zip(clouds, graphs)]
    grouped = _plov.GroupedQueriesF64.prepare(prepared, [None] * len(prepared))
    offsets = grouped.offsets.astype(np.int64)
    counts = np.diff(offsets)

    def column(t):
        d, _ = t.query_grouped(grouped, None, 2)  # the block all_by_all uses
        return np.add.reduceat(d, offsets[:-1]) / counts

    with ThreadPoolExecutor(workers) as pool:
        mat = np.stack(list(pool.map(column, prepared)), axis=1)
    return mat + mat.T


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clouds", type=int, default=40)
    ap.add_argument("--points", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--workers", type=int, default=1)
    args = ap.parse_args()

    clouds = surface_clouds(args.clouds, args.points, 0)
    graphs = [plov.delaunay_graph(c) for c in clouds]
    w = args.workers
    runs = {
        "native _plov, no renumbering": lambda: native_chamfer(clouds, graphs, w),
        "plov.all_by_all(reorder=False)": lambda: plov.all_by_all(clouds, graphs=graphs, reorder=False, workers=w),
        "plov.all_by_all (renumbers)": lambda: plov.all_by_all(clouds, graphs=graphs, workers=w),
    }
    # interleave the variants so that load changes hit them alike
    times = {k: [] for k in runs}
    results = {}
    for _ in range(args.repeat):
        for name, fn in runs.items():
            t0 = time.perf_counter()
            results[name] = fn()
            times[name].append(time.perf_counter() - t0)
    base = np.median(times["native _plov, no renumbering"])
    print(f"{args.clouds} clouds of {args.points:,} points in sampling order, {w} thread(s), median of {args.repeat}")
    for name in runs:
        t = np.median(times[name])
        print(f"  {name:34} {t * 1e3:8.1f} ms  {t / base:5.2f}x the native time")
    ref = results["native _plov, no renumbering"]
    for name in runs:
        print(f"  max |difference| of {name}: {np.abs(results[name] - ref).max():.1e}")


if __name__ == "__main__":
    main()
