"""k-nearest and single-nearest graph search against scipy's cKDTree.

Two clouds of 200,000 noisy samples of one torus surface, each with its Delaunay
vertex graph. The target is searched for every point of the query cloud:

* PreparedF64.query_prepared_k(k=8, ef=16 / 32, and ef=8 for reference) against
  cKDTree.query(k=8), clouds renumbered in Morton order; recall of the 8 exact nearest
  neighbours;
* PreparedF64.query_prepared (k=1) against cKDTree.query(k=1), on Morton-numbered
  clouds and on clouds in sampling order.

cKDTree is built once, outside the timings, and runs with workers=1. Every figure is
the median of several repeats taken in one run; the ratio is tree time / graph time
(above 1 means the graph search is faster).

Run as `python bench/bench_knn.py [--n N] [--repeats R]` (with _plov installed, or
from a development build in build-dev/). Delaunay graphs are cached in bench/.cache/.
"""

import argparse
import os
import sys
import time

import numpy as np
from scipy.spatial import Delaunay, cKDTree

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import _plov
except ImportError:  # not installed: use the development build
    sys.path.insert(0, os.path.join(HERE, "..", "build-dev"))
    import _plov


def torus_cloud(n, seed, R=1.0, r=0.35, noise=0.01):
    """`n` points near the surface of a torus, with Gaussian noise."""
    rng = np.random.default_rng(seed)
    u = rng.random(n) * 2 * np.pi
    v = rng.random(n) * 2 * np.pi
    pts = np.stack([(R + r * np.cos(v)) * np.cos(u), (R + r * np.cos(v)) * np.sin(u), r * np.sin(v)], axis=1)
    return pts + rng.normal(scale=noise, size=pts.shape)


def delaunay_graph(pts, tag):
    cache = os.path.join(HERE, ".cache")
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, f"{tag}.npz")
    if os.path.exists(path):
        z = np.load(path)
        if len(z["indptr"]) == len(pts) + 1:
            return z["indptr"], z["indices"]
    indptr, indices = Delaunay(pts).vertex_neighbor_vertices
    indptr, indices = indptr.astype(np.uint32), indices.astype(np.uint32)
    np.savez(path, indptr=indptr, indices=indices)
    return indptr, indices


def spread_bits(v):
    """Spreads the low 21 bits of each uint64 so that two zero bits separate them."""
    v = v & np.uint64(0x1FFFFF)
    v = (v | (v << np.uint64(32))) & np.uint64(0x1F00000000FFFF)
    v = (v | (v << np.uint64(16))) & np.uint64(0x1F0000FF0000FF)
    v = (v | (v << np.uint64(8))) & np.uint64(0x100F00F00F00F00F)
    v = (v | (v << np.uint64(4))) & np.uint64(0x10C30C30C30C30C3)
    v = (v | (v << np.uint64(2))) & np.uint64(0x1249249249249249)
    return v


def morton_order(pts):
    lo, hi = pts.min(0), pts.max(0)
    scale = (2**21 - 1) / np.maximum(hi - lo, 1e-300)
    q = ((pts - lo) * scale).astype(np.uint64)
    key = spread_bits(q[:, 0]) | (spread_bits(q[:, 1]) << np.uint64(1)) | (spread_bits(q[:, 2]) << np.uint64(2))
    return np.argsort(key, kind="stable")


def renumber(pts, indptr, indices, order):
    """Points and graph with new vertex i = old vertex order[i]; lists keep their order."""
    n = len(pts)
    inv = np.empty(n, dtype=np.int64)
    inv[order] = np.arange(n)
    deg = np.diff(indptr.astype(np.int64))
    src = np.repeat(np.arange(n), deg)
    edges = np.argsort(inv[src], kind="stable")
    new_indices = inv[indices.astype(np.int64)][edges].astype(np.uint32)
    new_indptr = np.zeros(n + 1, dtype=np.uint32)
    new_indptr[1:] = np.cumsum(deg[order])
    return np.ascontiguousarray(pts[order]), new_indptr, new_indices


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def recall(idx, truth):
    k = truth.shape[1]
    hits = sum(len(np.intersect1d(a[:k], b)) for a, b in zip(idx, truth))
    return hits / truth.size


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args()
    n, reps = args.n, args.repeats

    t0 = time.perf_counter()
    y_raw = torus_cloud(n, seed=1)
    x_raw = torus_cloud(n, seed=2)
    y_g = delaunay_graph(y_raw, f"torus_y_{n}")
    x_g = delaunay_graph(x_raw, f"torus_x_{n}")
    y_m = renumber(y_raw, *y_g, morton_order(y_raw))
    x_m = renumber(x_raw, *x_g, morton_order(x_raw))
    print(f"clouds: 2 x {n} torus points, mean degree {len(y_g[1]) / n:.1f} "
          f"(setup {time.perf_counter() - t0:.1f} s)")

    rows = []

    # k = 8 on Morton-numbered clouds.
    target = _plov.PreparedF64(*y_m)
    query = _plov.PreparedF64(*x_m)
    tree = cKDTree(y_m[0])
    truth_d, truth_i = tree.query(x_m[0], k=8)
    t_tree = median_time(lambda: tree.query(x_m[0], k=8, workers=1), reps)
    for ef in (8, 16, 32):
        _, idx = target.query_prepared_k(query, 8, ef)
        rec = recall(idx, truth_i)
        t_graph = median_time(lambda: target.query_prepared_k(query, 8, ef), reps)
        rows.append((f"k=8 ef={ef} Morton", t_graph, t_tree, rec))

    # k = 1 on Morton-numbered clouds and in sampling order.
    for label, (xp, yp) in (("Morton", (x_m, y_m)), ("sampling order", ((x_raw, *x_g), (y_raw, *y_g)))):
        target = _plov.PreparedF64(*yp)
        query = _plov.PreparedF64(*xp)
        tree = cKDTree(yp[0])
        _, truth = tree.query(xp[0], k=1)
        _, idx = target.query_prepared(query)
        exact = float(np.mean(idx == truth))
        t_tree = median_time(lambda: tree.query(xp[0], k=1, workers=1), reps)
        t_graph = median_time(lambda: target.query_prepared(query), reps)
        rows.append((f"k=1 {label}", t_graph, t_tree, exact))

    print(f"median of {reps} repeats, single thread")
    print(f"{'case':<22}{'graph ms':>10}{'tree ms':>10}{'speed-up':>10}{'recall':>9}")
    for label, tg, tt, rec in rows:
        print(f"{label:<22}{tg * 1e3:>10.1f}{tt * 1e3:>10.1f}{tt / tg:>9.2f}x{rec:>9.4f}")


if __name__ == "__main__":
    main()
