"""Graphs of clouds: Delaunay adjacency and tetrahedra, Morton renumbering."""

from __future__ import annotations

from typing import Optional, Tuple, Type, Union, cast

import numpy as np
import numpy.typing as npt

import _plov

from . import _native
from ._validate import as_points, as_workers, check_graph, native_errors

Graph = Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]


def prepared_class(dtype: npt.DTypeLike) -> Union[Type[_plov.PreparedF64], Type[_plov.PreparedF32]]:
    """`PreparedF64` for float64, `PreparedF32` for float32; ValueError otherwise."""
    dt = np.dtype(dtype)
    if dt == np.float64:
        return _plov.PreparedF64
    if dt == np.float32:
        return _plov.PreparedF32
    raise ValueError(f"dtype must be float32 or float64, not {dt}")


def delaunay_graph(points: npt.ArrayLike, *, method: str = "native", workers: int = 1) -> Graph:
    """The vertex adjacency of the Delaunay tetrahedralisation of `points` ((n, 3)) as a CSR
    pair `(indptr, indices)` of uint32 arrays: symmetric, each list sorted.

    The native builder (the default) decides every orientation and in-sphere test exactly,
    ties broken by index, and runs with the interpreter lock released, so many clouds can be
    triangulated from a thread pool. Its graph is the Delaunay graph of every finite input,
    with one exception: coordinates smaller than 2^-130 times the cloud's largest count as
    zero, so the graph is that of the cloud with those coordinates set to zero (`plov.Index`
    refuses such clouds). Exact duplicates are triangulated once (the smallest-index copy,
    which lists every other copy; each other copy lists only it), flat and collinear clouds
    get their 2-D and 1-D Delaunay graphs, and clouds far from the origin are handled
    exactly. In exact arithmetic, greedy descent over the graph reaches the nearest point,
    ties to the smaller index; with distances rounded it may stop at a point whose distance
    ties with the nearest one's after rounding.

    `workers` threads build the native graph (-1: every core); the graph is the same, byte
    for byte, for any number of them.

    `method="scipy"` uses `scipy.spatial.Delaunay` (Qhull) on the centred cloud, with
    duplicates joined the same way; it needs SciPy and raises ValueError on clouds Qhull
    cannot triangulate (flat, collinear, fewer than five points). It ignores `workers`.
    """
    pts = as_points(points, "points", np.float64)
    threads = as_workers(workers)
    if method == "native":
        with native_errors():
            return cast(Graph, _native.delaunay_graph(pts, threads=threads))
    if method == "scipy":
        from ._scipy_graph import scipy_delaunay_graph

        return scipy_delaunay_graph(pts)
    raise ValueError(f"method must be 'native' or 'scipy', not {method!r}")


def delaunay_graph_ordered(points: npt.ArrayLike,
                           workers: int = 1) -> Tuple[np.ndarray, np.ndarray, npt.NDArray[np.int64]]:
    """`delaunay_graph(points)` renumbered in the builder's own Morton order, in which a
    walk touches memory in the order of its steps, and that order as `perm` (int64, new
    vertex -> original index): one build, no renumbering afterwards."""
    pts = as_points(points, "points", np.float64)
    threads = as_workers(workers)
    with native_errors():
        return cast(Tuple[np.ndarray, np.ndarray, npt.NDArray[np.int64]],
                    _native.delaunay_graph(pts, True, threads=threads))


def delaunay_tetrahedra(points: npt.ArrayLike, *, workers: int = 1) -> npt.NDArray[np.uint64]:
    """The tetrahedra of the Delaunay triangulation of `points` ((n, 3)) as an (m, 4)
    uint64 array of point indices, the format `graph_from_simplices` reads.

    Every row is positively oriented (`det([b - a, c - a, d - a]) > 0`); exact duplicates
    appear as their smallest-index copy; a cloud spanning fewer than three dimensions
    (flat, collinear, fewer than four distinct points) has no tetrahedra: (0, 4).
    Cospherical points (grids) are split consistently, ties going to the smaller index.
    The rows come in an order that depends on the points alone: each starts at its point
    that comes first in the builder's Morton order, then the first of the other three
    (an even permutation, so the orientation stays), and rows are grouped by their first
    point in that order. `workers` threads build them (-1: every core); the array is the
    same, byte for byte, for any number of them.
    """
    pts = as_points(points, "points", np.float64)
    threads = as_workers(workers)
    with native_errors():
        return cast(npt.NDArray[np.uint64], _native.delaunay_tetrahedra(pts, threads=threads))


def morton_perm(points: npt.ArrayLike, *, coarse: bool = False, axis: int = 0, lo: Optional[float] = None,
                hi: Optional[float] = None) -> npt.NDArray[np.int64]:
    """The rows (int64) of `points` ((n, 3), float32 or float64; other real types as
    float64) in Morton order: new position -> original index, the order the native
    module gives grouped query sets. `coarse` sorts by cell of a grid a few points wide
    (cells in Morton order), several times faster and as good for walking queries; with
    `lo` or `hi`, only the rows with lo <= points[row, axis] < hi are listed."""
    pts = np.asarray(points)
    if pts.dtype not in (np.float32, np.float64):
        pts = pts.astype(np.float64)
    with native_errors():
        return cast(npt.NDArray[np.int64], _native.morton_perm(pts, axis, lo, hi, coarse))


def renumber(
    points: np.ndarray, indptr: np.ndarray, indices: np.ndarray, perm: np.ndarray
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The cloud and its graph with new vertex k = old vertex perm[k]. Every neighbour
    list is mapped to the new numbers and keeps its order."""
    n = len(perm)
    inv = np.empty(n, np.uint32)
    inv[perm] = np.arange(n, dtype=np.uint32)
    offsets = indptr.astype(np.int64)
    deg = np.diff(offsets)[perm]
    new_indptr = np.zeros(n + 1, np.int64)
    np.cumsum(deg, out=new_indptr[1:])
    gather = np.repeat(offsets[:-1][perm] - new_indptr[:-1], deg)
    gather += np.arange(new_indptr[-1])
    return points[perm], new_indptr.astype(np.uint32), inv[indices[gather]]


def morton_reorder(
    points: npt.ArrayLike, indptr: npt.ArrayLike, indices: npt.ArrayLike
) -> Tuple[np.ndarray, npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
    """Renumber a cloud and its CSR graph in Morton order.

    Returns `(points, indptr, indices, perm)`: the points in Morton order, the graph in the
    new numbering (each neighbour list in its original order, mapped to the new numbers),
    and `perm` (int64, new position -> original index), the form that `query_perms` and
    `target_perm` take. A graph walk touches memory
    in the order of the numbering, so on clouds numbered in sampling order the same descent
    runs about twice as slowly as on Morton-numbered ones.
    """
    pts = np.asarray(points)
    if pts.ndim != 2 or pts.shape[1] < 3:
        raise ValueError(f"points must have shape (n, 3), not {pts.shape}")
    ip = np.asarray(indptr)
    ix = np.asarray(indices)
    check_graph(len(pts), ip, ix, "graph")
    perm = morton_perm(pts[:, :3])
    new_points, new_indptr, new_indices = renumber(pts, ip, ix, perm)
    return new_points, new_indptr, new_indices, perm
