"""Single join of two 200,000-point clouds: `all_nearest_neighbours` against scipy's
cKDTree (build + query, one worker), on clouds in sampling order and renumbered in
Morton order.

    python bench/bench_single_join.py [--n 200000] [--repeat 5]
"""

import argparse
import os
import sys

import numpy as np
from scipy.spatial import cKDTree

sys.path.insert(0, os.path.dirname(__file__))
import _plov  # noqa: E402
from common import delaunay_graph, median_time, morton_order, renumber, torus_cloud  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    x = torus_cloud(args.n, 1)
    y = torus_cloud(args.n, 2)
    xg, yg = delaunay_graph(x), delaunay_graph(y)
    layouts = {"sampled": (x, *xg, y, *yg)}
    xs = renumber(x, *xg, morton_order(x))
    ys = renumber(y, *yg, morton_order(y))
    layouts["morton"] = (*xs, *ys)

    print(f"{args.n:,} query points against {args.n:,} target points, one thread, median of {args.repeat}")
    print(f"{'layout':8} {'plov ms':>9} {'tree ms':>9} {'ratio':>7}  agreement")
    for name, (qx, qi, qn, ty, ti, tn) in layouts.items():
        t_plov, (d, i) = median_time(lambda: _plov.all_nearest_neighbours(qx, qi, qn, ty, ti, tn), args.repeat)
        t_tree, (td, _) = median_time(lambda: cKDTree(ty).query(qx, k=1, workers=1), args.repeat)
        rel = np.abs(d - td) / np.maximum(td, 1e-300)
        bad = np.flatnonzero(rel > 1e-12)
        agree = "all distances agree" if len(bad) == 0 else f"{len(bad)} differ, first {bad[:5].tolist()}"
        print(f"{name:8} {t_plov * 1e3:9.1f} {t_tree * 1e3:9.1f} {t_tree / t_plov:6.2f}x  {agree}")


if __name__ == "__main__":
    main()
