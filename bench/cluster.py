"""Section "cluster" of the suite (`python -m bench --only cluster`, needs dask[distributed]):
`plov.all_by_all` from raw points in tiles on a local Dask cluster of worker processes
(one thread each), against the same join on one worker and on plov's own thread pool
with the same two cores. Everything runs side by side in one round robin; every result
is checked against the thread pool's, bit for bit.

  - 2 workers against 1 worker: how the tiles spread (aim: at least 1.7x);
  - the thread pool against 2 workers: what the tiles cost beyond the thread pool (the
    graphs built in tasks, the clouds and graphs shipped between processes, the tiles'
    own grouping; aim: the cluster within 1.3x of the thread pool's time).

`python -m bench.cluster --sample` runs instead a sample of the tiles of a large plan
(docs/scaling.md): it times single tiles of the sizes that plan would cut, here, on one
core, and prints what the plan ships and how long it would take.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable, Dict, List

import numpy as np

import plov

from . import workloads as w
from .recorder import Recorder
from .remote import Job, local_job

FULL = (200, 5_000)
QUICK = (20, 2_000)


def _cluster(n_workers: int) -> Any:
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=":0", silence_logs=40)
    return cluster, Client(cluster, set_as_default=False)


def _cpu(client: Any) -> List[float]:
    """CPU seconds so far of this process and of each worker process of `client`."""
    here = [time.process_time()]
    return here if client is None else here + sorted(client.run(time.process_time).values())


def _timed(fn: Callable[[], Any], client: Any, cpu: List[List[float]]) -> Callable[[], Any]:
    """`fn`, appending to `cpu` the CPU seconds of each call: this process's, then each
    worker's."""

    def run() -> Any:
        before = _cpu(client)
        out = fn()
        cpu.append([b - a for a, b in zip(before, _cpu(client))])
        return out

    return run


def section(s: Recorder) -> None:
    n_clouds, n_points = QUICK if s.cfg.quick else FULL
    points = [c.points for c in w.surfaces(n_clouds, n_points, log=s.log)]
    clusters = {k: _cluster(k) for k in (1, 2)}
    cpu: Dict[Any, List[List[float]]] = {}
    try:
        calls = {("all_by_all, thread pool", 2): (lambda: plov.all_by_all(points, workers=2), None)}
        for k in (1, 2):
            client = clusters[k][1]
            calls[(f"all_by_all, Dask, {k} worker{'s' * (k > 1)}", k)] = (
                lambda client=client: plov.all_by_all(points, executor=client), client)
        jobs: Dict[Any, Job] = {key: local_job(_timed(fn, client, cpu.setdefault(key, [])))
                                for key, (fn, client) in calls.items()}
        ref = plov.all_by_all(points, workers=2)

        def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
            return {"identical": bool(np.array_equal(result(), ref))}

        results = s.measure(jobs, check, s.cfg.repeats_long)
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()
    # On a shared machine wall times swing with the load; CPU seconds much less. The
    # busiest process's CPU bounds the wall time on idle cores.
    for key, res in results.items():
        res["cpu_s"] = float(np.median([sum(c) for c in cpu[key]]))
        res["busiest_cpu_s"] = float(np.median([max(c[1:]) if len(c) > 1 else sum(c) / 2 for c in cpu[key]]))
    pool = results[("all_by_all, thread pool", 2)]
    one = results[("all_by_all, Dask, 1 worker", 1)]
    for res in results.values():
        res["vs_one_worker"] = one["median_s"] / res["median_s"]
        res["vs_thread_pool"] = res["median_s"] / pool["median_s"]
        res["cpu_vs_thread_pool"] = res["cpu_s"] / pool["cpu_s"]
        res["busiest_vs_one_worker"] = one["busiest_cpu_s"] / res["busiest_cpu_s"]
    base = dict(section="cluster", workload=f"surfaces {n_clouds}x{n_points}", layout="sampled", dtype="f64")
    s.add_group(f"all-by-all on a Dask cluster, from raw points | {n_clouds} clouds x {n_points:,} points | f64",
                base, results, lambda key: n_clouds * n_clouds * n_points,
                [("1 worker / this", "vs_one_worker", ".2f"), ("this / thread pool", "vs_thread_pool", ".2f"),
                 ("CPU s", "cpu_s", ".1f"), ("CPU / thread pool", "cpu_vs_thread_pool", ".2f"),
                 ("busiest CPU s", "busiest_cpu_s", ".1f"), ("1 worker / this, busiest CPU", "busiest_vs_one_worker",
                                                             ".2f"), ("identical", "identical", "")])


SECTIONS = {"cluster": section}


# ---------------------------------------------------------------- a sample of a large plan


def sample(n_clouds: int, n_points: int, workers: int, tiles: int, seed: int = 7) -> List[str]:
    """Time `tiles` tiles of the plan for `n_clouds` clouds of `n_points` points (f64,
    from raw points, surfaces as in the suite) on this machine, one core, and scale to
    the whole plan."""
    from plov import _tiles

    sizes = [n_points] * n_clouds
    edges = [_tiles._DEGREE_GUESS * n_points] * n_clouds
    total = _tiles.query_bytes(sum(sizes), 8) + sum(_tiles.target_bytes(n, e, 8) for n, e in zip(sizes, edges))
    budget = _tiles.default_budget(total, workers, None)
    tiling = _tiles.plan_tiles(sizes, edges, 8, budget)
    rows, cols = len(tiling.rows), len(tiling.cols)
    row_clouds = len(tiling.row_clouds(0))
    col_clouds = len(tiling.cols[0])
    rng = np.random.default_rng(seed)
    out = [f"plan: {n_clouds:,} clouds x {n_points:,} points, {workers} workers; tile memory {budget / 2**20:.0f} MiB",
           f"  query groups: {len(tiling.groups):,} of {len(tiling.groups[0])} clouds; tiles: {rows:,} rows "
           f"({row_clouds} clouds each) x {cols:,} columns ({col_clouds} clouds each) = {rows * cols:,}"]
    settings = _tiles.JoinSettings("float64", None, 2, "chamfer")
    graph_s, tile_s = [], []
    for k in range(tiles):
        clouds = [w.surface(rng, n_points) for _ in range(row_clouds)]
        # CPU seconds: on a shared machine they, unlike wall time, do not count the other
        # processes' turns on the core
        t0 = time.process_time()
        targets = [_tiles.build_target(c, None, "auto", n_clouds * n_points) for c in clouds[:col_clouds]]
        graph_s.append((time.process_time() - t0) / col_clouds)
        groups = [[clouds[c] for c in tiling.groups[g]] for g in tiling.rows[0]]  # row 0 starts at cloud 0
        t0, wall = time.process_time(), time.perf_counter()
        _tiles.run_tile(groups, targets, settings)
        tile_s.append(time.process_time() - t0)
        wall = time.perf_counter() - wall
        out.append(f"  sample tile {k + 1}: {tile_s[-1]:.2f} CPU s, {wall:.2f} s wall "
                   f"({row_clouds * n_points * col_clouds / tile_s[-1] / 1e6:.1f} M query points x targets per CPU "
                   f"second), graphs {graph_s[-1] * 1e3:.1f} CPU ms per cloud")
    tile_med, graph_med = float(np.median(tile_s)), float(np.median(graph_s))
    query_raw = row_clouds * n_points * 24
    target_raw = col_clouds * (n_points * 24 + 4 * (n_points + 1) + 4 * _tiles._DEGREE_GUESS * n_points)
    per_worker_tiles = rows * cols / workers
    work = rows * cols * tile_med + n_clouds * graph_med
    out += [f"  each tile receives {(query_raw + target_raw) / 2**20:.1f} MiB ({query_raw / 2**20:.1f} MiB of query "
            f"points, {target_raw / 2**20:.1f} MiB of targets)",
            f"  each worker runs about {per_worker_tiles:,.0f} tiles and receives about "
            f"{per_worker_tiles * (query_raw + target_raw) / 2**30:,.1f} GiB",
            f"  work: {rows * cols:,} tiles x {tile_med:.2f} s + {n_clouds:,} graphs x {graph_med * 1e3:.1f} ms = "
            f"{work / 3600:,.1f} core-hours; on {workers} workers about {work / workers / 3600:.2f} hours"]
    return out


def main() -> None:
    ap = argparse.ArgumentParser(prog="python -m bench.cluster", description=__doc__.split("\n\n")[0])
    ap.add_argument("--sample", action="store_true", help="time a sample of the tiles of a large plan")
    ap.add_argument("--clouds", type=int, default=50_000)
    ap.add_argument("--points", type=int, default=2_000)
    ap.add_argument("--workers", type=int, default=64)
    ap.add_argument("--tiles", type=int, default=3, help="tiles to time")
    args = ap.parse_args()
    if not args.sample:
        ap.error("run the section with `python -m bench --only cluster`; this entry point takes --sample")
    for line in sample(args.clouds, args.points, args.workers, args.tiles):
        print(line, flush=True)


if __name__ == "__main__":
    main()
