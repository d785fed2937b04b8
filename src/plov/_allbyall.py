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
from ._validate import as_block, as_bound, as_clouds, as_graphs, as_reorder, as_workers, native_errors

REDUCTIONS = ("mean", "max", "chamfer", "hausdorff")


class AllByAll(NamedTuple):
    """Per-point results of `all_by_all(..., reduce=None)`.

    `dists[j, offsets[i]:offsets[i+1]]` are the distances from the points of cloud `i`
    (in the caller's order) to their nearest points of cloud `j`, and `idx` the indices of
    those points in cloud `j` (the miss marker `len(clouds[j])` beyond a bound).
    """

    dists: np.ndarray
    idx: np.ndarray
    offsets: np.ndarray


class _Plan(NamedTuple):
    """Everything a worker needs, as plain (picklable) arrays."""

    points: List[np.ndarray]
    graphs: List[Tuple[np.ndarray, np.ndarray]]
    perms: List[Optional[np.ndarray]]
    dtype: str
    bound: Optional[float]
    block: int
    reduce: Optional[str]


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


def _build(plan: _Plan) -> Tuple[List[Any], Any]:
    """Prepared clouds and the grouped query set of a plan."""
    cls: Any = prepared_class(plan.dtype)
    prepared = [cls(p, ip, ix) for p, (ip, ix) in zip(plan.points, plan.graphs)]
    grouped_cls: Any = _plov.GroupedQueriesF64 if cls is _plov.PreparedF64 else _plov.GroupedQueriesF32
    return prepared, grouped_cls.prepare(prepared, plan.perms)


def _target_column(
    plan: _Plan, prepared: List[Any], grouped: Any, offsets: np.ndarray, j: int, out: Optional[AllByAll] = None
) -> Any:
    """One target's column: every query point's nearest distance to cloud j, reduced per
    query cloud (or the raw (dists, idx) pair, written into row j of `out` when given)."""
    d, i = prepared[j].query_grouped(grouped, plan.perms[j], plan.block, plan.bound)
    if plan.reduce is None:
        if out is None:
            return d, i
        out.dists[j], out.idx[j] = d, i
        return None
    if plan.reduce in ("mean", "chamfer"):
        return np.add.reduceat(d.astype(np.float64), offsets[:-1]) / np.diff(offsets)
    return np.maximum.reduceat(d.astype(np.float64), offsets[:-1])


def _run_batch(plan: _Plan, targets: List[int]) -> List[Tuple[int, Any]]:
    """Work sent to another process: rebuild the prepared clouds and the grouped set once,
    then descend the batch's targets."""
    prepared, grouped = _build(plan)
    offsets = grouped.offsets.astype(np.int64)
    return [(j, _target_column(plan, prepared, grouped, offsets, j)) for j in targets]


def _progress_bar(enabled: bool, total: int) -> Any:
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError(
            "progress=True needs tqdm: install it with `pip install \"plov[demo]\"` (or `pip install tqdm`)"
        ) from None
    return tqdm(total=total, desc="targets", unit="cloud")


def all_by_all(
    clouds: Sequence[npt.ArrayLike],
    *,
    graphs: Optional[Sequence[Tuple[npt.ArrayLike, npt.ArrayLike]]] = None,
    dtype: npt.DTypeLike = np.float64,
    distance_upper_bound: Optional[float] = None,
    reduce: Optional[str] = "chamfer",
    workers: Optional[int] = None,
    executor: Optional[Executor] = None,
    progress: bool = False,
    reorder: Union[bool, str] = "auto",
    block: int = 2,
) -> Union[np.ndarray, AllByAll]:
    """Nearest-neighbour distances between every pair of clouds.

    Every cloud is prepared once as a target, all clouds are grouped once as queries
    (concatenated and Morton-sorted), and the grouped set is descended against each target
    from a thread pool (the native work runs with the interpreter lock released).

    Parameters
    ----------
    clouds : sequence of (n_i, 3) arrays
        The point clouds, each with at least one point.
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
        results as an `AllByAll` tuple.
    workers : int, optional
        Threads of the pool (default, or -1: the machine's cores). With a process-based
        `executor`, the number of tasks the targets are split into (default 8).
    executor : concurrent.futures.Executor, optional
        Where to run the targets. A `ThreadPoolExecutor` shares the prepared clouds; any
        other executor (a `ProcessPoolExecutor`, `dask.distributed.Client.get_executor()`)
        receives plain arrays and each task rebuilds the clouds and the grouped set once
        for its batch of targets. Results are identical either way.
    progress : bool
        Show a progress bar over targets (needs tqdm).
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

    points = as_clouds(clouds, dt)
    if graphs is None:
        # One build per cloud, in parallel (the native builder releases the interpreter lock).
        graph_pool = ThreadPoolExecutor(max_workers=workers or os.cpu_count() or 1)
        try:
            csr = _run_cancellable(graph_pool, delaunay_graph, points)
        finally:
            graph_pool.shutdown(wait=True, cancel_futures=True)
    else:
        csr = as_graphs(graphs, points)

    perms: List[Optional[np.ndarray]] = [None] * len(points)
    if reorder:
        total = sum(len(p) for p in points)
        for c, p in enumerate(points):
            pays = len(p) >= _AUTO_RENUMBER_MIN_POINTS and total >= _AUTO_RENUMBER_MIN_QUERY_RATIO * len(p)
            if reorder == "auto" and not pays:
                continue
            perm = morton_perm(p)
            if reorder is True or not _is_coherent(p, perm):
                p2, ip, ix = renumber(p, csr[c][0], csr[c][1], perm)
                points[c], csr[c], perms[c] = p2, (ip, ix), perm

    plan = _Plan(points, csr, perms, dt.name, bound, block, reduce)
    m = len(points)
    columns: List[Any] = [None] * m
    # Per-point results go straight into their rows, so that no more than the columns
    # in flight exist besides the result.
    offsets = np.zeros(m + 1, np.int64)
    np.cumsum([len(p) for p in points], out=offsets[1:])
    out = None
    if reduce is None:
        out = AllByAll(np.empty((m, offsets[-1]), dt), np.empty((m, offsets[-1]), np.uint64), offsets.astype(np.uint64))
    bar = _progress_bar(progress, m)
    try:
        if executor is None or isinstance(executor, ThreadPoolExecutor):
            prepared, grouped = _build(plan)
            shut_pool_down = executor is None
            pool: Executor = executor if executor is not None else ThreadPoolExecutor(workers or os.cpu_count() or 1)
            try:
                def column(j: int, col: Any) -> None:
                    columns[j] = col
                    if bar is not None:
                        bar.update(1)

                def search(j: int) -> Any:
                    return _target_column(plan, prepared, grouped, offsets, j, out)

                with native_errors():
                    _run_cancellable(pool, search, range(m), column)
            finally:
                if shut_pool_down:
                    pool.shutdown(wait=True, cancel_futures=True)
        else:
            n_tasks = min(m, workers or 8)
            batches = [list(range(k, m, n_tasks)) for k in range(n_tasks)]

            def batch_done(_: int, done: List[Tuple[int, Any]]) -> None:
                for j, col in done:
                    if out is None:
                        columns[j] = col
                    else:
                        out.dists[j], out.idx[j] = col
                if bar is not None:
                    bar.update(len(done))

            with native_errors():
                _run_cancellable(executor, functools.partial(_run_batch, plan), batches, batch_done)
    finally:
        if bar is not None:
            bar.close()

    if out is not None:
        return out
    mat: np.ndarray = np.stack(columns, axis=1)  # mat[i, j]: query cloud i against target j
    if reduce == "chamfer":
        mat = mat + mat.T
    elif reduce == "hausdorff":
        mat = np.maximum(mat, mat.T)
    return mat
