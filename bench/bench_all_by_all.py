"""All-by-all nearest neighbours over many clouds: grouped blocked descent vs cKDTree.

Every cloud is a target; all clouds together form one grouped query set. Compared in
one run, medians of several repeats:
  (a) one `query_grouped` per target, serially;
  (b) the same calls from a ThreadPoolExecutor with 2 workers;
  (c) scipy: one cKDTree per target (built outside the timer), queried with all points
      in Morton order, workers=1.
Then a block-size sweep and the time per query point for several cloud sizes.

Run: python bench/bench_all_by_all.py [--quick]
"""

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

# BLAS worker threads spin after NumPy calls and would compete with the two query
# threads on a small machine; nothing timed here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from scipy.spatial import Delaunay, cKDTree

import _plov

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench.workloads import surface  # noqa: E402

SEED = 20240611


def delaunay_graph(pts):
    indptr, indices = Delaunay(pts).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def make_world(n_clouds, n_points, seed=SEED):
    rng = np.random.default_rng(seed)
    clouds = [surface(rng, n_points) for _ in range(n_clouds)]
    preps = [_plov.PreparedF64(p, *delaunay_graph(p)) for p in clouds]
    grouped = _plov.GroupedQueriesF64.prepare(preps, [])
    return clouds, preps, grouped


def median_times(configs, repeats):
    """Median wall time of every callable in `configs`, run round-robin so that load
    changes on a shared machine hit all of them alike."""
    times = {name: [] for name in configs}
    for _ in range(repeats):
        for name, fn in configs.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def run_serial(preps, grouped, block=32):
    return [t.query_grouped(grouped, None, block) for t in preps]


def run_pool(pool, preps, grouped, block=32):
    return list(pool.map(lambda t: t.query_grouped(grouped, None, block), preps))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer clouds and repeats")
    args = ap.parse_args()
    n_clouds, repeats = (10, 3) if args.quick else (40, 3)

    print(f"building {n_clouds} clouds of 5000 points (Delaunay graphs from scipy) ...")
    clouds, preps, grouped = make_world(n_clouds, 5000)
    allpts = np.vstack(clouds)
    morton = np.ascontiguousarray(allpts[grouped.perm])
    trees = [cKDTree(p) for p in clouds]
    n_q = len(allpts)
    print(f"{n_clouds} targets x {n_q} query points = {n_clouds * n_q:,} searches per all-by-all")

    # Exactness check against the trees before timing.
    for t, tree, res in zip(preps[:3], trees[:3], run_serial(preps[:3], grouped)):
        kd_d, _ = tree.query(allpts, workers=1)
        assert np.allclose(res[0], kd_d, rtol=1e-12, atol=0), "distances differ from cKDTree"
        print(f"  target check: {np.mean(res[0] == kd_d):.4%} of distances bit-identical to cKDTree")

    with ThreadPoolExecutor(2) as pool:
        run_pool(pool, preps, grouped)  # warm-up
        med = median_times({
            "a": lambda: run_serial(preps, grouped),
            "b": lambda: run_pool(pool, preps, grouped),
            "c": lambda: [tree.query(morton, workers=1) for tree in trees],
        }, repeats)
    t_a, t_b, t_c = med["a"], med["b"], med["c"]

    print("\nall-by-all, medians of repeats")
    print(f"  (a) query_grouped, serial        {t_a:8.3f} s   {t_a / (n_clouds * n_q) * 1e9:7.1f} ns/query")
    print(f"  (b) query_grouped, 2 threads     {t_b:8.3f} s   {t_b / (n_clouds * n_q) * 1e9:7.1f} ns/query")
    print(f"  (c) cKDTree, workers=1, Morton   {t_c:8.3f} s   {t_c / (n_clouds * n_q) * 1e9:7.1f} ns/query")
    print(f"  ratio (c)/(a) = {t_c / t_a:5.2f}   (aim >= 8)")
    print(f"  ratio (a)/(b) = {t_a / t_b:5.2f}   (aim >= 1.7)")

    print("\nblock size sweep (serial all-by-all)")
    sweep = median_times({b: (lambda b=b: run_serial(preps, grouped, b)) for b in (8, 16, 32, 64, 128)}, repeats)
    for block, t in sweep.items():
        print(f"  block {block:4d}   {t:8.3f} s   {t / (n_clouds * n_q) * 1e9:7.1f} ns/query")
    print(f"  fastest block: {min(sweep, key=sweep.get)}")

    print("\ntime per query point by cloud size (serial all-by-all, block 32)")
    sizes = [(1000, 40), (10000, 12), (100000, 3)] if not args.quick else [(1000, 10), (10000, 4), (100000, 2)]
    for n_points, k in sizes:
        _, p, g = make_world(k, n_points, SEED + n_points)
        tree_pts = [q.data for q in p]
        kd = [cKDTree(x) for x in tree_pts]
        mq = np.ascontiguousarray(np.vstack(tree_pts)[g.perm])
        med = median_times({"plov": lambda: run_serial(p, g), "kd": lambda: [tr.query(mq, workers=1) for tr in kd]},
                           3)
        t, tk = med["plov"], med["kd"]
        per = k * g.n_points
        print(f"  {n_points:6d} points x {k:2d} clouds   {t / per * 1e9:7.1f} ns/query   "
              f"cKDTree {tk / per * 1e9:7.1f} ns/query   ratio {tk / t:5.2f}")


if __name__ == "__main__":
    main()
