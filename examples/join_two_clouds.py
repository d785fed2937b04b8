"""Join two synthetic point clouds: for every point of one cloud, the nearest point
of the other, with `plov.Index` (a Delaunay graph of the target, walked from raw query
points). Compares with scipy's cKDTree when it is installed, end to end (index or tree
built inside the timer) and join alone, both on one thread.

    python examples/join_two_clouds.py [--n 100000] [--k 1]
"""

import argparse
import time

import numpy as np

import plov


def noisy_sphere(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v + rng.normal(scale=0.02, size=v.shape)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=100_000, help="points per cloud")
    ap.add_argument("--k", type=int, default=1, help="neighbours per query point")
    args = ap.parse_args()

    x, y = noisy_sphere(args.n, 1), noisy_sphere(args.n, 2)
    t0 = time.perf_counter()
    index = plov.Index(y)
    t_build = time.perf_counter() - t0
    t0 = time.perf_counter()
    dists, idx = index.query(x, k=args.k)
    t_join = time.perf_counter() - t0

    print(f"two clouds of {args.n:,} points, k = {args.k}, one thread")
    print(f"plov:     index {t_build * 1e3:8.1f} ms + join {t_join * 1e3:7.1f} ms = end to end "
          f"{(t_build + t_join) * 1e3:8.1f} ms  ({t_join / args.n * 1e9:.0f} ns per query point in the join)")
    print(f"nearest distance: mean {dists.mean():.5f}, max {dists.max():.5f}")
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return
    t0 = time.perf_counter()
    tree = cKDTree(y)
    t_tree_build = time.perf_counter() - t0
    t0 = time.perf_counter()
    tdist, _ = tree.query(x, k=args.k, workers=1)
    t_tree_join = time.perf_counter() - t0
    same = np.array_equal(tdist, dists)
    t_plov, t_tree = t_build + t_join, t_tree_build + t_tree_join
    print(f"cKDTree:  tree  {t_tree_build * 1e3:8.1f} ms + join {t_tree_join * 1e3:7.1f} ms = end to end "
          f"{t_tree * 1e3:8.1f} ms")
    end = f"plov {t_tree / t_plov:.2f}x faster" if t_plov <= t_tree else f"cKDTree {t_plov / t_tree:.2f}x faster"
    print(f"end to end: {end}; join alone: plov {t_tree_join / t_join:.2f}x faster; "
          f"distances {'identical' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
