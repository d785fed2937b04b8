"""Neighbourhoods beyond a plain query: a cloud's own k nearest neighbours
(`Index.query_self`, `knn_graph`) and the points inside balls (`Index.query_ball_point`)."""

from __future__ import annotations

import os
import threading
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import _native
from ._graphs import morton_perm
from ._threads import run_shares
from ._validate import as_bound, as_count, as_flag, as_points, as_radii, as_real_array, as_workers, native_errors

if TYPE_CHECKING:
    from ._index import Index


def query_self(index: "Index", k: int, distance_upper_bound: Optional[float], workers: int) -> Tuple[Any, Any]:
    """See `Index.query_self`."""
    k = as_count(k, "k")
    r = as_bound(distance_upper_bound)
    nw = as_workers(workers)
    n = index.n
    # The k + 1 nearest of each point, its search started at the point's own vertex,
    # walked in the index's own order (each worker a run of it, in calls of bounded
    # work); then the point itself is dropped by its index. When it is missing, copies
    # of it with smaller indices fill the k + 1 places at distance 0, and the first k
    # are the answer.
    dists = np.empty((n, k + 1), index.dtype)
    idx = np.empty((n, k + 1), np.int64)
    from . import _index  # its call sizes (imported here: _index imports this module)

    nw = min(nw, max(1, n // _index._MIN_CHUNK))
    stop = threading.Event()

    def walk(w: int) -> None:
        first, end = w * n // nw, (w + 1) * n // nw
        while first < end:
            if stop.is_set():
                return
            with native_errors():
                first += _native.knn_self(index._target, dists, idx, r, index._labels, first, end,
                                          _index._CALL_WORK)

    run_shares(nw, walk, stop)
    ids = np.arange(n, dtype=np.int64)
    # Views, not copies: a copy of arrays this size costs as much as a fifth of the search.
    out_d, out_i = dists[:, 1:], idx[:, 1:]
    # The point comes first unless copies of it with smaller indices precede it.
    late = np.flatnonzero(idx[:, 0] != ids)
    if len(late):
        own = idx[late] == ids[late, None]
        dropped = np.where(own.any(axis=1), own.argmax(axis=1), k)
        cols = np.arange(k, dtype=np.int64)
        cols = cols + (cols >= dropped[:, None])
        out_d[late] = np.take_along_axis(dists[late], cols, axis=1)
        out_i[late] = np.take_along_axis(idx[late], cols, axis=1)
    return out_d, out_i


# Queries per native call of a ball search: a few tens of milliseconds at about twenty
# points per ball (the kernel also checks for Ctrl-C inside a call that runs long).
_BALL_CHUNK = 16384


def _listing_budget(dtype: np.dtype) -> int:
    """The most points a ball search lists: each takes its index and distance three times
    over while the answer is put together, and all of them may use half the memory."""
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return 2**62
    return max(1, memory // 2 // (3 * (8 + dtype.itemsize) + 16))


def query_ball_point(index: "Index", x: npt.ArrayLike, r: Any, return_sorted: bool, return_distances: bool,
                     return_length: bool, workers: int) -> Any:
    """See `Index.query_ball_point`."""
    arr = as_real_array(x, "x")
    single = arr.shape == (3,)
    pts = as_points(arr.reshape(1, 3) if single else arr, "x", index.dtype)
    m = len(pts)
    radii = as_radii(r, m)
    by_distance = as_flag(return_sorted, "return_sorted")
    with_dists = as_flag(return_distances, "return_distances")
    counts_only = as_flag(return_length, "return_length")
    nw = min(as_workers(workers), max(1, m // _BALL_CHUNK))
    order = morton_perm(pts, coarse=True)
    # Each worker walks a piece of the Morton order, in chunks; the pieces' results are
    # put back in the caller's order at the end.
    pieces: List[List[Tuple[np.ndarray, Any]]] = [[] for _ in range(nw)]
    budget, listed = _listing_budget(index.dtype), [0]
    stop = threading.Event()

    def walk(w: int) -> None:
        rows = order[w * m // nw:(w + 1) * m // nw]
        seed = 0
        for a in range(0, len(rows), _BALL_CHUNK):
            if stop.is_set():
                return
            chunk = rows[a:a + _BALL_CHUNK]
            try:
                with native_errors():
                    res = _native.ball_points(index._target, pts, radii, index._labels, seed, chunk, by_distance,
                                              counts_only, with_dists, max(0, budget - listed[0]))
            except MemoryError:
                raise MemoryError(f"query_ball_point: the answer lists more than {budget:,} points, more than "
                                  f"fits in memory") from None
            seed = int(res[3])
            if res[1] is not None:
                listed[0] += len(res[1])  # shared by the workers: a rough, safe-side total
            pieces[w].append((chunk, res))

    run_shares(nw, walk, stop)
    done = [piece for share in pieces for piece in share]
    rows = np.concatenate([c for c, _ in done]) if done else np.zeros(0, np.int64)
    walked = np.concatenate([res[0] for _, res in done]) if done else np.zeros(0, np.int64)
    counts = np.empty(m, np.int64)
    counts[rows] = walked
    if counts_only:
        return int(counts[0]) if single else counts
    indptr = np.zeros(m + 1, np.int64)
    np.cumsum(counts, out=indptr[1:])
    # Each query's run of points moves from its place in walk order to its row's place.
    indices = np.empty(indptr[-1], np.int64)
    dists = np.empty(indptr[-1], index.dtype) if with_dists else None
    with native_errors():
        for chunk, res in done:
            _native.scatter_runs(res[1], chunk, res[0], indptr, indices)
            if dists is not None:
                _native.scatter_runs(res[2], chunk, res[0], indptr, dists)
    if single:
        return (indices, dists) if with_dists else indices
    return (indptr, indices, dists) if with_dists else (indptr, indices)


def knn_graph(points: npt.ArrayLike, k: int, *, distance_upper_bound: Optional[float] = None, workers: int = 1,
              dtype: Optional[npt.DTypeLike] = None, as_csr: bool = False, symmetric: bool = False) -> Any:
    """Each point's `k` nearest other points: `Index(points, dtype=dtype, workers=workers).query_self(k, ...)`,
    the graph built and the queries run on `workers` threads.

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
    as_workers(workers)  # checked before SciPy is looked for
    if as_csr:
        try:
            from scipy.sparse import csr_matrix
        except ImportError:
            raise ImportError("knn_graph(as_csr=True) needs SciPy (pip install 'plov[scipy]')") from None
    if len(pts) == 0:
        raise ValueError("points is empty: an Index needs at least one point")
    from ._index import Index

    threads = as_workers(workers)
    dists, idx = Index(pts, workers=threads).query_self(k, distance_upper_bound=distance_upper_bound)
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
