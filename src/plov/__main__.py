"""`python -m plov demo`: an all-by-all Chamfer matrix over a collection of synthetic
clouds, timed end to end against scipy's cKDTree: graphs and trees built inside the
timers, the same number of threads on both sides."""

from __future__ import annotations

import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from typing import List, Optional, Sequence, Tuple

import numpy as np

from . import all_by_all, delaunay_graph
from ._validate import as_workers

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


def tree_chamfer(clouds: List[np.ndarray], workers: int) -> Tuple[np.ndarray, float, float]:
    """The same matrix with one cKDTree per cloud, queried by every cloud's points, the
    clouds spread over `workers` threads as plov spreads its targets. Returns the matrix,
    the build time and the query time."""
    from scipy.spatial import cKDTree

    with ThreadPoolExecutor(workers) as pool:
        t0 = time.perf_counter()
        trees = list(pool.map(cKDTree, clouds))
        t_build = time.perf_counter() - t0
        t0 = time.perf_counter()
        cols = list(pool.map(lambda tree: [tree.query(c, k=1, workers=1)[0].mean() for c in clouds], trees))
        t_query = time.perf_counter() - t0
    mat = np.array(cols).T  # mat[i, j]: cloud i against the tree of cloud j
    return mat + mat.T, t_build, t_query


# Memory a point costs the demo at its peak (the points, the triangulation being built,
# the graph, the packed copies and the trees), generously rounded up.
_BYTES_PER_POINT = 1024


def _positive(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if v < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {v}")
    return v


def _workers(text: str) -> int:
    try:
        return as_workers(int(text))
    except (ValueError, TypeError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _memory_bytes() -> Optional[int]:
    try:
        return int(os.sysconf("SC_PHYS_PAGES")) * int(os.sysconf("SC_PAGE_SIZE"))
    except (ValueError, OSError, AttributeError):
        return None


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m plov demo", description=__doc__)
    ap.add_argument("--clouds", type=_positive, default=24, help="number of clouds (default 24)")
    ap.add_argument("--points", type=_positive, default=3000, help="points per cloud (default 3000)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--workers", type=_workers, default="-1",
                    help="threads for both plov and the trees (default -1: all cores)")
    ap.add_argument("--out", default="plov_demo.png",
                    help="heat-map file (default plov_demo.png in the current directory)")
    ap.add_argument("--no-tree", action="store_true", help="skip the cKDTree comparison")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
    return ap


def demo(argv: Optional[Sequence[str]] = None) -> int:
    ap = parser()
    args = ap.parse_args(argv)
    need, have = args.clouds * args.points * _BYTES_PER_POINT, _memory_bytes()
    if have is not None and need > have:
        ap.error(f"{args.clouds} clouds of {args.points:,} points need about {need / 2**30:.1f} GiB; "
                 f"this machine has {have / 2**30:.1f} GiB")

    clouds, labels = make_clouds(args.clouds, args.points, args.seed)
    workers = args.workers
    print(f"{args.clouds} clouds of {args.points:,} points ({', '.join(SHAPES)}; noise and random motions), "
          f"{workers} thread{'s' if workers > 1 else ''} on both sides")

    with ThreadPoolExecutor(workers) as pool:
        t0 = time.perf_counter()
        graphs = list(pool.map(delaunay_graph, clouds))
        t_graph = time.perf_counter() - t0
    progress = not args.no_progress
    if progress:
        try:
            import tqdm  # noqa: F401
        except ImportError:
            print("(no progress bar: install tqdm, or `pip install \"plov[demo]\"`)")
            progress = False
    t0 = time.perf_counter()
    mat = all_by_all(clouds, graphs=graphs, reduce="chamfer", workers=workers, progress=progress)
    t_join = time.perf_counter() - t0
    assert isinstance(mat, np.ndarray)

    rows = [("", "build", "join", "total", "")]
    t_plov = t_graph + t_join
    rows.append(("plov (Delaunay graphs + all-by-all)", f"{t_graph:.2f} s", f"{t_join:.2f} s", f"{t_plov:.2f} s", ""))
    if not args.no_tree:
        ref, t_build, t_query = tree_chamfer(clouds, workers)
        t_tree = t_build + t_query
        agree = np.abs(mat - ref).max()
        ratio = t_tree / t_plov
        verdict = f"plov {ratio:.1f}x faster" if ratio >= 1 else f"cKDTree {1 / ratio:.1f}x faster"
        rows.append(("cKDTree (trees + queries)", f"{t_build:.2f} s", f"{t_query:.2f} s", f"{t_tree:.2f} s",
                     f"end to end: {verdict}; join alone: plov {t_query / t_join:.1f}x; max |diff| {agree:.2e}"))
    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    for r in rows:
        print("  " + r[0].ljust(widths[0]) + "".join("  " + c.rjust(w) for c, w in zip(r[1:4], widths[1:])) +
              ("  " + r[4] if r[4] else ""))

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
    plt.close(fig)
    print(f"heat-map written to {os.path.abspath(args.out)}")
    return 0


USAGE = """usage: python -m plov demo [--clouds N] [--points N] [--workers N] [--out FILE] [--no-tree]

  demo    an all-by-all Chamfer matrix over synthetic clouds, timed end to end
          against scipy's cKDTree (`python -m plov demo --help` for its flags)"""


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] in ("-h", "--help"):
        print(USAGE)
        return 0
    if not argv or argv[0] != "demo":
        print(USAGE, file=sys.stderr)
        return 2
    try:
        return demo(argv[1:])
    except SystemExit as e:  # argparse's exits: --help, or a refused flag
        return e.code if isinstance(e.code, int) else 1


if __name__ == "__main__":
    sys.exit(main())
