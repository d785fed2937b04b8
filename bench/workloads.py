"""Seeded workloads with their Delaunay graphs, cached as .npz in bench/.cache/, and the
two storage layouts every workload is measured in: points as sampled (a spatially random
numbering) and points and graph renumbered in Morton order."""

from __future__ import annotations

from typing import Callable, List, NamedTuple, Optional, Tuple

import numpy as np

from .env import ROOT, load_plov

_plov = load_plov()

CACHE = ROOT / "bench" / ".cache"
# Part of every cache file name: bump it when a generator changes.
VERSION = 1
LAYOUTS = ("morton", "sampled")


class Cloud(NamedTuple):
    points: np.ndarray  # (n, 3) float64
    indptr: np.ndarray  # (n + 1,) uint32
    indices: np.ndarray  # uint32

    @property
    def n(self) -> int:
        return len(self.points)

    def mean_degree(self) -> float:
        return len(self.indices) / max(self.n, 1)


# ---------------------------------------------------------------- generators


def ball_gradient(n: int, seed: int) -> np.ndarray:
    """`n` points in the unit ball whose density rises tenfold from x = -1 to x = +1."""
    rng = np.random.default_rng(seed)
    parts, have = [], 0
    while have < n:
        p = rng.uniform(-1.0, 1.0, (2 * (n - have) + 1000, 3))
        p = p[(p * p).sum(1) <= 1.0]
        keep = rng.random(len(p)) < (1.0 + 9.0 * (p[:, 0] + 1.0) / 2.0) / 10.0
        parts.append(p[keep])
        have += int(keep.sum())
    return np.concatenate(parts)[:n]


def torus(n: int, seed: int, big: float = 1.0, small: float = 0.35, noise: float = 0.01) -> np.ndarray:
    """`n` noisy samples of a torus surface."""
    rng = np.random.default_rng(seed)
    u, v = rng.random(n) * 2 * np.pi, rng.random(n) * 2 * np.pi
    pts = np.stack([(big + small * np.cos(v)) * np.cos(u), (big + small * np.cos(v)) * np.sin(u),
                    small * np.sin(v)], axis=1)
    return pts + rng.normal(scale=noise, size=pts.shape)


def uniform(n: int, seed: int) -> np.ndarray:
    """`n` uniform points in the unit cube."""
    return np.random.default_rng(seed).random((n, 3))


def surface(rng: np.random.Generator, n: int) -> np.ndarray:
    """Noisy samples of a random sphere, ellipsoid or torus surface centred in [-1, 1]^3,
    so that clouds drawn one after another overlap."""
    centre = rng.uniform(-1.0, 1.0, 3)
    kind = rng.integers(3)
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    if kind == 0:
        pts = u * rng.uniform(0.5, 1.5)
    elif kind == 1:
        pts = u * rng.uniform(0.4, 1.6, 3)
    else:
        a, b = rng.uniform(0, 2 * np.pi, (2, n))
        big, small = rng.uniform(0.8, 1.4), rng.uniform(0.2, 0.5)
        pts = np.column_stack([(big + small * np.cos(b)) * np.cos(a), (big + small * np.cos(b)) * np.sin(a),
                               small * np.sin(b)])
    return pts + rng.normal(scale=0.01, size=pts.shape) + centre


# ---------------------------------------------------------------- graphs and cache


def triangulate(points: np.ndarray) -> np.ndarray:
    """The tetrahedra of scipy's Delaunay triangulation, as int32 rows."""
    from scipy.spatial import Delaunay

    return Delaunay(points).simplices.astype(np.int32)


def graph_of(points: np.ndarray, simplices: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    return _plov.graph_from_simplices(simplices.astype(np.uint64), len(points))


def cached_cloud(tag: str, make: Callable[[], np.ndarray], keep_simplices: bool = False,
                 log: Optional[Callable[[str], None]] = None) -> Cloud:
    """The cloud `make()` with its Delaunay graph, from bench/.cache/{tag}_v{VERSION}.npz
    when present (the tetrahedra too with `keep_simplices`)."""
    path = CACHE / f"{tag}_v{VERSION}.npz"
    if path.exists():
        z = np.load(path)
        if not keep_simplices or "simplices" in z.files:
            return Cloud(z["points"], z["indptr"], z["indices"])
    points = np.ascontiguousarray(make(), dtype=np.float64)
    if log:
        log(f"  triangulating {tag} ({len(points):,} points) ...")
    simplices = triangulate(points)
    indptr, indices = graph_of(points, simplices)
    CACHE.mkdir(parents=True, exist_ok=True)
    extra = {"simplices": simplices} if keep_simplices else {}
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, points=points, indptr=indptr, indices=indices, **extra)
    tmp.replace(path)
    return Cloud(points, indptr, indices)


def cached_simplices(tag: str) -> np.ndarray:
    return np.load(CACHE / f"{tag}_v{VERSION}.npz")["simplices"]


# ---------------------------------------------------------------- the workloads


def pair(kind: str, n: int, log: Optional[Callable[[str], None]] = None) -> Tuple[Cloud, Cloud]:
    """(query, target) clouds of `n` points each: kind "ball", "torus" or "uniform"."""
    make, seeds = {"ball": (ball_gradient, (11, 12)), "torus": (torus, (21, 22)),
                   "uniform": (uniform, (41, 42))}[kind]
    q = cached_cloud(f"{kind}_{n}_s{seeds[0]}", lambda: make(n, seeds[0]), log=log)
    t = cached_cloud(f"{kind}_{n}_s{seeds[1]}", lambda: make(n, seeds[1]), keep_simplices=kind == "uniform",
                     log=log)
    return q, t


def target_tag(kind: str, n: int) -> str:
    return f"{kind}_{n}_s{ {'ball': 12, 'torus': 22, 'uniform': 42}[kind] }"


def surfaces(n_clouds: int, n_points: int, log: Optional[Callable[[str], None]] = None) -> List[Cloud]:
    """`n_clouds` overlapping clouds of `n_points` noisy surface samples each."""
    rng = np.random.default_rng(31)
    draws = [surface(rng, n_points) for _ in range(n_clouds)]
    return [cached_cloud(f"surface_{n_points}_{c}_of_{n_clouds}", lambda p=p: p, log=log)
            for c, p in enumerate(draws)]


# ---------------------------------------------------------------- layouts


def morton_perm(points: np.ndarray) -> np.ndarray:
    """The Morton order of `points` (new position -> old index, int64), the order the
    module gives grouped query sets."""
    from plov._graphs import morton_perm as native_morton_perm  # after load_plov: plov imports _plov

    return native_morton_perm(points)


def renumber(cloud: Cloud, perm: np.ndarray) -> Cloud:
    """The cloud with new vertex k = old vertex perm[k]; neighbour lists mapped and sorted."""
    n = len(perm)
    inv = np.empty(n, np.int64)
    inv[perm] = np.arange(n)
    offsets = cloud.indptr.astype(np.int64)
    deg = np.diff(offsets)[perm]
    new_indptr = np.zeros(n + 1, np.int64)
    np.cumsum(deg, out=new_indptr[1:])
    gather = np.repeat(offsets[:-1][perm] - new_indptr[:-1], deg) + np.arange(new_indptr[-1])
    values = inv[cloud.indices[gather].astype(np.int64)]
    rows = np.repeat(np.arange(n), deg)
    values = values[np.lexsort((values, rows))]
    return Cloud(np.ascontiguousarray(cloud.points[perm]), new_indptr.astype(np.uint32), values.astype(np.uint32))


def in_layout(cloud: Cloud, layout: str) -> Cloud:
    if layout == "sampled":
        return cloud
    if layout == "morton":
        return renumber(cloud, morton_perm(cloud.points))
    raise ValueError(layout)


def induced(cloud: Cloud, vertices: np.ndarray) -> Cloud:
    """The subgraph on `vertices` (ascending), renumbered 0.. in that order; edges to
    vertices outside are dropped."""
    n = cloud.n
    new = np.full(n, -1, np.int64)
    new[vertices] = np.arange(len(vertices))
    offsets = cloud.indptr.astype(np.int64)
    rows = np.repeat(np.arange(n), np.diff(offsets))
    cols = cloud.indices.astype(np.int64)
    keep = (new[rows] >= 0) & (new[cols] >= 0)
    r, c = new[rows[keep]], new[cols[keep]]  # rows stay grouped and ascending
    indptr = np.zeros(len(vertices) + 1, np.int64)
    np.cumsum(np.bincount(r, minlength=len(vertices)), out=indptr[1:])
    return Cloud(np.ascontiguousarray(cloud.points[vertices]), indptr.astype(np.uint32), c.astype(np.uint32))


def halves(cloud: Cloud) -> List[np.ndarray]:
    """The vertices of the two Morton halves of the cloud, each ascending: the split a
    caller would hand to two threads."""
    perm = morton_perm(cloud.points)
    mid = len(perm) // 2
    return [np.sort(perm[:mid]), np.sort(perm[mid:])]
