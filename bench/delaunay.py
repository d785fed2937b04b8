"""Delaunay graphs from raw points, a section of the suite (`python -m bench --only delaunay`).

Side by side in one run:
  - one thread, uniform cube, ball and torus clouds: plov's native builder
    (`delaunay_graph`, and `delaunay_tetrahedra` where the package has it) against
    `scipy.spatial.Delaunay` + `graph_from_simplices` and against CGAL's
    `Delaunay_triangulation_3` range insert (bench/cgal_delaunay.cpp, compiled here into
    bench/.cache/ when CGAL's headers are installed, `apt-get install libcgal-dev`;
    skipped otherwise; a baseline only, never a dependency of the package);
  - growth: time per point of the native build at 10x the points, and its peak memory
    per point (growth of a fresh process's resident-set high-water mark over the build:
    the points are loaded before, the output is counted);
  - one cloud on two threads against one (200,000 and 1,000,000 points, uniform, ball,
    torus), graph and tetrahedra, with the outputs checked byte for byte;
  - the parallel insertion's extra work for more threads than this machine has (the
    rounds depend on the points and the thread count only, so they are measured
    exactly here) and what it predicts for 8, 16 and 64 cores;
  - four clouds from a two-thread pool against one after another;
  - end to end from raw points: all-by-all over the suite's surface clouds with the
    graphs built inside the call, against one cKDTree per cloud (build and queries), on
    the same number of threads.
Ratios are baseline time / plov time: above 1, plov is faster.
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from scipy.spatial import Delaunay, cKDTree

import plov
from plov._scipy_graph import scipy_delaunay_graph

from . import workloads as w
from .recorder import Recorder, verdict
from .remote import Job, local_job

_plov = w._plov
CGAL_SOURCE = w.ROOT / "bench" / "cgal_delaunay.cpp"
CGAL_BINARY = w.CACHE / "cgal_delaunay"
CGAL_FLAGS = ["-O3", "-DNDEBUG", "-frounding-math", "-std=c++17"]
CLOUDS = {"uniform": (w.uniform, 51), "ball": (w.ball_gradient, 52), "torus": (w.torus, 53)}
NATIVE, TETS = "plov delaunay_graph", "plov delaunay_tetrahedra"
SCIPY, CGAL = "scipy Delaunay + graph_from_simplices", "CGAL Delaunay_triangulation_3"
SERIAL, POOLED = "plov delaunay_graph, one after another", "plov delaunay_graph, 2-thread pool"
E2E, E2E_SCIPY, TREES = "plov all_by_all, graphs included", "plov all_by_all, scipy graphs", "cKDTree per cloud"


def sizes(quick: bool) -> Dict[str, Any]:
    if quick:
        return dict(single=20_000, growth=(10_000, 100_000), pool=20_000, threads=(20_000, 100_000))
    return dict(single=200_000, growth=(100_000, 1_000_000), pool=200_000, threads=(200_000, 1_000_000))


def scipy_graph(points: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """What plov did before its own builder: Qhull's tetrahedra, then their adjacency."""
    return _plov.graph_from_simplices(Delaunay(points).simplices.astype(np.uint64), len(points))


# ---------------------------------------------------------------- CGAL


def cgal_binary(log: Callable[[str], None]) -> Optional[str]:
    """The compiled CGAL program, built when missing or older than its source and tried
    on eight points; None (and a note) when it cannot be built or does not run."""
    if not (CGAL_BINARY.exists() and CGAL_BINARY.stat().st_mtime >= CGAL_SOURCE.stat().st_mtime):
        if not compile_cgal(log):
            return None
    probe = w.CACHE / "cgal_probe.bin"
    np.array([[i & 1, i >> 1 & 1, i >> 2 & 1] for i in range(8)], "<f8").tofile(probe)
    try:
        subprocess.run([str(CGAL_BINARY), str(probe)], capture_output=True, check=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        log(f"  CGAL skipped: the compiled program does not run ({e})")
        return None
    return str(CGAL_BINARY)


def compile_cgal(log: Callable[[str], None]) -> bool:
    """g++ -O3 of the CGAL program into bench/.cache/; False (and a note) on failure."""
    CGAL_BINARY.parent.mkdir(parents=True, exist_ok=True)
    tmp = CGAL_BINARY.with_suffix(".tmp")
    cmd = ["g++", *CGAL_FLAGS, str(CGAL_SOURCE), "-o", str(tmp), "-lgmp", "-lmpfr"]
    log(f"  compiling {CGAL_SOURCE.name} ...")
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as e:
        log(f"  CGAL skipped: {e}")
        return False
    if out.returncode != 0:
        first = next((ln for ln in out.stderr.splitlines() if "error" in ln), out.stderr.strip()[:200])
        log(f"  CGAL skipped (install libcgal-dev to compare with it): {first}")
        return False
    tmp.replace(CGAL_BINARY)
    return True


def cgal_job(binary: str, points: np.ndarray, tag: str) -> Job:
    """Each sample runs the program once with `number` repeats; only its range inserts
    are timed (the file is read before the clock starts)."""
    path = w.CACHE / f"cgal_{tag}.bin"
    np.ascontiguousarray(points, dtype="<f8").tofile(path)
    last: List[Tuple[int, int]] = []

    def run(number: int) -> float:
        out = subprocess.run([binary, str(path), str(number)], capture_output=True, text=True, check=True)
        lines = [ln.split() for ln in out.stdout.splitlines()]
        last[:] = [(int(lines[-1][1]), int(lines[-1][2]))]
        return float(np.mean([float(ln[0]) for ln in lines]))

    return Job(run, lambda: last[0] if last else (run(1), last[0])[1])


# ---------------------------------------------------------------- the comparisons


def same_lists(got: Tuple[np.ndarray, np.ndarray], ref: Tuple[np.ndarray, np.ndarray]) -> float:
    """Share of vertices whose neighbour list is the same in both graphs."""
    (gi, gx), (ri, rx) = got, ref
    n = len(gi) - 1
    same = np.diff(gi.astype(np.int64)) == np.diff(ri.astype(np.int64))
    rows = np.repeat(np.arange(n), np.diff(ri.astype(np.int64)))
    if np.array_equal(gi, ri):
        same &= np.bincount(rows[gx != rx], minlength=n) == 0
    return float(same.mean())


def add_rows(suite: Recorder, title: str, base: Dict[str, Any], results: Dict[Tuple[str, int], Dict[str, Any]],
             n_points: int, baselines: Dict[str, str], columns: List[Tuple[str, str, str]] = ()) -> None:
    """Rows of one comparison; `baselines` maps a short label to the method it names, whose
    run on the same number of threads (or else its first run) each row is compared with."""
    group = []
    for (method, threads), res in results.items():
        ratios = {}
        for label, m in baselines.items():
            runs = {t: r["median_s"] for (mm, t), r in results.items() if mm == m}
            if runs:
                ratios[label] = runs.get(threads, next(iter(runs.values()))) / res["median_s"]
        group.append(dict(base, method=method, threads=threads, n_points=n_points,
                          ns_per_point=res["median_s"] / n_points * 1e9, ratios=ratios, **res))
    suite.rows.extend(group)
    suite.print_group(title, group, list(baselines), columns)


def single_thread(suite: Recorder, n: int, cgal: Optional[str]) -> None:
    for kind, (make, seed) in CLOUDS.items():
        pts = np.ascontiguousarray(make(n, seed), dtype=np.float64)
        jobs: Dict[Tuple[str, int], Job] = {(NATIVE, 1): local_job(lambda: plov.delaunay_graph(pts))}
        if hasattr(plov, "delaunay_tetrahedra"):
            jobs[(TETS, 1)] = local_job(lambda: plov.delaunay_tetrahedra(pts))
        jobs[(SCIPY, 1)] = local_job(lambda: scipy_graph(pts))
        if cgal:
            jobs[(CGAL, 1)] = cgal_job(cgal, pts, f"{kind}_{n}")
        reference: Dict[str, Any] = {}

        def check(key: Tuple[str, int], result: Callable[[], Any]) -> Dict[str, Any]:
            if key[0] == NATIVE:  # random clouds: the triangulation is unique
                if not reference:
                    reference["graph"] = jobs[(SCIPY, 1)].result()
                return {"same_as_scipy": same_lists(result(), reference["graph"])}
            if key[0] == CGAL:
                return {"vertices": result()[0]}
            return {}

        results = suite.measure(jobs, check, suite.cfg.repeats_long)
        base = dict(section="delaunay_build", workload=f"{kind} {n}")
        add_rows(suite, f"Delaunay graph from raw points, one thread | {kind} | {n:,} points", base, results, n,
                 {"scipy": SCIPY, "CGAL": CGAL} if cgal else {"scipy": SCIPY},
                 [("lists as scipy's", "same_as_scipy", ".4f")])


MEMORY_CHILD = """
import sys
import numpy as np
import plov
from plov._scipy_graph import scipy_delaunay_graph

def high_water():
    with open("/proc/self/status") as f:
        return next(int(ln.split()[1]) * 1024 for ln in f if ln.startswith("VmHWM:"))

pts = np.load(sys.argv[1])
build = plov.delaunay_graph if sys.argv[2] == "native" else scipy_delaunay_graph
build(pts[:1000])
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark drops to the current resident set
before = high_water()
graph = build(pts)
print(high_water() - before)
"""


def peak_bytes(points: np.ndarray, route: str) -> int:
    """Growth of the resident-set high-water mark of a fresh process over one build. Read
    from /proc rather than getrusage: a child's ru_maxrss starts at the peak of the
    process it was forked from, which here holds every cloud of the suite."""
    path = w.CACHE / f"memory_{len(points)}.npy"
    np.save(path, points)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(path), route], capture_output=True, text=True,
                         check=True, env=env)
    path.unlink()
    return int(out.stdout.split()[-1])


def growth(suite: Recorder, small: int, large: int) -> None:
    clouds = {n: w.uniform(n, 61) for n in (small, large)}
    jobs = {(f"{NATIVE} {n:,}", 1): local_job(lambda p=p: plov.delaunay_graph(p)) for n, p in clouds.items()}
    results = suite.measure(jobs, lambda key, result: {}, suite.cfg.repeats_long)
    group = []
    for n, p in clouds.items():
        res = results[(f"{NATIVE} {n:,}", 1)]
        group.append(dict(section="delaunay_growth", workload=f"uniform {n}", method=f"{NATIVE} {n:,}", threads=1,
                          n_points=n, ns_per_point=res["median_s"] / n * 1e9, ratios={},
                          bytes_per_point=peak_bytes(p, "native") / n, **res))
    group[-1]["vs_smaller"] = group[-1]["ns_per_point"] / group[0]["ns_per_point"]
    group.append(dict(section="delaunay_growth", workload=f"uniform {small}", method=f"{SCIPY} {small:,}, memory",
                      threads=1, n_points=small, median_s=float("nan"), ns_per_point=float("nan"), ratios={},
                      bytes_per_point=peak_bytes(clouds[small], "scipy") / small))
    suite.rows.extend(group)
    suite.print_group(f"Delaunay graph, uniform cube: {small:,} and {large:,} points", group, [],
                      [("time/point vs smaller", "vs_smaller", ".2f"), ("peak bytes/point", "bytes_per_point", ".0f")])


def two_threads(suite: Recorder, counts: Tuple[int, ...]) -> None:
    for n in counts:
        for kind, (make, seed) in CLOUDS.items():
            pts = np.ascontiguousarray(make(n, seed), dtype=np.float64)
            jobs: Dict[Tuple[str, int], Job] = {}
            for method, build in ((NATIVE, plov.delaunay_graph), (TETS, plov.delaunay_tetrahedra)):
                for k in (1, 2):
                    jobs[(method, k)] = local_job(lambda build=build, k=k: build(pts, workers=k))
            one: Dict[str, bytes] = {}

            def check(key: Tuple[str, int], result: Callable[[], Any]) -> Dict[str, Any]:
                out = result()
                got = b"".join(a.tobytes() for a in (out if isinstance(out, tuple) else (out,)))
                one.setdefault(key[0], got)
                return {"same_bytes": float(one[key[0]] == got)}

            results = suite.measure(jobs, check, suite.cfg.repeats_long)
            group = []
            for (method, k), res in results.items():
                base_s = results[(method, 1)]["median_s"]
                group.append(dict(section="delaunay_threads", workload=f"{kind} {n}", method=method, threads=k,
                                  n_points=n, ns_per_point=res["median_s"] / n * 1e9,
                                  ratios={"1 thread": base_s / res["median_s"]}, **res))
            suite.rows.extend(group)
            suite.print_group(f"Delaunay build of one cloud, 2 threads vs 1 | {kind} | {n:,} points", group,
                              ["1 thread"], [("same bytes", "same_bytes", ".0f")])


def scaling(suite: Recorder, n: int) -> None:
    """Extra insertions of the parallel build against its thread count, and the speed-up
    they allow: with s the share of the one-thread time that stays serial (solved from
    the measured two-thread speed-up) and x the extra tries, T threads give at most
    1 / (s + (1 - s) (1 + x) / T). The points inserted alone grow with T too."""
    pts = w.uniform(n, 51)
    two = suite.find(section="delaunay_threads", workload=f"uniform {n}", method=NATIVE, threads=2)
    group = []
    extra = {}
    for t in (2, 4, 8, 16, 64):
        rounds = plov._native.delaunay_rounds(pts, threads=t)
        tried, put_off = rounds.sum(axis=0) if len(rounds) else (0, 0)
        inserted = int(tried - put_off)
        extra[t] = float(put_off) / max(1, inserted)
        group.append(dict(section="delaunay_scaling", workload=f"uniform {n}", method=f"{t} threads", threads=t,
                          n_points=n, median_s=float("nan"), ns_per_point=float("nan"), ratios={},
                          rounds=len(rounds), extra=extra[t], parallel_share=inserted / n))
    if two:
        speedup = two["ratios"]["1 thread"]
        # 1 / speedup = s + (1 - s)(1 + x2) / 2, solved for s
        a = (1 + extra[2]) / 2
        s = min(1.0, max(0.0, (1 / speedup - a) / (1 - a)))
        for row in group:
            t, x = row["threads"], row["extra"]
            row["serial_share"] = s
            row["predicted_speedup"] = 1 / (s + (1 - s) * (1 + x) / t)
    suite.rows.extend(group)
    suite.print_group(f"Parallel insertion: extra work by thread count (exact on any machine) | uniform | {n:,} points",
                      group, [], [("rounds", "rounds", "d"), ("extra tries", "extra", ".3f"),
                                  ("share in rounds", "parallel_share", ".3f"), ("serial share", "serial_share", ".3f"),
                                  ("predicted speed-up", "predicted_speedup", ".2f")])


def pool(suite: Recorder, n: int) -> None:
    clouds = [w.uniform(n, 70 + s) for s in range(4)]
    jobs = {(SERIAL, 1): local_job(lambda: [plov.delaunay_graph(c) for c in clouds]),
            (POOLED, 2): local_job(lambda: list(suite.pool.map(plov.delaunay_graph, clouds)))}
    results = suite.measure(jobs, lambda key, result: {}, suite.cfg.repeats_long)
    add_rows(suite, f"Delaunay graphs of 4 clouds x {n:,} points: thread pool vs one after another",
             dict(section="delaunay_pool", workload=f"4 x uniform {n}"), results, 4 * n, {"serial": SERIAL})


def end_to_end(suite: Recorder) -> None:
    rng = np.random.default_rng(31)  # the draws of w.surfaces, without their cached graphs
    clouds = [np.ascontiguousarray(w.surface(rng, suite.cfg.n_surface)) for _ in range(suite.cfg.n_clouds)]
    C = len(clouds)
    allpts = np.vstack(clouds)
    labels = np.repeat(np.arange(C), [len(c) for c in clouds])
    order = w.morton_perm(allpts)
    sorted_pts, sorted_labels = allpts[order], labels[order]
    queries = [np.ascontiguousarray(sorted_pts[sorted_labels != c]) for c in range(C)]

    def tree_pass(c: int) -> Any:
        return cKDTree(clouds[c]).query(queries[c], k=1, workers=1)

    jobs: Dict[Tuple[str, int], Job] = {}
    for k in (1, 2):
        jobs[(E2E, k)] = local_job(lambda k=k: plov.all_by_all(clouds, reduce=None, workers=k))
        jobs[(TREES, k)] = local_job(lambda k=k: [tree_pass(c) for c in range(C)] if k == 1
                                     else list(suite.pool.map(tree_pass, range(C))))
    jobs[(E2E_SCIPY, 1)] = local_job(lambda: plov.all_by_all(
        clouds, graphs=[scipy_delaunay_graph(c) for c in clouds], reduce=None, workers=1))
    checked = [0, C // 2, C - 1]
    exact_d = [cKDTree(clouds[c]).query(allpts, k=1, workers=2)[0] for c in checked]

    def check(key: Tuple[str, int], result: Callable[[], Any]) -> Dict[str, Any]:
        if not key[0].startswith("plov"):
            return {}
        res = result()
        return {"exact": float(np.mean([np.mean(res.dists[c] == d) for c, d in zip(checked, exact_d)]))}

    results = suite.measure(jobs, check, suite.cfg.repeats_long)
    n_points = C * len(allpts) - len(allpts)
    add_rows(suite, f"all-by-all from raw points, graphs included | {C} clouds x {len(clouds[0]):,} points | "
             f"ratios at the same thread count", dict(section="delaunay_all_by_all", workload=f"surfaces {C}x"
                                                  f"{len(clouds[0])}"), results, n_points, {"cKDTree": TREES},
             [("exact", "exact", ".4f")])


def section(suite: Recorder) -> None:
    n = sizes(suite.cfg.quick)
    single_thread(suite, n["single"], cgal_binary(suite.log))
    growth(suite, *n["growth"])
    two_threads(suite, n["threads"])
    scaling(suite, n["threads"][-1])
    pool(suite, n["pool"])
    end_to_end(suite)


def targets(suite: Recorder) -> List[Dict[str, Any]]:
    out: List[Dict[str, Any]] = []
    n = sizes(suite.cfg.quick)["single"]
    for kind in CLOUDS:
        row = suite.find(section="delaunay_build", workload=f"{kind} {n}", method=NATIVE)
        if row:
            out.append(verdict(f"Delaunay graph {kind} {n:,}: vs scipy", row["ratios"]["scipy"], ">=", 20.0))
        if row and "CGAL" in row["ratios"]:
            out.append(verdict(f"Delaunay graph {kind} {n:,}: vs CGAL range insert", row["ratios"]["CGAL"], ">=", 1.0))
    row = next((r for r in suite.rows if r["section"] == "delaunay_growth" and "vs_smaller" in r), None)
    if row:
        out.append(verdict("Delaunay graph: time per point at 10x the points", row["vs_smaller"], "<=", 1.3))
    for n in sizes(suite.cfg.quick)["threads"]:
        for kind in CLOUDS:
            for method in (NATIVE, TETS):
                row = suite.find(section="delaunay_threads", workload=f"{kind} {n}", method=method, threads=2)
                if row:
                    out.append(verdict(f"{method} {kind} {n:,}: 2 threads vs 1", row["ratios"]["1 thread"], ">=",
                                       1.7))
    row = suite.find(section="delaunay_pool", method=POOLED)
    if row:
        out.append(verdict("Delaunay graphs of 4 clouds: 2 threads vs 1", row["ratios"]["serial"], ">=", 1.8))
    for k in (1, 2):
        row = suite.find(section="delaunay_all_by_all", method=E2E, threads=k)
        if row:
            out.append(verdict(f"all-by-all from raw points, {k} thread(s): vs cKDTree per cloud",
                               row["ratios"]["cKDTree"], ">=", 6.0))
    return out
