"""All-by-all joins: every cloud against every other one in one call."""

from __future__ import annotations

import functools
import os
from concurrent.futures import Executor, ThreadPoolExecutor, as_completed
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

import _plov

from ._graphs import delaunay_graph, morton_perm, prepared_class, renumber
from ._validate import (
    as_block,
    as_bound,
    as_clouds,
    as_count,
    as_executor,
    as_graphs,
    as_reorder,
    as_workers,
    native_errors,
)

REDUCTIONS = ("mean", "max", "chamfer", "hausdorff")


class AllByAll(NamedTuple):
    """Per-point results of `all_by_all(..., reduce=None)`.

    `dists[j, offsets[i]:offsets[i+1]]` are the distances from the points of cloud `i`
    (in the caller's order) to their nearest points of cloud `j`, and `idx` the indices of
    those points in cloud `j` (the miss marker `len(clouds[j])` beyond a bound). On a
    Dask cluster `dists` and `idx` are Dask arrays of the same shapes and types, one chunk
    per tile, computed when asked for; `offsets` is always a NumPy array.
    """

    dists: Any  # np.ndarray, or dask.array.Array
    idx: Any
    offsets: np.ndarray


class _Plan(NamedTuple):
    """Everything a worker needs, as plain (picklable) arrays: the query clouds in the
    caller's order and each target as stored (points, graph, new-to-original perm)."""

    points: List[np.ndarray]
    targets: List[Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[np.ndarray]]]
    dtype: str
    bound: Optional[float]
    block: int
    reduce: Optional[str]


class _Group(NamedTuple):
    """The grouped set of query clouds `clouds` (a range); their points are
    `[start, stop)` of the concatenation of all clouds, `offsets` local to the group."""

    grouped: Any
    offsets: np.ndarray
    clouds: range
    start: int
    stop: int


# Query clouds are concatenated and Morton-sorted in groups of consecutive clouds, and
# each group is descended against each target. Every executor descends the same groups,
# so the results never depend on where they are computed (the seed a block of queries
# starts from is the answer of the block before it, within its group). Groups of 5,000
# to 250,000 points descend as fast as one group of every cloud; small groups let a task
# hold a share of the queries only.
_GROUP_MIN_POINTS = 1 << 12
_GROUP_MAX_POINTS = 1 << 16
_NO_EDGES = np.zeros(0, np.uint32)


def greedy_runs(costs: Sequence[int], cap: int) -> List[range]:
    """Consecutive runs of items, each as long as its costs add up to at most `cap` (at
    least one item each): as few runs as greedy packing gives."""
    runs, start, have = [], 0, 0
    for k, c in enumerate(costs):
        if k > start and have + c > cap:
            runs.append(range(start, k))
            start, have = k, 0
        have += c
    runs.append(range(start, len(costs)))
    return runs


def query_groups(sizes: Sequence[int]) -> List[range]:
    """The groups of query clouds, as ranges of consecutive clouds: each holds at most an
    eighth of all points, clamped to [4,096, 65,536], or a single larger cloud."""
    return greedy_runs(sizes, min(_GROUP_MAX_POINTS, max(_GROUP_MIN_POINTS, -(-sum(sizes) // 8))))


def group_queries(points: Sequence[np.ndarray], clouds: range, start: int, dtype: str) -> _Group:
    """The grouped set of `points[c]` for c in `clouds`, which begin at point `start` of
    the concatenation. Only the points are read: no graph is needed."""
    cls: Any = prepared_class(dtype)
    bare = [cls(points[c], np.zeros(len(points[c]) + 1, np.uint32), _NO_EDGES) for c in clouds]
    grouped_cls: Any = _plov.GroupedQueriesF64 if cls is _plov.PreparedF64 else _plov.GroupedQueriesF32
    grouped = grouped_cls.prepare(bare, [None] * len(bare))
    offsets = grouped.offsets.astype(np.int64)
    return _Group(grouped, offsets, clouds, start, start + int(offsets[-1]))


def descend(target: Any, perm: Optional[np.ndarray], group: _Group, block: int, bound: Optional[float],
            reduce: Optional[str]) -> Any:
    """One group against one target: the raw (dists, idx) pair in the caller's numbering,
    or the distances reduced per query cloud of the group (float64)."""
    d, i = target.query_grouped(group.grouped, perm, block, bound)
    if reduce is None:
        return d, i
    if reduce in ("mean", "chamfer"):
        return np.add.reduceat(d.astype(np.float64), group.offsets[:-1]) / np.diff(group.offsets)
    return np.maximum.reduceat(d.astype(np.float64), group.offsets[:-1])


# Renumbering a cloud costs about as much as descending several times its size of
# query points through it, and saves a share of the time of every descent into it as a
# target: about 30% for 200k-point targets, little below 100k points, where a cloud and
# its graph mostly stay in cache whatever their numbering. So "auto" renumbers only
# clouds that are large and much smaller than the whole query set.
_AUTO_RENUMBER_MIN_POINTS = 100_000
_AUTO_RENUMBER_MIN_QUERY_RATIO = 8


def _is_coherent(points: np.ndarray, perm: np.ndarray) -> bool:
    """True when the storage order is already about as local as Morton order: the mean
    step between consecutive points is at most twice that of the Morton order."""
    if len(points) < 3:
        return True
    p = points.astype(np.float64)
    stored = np.linalg.norm(np.diff(p, axis=0), axis=1).mean()
    morton = np.linalg.norm(np.diff(p[perm], axis=0), axis=1).mean()
    return bool(stored <= 2.0 * morton)


def stored_target(points: np.ndarray, csr: Tuple[np.ndarray, np.ndarray], reorder: Union[bool, str],
                  total: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[np.ndarray]]:
    """A target as it is searched: `(points, indptr, indices, perm)`, renumbered in Morton
    order (perm: new to original) where `reorder` asks for it, else as given (perm None).
    `total` is the number of query points of the whole join."""
    if reorder and not (reorder == "auto" and (len(points) < _AUTO_RENUMBER_MIN_POINTS
                                               or total < _AUTO_RENUMBER_MIN_QUERY_RATIO * len(points))):
        perm = morton_perm(points)
        if reorder is True or not _is_coherent(points, perm):
            p2, ip, ix = renumber(points, csr[0], csr[1], perm)
            return p2, ip, ix, perm
    return points, csr[0], csr[1], None



def _run_cancellable(pool: Executor, fn: Callable[..., Any], items: Sequence[Any],
                     done: Optional[Callable[[int, Any], None]] = None) -> List[Any]:
    """`[fn(item) for item in items]` on `pool`, calling `done(i, result)` as results come
    in. On any exception, an interrupt included, the calls not yet started are
    cancelled before it propagates."""
    futures = {pool.submit(fn, item): i for i, item in enumerate(items)}
    out: List[Any] = [None] * len(items)
    try:
        for f in as_completed(futures):
            i = futures[f]
            out[i] = f.result()
            if done is not None:
                done(i, out[i])
    except BaseException:
        for f in futures:
            f.cancel()
        raise
    return out



def _build(plan: _Plan) -> Tuple[List[Any], List[_Group]]:
    """Prepared targets and the grouped query sets of a plan."""
    cls: Any = prepared_class(plan.dtype)
    prepared = [cls(p, ip, ix) for p, ip, ix, _ in plan.targets]
    groups, start = [], 0
    for clouds in query_groups([len(p) for p in plan.points]):
        groups.append(group_queries(plan.points, clouds, start, plan.dtype))
        start = groups[-1].stop
    return prepared, groups


def _target_column(plan: _Plan, prepared: List[Any], groups: List[_Group], j: int, out: Optional[AllByAll] = None) -> Any:
    """One target's column: every query point's nearest distance to cloud j, reduced per
    query cloud (or the raw (dists, idx) pair, written into row j of `out` when given)."""
    perm = plan.targets[j][3]
    pieces = [descend(prepared[j], perm, g, plan.block, plan.bound, plan.reduce) for g in groups]
    if plan.reduce is not None:
        return np.concatenate(pieces)
    if out is None:
        return np.concatenate([d for d, _ in pieces]), np.concatenate([i for _, i in pieces])
    for g, (d, i) in zip(groups, pieces):
        out.dists[j, g.start:g.stop], out.idx[j, g.start:g.stop] = d, i
    return None


def _progress_bar(enabled: bool, total: int, desc: str, unit: str) -> Any:
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError(
            "progress=True needs tqdm: install it with `pip install \"plov[demo]\"` (or `pip install tqdm`)"
        ) from None
    return tqdm(total=total, desc=desc, unit=unit)


def all_by_all(
    clouds: Sequence[npt.ArrayLike],
    *,
    graphs: Optional[Sequence[Tuple[npt.ArrayLike, npt.ArrayLike]]] = None,
    dtype: npt.DTypeLike = np.float64,
    distance_upper_bound: Optional[float] = None,
    reduce: Optional[str] = "chamfer",
    workers: Optional[int] = None,
    executor: Any = None,
    progress: bool = False,
    reorder: Union[bool, str] = "auto",
    block: int = 2,
    tile_memory: Optional[int] = None,
) -> Union[np.ndarray, AllByAll]:
    """Nearest-neighbour distances between every pair of clouds.

    Every cloud is prepared once as a target, the clouds are grouped once as queries
    (runs of consecutive clouds concatenated and Morton-sorted), and every group is
    descended against each target from a thread pool (the native work runs with the
    interpreter lock released).

    Parameters
    ----------
    clouds : sequence of (n_i, 3) arrays
        The point clouds, each with at least one point. With a Dask client as `executor`,
        any of them may live on the cluster already: a Dask array (in chunks of rows) or a
        `distributed.Future` of an array. Their points stay there: each is checked on the
        cluster (a bad one fails the call with the error that names it, before any graph or
        tile is submitted) and only its size comes to the client. Without a Dask client,
        Dask arrays are computed first (all together, wherever Dask computes them) and
        futures are refused.
    graphs : sequence of (indptr, indices) pairs, optional
        Each cloud's Delaunay graph in CSR form (for instance from `delaunay_graph`),
        checked like `Index`'s `graph`: a cloud of two or more points needs a neighbour
        for every point. Built with `delaunay_graph` when omitted.
    dtype : float64 or float32
        Precision of the search and of the distances.
    distance_upper_bound : float, optional
        A distance (inclusive: `d <= r` is reported). Points without a neighbour within it
        get distance inf, which then dominates the means and maxima.
    reduce : "chamfer", "hausdorff", "mean", "max" or None
        "mean": `M[i, j]` is the mean distance from the points of cloud i to cloud j
        (directed); "max": the largest such distance (the directed Hausdorff distance);
        "chamfer": `M[i, j] + M[j, i]` of the means (symmetric); "hausdorff": the larger of
        the two directed Hausdorff distances (symmetric). None returns the per-point
        results as an `AllByAll` tuple (on a Dask cluster its `dists` and `idx` are
        Dask arrays, computed when asked for: compute them together, as
        `dask.compute(res.dists, res.idx)`, so that each tile runs once).
    workers : int, optional
        Threads of the pool (default, or -1: the machine's cores); the graphs are built
        on them too, a cloud on several when there are fewer clouds than threads. With another
        `executor`, the number of tasks it runs at once, which sets the size of the
        tiles when `tile_memory` is not given (default: what the executor reports).
    executor : concurrent.futures.Executor or dask.distributed.Client, optional
        Where to run the join. A `ThreadPoolExecutor` shares the prepared clouds. Any
        other executor (a `ProcessPoolExecutor`; a Dask `Client`, given as such or as
        `client.get_executor()`) runs it in tiles: blocks of query clouds against
        blocks of target clouds, each target's graph built once in a task of its own,
        so that no task needs the whole collection (see `tile_memory`). On a Dask
        cluster the clouds are sent once (or not at all, when they live there), graphs
        and tiles run where their inputs are, and with `reduce=None` the per-point
        results come back as lazy Dask arrays.
        Results are identical whatever the executor.
    progress : bool
        Show a progress bar over targets, or over tiles with another executor (needs
        tqdm). Nothing runs in the call that returns lazy Dask arrays, so it shows none.
    reorder : "auto", True or False
        Renumber clouds in Morton order before the search. "auto" renumbers a cloud only
        where that pays: its storage order is not already spatially coherent, it has at
        least 100,000 points (smaller ones mostly stay in cache whatever their numbering),
        and all clouds together hold at least 8 times its points (renumbering costs about
        as much as several descents of its size). Results are always reported in the
        caller's numbering.
    block : int
        Block size of the blocked descent: the queries of a block start together
        from the answer of the block before. Small blocks start every descent close
        to its answer; 2 was the fastest on clouds of 5,000 to 200,000 points.
    tile_memory : int, optional
        With an executor other than a thread pool: the memory, in bytes, that one tile
        may take (its query points and grouped sets, its targets' points and graphs).
        By default a share of all clouds' that gives every worker several tiles,
        between 32 MiB and 256 MiB, and at most a quarter of a Dask worker's memory
        limit. A tile holds at least one group of query clouds (at most 65,536 points
        or one cloud) and one target cloud.

    Returns
    -------
    (M, M) float64 array, or AllByAll when `reduce` is None.
    """
    if reduce is not None and reduce not in REDUCTIONS:
        raise ValueError(f"reduce must be one of {', '.join(map(repr, REDUCTIONS))} or None, not {reduce!r}")
    dt = np.dtype(dtype)
    prepared_class(dt)  # refuses other dtypes
    if workers is not None:
        workers = as_workers(workers)
    block = as_block(block)
    reorder = as_reorder(reorder)
    bound = as_bound(distance_upper_bound)
    executor = as_executor(executor)
    if tile_memory is not None:
        tile_memory = as_count(tile_memory, "tile_memory")

    in_tiles = executor is not None and not isinstance(executor, ThreadPoolExecutor)
    client = None
    if in_tiles:
        from ._tiles import dask_client, run_on_cluster, run_tiles

        client = dask_client(executor)
    points = as_clouds(clouds, dt, on_cluster=client is not None)
    tiled: Union[np.ndarray, AllByAll]
    if client is not None and not all(isinstance(p, np.ndarray) for p in points):
        tiled = run_on_cluster(client, points, graphs, dt.name, bound, int(block), reduce, reorder, workers,
                               progress, tile_memory)
        return tiled
    sizes = [len(p) for p in points]
    csr: Optional[List[Tuple[np.ndarray, np.ndarray]]] = None if graphs is None else as_graphs(graphs, sizes)

    total = sum(sizes)
    if in_tiles:
        tiled = run_tiles(executor, points, sizes, csr, dt.name, bound, int(block), reduce, reorder, workers,
                          progress, tile_memory)
        return tiled
    if csr is None:
        # One build per cloud, in parallel (the native builder releases the interpreter
        # lock); with fewer clouds than threads, each build shares out the rest.
        threads = workers or os.cpu_count() or 1
        each = max(1, threads // len(points))
        graph_pool = ThreadPoolExecutor(max_workers=min(threads, len(points)))
        try:
            csr = _run_cancellable(graph_pool, functools.partial(delaunay_graph, workers=each), points)
        finally:
            graph_pool.shutdown(wait=True, cancel_futures=True)
    targets = [stored_target(p, g, reorder, total) for p, g in zip(points, csr)]

    plan = _Plan(points, targets, dt.name, bound, int(block), reduce)
    m = len(points)
    columns: List[Any] = [None] * m
    # Per-point results go straight into their rows, so that no more than the columns
    # in flight exist besides the result.
    offsets = np.zeros(m + 1, np.int64)
    np.cumsum([len(p) for p in points], out=offsets[1:])
    out = None
    if reduce is None:
        out = AllByAll(np.empty((m, offsets[-1]), dt), np.empty((m, offsets[-1]), np.uint64), offsets.astype(np.uint64))
    bar = _progress_bar(progress, m, "targets", "cloud")
    try:
        prepared, groups = _build(plan)
        shut_pool_down = executor is None
        pool: Executor = executor if executor is not None else ThreadPoolExecutor(workers or os.cpu_count() or 1)
        try:
            def column(j: int, col: Any) -> None:
                columns[j] = col
                if bar is not None:
                    bar.update(1)

            with native_errors():
                _run_cancellable(pool, lambda j: _target_column(plan, prepared, groups, j, out), range(m), column)
        finally:
            if shut_pool_down:
                pool.shutdown(wait=True, cancel_futures=True)
    finally:
        if bar is not None:
            bar.close()

    if out is not None:
        return out
    return symmetrise(np.stack(columns, axis=1), reduce)  # [i, j]: query cloud i against target j


def symmetrise(mat: np.ndarray, reduce: Optional[str]) -> np.ndarray:
    """The matrix of a reduction from its directed matrix (query cloud i, target j)."""
    if reduce == "chamfer":
        mat = mat + mat.T
    elif reduce == "hausdorff":
        mat = np.maximum(mat, mat.T)
    return mat
