"""Sections of the suite that the default run leaves out (`python -m bench --only NAME`):

  blocks    the all-by-all of the `allbyall` section over a range of blocks of
            query_grouped (serial);
  package   what the `plov` layer adds: plov.all_by_all against the native calls it makes,
            with and without its Morton renumbering, on clouds in sampling order;
  graphmem  the peak memory of graph_from_simplices (resident-set growth, in a fresh
            process per size: C++ allocations are invisible to tracemalloc).
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable, Dict, List

import numpy as np

from . import workloads as w
from .recorder import Recorder
from .remote import Job, local_job

_plov = w._plov
BLOCKS = (1, 2, 4, 8, 16, 32, 64, 128)


def no_check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
    return {}


def blocks(s: Recorder) -> None:
    clouds = w.surfaces(s.cfg.n_clouds, s.cfg.n_surface, log=s.log)
    preps = [_plov.PreparedF64(*w.in_layout(c, "morton")) for c in clouds]
    grouped = _plov.GroupedQueriesF64.prepare(preps, [None] * len(preps))
    jobs: Dict[Any, Job] = {(f"query_grouped block={b}", 1): local_job(
        lambda b=b: [t.query_grouped(grouped, None, b) for t in preps]) for b in BLOCKS}
    results = s.measure(jobs, no_check, s.cfg.repeats_long)
    per_point = len(preps) * grouped.n_points
    base = dict(section="blocks", workload=f"surfaces {len(clouds)}x{clouds[0].n}", layout="morton", dtype="f64")
    s.add_group(f"all-by-all by block | {len(clouds)} clouds x {clouds[0].n:,} points | f64 | morton layout",
                base, results, lambda key: per_point)


def native_chamfer(clouds: List[w.Cloud], pool: Any = None) -> np.ndarray:
    """plov.all_by_all's default job written against _plov directly (no renumbering)."""
    prepared = [_plov.PreparedF64(*c) for c in clouds]
    grouped = _plov.GroupedQueriesF64.prepare(prepared, [None] * len(prepared))
    offsets = grouped.offsets.astype(np.int64)
    counts = np.diff(offsets)

    def column(t: Any) -> np.ndarray:
        d, _ = t.query_grouped(grouped, None, 2)  # the block all_by_all uses
        return np.add.reduceat(d, offsets[:-1]) / counts

    mat = np.stack(list(pool.map(column, prepared) if pool else map(column, prepared)), axis=1)
    return mat + mat.T


def package(s: Recorder) -> None:
    import plov

    clouds = w.surfaces(s.cfg.n_clouds, s.cfg.n_surface, log=s.log)  # sampling order
    graphs = [(c.indptr, c.indices) for c in clouds]
    points = [c.points for c in clouds]
    jobs: Dict[Any, Job] = {}
    for k in (1, 2):
        jobs[("native _plov, no renumbering", k)] = local_job(
            lambda k=k: native_chamfer(clouds, s.pool if k == 2 else None))
        jobs[("plov.all_by_all(reorder=False)", k)] = local_job(
            lambda k=k: plov.all_by_all(points, graphs=graphs, reorder=False, workers=k))
        jobs[("plov.all_by_all", k)] = local_job(lambda k=k: plov.all_by_all(points, graphs=graphs, workers=k))
    ref = native_chamfer(clouds)

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        return {"max_abs_diff": float(np.abs(result() - ref).max())}

    results = s.measure(jobs, check, s.cfg.repeats_long)
    for (method, k), res in results.items():
        res["vs_native"] = res["median_s"] / results[("native _plov, no renumbering", k)]["median_s"]
    n_total = sum(c.n for c in clouds)
    base = dict(section="package", workload=f"surfaces {len(clouds)}x{clouds[0].n}", layout="sampled", dtype="f64")
    s.add_group(f"plov layer | {len(clouds)} clouds x {clouds[0].n:,} points | f64 | sampled layout", base,
                results, lambda key: len(clouds) * n_total,
                [("its time / native", "vs_native", ".2f"), ("max |diff|", "max_abs_diff", ".1e")])


def vm_bytes(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field + " not available")


def memory_child(path: str, rows: int, n: int) -> None:
    """In a fresh process: peak RSS growth of one build over the first `rows` rows."""
    simplices = np.array(np.load(path, mmap_mode="r")[:rows])
    _plov.graph_from_simplices(simplices[:1], n)  # loads NumPy's C API outside the window
    try:  # reset the high-water mark to the current RSS
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    base = vm_bytes("VmHWM")  # the load's peak if the reset is not supported: a lower bound then
    indptr, indices = _plov.graph_from_simplices(simplices, n)
    print(vm_bytes("VmHWM") - base, indptr.nbytes + indices.nbytes)


def graph_memory(s: Recorder) -> None:
    n = s.cfg.graph_n
    w.pair("uniform", n, log=s.log)  # makes the cached triangulation
    simplices = w.cached_simplices(w.target_tag("uniform", n)).astype(np.uint64)
    m = len(simplices)
    lines = [f"\ngraph build memory | uniform {n:,} points | peak RSS growth, fresh process per row count",
             f"  {'rows':>10} {'peak MB':>9} {'B/row':>7} {'output MB':>10}"]
    sizes = []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "simplices.npy"
        np.save(path, simplices)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        for frac in (0.25, 0.5, 1.0):
            rows = max(1, int(m * frac))
            out = subprocess.run([sys.executable, "-m", "bench.extra", str(path), str(rows), str(n)],
                                 capture_output=True, text=True, env=env, check=True, cwd=w.ROOT)
            peak, out_bytes = map(int, out.stdout.split())
            sizes.append((rows, peak))
            lines.append(f"  {rows:>10} {peak / 2**20:>9.1f} {peak / rows:>7.1f} {out_bytes / 2**20:>10.1f}")
            s.rows.append(dict(section="graph_memory", workload=f"uniform {n}", n_points=n, n_tetrahedra=rows,
                               peak_bytes=peak, output_bytes=out_bytes))
    (r0, p0), (r1, p1) = sizes[0], sizes[-1]
    lines.append(f"  slope between {r0} and {r1} rows: {(p1 - p0) / max(r1 - r0, 1):.1f} bytes per tetrahedron")
    for line in lines:
        s.log(line)
    s.tables.append("\n".join(lines) + "\n")


SECTIONS = {"blocks": blocks, "package": package, "graphmem": graph_memory}

if __name__ == "__main__":  # the fresh process of graph_memory
    memory_child(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
