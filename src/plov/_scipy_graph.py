"""The Delaunay graph of a cloud through `scipy.spatial.Delaunay` (Qhull), the route of
`delaunay_graph(points, method="scipy")`."""

from __future__ import annotations

from typing import Tuple

import numpy as np
import numpy.typing as npt

import _plov

Graph = Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]

_USE_NATIVE = 'use method="native", which triangulates every finite cloud'


def scipy_delaunay_graph(points: npt.ArrayLike) -> Graph:
    """`(indptr, indices)` of the Delaunay graph of finite `points` ((n, 3) float64) as
    Qhull triangulates them: uint32, symmetric, each list sorted.

    Exact duplicates are triangulated once, as their smallest-index copy, and every other
    copy is joined to that copy in both directions: its list is exactly [copy], and the
    copy's list holds all of them. The cloud is moved to its bounding-box centre first, so
    that Qhull's tolerances scale with the extent of the cloud and not with its distance
    from the origin. A cloud Qhull cannot triangulate (flat, collinear, fewer than five
    distinct points) and one it triangulates with points left out of every tetrahedron
    (points closer together than its precision) raise ValueError: the graph would not
    lead every search to its nearest point.
    """
    from scipy.spatial import Delaunay, QhullError

    pts = np.asarray(points, dtype=np.float64)
    n = len(pts)
    # +0.0 turns -0.0 into 0.0: the two are the same point.
    _, first, inverse = np.unique(pts + 0.0, axis=0, return_index=True, return_inverse=True)
    keep = np.sort(first)  # the smallest-index copy of every distinct point
    if len(keep) < 5:
        raise ValueError(f"points: scipy's Delaunay needs at least 5 distinct points, got {len(keep)}; "
                         f"{_USE_NATIVE}")
    centre = (pts.min(axis=0) + pts.max(axis=0)) / 2.0
    try:
        tri = Delaunay(pts[keep] - centre)
    except QhullError:
        raise ValueError(f"points: scipy's Delaunay cannot triangulate this cloud of {len(keep)} distinct points "
                         f"(it is degenerate: flat or collinear); {_USE_NATIVE}") from None
    left_out = len(keep) - len(np.unique(tri.simplices))
    if left_out:
        raise ValueError(f"points: scipy's Delaunay left {left_out} points out of every tetrahedron (points closer "
                         f"together than its precision); {_USE_NATIVE}")
    simplices = keep[tri.simplices].astype(np.uint64)
    indptr, indices = _plov.graph_from_simplices(simplices, n)
    if len(keep) == n:
        return indptr, indices
    return _join_copies(indptr, indices, first[inverse.reshape(-1)])


def _join_copies(indptr: np.ndarray, indices: np.ndarray, rep: np.ndarray) -> Graph:
    """The graph with every vertex v != rep[v] (which has no neighbours yet) joined to
    rep[v] in both directions; lists stay sorted."""
    n = len(rep)
    copies = np.flatnonzero(rep != np.arange(n))
    rows = np.concatenate([np.repeat(np.arange(n), np.diff(indptr.astype(np.int64))), rep[copies], copies])
    cols = np.concatenate([indices.astype(np.int64), copies, rep[copies]])
    order = np.lexsort((cols, rows))
    new_indptr = np.zeros(n + 1, np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=new_indptr[1:])
    return new_indptr.astype(np.uint32), cols[order].astype(np.uint32)
