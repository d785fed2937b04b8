"""Section "keep" of the suite: an Index built once and kept, at 1,000,000 points (30,000
with --quick), uniform, float64.

  - restore against build: `Index.load` of a saved index (from the page cache, and
    memory-mapped), unpickling, and `Index(points, graph=...)`, each against building
    the index from the same points, side by side;
  - sizes, in bytes per point: the pickled and saved forms and the resident memory of
    the built structure (RSS growth in a fresh process, the caller's points excluded),
    for plov's Index, scipy's cKDTree and pykdtree;
  - one Index shared by 1, 2, 4 and 8 threads, each querying its own cloud at once:
    the results equal a lone thread's, and the throughput as the threads grow.
"""

from __future__ import annotations

import ctypes
import json
import os
import pickle
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

import numpy as np

import plov

from . import workloads as w
from .extra import vm_bytes
from .recorder import Key, Recorder, verdict
from .remote import Job, local_job

SEED = 2207
THREADS = (1, 2, 4, 8)


def _points(n: int) -> np.ndarray:
    return np.random.default_rng(SEED).random((n, 3))


def restore(suite: Recorder, points: np.ndarray, folder: Path) -> plov.Index:
    """Restore against build; returns the built index."""
    n = len(points)
    index = plov.Index(points)
    path = folder / "index.npz"
    index.save(path)
    blob = pickle.dumps(index, protocol=pickle.HIGHEST_PROTOCOL)
    graph = index.graph
    jobs: Dict[Key, Job] = {
        ("build: Index(points)", 1): local_job(lambda: plov.Index(points)),
        ("Index.load", 1): local_job(lambda: plov.Index.load(path)),
        ('Index.load, mmap_mode="r"', 1): local_job(lambda: plov.Index.load(path, mmap_mode="r")),
        ("pickle.loads", 1): local_job(lambda: pickle.loads(blob)),
        ("Index(points, graph=...)", 1): local_job(lambda: plov.Index(points, graph=graph)),
    }
    probe = np.random.default_rng(SEED + 1).random((20_000, 3))
    reference = index.query(probe, 4)

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        got = result().query(probe, 4)
        same = all(np.array_equal(a, b) for a, b in zip(got, reference))
        return {"identical": 1.0 if same else 0.0}

    results = suite.measure(jobs, check, suite.cfg.repeats_long)
    build = results[("build: Index(points)", 1)]["median_s"]
    for res in results.values():
        res["vs_build"] = build / res["median_s"]
    base = dict(section="keep", workload="restore", n_points=n)
    suite.add_group(f"restoring an Index against building it | uniform | {n:,} points | f64", base, results,
                    lambda key: n, [("build / this", "vs_build", ".1f"), ("identical", "identical", ".0f")])
    return index


def memory_child(kind: str, n: int) -> None:
    """In a fresh process: the resident-memory growth of one structure built over the
    suite's points (the points themselves allocated before the window) and its pickled
    size, as JSON."""
    points = _points(n)
    if kind == "pykdtree":
        from pykdtree.kdtree import KDTree as make
    elif kind == "cKDTree":
        from scipy.spatial import cKDTree as make
    else:
        make = plov.Index
    make(points[:100])  # loads every module outside the window
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)
    if trim:  # freed scratch back to the system, so that the RSS is what the structure holds
        trim(0)
    before = vm_bytes("VmRSS")
    structure = make(points)
    if trim:
        trim(0)
    rss = vm_bytes("VmRSS") - before
    try:
        pickled: Optional[int] = len(pickle.dumps(structure, protocol=pickle.HIGHEST_PROTOCOL))
    except TypeError:
        pickled = None
    print(json.dumps(dict(rss=rss, pickled=pickled, nbytes=getattr(structure, "nbytes", None))))


def sizes(suite: Recorder, index: plov.Index, folder: Path) -> None:
    n = index.n
    path = folder / "index.npz"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), OMP_NUM_THREADS="1")
    lines = [f"\nkept sizes and resident memory | uniform {n:,} points | f64 | bytes per point",
             f"  {'structure':<14} {'pickled':>8} {'saved':>8} {'resident':>9} {'nbytes':>7}"]
    for kind in ("plov.Index", "cKDTree", "pykdtree"):
        out = subprocess.run([sys.executable, "-m", "bench.keep", kind, str(n)], capture_output=True, text=True,
                             env=env, check=True, cwd=w.ROOT)
        got = json.loads(out.stdout)
        saved = os.path.getsize(path) if kind == "plov.Index" else None
        row = dict(section="keep", workload="sizes", method=kind, n_points=n, pickled_bytes=got["pickled"],
                   saved_bytes=saved, resident_bytes=got["rss"], nbytes=got["nbytes"])
        suite.rows.append(row)

        def per(v: Optional[int]) -> str:
            return "-" if v is None else f"{v / n:.1f}"

        lines.append(f"  {kind:<14} {per(got['pickled']):>8} {per(saved):>8} {per(got['rss']):>9} "
                     f"{per(got['nbytes']):>7}")
    lines.append("  (pykdtree's KDTree cannot be pickled: '-')")
    for line in lines:
        suite.log(line)
    suite.tables.append("\n".join(lines) + "\n")


def shared_threads(suite: Recorder, index: plov.Index) -> None:
    per_thread = 100_000 if not suite.cfg.quick else 10_000
    rng = np.random.default_rng(SEED + 2)
    queries = [rng.random((per_thread, 3)) for _ in range(max(THREADS))]
    alone = [index.query(q) for q in queries]

    def together(t: int) -> Callable[[], List[Any]]:
        def run() -> List[Any]:
            out: List[Any] = [None] * t
            start = threading.Barrier(t)

            def one(i: int) -> None:
                start.wait()
                out[i] = index.query(queries[i])

            threads = [threading.Thread(target=one, args=(i,)) for i in range(t)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            return out

        return run

    jobs: Dict[Key, Job] = {("Index.query, one shared Index", t): local_job(together(t)) for t in THREADS}

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        same = all(np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1]) for a, b in zip(result(), alone))
        return {"identical": 1.0 if same else 0.0}

    results = suite.measure(jobs, check, suite.cfg.repeats)
    one = results[("Index.query, one shared Index", 1)]["median_s"]
    for (method, t), res in results.items():
        res["throughput"] = t * per_thread / res["median_s"]
        res["scaling"] = t * one / res["median_s"]
    base = dict(section="keep", workload="shared threads", n_points=index.n, per_thread=per_thread)
    suite.add_group(f"threads sharing one Index, {per_thread:,} queries each | uniform | {index.n:,} points | f64 "
                    f"| {os.cpu_count()} cores", base, results, lambda key: key[1] * per_thread,
                    [("queries/s", "throughput", ".3g"), ("vs 1 thread", "scaling", ".2f"),
                     ("identical", "identical", ".0f")])


def targets(suite: Recorder) -> List[Dict[str, Any]]:
    """The aims of this section, in the suite's target format."""
    out: List[Dict[str, Any]] = []
    for method in ("Index.load", "pickle.loads"):
        row = suite.find(section="keep", workload="restore", method=method)
        if row:
            out.append(verdict(f"{method} vs building the index (1e6 points)", row["vs_build"], ">=", 25.0))
    shared = [r for r in suite.rows if r.get("section") == "keep" and r.get("workload") == "shared threads"]
    if shared:
        same = min(r["identical"] for r in shared)
        out.append(verdict("threads sharing one Index: identical results", same, ">=", 1.0))
    return out


def section(suite: Recorder) -> None:
    n = 30_000 if suite.cfg.quick else 1_000_000
    with tempfile.TemporaryDirectory() as tmp:
        index = restore(suite, _points(n), Path(tmp))
        sizes(suite, index, Path(tmp))
    shared_threads(suite, index)


if __name__ == "__main__":  # the fresh process of `sizes`
    memory_child(sys.argv[1], int(sys.argv[2]))
