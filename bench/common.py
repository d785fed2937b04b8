"""Workloads shared by the benchmarks: seeded clouds, Delaunay graphs, Morton renumbering,
and a timer that reports medians."""

import time

import numpy as np
from scipy.spatial import Delaunay


def torus_cloud(n, seed, noise=0.01, R=1.0, r=0.35):
    """`n` noisy samples of a torus surface."""
    rng = np.random.default_rng(seed)
    u, v = rng.random(n) * 2 * np.pi, rng.random(n) * 2 * np.pi
    pts = np.stack([(R + r * np.cos(v)) * np.cos(u), (R + r * np.cos(v)) * np.sin(u), r * np.sin(v)], axis=1)
    return pts + rng.normal(scale=noise, size=pts.shape)


def delaunay_graph(points):
    """(indptr, indices) uint32 vertex adjacency of the Delaunay tetrahedralisation."""
    indptr, indices = Delaunay(points).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def _spread(v):
    v = v.astype(np.uint64) & np.uint64(0x1FFFFF)
    for shift, mask in ((32, 0x1F00000000FFFF), (16, 0x1F0000FF0000FF), (8, 0x100F00F00F00F00F),
                        (4, 0x10C30C30C30C30C3), (2, 0x1249249249249249)):
        v = (v | (v << np.uint64(shift))) & np.uint64(mask)
    return v


def morton_order(points):
    """Permutation that sorts `points` by their 63-bit Morton code in their own box."""
    lo, hi = points.min(0), points.max(0)
    ext = np.where(hi - lo == 0, 1.0, hi - lo)
    q = ((points - lo) / ext * 2097151.0).astype(np.uint64)
    code = _spread(q[:, 0]) | (_spread(q[:, 1]) << np.uint64(1)) | (_spread(q[:, 2]) << np.uint64(2))
    return np.argsort(code, kind="stable")


def renumber(points, indptr, indices, perm):
    """The cloud and its graph with new vertex k = old vertex perm[k]."""
    inv = np.empty_like(perm)
    inv[perm] = np.arange(len(perm))
    deg = np.diff(indptr.astype(np.int64))[perm]
    new_indptr = np.zeros(len(perm) + 1, np.uint32)
    new_indptr[1:] = np.cumsum(deg)
    starts = indptr[:-1].astype(np.int64)[perm]
    gather = np.repeat(starts - new_indptr[:-1].astype(np.int64), deg) + np.arange(int(new_indptr[-1]))
    new_indices = inv[indices[gather].astype(np.int64)].astype(np.uint32)
    return points[perm], new_indptr, new_indices


def median_time(fn, repeat=5):
    """Median wall time of `fn()` over `repeat` runs, and its last result."""
    times, out = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times)), out
