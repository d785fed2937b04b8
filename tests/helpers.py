"""Shared helpers of the test suite: clouds, their Delaunay graphs, brute force."""

import numpy as np
import pytest
from scipy.spatial import Delaunay


def delaunay_csr(points):
    """The Delaunay vertex adjacency of `points` as (indptr, indices) uint32 arrays."""
    indptr, indices = Delaunay(np.asarray(points, dtype=np.float64)).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def cloud(n, seed, dtype=np.float64, scale=1.0, offset=0.0):
    """`n` uniform points in a cube, deterministic in `seed`."""
    rng = np.random.default_rng(seed)
    return (rng.random((n, 3)) * scale + offset).astype(dtype)


def cloud_with_graph(n, seed, dtype=np.float64, **kw):
    pts = cloud(n, seed, dtype, **kw)
    indptr, indices = delaunay_csr(pts)
    return pts, indptr, indices


def brute_nearest(x, y):
    """Exact squared distances and indices of the nearest `y` point for every `x` point."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    d2 = ((x[:, None, :] - y[None, :, :]) ** 2).sum(-1)
    idx = d2.argmin(1)
    return np.sqrt(d2[np.arange(len(x)), idx]), idx


def chain_graph(n):
    """The path 0-1-...-(n-1), both directions listed."""
    lists = [[v for v in (i - 1, i + 1) if 0 <= v < n] for i in range(n)]
    return csr(lists)


def csr(lists):
    """(indptr, indices) uint32 arrays from a list of neighbour lists."""
    indptr = np.zeros(len(lists) + 1, dtype=np.uint32)
    indptr[1:] = np.cumsum([len(l) for l in lists])
    indices = np.array([v for l in lists for v in l], dtype=np.uint32)
    return indptr, indices


def panic_message(fn, *args):
    """The message of the PanicException that `fn(*args)` raises."""
    with pytest.raises(BaseException) as e:
        fn(*args)
    assert type(e.value).__name__ == "PanicException", repr(e.value)
    return str(e.value)


def line(xs, dtype=np.float64):
    """Points on the x axis."""
    pts = np.zeros((len(xs), 3), dtype)
    pts[:, 0] = xs
    return pts
