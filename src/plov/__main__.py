"""`python -m plov demo`: an all-by-all Chamfer matrix over a collection of synthetic
clouds, timed against scipy's cKDTree."""

from __future__ import annotations

import argparse
import sys
import time
from typing import List, Optional, Sequence, Tuple

import numpy as np

from . import all_by_all, delaunay_graph

SHAPES = ("sphere", "torus", "cube", "ellipsoid")


def _surface(shape: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if shape in ("sphere", "ellipsoid"):
        v = rng.normal(size=(n, 3))
        v /= np.linalg.norm(v, axis=1, keepdims=True)
        if shape == "ellipsoid":
            v *= np.array([1.4, 0.9, 0.6])
        return v
    if shape == "torus":
        u, w = rng.random(n) * 2 * np.pi, rng.random(n) * 2 * np.pi
        return np.stack([(1 + 0.35 * np.cos(w)) * np.cos(u), (1 + 0.35 * np.cos(w)) * np.sin(u), 0.35 * np.sin(w)], 1)
    # cube surface: a random face, a random point on it
    p = rng.random((n, 3)) * 2 - 1
    axis = rng.integers(0, 3, n)
    p[np.arange(n), axis] = np.sign(rng.random(n) - 0.5)
    return p


def _rotation(rng: np.random.Generator) -> np.ndarray:
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    rot: np.ndarray = q * np.sign(np.diag(r))
    return rot


def make_clouds(n_clouds: int, n_points: int, seed: int) -> Tuple[List[np.ndarray], List[str]]:
    """Noisy samples of a few shape families, each moved by a random rigid motion."""
    rng = np.random.default_rng(seed)
    clouds, labels = [], []
    for c in range(n_clouds):
        shape = SHAPES[c * len(SHAPES) // n_clouds]  # families in consecutive runs
        pts = _surface(shape, n_points, rng) + rng.normal(scale=0.01, size=(n_points, 3))
        pts = pts @ _rotation(rng).T + rng.normal(scale=0.05, size=3)
        clouds.append(pts)
        labels.append(shape)
    return clouds, labels


def tree_chamfer(clouds: List[np.ndarray]) -> np.ndarray:
    """The same matrix with one cKDTree per cloud, queried by every cloud's points."""
    from scipy.spatial import cKDTree

    trees = [cKDTree(c) for c in clouds]
    m = len(clouds)
    mat = np.zeros((m, m))
    for j, tree in enumerate(trees):
        for i, c in enumerate(clouds):
            mat[i, j] = tree.query(c, k=1, workers=1)[0].mean()
    return mat + mat.T


def demo(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m plov demo", description=__doc__)
    ap.add_argument("--clouds", type=int, default=24, help="number of clouds (default 24)")
    ap.add_argument("--points", type=int, default=3000, help="points per cloud (default 3000)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--workers", type=int, default=None, help="threads (default: all cores)")
    ap.add_argument("--out", default="plov_demo.png", help="heat-map file (default plov_demo.png)")
    ap.add_argument("--no-tree", action="store_true", help="skip the cKDTree comparison")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = ap.parse_args(argv)

    clouds, labels = make_clouds(args.clouds, args.points, args.seed)
    print(f"{args.clouds} clouds of {args.points:,} points ({', '.join(SHAPES)}; noise and random motions)")

    t0 = time.perf_counter()
    graphs = [delaunay_graph(c) for c in clouds]
    t_graph = time.perf_counter() - t0
    progress = not args.no_progress
    if progress:
        try:
            import tqdm  # noqa: F401
        except ImportError:
            print("(no progress bar: install tqdm, or `pip install \"plov[demo]\"`)")
            progress = False
    t0 = time.perf_counter()
    mat = all_by_all(clouds, graphs=graphs, reduce="chamfer", workers=args.workers, progress=progress)
    t_plov = time.perf_counter() - t0
    assert isinstance(mat, np.ndarray)

    rows = [("Delaunay graphs", t_graph, "")]
    rows.append(("plov all-by-all", t_plov, ""))
    if not args.no_tree:
        t0 = time.perf_counter()
        ref = tree_chamfer(clouds)
        t_tree = time.perf_counter() - t0
        agree = np.abs(mat - ref).max()
        rows.append(("cKDTree all-by-all (1 worker)", t_tree, f"plov is {t_tree / t_plov:.1f}x faster; max |diff| {agree:.2e}"))
    width = max(len(r[0]) for r in rows)
    for name, t, note in rows:
        print(f"  {name:<{width}}  {t:7.2f} s  {note}")

    same = np.array([[a == b for b in labels] for a in labels])
    off = ~np.eye(len(labels), dtype=bool)
    if (same & off).any():
        print(f"mean Chamfer distance: same shape {mat[same & off].mean():.4f}, different shapes {mat[~same].mean():.4f}")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no heat-map: install matplotlib, or `pip install \"plov[demo]\"`)")
        return 0
    fig, ax = plt.subplots(figsize=(7, 6))
    im = ax.imshow(mat, cmap="viridis")
    ax.set_xticks(range(len(labels)), labels, rotation=90, fontsize=6)
    ax.set_yticks(range(len(labels)), labels, fontsize=6)
    ax.set_title(f"Chamfer distances between {len(labels)} clouds")
    fig.colorbar(im, ax=ax)
    fig.tight_layout()
    fig.savefig(args.out, dpi=120)
    print(f"heat-map written to {args.out}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] != "demo":
        print("usage: python -m plov demo [--clouds N] [--points N] [--out FILE] [--no-tree]", file=sys.stderr)
        return 2
    return demo(argv[1:])


if __name__ == "__main__":
    sys.exit(main())
