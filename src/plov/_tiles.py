"""All-by-all joins in tiles, for executors that share no memory with the caller.

The matrix is cut into tiles: a block of query groups (rows) against a block of target
clouds (columns). A tile receives the points of its query clouds, which it groups
itself (no graph needed), and its targets as stored (points, graph, permutation), each
built once by a task of its own. A tile's memory follows `tile_memory`, so that no task
needs the whole collection, and each cloud travels to one tile per block of its row and
of its column. Every tile descends the same query groups as the thread pool does, so
the results are the same bit for bit.

On a Dask cluster the clouds are sent once (one task per query group, which the
scheduler can rerun if a worker dies), each target's graph is built next to its points
("graph of cloud i"), and the tiles ("tile (I, J)") read both where they are.
"""

from __future__ import annotations

import functools
import os
import uuid
import warnings
from concurrent.futures import Executor
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from ._allbyall import (
    AllByAll,
    _progress_bar,
    _run_cancellable,
    descend,
    greedy_runs,
    group_queries,
    query_groups,
    stored_target,
    symmetrise,
)
from ._graphs import delaunay_graph, prepared_class
from ._validate import as_cloud, as_graphs, native_errors

Target = Tuple[np.ndarray, np.ndarray, np.ndarray, Optional[np.ndarray]]
Csr = Tuple[np.ndarray, np.ndarray]

_MIB = 1 << 20
_MIN_TILE_MEMORY = 32 * _MIB
_MAX_TILE_MEMORY = 256 * _MIB
# Neighbours per point of a Delaunay graph not built yet (about 15 inside a volume,
# fewer on surfaces).
_DEGREE_GUESS = 16


class JoinSettings(NamedTuple):
    """The search settings every tile shares."""

    dtype: str
    bound: Optional[float]
    block: int
    reduce: Optional[str]


class Tiling(NamedTuple):
    """Query groups (ranges of clouds), row blocks (ranges of groups) and column blocks
    (ranges of target clouds)."""

    groups: List[range]
    rows: List[range]
    cols: List[range]

    def row_clouds(self, r: int) -> range:
        rows = self.rows[r]
        return range(self.groups[rows.start].start, self.groups[rows.stop - 1].stop)


def query_bytes(n: int, itemsize: int) -> int:
    """Memory of n query points in a tile: the points, their packed and grouped copies,
    and one target's results with their scatter buffers."""
    return n * (3 * itemsize + 8 * itemsize + 2 * (itemsize + 8))


def target_bytes(n: int, edges: int, itemsize: int) -> int:
    """Memory of a target of n points and `edges` neighbour entries in a tile: points,
    packed points, and the graph twice (as received and prepared)."""
    return n * 7 * itemsize + 2 * 4 * (n + 1 + edges)


def plan_tiles(sizes: Sequence[int], edges: Sequence[int], itemsize: int, budget: int) -> Tiling:
    """Cut the matrix into tiles of at most `budget` bytes, about half for queries and
    half for targets (the split that ships the fewest bytes). A tile holds at least one
    query group and one target, so a group or target larger than the budget gets tiles
    of its own that exceed it."""
    groups = query_groups(sizes)
    row_cost = [query_bytes(sum(sizes[c] for c in g), itemsize) for g in groups]
    col_cost = [target_bytes(n, e, itemsize) for n, e in zip(sizes, edges)]
    rows = _runs(row_cost, budget // 2)
    cols = _runs(col_cost, budget - _widest(row_cost, rows))
    # the rows may take what the widest column leaves (more, or less when one target is
    # larger than half the budget)
    rows = _runs(row_cost, budget - _widest(col_cost, cols))
    return Tiling(groups, rows, cols)


def _widest(costs: Sequence[int], runs: List[range]) -> int:
    return max(sum(costs[k] for k in r) for r in runs)


def _runs(costs: Sequence[int], cap: int) -> List[range]:
    """Consecutive runs of items whose costs add up to at most `cap` (at least one item
    each): as few runs as greedy packing needs, with the items spread evenly over them
    where that keeps every run within `cap` (even tiles end together on the workers)."""
    greedy = greedy_runs(costs, cap)
    # item k goes to the run its cost's midpoint falls in, of len(greedy) equal shares
    share = sum(costs) / len(greedy)
    before = np.cumsum(costs, dtype=np.float64) - np.asarray(costs, np.float64) / 2
    run_of = np.minimum((before / share).astype(np.int64), len(greedy) - 1) if share > 0 else np.zeros(len(costs))
    cuts = np.flatnonzero(np.diff(run_of)) + 1
    even = [range(a, b) for a, b in zip([0, *cuts.tolist()], [*cuts.tolist(), len(costs)])]
    if len(even) == len(greedy) and all(len(r) == 1 or sum(costs[k] for k in r) <= cap for r in even):
        return even
    return greedy


def default_budget(total: int, slots: int, worker_limit: Optional[int]) -> int:
    """A tile's memory when the caller sets none: half of the whole collection's over the
    task slots (each slot then gets several tiles), within [32 MiB, 256 MiB] and at
    most a quarter of a worker's memory limit."""
    budget = min(_MAX_TILE_MEMORY, max(_MIN_TILE_MEMORY, total // (2 * max(slots, 1))))
    if worker_limit:
        budget = min(budget, worker_limit // 4)
    return budget


def build_target(points: np.ndarray, csr: Optional[Csr], reorder: Union[bool, str], total: int) -> Target:
    """A target as tiles search it, from its points (and graph, when the caller gave one)."""
    if csr is None:
        csr = delaunay_graph(points)
    return stored_target(points, csr, reorder, total)


def _target_in_group(clouds: List[np.ndarray], k: int, csr: Optional[Csr], reorder: Union[bool, str],
                     total: int) -> Target:
    return build_target(clouds[k], csr, reorder, total)


def run_tile(rows: List[List[np.ndarray]], targets: List[Target], settings: JoinSettings) -> Any:
    """One tile: the query groups `rows` (each a list of clouds' points) against
    `targets`. Returns the directed reductions as a (query clouds, targets) array, or
    the per-point (dists, idx) pair, one row per target."""
    cls: Any = prepared_class(settings.dtype)
    groups, start = [], 0
    for clouds in rows:
        groups.append(group_queries(clouds, range(len(clouds)), start, settings.dtype))
        start = groups[-1].stop
    if settings.reduce is None:
        dists = np.empty((len(targets), start), settings.dtype)
        idx = np.empty((len(targets), start), np.uint64)
    else:
        mat = np.empty((sum(len(c) for c in rows), len(targets)))
    with native_errors():
        for t, (points, indptr, indices, perm) in enumerate(targets):
            target = cls(points, indptr, indices)
            first = 0
            for g in groups:
                piece = descend(target, perm, g, settings.block, settings.bound, settings.reduce)
                if settings.reduce is None:
                    dists[t, g.start:g.stop], idx[t, g.start:g.stop] = piece
                else:
                    mat[first:first + len(g.clouds), t] = piece
                first += len(g.clouds)
    return (dists, idx) if settings.reduce is None else mat


class _Result:
    """The join's result as tiles arrive: the directed matrix, or the per-point arrays."""

    def __init__(self, tiling: Tiling, sizes: Sequence[int], settings: JoinSettings):
        self.tiling, self.settings = tiling, settings
        m = len(sizes)
        self.offsets = np.zeros(m + 1, np.int64)
        np.cumsum(sizes, out=self.offsets[1:])
        if settings.reduce is None:
            n = int(self.offsets[-1])
            self.out: Any = AllByAll(np.empty((m, n), settings.dtype), np.empty((m, n), np.uint64),
                                     self.offsets.astype(np.uint64))
        else:
            self.mat = np.empty((m, m))

    def points_of(self, r: int) -> slice:
        clouds = self.tiling.row_clouds(r)
        return slice(int(self.offsets[clouds.start]), int(self.offsets[clouds.stop]))

    def put(self, r: int, c: int, res: Any) -> None:
        cols = self.tiling.cols[c]
        if self.settings.reduce is None:
            s = self.points_of(r)
            self.out.dists[cols.start:cols.stop, s], self.out.idx[cols.start:cols.stop, s] = res
        else:
            clouds = self.tiling.row_clouds(r)
            self.mat[clouds.start:clouds.stop, cols.start:cols.stop] = res

    def value(self) -> Any:
        return self.out if self.settings.reduce is None else symmetrise(self.mat, self.settings.reduce)


def run_tiles(executor: Any, points: List[Any], sizes: List[int], csr: Optional[List[Csr]], dtype: str,
              bound: Optional[float], block: int, reduce: Optional[str], reorder: Union[bool, str],
              workers: Optional[int], progress: bool, tile_memory: Optional[int]) -> Any:
    """`all_by_all` on `executor` (not a thread pool) in tiles; the inputs are checked.
    On a Dask cluster `points` may hold futures of checked clouds, of `sizes` points, and
    is emptied once the join's own tasks hold the clouds."""
    client = dask_client(executor)
    itemsize = np.dtype(dtype).itemsize
    edges = [len(g[1]) for g in csr] if csr is not None else [_DEGREE_GUESS * n for n in sizes]
    if tile_memory is None:
        total = query_bytes(sum(sizes), itemsize) + sum(target_bytes(n, e, itemsize) for n, e in zip(sizes, edges))
        limit = None
        if client is not None:
            info = client.scheduler_info()["workers"].values()
            slots = workers or sum(w["nthreads"] for w in info) or 1
            limit = min((w["memory_limit"] for w in info if w.get("memory_limit")), default=None)
        else:
            slots = workers or getattr(executor, "_max_workers", None) or os.cpu_count() or 1
        tile_memory = default_budget(total, slots, limit)
    tiling = plan_tiles(sizes, edges, itemsize, tile_memory)
    settings = JoinSettings(dtype, bound, block, reduce)
    if client is not None:
        return _on_dask(client, points, sizes, csr, tiling, settings, reorder, progress)
    return _on_executor(executor, points, csr, tiling, settings, reorder, progress)


def _on_executor(executor: Executor, points: List[np.ndarray], csr: Optional[List[Csr]], tiling: Tiling,
                 settings: JoinSettings, reorder: Union[bool, str], progress: bool) -> Any:
    """Tiles on a plain executor: the targets first (one task each), then the tiles,
    each shipped its inputs."""
    total = sum(len(p) for p in points)
    graphs = [None] * len(points) if csr is None else csr
    with native_errors():
        targets = _run_cancellable(executor, functools.partial(_build_pair, reorder=reorder, total=total),
                                   list(zip(points, graphs)))
    result = _Result(tiling, [len(p) for p in points], settings)
    cells = [(r, c) for c in range(len(tiling.cols)) for r in range(len(tiling.rows))]
    inputs = (([[points[k] for k in tiling.groups[g]] for g in tiling.rows[r]],
               [targets[j] for j in tiling.cols[c]]) for r, c in cells)
    bar = _progress_bar(progress, len(cells), "tiles", "tile")

    def done(k: int, res: Any) -> None:
        result.put(*cells[k], res)
        if bar is not None:
            bar.update(1)

    try:
        with native_errors():
            _run_cancellable(executor, functools.partial(_tile_pair, settings=settings), list(inputs), done)
    finally:
        if bar is not None:
            bar.close()
    return result.value()


def _build_pair(item: Tuple[np.ndarray, Optional[Csr]], reorder: Union[bool, str], total: int) -> Target:
    return build_target(item[0], item[1], reorder, total)


def _tile_pair(item: Tuple[List[List[np.ndarray]], List[Target]], settings: JoinSettings) -> Any:
    return run_tile(item[0], item[1], settings)


def dask_client(executor: Any) -> Any:
    """The `dask.distributed.Client` behind `executor` (a client, or what its
    `get_executor()` returned), else None. Imports nothing of Dask for other executors."""
    if not type(executor).__module__.startswith("distributed"):
        return None
    from distributed import Client

    if isinstance(executor, Client):
        return executor
    client = getattr(executor, "_client", None)
    return client if isinstance(client, Client) else None


def _clouds(clouds: List[np.ndarray]) -> List[np.ndarray]:
    return clouds


def run_on_cluster(client: Any, clouds: List[Any], graphs: Any, dtype: str, *rest: Any) -> Any:
    """`all_by_all` on a Dask cluster where some of `clouds` live already (Dask arrays,
    futures; the others are checked arrays). Their points stay there: each is checked on
    the cluster by a task of its own ("cloud i", which keeps the checked points) and only
    its size comes back ("size of cloud i"). A bad cloud fails that task, and the join
    with its error. Then the join runs as for clouds sent from the client (`rest`: the
    arguments of `run_tiles` after `dtype`), its group tasks taking the checked clouds
    from those tasks, which are released then."""
    import dask
    from distributed import Future

    token = uuid.uuid4().hex[:12]
    checked: List[Any] = []
    remote: Dict[int, Any] = {}
    try:
        for c, x in enumerate(clouds):
            if isinstance(x, np.ndarray):
                checked.append(x)
                continue
            key, name = ("cloud", token, c), f"clouds[{c}]"
            if isinstance(x, Future):
                remote[c] = client.submit(as_cloud, x, name, dtype, key=key)
            else:  # a Dask array: its chunks are computed and joined on the cluster
                remote[c] = client.compute(dask.delayed(as_cloud)(x, name, dtype, dask_key_name=key))
            checked.append(remote[c])
        counts = client.gather([client.submit(len, f, key=("size of cloud", token, c)) for c, f in remote.items()])
        sizes = [len(x) if isinstance(x, np.ndarray) else 0 for x in clouds]
        for c, n in zip(remote, counts):
            sizes[c] = n
        csr = None if graphs is None else as_graphs(graphs, sizes)
    except BaseException:
        client.cancel(list(remote.values()))
        raise
    remote.clear()
    return run_tiles(client, checked, sizes, csr, dtype, *rest)


def _on_dask(client: Any, points: List[Any], sizes: List[int], csr: Optional[List[Csr]], tiling: Tiling,
             settings: JoinSettings, reorder: Union[bool, str], progress: bool) -> Any:
    """Tiles on a Dask cluster. The clouds of each query group go to the cluster once,
    inside a task of their own, so that the scheduler can run it again if the worker
    holding them dies (clouds already there, as futures, are gathered into it on the
    cluster); graphs and tiles are tasks that read them where they are."""
    token = uuid.uuid4().hex[:12]
    total = sum(sizes)
    groups: List[Any] = []
    try:
        with warnings.catch_warnings():
            # The clouds travel in their tasks on purpose (see above).
            warnings.filterwarnings("ignore", message="Sending large graph")
            for k, g in enumerate(tiling.groups):
                groups.append(client.submit(_clouds, [points[c] for c in g], key=("clouds", token, k)))
        # From here on the group tasks hold the clouds. Futures of clouds that were on the
        # cluster already are let go, so that the scheduler frees them once the groups have
        # taken them (a worker would hold them twice otherwise).
        points.clear()
        if settings.reduce is None:
            return _lazy_per_point(groups, csr, tiling, settings, reorder, total, token, sizes)
        return _gather_tiles(client, groups, csr, tiling, settings, reorder, total, token, progress, sizes)
    except BaseException:
        client.cancel(groups)
        raise


def _graph_tasks(submit: Any, groups: List[Any], csr: Optional[List[Csr]], tiling: Tiling,
                 reorder: Union[bool, str], total: int, token: str) -> List[Any]:
    """One task per target, "graph of cloud i", next to the clouds of its group."""
    out = []
    for k, g in enumerate(tiling.groups):
        for q, c in enumerate(g):
            out.append(submit(_target_in_group, groups[k], q, None if csr is None else csr[c], reorder, total,
                              key=("graph of cloud", token, c)))
    return out


def _tile_inputs(tiling: Tiling, groups: List[Any], targets: List[Any], r: int, c: int) -> Tuple[List[Any], List[Any]]:
    return [groups[g] for g in tiling.rows[r]], [targets[j] for j in tiling.cols[c]]


def _gather_tiles(client: Any, groups: List[Any], csr: Optional[List[Csr]], tiling: Tiling, settings: JoinSettings,
                  reorder: Union[bool, str], total: int, token: str, progress: bool, sizes: List[int]) -> Any:
    """Reductions: every tile submitted at once, its small result gathered as it comes."""
    from distributed import as_completed

    futures: List[Any] = []
    bar = _progress_bar(progress, len(tiling.rows) * len(tiling.cols), "tiles", "tile")
    try:
        targets = _graph_tasks(client.submit, groups, csr, tiling, reorder, total, token)
        futures.extend(targets)
        cells = {}
        for c in range(len(tiling.cols)):
            for r in range(len(tiling.rows)):
                f = client.submit(run_tile, *_tile_inputs(tiling, groups, targets, r, c), settings,
                                  key=("tile", token, r, c))
                cells[f.key] = (r, c)
                futures.append(f)
        result = _Result(tiling, sizes, settings)
        with native_errors():
            for f in as_completed([f for f in futures if f.key in cells], loop=client.loop):
                result.put(*cells[f.key], f.result())
                if bar is not None:
                    bar.update(1)
        return result.value()
    except BaseException:
        # An interrupt included: nothing of this join keeps running on the cluster.
        client.cancel(futures)
        raise
    finally:
        if bar is not None:
            bar.close()


def _lazy_per_point(groups: List[Any], csr: Optional[List[Csr]], tiling: Tiling, settings: JoinSettings,
                    reorder: Union[bool, str], total: int, token: str, sizes: List[int]) -> AllByAll:
    """Per-point results as Dask arrays (rows: targets, columns: every query point), one
    chunk per tile; the graphs and tiles run when they are computed."""
    import operator

    import dask
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    def submit(fn: Any, *args: Any, key: Any) -> Any:
        return dask.delayed(fn, pure=True)(*args, dask_key_name=key)

    targets = _graph_tasks(submit, groups, csr, tiling, reorder, total, token)
    tiles = [submit(run_tile, *_tile_inputs(tiling, groups, targets, r, c), settings, key=("tile", token, r, c))
             for c in range(len(tiling.cols)) for r in range(len(tiling.rows))]
    offsets = np.zeros(len(sizes) + 1, np.int64)
    np.cumsum(sizes, out=offsets[1:])
    chunks = (tuple(len(cols) for cols in tiling.cols),
              tuple(int(offsets[tiling.row_clouds(r).stop] - offsets[tiling.row_clouds(r).start])
                    for r in range(len(tiling.rows))))
    arrays = []
    for part, dtype in ((0, np.dtype(settings.dtype)), (1, np.dtype(np.uint64))):
        name = f"{('dists', 'idx')[part]}-{token}"
        layer: Dict[Any, Any] = {(name, t.key[3], t.key[2]): (operator.getitem, t.key, part) for t in tiles}
        graph = HighLevelGraph.from_collections(name, layer, dependencies=tiles)
        arrays.append(da.Array(graph, name, chunks, dtype=dtype))
    return AllByAll(arrays[0], arrays[1], offsets.astype(np.uint64))
