"""`plov.Index`: a target built from raw points, queried like scipy's cKDTree."""

from __future__ import annotations

import os
import threading
import uuid
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _native
from ._dask_query import is_dask_array, query_dask
from ._graphs import delaunay_graph, delaunay_graph_ordered, morton_perm, prepared_class, renumber
from ._store import read_npz, state_of, write_npz
from ._neighbourhoods import query_ball_point, query_self
from ._threads import run_shares
from ._validate import (
    as_bound,
    as_count,
    as_graph,
    as_index_state,
    as_mmap_mode,
    as_hint,
    as_points,
    as_real_array,
    as_workers,
    check_triangulable,
    native_errors,
    point_dtype,
)

# Clouds from this size on are renumbered in Morton order: a walk then touches memory
# in the order of its steps. Smaller ones stay in cache whatever their numbering.
_MORTON_NUMBERING_MIN_POINTS = 10_000
# Queries per native call, at most, and the distances one call computes before it
# returns (about 20 ms of work): calls short enough that Ctrl-C is seen between them
# whatever the queries (one far from the cloud may need many), long enough that the
# call overhead is negligible.
_CHUNK_WORK = 2**18
_MIN_CHUNK = 1024
_CALL_WORK = 2**21

Result = Tuple[Any, Any]


def _as_rows(a: np.ndarray) -> np.ndarray:
    """A C-contiguous 2-D array as a 1-D array of opaque rows (copied whole by `np.put`,
    several times faster than a fancy-indexed row assignment)."""
    return a.view(np.dtype((np.void, a.shape[1] * a.itemsize))).reshape(-1)


class Index:
    """Nearest neighbours among a fixed cloud of 3-D points, for any number of queries.

    Built from raw points like `scipy.spatial.cKDTree`: the Delaunay graph of the cloud is
    built once, the cloud is renumbered in Morton order when that pays, and every query
    walks the graph. Results are exact: the points a brute-force scan returns that
    computes every distance in the index's precision as `sqrt((dx*dx + dy*dy) + dz*dz)`
    (no fused multiply-add) and ranks by that distance, ties to the smaller index. They
    are always in the caller's numbering. An Index is built once and kept: `save`/`load`
    and pickling (copies, joblib, process pools, Dask) restore it without building anything.

    Parameters
    ----------
    points : array_like, shape (n, 3)
        The cloud: any real array with at least one point and finite coordinates. A
        coordinate that is not zero but below 2^-130 times the cloud's largest is
        refused (ValueError) when the index builds the graph: the graph would count it
        as zero.
    graph : (indptr, indices), optional
        The cloud's Delaunay graph in CSR form, when the caller has it already (for
        instance from `plov.delaunay_graph`). Checked for its shape, not for being a
        Delaunay graph: the results are exact only on one.
    dtype : float32 or float64, optional
        Precision of the search and of the distances; float32 points stay float32 by
        default, every other real type becomes float64.
    workers : int
        Threads that build the graph (-1: every core), and the default of the queries'
        `workers`. The graph, and so every answer, is the same for any number of them. A
        restored index (load, unpickling) queries on one thread unless told otherwise.
    """

    def __init__(self, points: npt.ArrayLike, *, graph: Optional[Tuple[Any, Any]] = None,
                 dtype: Optional[npt.DTypeLike] = None, workers: int = 1) -> None:
        pts = as_points(points, "points", dtype)
        threads = as_workers(workers)
        n = len(pts)
        if n == 0:
            raise ValueError("points is empty: an Index needs at least one point")
        perm: Optional[np.ndarray] = None
        if graph is None:
            check_triangulable(pts, "points")
        with native_errors():
            if graph is None and n >= _MORTON_NUMBERING_MIN_POINTS:
                indptr, indices, perm = delaunay_graph_ordered(pts, threads)  # built in Morton order
                pts = pts.take(perm, axis=0)
            elif graph is None:
                indptr, indices = delaunay_graph(pts, workers=threads)
            else:
                indptr, indices = as_graph(graph, n, "graph")
                if n >= _MORTON_NUMBERING_MIN_POINTS:
                    perm = morton_perm(pts, coarse=True)
                    pts, indptr, indices = renumber(pts, indptr, indices, perm)
        if perm is None:
            pts = pts.copy()  # perhaps the caller's own array
        self._adopt(pts, indptr, indices, perm)
        self._workers = threads

    def _adopt(self, pts: np.ndarray, indptr: np.ndarray, indices: np.ndarray,
               labels: Optional[np.ndarray]) -> None:
        """Packs the target and sets every attribute, from a cloud and its graph in the
        search's numbering: the end of a build and the whole of a restore."""
        with native_errors():
            self._target = prepared_class(pts.dtype)(pts, indptr, indices)
        pts.setflags(write=False)
        self._points = pts  # in the search's numbering, never written
        self._labels = labels  # search numbering -> caller's numbering, or None
        self.n = len(pts)
        self.dtype = pts.dtype
        self._workers = 1  # the queries' default thread count

    def __dask_tokenize__(self) -> str:
        """A name of this index that stays the same while it lives: a Dask graph then
        holds it under one key, without hashing its arrays."""
        token: Optional[str] = getattr(self, "_token", None)
        if token is None:
            token = self._token = uuid.uuid4().hex
        return token

    def __repr__(self) -> str:
        return f"plov.Index(n={self.n}, dtype={self.dtype.name})"

    def _threads(self, workers: Optional[int]) -> int:
        """A query's thread count: `workers`, or the index's own when None."""
        return self._workers if workers is None else as_workers(workers)

    @property
    def data(self) -> np.ndarray:
        """The points, in the caller's numbering, as an (n, 3) array of `dtype`: the index's
        own copy, read-only, or a new array."""
        if self._labels is None:
            return self._points
        out = np.empty_like(self._points)
        np.put(_as_rows(out), self._labels, _as_rows(self._points))
        return out

    @property
    def graph(self) -> Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]:
        """The Delaunay graph the index searches, in the caller's numbering, as
        `plov.delaunay_graph` returns it: a CSR pair `(indptr, indices)` of new uint32
        arrays, each neighbour list ascending, ready for `Index(points, graph=...)`
        and the native classes."""
        if self._labels is not None:
            with native_errors():
                return _native.prepared_graph(self._target, self._labels)
        indptr, indices = _native.prepared_graph(self._target)
        return indptr.copy(), indices.copy()

    @property
    def nbytes(self) -> int:
        """Bytes of memory the index holds: its points (twice: as an array and packed for
        the search), its graph and its label map; arrays mapped from a file count too. Not
        counted: the visit stamps its searches keep between calls (4 bytes per point for
        each thread that has searched it at once, up to 8 of them)."""
        indptr, indices = _native.prepared_graph(self._target)
        packed = self.n * 4 * self.dtype.itemsize
        labels = 0 if self._labels is None else self._labels.nbytes
        return int(self._points.nbytes + packed + indptr.nbytes + indices.nbytes + labels)

    # ------------------------------------------------------------ keeping an index

    def __getstate__(self) -> Dict[str, Any]:
        """The points, graph and label map in the search's numbering: restoring packs
        them, without building or sorting anything."""
        labels = self._labels if self._labels is not None else np.arange(self.n, dtype=np.int64)
        return state_of(self._points, *_native.prepared_graph(self._target), labels)

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self._restore(state, "pickled plov.Index")

    def _restore(self, state: Mapping[str, Any], source: str) -> None:
        s = as_index_state(state, source)
        n = len(s.labels)
        identity = s.labels[0] == 0 and s.labels[-1] == n - 1 and bool((s.labels == np.arange(n)).all())
        self._adopt(s.points, s.indptr, s.indices, None if identity else s.labels)

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the index to `path` (the name as given; `.npz` is the usual suffix),
        replacing the file whole: an uncompressed `.npz` archive that `np.load` reads
        without plov (`allow_pickle=False`), with the members

        - `format_version` (int64, 1) and `min_plov_version` (the oldest plov that
          reads this format, a string);
        - `points` ((n, 3), float64 or float32: the index's dtype), the points in the
          search's numbering;
        - `indptr` ((n + 1,), uint32) and `indices` ((m,), uint32), their Delaunay
          graph in CSR form in that numbering;
        - `labels` ((n,), int64): search vertex i is row `labels[i]` of the points the
          index was built from.

        Every array is little-endian and C-ordered, its data aligned to 64 bytes in the
        file. `docs/architecture.md` describes the format in full.
        """
        write_npz(path, self.__getstate__())

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"], mmap_mode: Optional[str] = None) -> "Index":
        """An index saved by `save`, restored without building anything.

        Every field is checked before native code sees it (format version, names,
        dtypes, shapes, the CRC-32 of every member, finite points, the graph's offsets
        and neighbour numbers, the label map a permutation); anything else is a
        ValueError naming the field and what is wrong with it. No pickle is read, so a
        file from anyone can run no code. A file that passes the checks but whose
        graph is not the Delaunay graph of its points (written by hand) gives inexact
        answers, as `Index(points, graph=...)` does.

        Parameters
        ----------
        path : str or path-like
        mmap_mode : None or "r"
            With "r" the points and the label map the index keeps are read-only views
            of a memory map of the file, shared with every process that maps it; the
            packed copy of the points and of the graph that the search walks is the
            index's own either way.
        """
        mode = as_mmap_mode(mmap_mode)
        source = f"index file {os.fspath(path)!r}"
        index = cls.__new__(cls)
        index._restore(read_npz(path, mode, source), source)
        return index

    @property
    def _vertices(self) -> np.ndarray:
        """The search's vertex of every caller row (int64), made on first use."""
        vertices: Optional[np.ndarray] = getattr(self, "_vertex_of", None)
        if vertices is None:
            vertices = np.arange(self.n, dtype=np.int64)
            if self._labels is not None:
                vertices[self._labels] = vertices.copy()
            self._vertex_of = vertices
        return vertices

    def query(self, x: npt.ArrayLike, k: int = 1, *, distance_upper_bound: Optional[float] = None,
              workers: Optional[int] = None, hint: Optional[npt.ArrayLike] = None) -> Result:
        """The `k` nearest points of the index for every point of `x`.

        Parameters
        ----------
        x : array_like, shape (m, 3) or (3,), or a Dask array of shape (m, 3)
            Query points (cast to the index's dtype); they need no graph. A Dask array
            (chunked along its rows) gives Dask arrays, computed lazily chunk by chunk:
            the index enters the task graph once, so each worker of a cluster receives
            it once, whatever the number of chunks.
        k : int
            Number of neighbours. The search is exact for every `k`: it descends to the
            nearest point, then expands best-first over the Delaunay graph through every
            point that may be reported among the `k` best, rounding of the computed
            distances included.
        distance_upper_bound : float, optional
            Report only points whose distance, as reported, is at most this one
            (inclusive: `d <= r`, where cKDTree's bound is exclusive). Entries without an
            answer are `(inf, n)`.
        workers : int, optional
            Threads to split the queries over (-1: every core); the index's own
            `workers` when None. The results do not depend on it.
        hint : array_like of int, optional
            One index of the index's points per query point (a scalar for a single
            point), where its search starts: for a cloud that moves a little between
            calls, the indices the last call returned (for `k > 1`, its first column).
            A hint near the answer makes the search cheap; the answer never depends on
            it.

        Returns
        -------
        (dists, idx), shaped like `cKDTree.query`: `(m,)` arrays for `k == 1`, `(m, k)`
        for `k > 1`, and for a single point of shape `(3,)` scalars or `(k,)` arrays.
        Distances are in the index's dtype, indices int64 in the index's numbering,
        rows in ascending (distance, index) order, the distance as reported. A query so
        far from the cloud that every computed distance rounds to the same value gets the
        smallest indices (`inf` when the squares overflow the dtype).
        """
        if is_dask_array(x):
            if hint is not None:
                raise TypeError("hint is not supported with a Dask array x")
            return query_dask(self, x, as_count(k, "k"), as_bound(distance_upper_bound), self._threads(workers))
        arr = as_real_array(x, "x")
        single = arr.ndim == 1 and arr.shape == (3,)
        pts = as_points(arr.reshape(1, 3) if single else arr, "x", self.dtype)
        k = as_count(k, "k")
        r = as_bound(distance_upper_bound)
        nw = self._threads(workers)
        starts = order = None
        if hint is not None:
            # Walked in the order of their start vertices: consecutive walks start close.
            starts = self._vertices.take(as_hint(hint, len(pts), self.n))
            with native_errors():
                order = _native.start_order(starts, self.n).view(np.int64)
        dists, idx = self._search(pts, order, k, r, nw, starts)
        if single:
            return dists[0], idx[0]
        return dists, idx

    def query_self(self, k: int, *, distance_upper_bound: Optional[float] = None,
                   workers: Optional[int] = None) -> Result:
        """The `k` nearest other points of every point of the index.

        Each point's search starts at its own vertex, with no descent. The point itself is
        left out by its index; copies of it are other points, at distance 0. Unlike a
        query of the cloud against itself with `k + 1` that drops the first column, this
        is right when points repeat.

        Returns
        -------
        (dists, idx), both `(n, k)` (for every `k`, 1 included), in the caller's numbering,
        rows in ascending (distance, index) order. Entries without an answer (fewer than
        `k + 1` points, or cut by `distance_upper_bound`, inclusive) are `(inf, n)`.
        """
        return query_self(self, k, distance_upper_bound, self._threads(workers))

    def query_ball_point(self, x: npt.ArrayLike, r: Any, *, return_sorted: bool = False,
                         return_distances: bool = False, return_length: bool = False,
                         workers: Optional[int] = None) -> Any:
        """The points of the index within distance `r` of every point of `x`.

        Each search descends to the nearest point, then expands breadth-first over the
        Delaunay graph through the points inside the ball only (they are connected in
        it), so its cost follows the size of the answer. For "at most `k` points within
        `r`" use `query(x, k, distance_upper_bound=r)`.

        Parameters
        ----------
        x : array_like, shape (m, 3) or (3,)
            Query points (cast to the index's dtype).
        r : float or array_like of shape (m,)
            One radius for all points or one per point: non-negative, `inf` for every
            point. Inclusive: a point at distance exactly `r` is in (cKDTree's is too),
            with distances computed in the index's dtype.
        return_sorted : bool
            Order each point's neighbours by (distance, index); otherwise by index.
        return_distances : bool
            Also return the distances, in the index's dtype.
        return_length : bool
            Return only the number of neighbours of every point (nothing is stored).
        workers : int, optional
            Threads to split the queries over (-1: every core); the index's own
            `workers` when None. The results do not depend on it.

        Returns
        -------
        In compressed sparse row form, the neighbours of `x[i]` being
        `indices[indptr[i]:indptr[i + 1]]`: `(indptr, indices)`, both int64 (`indptr` of
        length `m + 1`, `indices` in the index's numbering), or `(indptr, indices, dists)`
        with `return_distances`; with `return_length` the int64 counts. For a single point
        of shape `(3,)`: `indices` (or `(indices, dists)`), or the count as an int.
        `scipy.sparse.csr_matrix((dists, indices, indptr), shape=(m, n))` makes the
        sparse distance matrix of the answers. The output grows with the answer; one that
        cannot fit in memory raises MemoryError.
        """
        return query_ball_point(self, x, r, return_sorted, return_distances, return_length, self._threads(workers))

    def query_index(self, other: "Index", k: int = 1, *, distance_upper_bound: Optional[float] = None,
                    workers: Optional[int] = None) -> Result:
        """As `query`, with the points of another Index as the queries (in `other`'s
        numbering): its points are already in Morton order, so nothing is sorted."""
        if not isinstance(other, Index):
            raise TypeError(f"other must be a plov.Index, not {type(other).__name__}")
        k = as_count(k, "k")
        r = as_bound(distance_upper_bound)
        nw = self._threads(workers)
        # other's caller row labels[i] is its point i in Morton order: walk in that order.
        order = other._labels if other._labels is not None else np.arange(other.n, dtype=np.int64)
        return self._search(as_points(other.data, "other", self.dtype), order, k, r, nw)

    def _search(self, pts: np.ndarray, order: Optional[np.ndarray], k: int, r: Optional[float],
                workers: int, starts: Optional[np.ndarray] = None) -> Result:
        """Searches the rows of `pts`, in chunks, with results in the caller's order of
        `pts`; with `starts`, each row's search starts at its vertex there. Each worker
        walks its share of the rows in a spatially coherent order: `order` cut into `workers` pieces, or, without `order`, the rows of one slab of
        space sorted by the worker itself, so that no step runs serially and each
        worker's walks stay in its own part of the index."""
        m = len(pts)
        # Every row is written by the native calls, misses included.
        dists = np.empty((m, k), self.dtype)
        idx = np.empty((m, k), np.int64)
        chunk = max(_MIN_CHUNK, _CHUNK_WORK // k)
        workers = min(workers, max(1, m // _MIN_CHUNK))
        stop = threading.Event()

        def walk(rows: np.ndarray) -> None:
            seed, a = 0, 0
            while a < len(rows):
                if stop.is_set():
                    return
                with native_errors():
                    done, seed = _native.knn_exact(self._target, pts, dists, idx, r, self._labels, seed,
                                                   rows[a:a + chunk], _CALL_WORK, starts)
                a += done

        if workers == 1:
            walk(order if order is not None else morton_perm(pts, coarse=True))
            return self._shaped(dists, idx)
        # Without an order, the shares are slabs across the widest axis, each holding an
        # equal share of a sample of the rows.
        sample = pts[::max(1, m // 1024)]
        axis = int(np.argmax(sample.max(axis=0) - sample.min(axis=0)))
        ranked = np.sort(sample[:, axis])
        cuts: List[Optional[float]] = [None, *(float(ranked[len(ranked) * w // workers]) for w in range(1, workers)),
                                       None]

        def share(w: int) -> None:
            if order is not None:
                walk(order[w * m // workers:(w + 1) * m // workers])
            else:
                walk(morton_perm(pts, coarse=True, axis=axis, lo=cuts[w], hi=cuts[w + 1]))

        run_shares(workers, share, stop)
        return self._shaped(dists, idx)

    @staticmethod
    def _shaped(dists: np.ndarray, idx: np.ndarray) -> Result:
        """(m, 1) results as (m,) arrays, like cKDTree's for k == 1."""
        if dists.shape[1] == 1:
            return dists.reshape(-1), idx.reshape(-1)
        return dists, idx


def nearest(x: npt.ArrayLike, y: npt.ArrayLike, k: int = 1, *, distance_upper_bound: Optional[float] = None,
            workers: int = 1, dtype: Optional[npt.DTypeLike] = None) -> Result:
    """The `k` nearest points of `y` for every point of `x`, in one call:
    `Index(y, dtype=dtype, workers=workers).query(x, k, ...)`: `workers` threads build
    the graph and split the queries. Without `dtype` the search runs in float32 when both
    clouds are float32 and in float64 otherwise."""
    xa = as_real_array(x, "x")
    ya = as_real_array(y, "y")
    if dtype is None:
        both32 = point_dtype(xa, None) == np.float32 and point_dtype(ya, None) == np.float32
        dtype = np.float32 if both32 else np.float64
    # Every argument is checked before the graph is built.
    as_points(xa.reshape(1, 3) if xa.shape == (3,) else xa, "x", dtype)
    as_count(k, "k")
    as_bound(distance_upper_bound)
    threads = as_workers(workers)
    return Index(ya, dtype=dtype, workers=threads).query(xa, k, distance_upper_bound=distance_upper_bound,
                                                         workers=threads)

