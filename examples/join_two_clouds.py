"""Join two synthetic point clouds: for every point of one cloud, the nearest point
of the other, by warm-started descent over Delaunay graphs. Compares with scipy's
cKDTree when it is installed.

    python examples/join_two_clouds.py [--n 100000]
"""

import argparse
import time

import numpy as np
from scipy.spatial import Delaunay

import _plov


def noisy_sphere(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v + rng.normal(scale=0.02, size=v.shape)


def graph(points: np.ndarray) -> tuple:
    """Vertex adjacency of the Delaunay tetrahedralisation, as (indptr, indices)."""
    simplices = Delaunay(points).simplices.astype(np.uint64)
    return _plov.graph_from_simplices(simplices, len(points))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=100_000, help="points per cloud")
    args = ap.parse_args()

    x, y = noisy_sphere(args.n, 1), noisy_sphere(args.n, 2)
    t0 = time.perf_counter()
    (xi, xn), (yi, yn) = graph(x), graph(y)
    t_graph = time.perf_counter() - t0

    target = _plov.PreparedF64(y, yi, yn)
    query = _plov.PreparedF64(x, xi, xn)
    t0 = time.perf_counter()
    dists, idx = target.query_prepared(query)
    t_join = time.perf_counter() - t0

    print(f"two clouds of {args.n:,} points; Delaunay graphs built in {t_graph:.2f} s")
    print(f"plov join:   {t_join * 1e3:8.1f} ms  ({t_join / args.n * 1e9:.0f} ns per query point)")
    print(f"nearest distance: mean {dists.mean():.5f}, max {dists.max():.5f}")
    print(f"first matches: {list(zip(range(5), idx[:5].tolist()))}")
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return
    t0 = time.perf_counter()
    tree = cKDTree(y)
    tdist, _ = tree.query(x, k=1, workers=1)
    t_tree = time.perf_counter() - t0
    same = np.array_equal(tdist, dists)
    print(f"cKDTree:     {t_tree * 1e3:8.1f} ms  (build + query, one worker): plov is {t_tree / t_join:.1f}x faster;"
          f" distances {'identical' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
