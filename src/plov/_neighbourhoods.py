"""A cloud's own k nearest neighbours (`Index.query_self`, `knn_graph`)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

from ._validate import as_bound, as_count, as_flag, as_points, as_real_array, as_workers

if TYPE_CHECKING:
    from ._index import Index


def query_self(index: "Index", k: int, distance_upper_bound: Optional[float], workers: int) -> Tuple[Any, Any]:
    """See `Index.query_self`."""
    k = as_count(k, "k")
    r = as_bound(distance_upper_bound)
    nw = as_workers(workers)
    n = index.n
    # The k + 1 nearest of each point, its search started at the point's own vertex,
    # walked in the index's own order; then the point itself is dropped by its index.
    # When it is missing, copies of it with smaller indices fill the k + 1 places at
    # distance 0, and the first k are the answer.
    order = index._labels if index._labels is not None else np.arange(n, dtype=np.int64)
    dists, idx = index._search(index.data, order, k + 1, r, nw, index._vertices)
    own = idx == np.arange(n, dtype=np.int64)[:, None]
    dropped = np.where(own.any(axis=1), own.argmax(axis=1), k)
    cols = np.arange(k, dtype=np.int64)
    cols = cols + (cols >= dropped[:, None])
    return np.take_along_axis(dists, cols, axis=1), np.take_along_axis(idx, cols, axis=1)


def knn_graph(points: npt.ArrayLike, k: int, *, distance_upper_bound: Optional[float] = None, workers: int = 1,
              dtype: Optional[npt.DTypeLike] = None, as_csr: bool = False, symmetric: bool = False) -> Any:
    """Each point's `k` nearest other points: `Index(points, dtype=dtype).query_self(k, ...)`.

    Parameters
    ----------
    points : array_like, shape (n, 3)
        The cloud (see `Index`).
    k, distance_upper_bound, workers
        As for `Index.query_self`.
    dtype : float32 or float64, optional
        Precision of the search, as for `Index`.
    as_csr : bool
        Return the graph as an (n, n) `scipy.sparse.csr_matrix` of distances, the form
        `scipy.sparse.csgraph` takes, instead of the `(dists, idx)` arrays: row i holds
        the neighbours of point i, ascending by index. Misses are left out; copies of a
        point are neighbours at distance 0, stored as explicit zeros (csgraph counts a
        stored zero as an edge; `eliminate_zeros()` drops them). Needs SciPy.
    symmetric : bool
        With `as_csr`: the undirected graph, an edge i-j wherever j is among the
        neighbours of i or i among those of j.

    Returns
    -------
    `(dists, idx)`, both `(n, k)`, as `Index.query_self` returns them, or the sparse
    matrix.
    """
    as_csr = as_flag(as_csr, "as_csr")
    symmetric = as_flag(symmetric, "symmetric")
    if symmetric and not as_csr:
        raise ValueError("symmetric=True needs as_csr=True")
    pts = as_points(as_real_array(points, "points"), "points", dtype)
    as_count(k, "k")
    as_bound(distance_upper_bound)
    as_workers(workers)
    if as_csr:
        try:
            from scipy.sparse import csr_matrix
        except ImportError:
            raise ImportError("knn_graph(as_csr=True) needs SciPy (pip install 'plov[scipy]')") from None
    if len(pts) == 0:
        raise ValueError("points is empty: an Index needs at least one point")
    from ._index import Index

    dists, idx = Index(pts).query_self(k, distance_upper_bound=distance_upper_bound, workers=workers)
    if not as_csr:
        return dists, idx
    n = len(pts)
    rows = np.repeat(np.arange(n, dtype=np.int64), k)
    cols = idx.reshape(-1)
    vals = dists.reshape(-1)
    hit = cols < n
    rows, cols, vals = rows[hit], cols[hit], vals[hit]
    if symmetric:
        # Both directions of every edge, once each: an edge found from both ends has the
        # same distance both ways.
        rows, cols = np.concatenate([rows, cols]), np.concatenate([cols, rows])
        vals = np.concatenate([vals, vals])
    order = np.lexsort((cols, rows))
    rows, cols, vals = rows[order], cols[order], vals[order]
    if symmetric and len(rows):
        first = np.ones(len(rows), bool)
        first[1:] = (rows[1:] != rows[:-1]) | (cols[1:] != cols[:-1])
        rows, cols, vals = rows[first], cols[first], vals[first]
    indptr = np.zeros(n + 1, np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=indptr[1:])
    return csr_matrix((vals, cols, indptr), shape=(n, n))
