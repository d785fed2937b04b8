"""Point-to-point ICP with plov.Index: rigid registration of a source cloud onto a target.

Every iteration pairs each source point with its nearest target point, fits the rigid
motion that best maps the pairs (the SVD method of Kabsch and Umeyama), and moves the
source. Between iterations the source moves a little, so each query starts its search at
the point the previous iteration found (`hint=`): the search then costs little more than
reading a few neighbour lists, where a tree starts again at its root every time.

    python examples/icp.py [--points 200000] [--iterations 30]
"""

from __future__ import annotations

import argparse
import time
from typing import Callable, Optional, Tuple

import numpy as np

import plov

Nearest = Callable[[np.ndarray, Optional[np.ndarray]], Tuple[np.ndarray, np.ndarray]]


def rigid_fit(src: np.ndarray, dst: np.ndarray) -> np.ndarray:
    """The 4x4 rotation and translation that maps `src` onto `dst` (paired rows) with the
    least sum of squared distances."""
    cs, cd = src.mean(axis=0), dst.mean(axis=0)
    u, _, vt = np.linalg.svd((src - cs).T @ (dst - cd))
    flip = np.diag([1.0, 1.0, np.sign(np.linalg.det(vt.T @ u.T))])  # a rotation, not a reflection
    t = np.eye(4)
    t[:3, :3] = vt.T @ flip @ u.T
    t[:3, 3] = cd - t[:3, :3] @ cs
    return t


def icp(source: np.ndarray, target_points: np.ndarray, nearest: Nearest, iterations: int = 30,
        max_distance: float = np.inf) -> np.ndarray:
    """The 4x4 transform that registers `source` onto the target after `iterations` steps.
    `nearest(points, hint)` returns the distances and indices of the nearest target points
    (index len(target_points) where none is within `max_distance`); `hint` is its previous
    answer, or None on the first step."""
    total = np.eye(4)
    moved = source
    hint: Optional[np.ndarray] = None
    for _ in range(iterations):
        dist, idx = nearest(moved, hint)
        paired = dist <= max_distance
        step = rigid_fit(moved[paired], target_points[idx[paired]])
        moved = moved @ step[:3, :3].T + step[:3, 3]
        total = step @ total
        # A miss has no point to start from: it keeps its previous start.
        hint = idx if hint is None else np.where(paired, idx, hint)
    return total


def plov_icp(source: np.ndarray, target: np.ndarray, iterations: int = 30, max_distance: float = np.inf,
             hints: bool = True) -> np.ndarray:
    """ICP over a plov.Index of the target, each search started at the last answer."""
    index = plov.Index(target)
    bound = None if np.isinf(max_distance) else max_distance

    def nearest(x: np.ndarray, hint: Optional[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
        if hint is not None:
            hint = np.minimum(hint, index.n - 1)  # a first-step miss (index n) starts anywhere
        d, i = index.query(x, distance_upper_bound=bound, hint=hint if hints else None)
        return np.asarray(d), np.asarray(i)

    return icp(source, index.data, nearest, iterations, max_distance)


def bumpy_surface(n: int, seed: int) -> np.ndarray:
    """`n` points on a closed bumpy surface around the origin (radius about 1)."""
    rng = np.random.default_rng(seed)
    v = rng.normal(size=(n, 3))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    bumps = 1 + 0.15 * np.sin(5 * v[:, 0]) * np.sin(4 * v[:, 1]) * np.cos(3 * v[:, 2])
    return v * bumps[:, None]


def rotation(axis: np.ndarray, degrees: float) -> np.ndarray:
    """The 4x4 rotation about `axis` by `degrees`."""
    a = axis / np.linalg.norm(axis)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    th = np.radians(degrees)
    t = np.eye(4)
    t[:3, :3] = np.eye(3) + np.sin(th) * k + (1 - np.cos(th)) * k @ k
    return t


def problem(n_target: int, n_source: int, degrees: float = 4.0) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A target cloud, a source cloud (other samples of the same surface, moved) and the
    motion that maps the source back onto the surface."""
    target = bumpy_surface(n_target, 1)
    motion = rotation(np.array([1.0, 2.0, 3.0]), degrees)
    motion[:3, 3] = [0.02, -0.01, 0.03]
    raw = bumpy_surface(n_source, 2)
    source = raw @ motion[:3, :3].T + motion[:3, 3]
    return source, target, np.linalg.inv(motion)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--points", type=int, default=200_000, help="target points (the source has half as many)")
    ap.add_argument("--iterations", type=int, default=30)
    args = ap.parse_args()
    source, target, truth = problem(args.points, args.points // 2)
    for hints in (True, False):
        t0 = time.perf_counter()
        found = plov_icp(source, target, args.iterations, hints=hints)
        seconds = time.perf_counter() - t0
        err = np.degrees(np.arccos(np.clip((np.trace(found[:3, :3] @ truth[:3, :3].T) - 1) / 2, -1, 1)))
        print(f"hints={hints}: {seconds:.2f} s, rotation off by {err:.4f} degrees, "
              f"translation off by {np.linalg.norm(found[:3, 3] - truth[:3, 3]):.2e}")


if __name__ == "__main__":
    main()
