"""plov against scipy's cKDTree and pykdtree, every comparison side by side in one run.

    python -m bench            # the full suite (200,000-point clouds, scaling up to 1e6)
    python -m bench --quick    # small sizes, about a minute: checks that it all works

Sections:
  1. single join, k = 1, float64 and float32: query_prepared, query, all_nearest_neighbours,
     query_prepared_blocked and query_grouped (the query cloud as a one-cloud grouped set),
     on one thread and, split into two Morton halves, on two; distance evaluations per
     query point from the counting build;
  2. k-nearest, k = 8: recall@8 and time for several ef;
  3. all-by-all over overlapping surface clouds: query_grouped per target on one and two
     threads;
  4. graph build from tetrahedra;
  5. time per query point as the clouds grow (uniform clouds);
  6. plov.Index and all_by_all from raw points, end to end (bench/index.py);
  7. Delaunay graphs from raw points (bench/delaunay.py);
and, only when named with --only (bench/extra.py): blocks (the all-by-all over a range
of blocks), package (what the plov layer adds to the native calls), graphmem (the peak
memory of the graph build); cluster (bench/cluster.py: all_by_all on a local Dask cluster).
Every workload runs in two storage layouts: points as sampled, and points and graph
renumbered in Morton order. The trees get their best case: trees built outside the
timers, query points sorted in Morton order. Timings are medians of several rounds in
which every contender runs once (see remote.round_robin). Ratios are baseline time / plov
time: above 1, plov is faster.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from scipy.spatial import cKDTree

from . import cluster, counting, delaunay, extra, index, remote
from . import workloads as w
from .env import ROOT, load_average, machine
from .remote import Job, local_job, median, round_robin

_plov = w._plov
BASELINES = (("cKDTree", 1), ("cKDTree", 2), ("pykdtree", 1), ("pykdtree", 2))
# The block size plov.all_by_all uses (query_grouped's own default is 32).
PACKAGE_BLOCK = 2
GROUPED_PKG = f"query_grouped block={PACKAGE_BLOCK}"
PLOV_SINGLE = ("query_grouped", GROUPED_PKG, "query_prepared", "query_prepared_blocked", "query",
               "all_nearest_neighbours")
EFS = (8, 12, 16, 24, 32)
Key = Tuple[str, int]  # (method, threads)


@dataclass
class Config:
    quick: bool
    out: Path
    repeats: int  # rounds of the single joins and the scaling runs
    repeats_long: int  # rounds of the k-nearest, all-by-all and graph-build comparisons
    n_pair: int
    n_clouds: int
    n_surface: int
    scaling: Sequence[int]
    graph_n: int
    counts: bool = True
    sections: Sequence[str] = ("single", "knn", "allbyall", "graph", "scaling", "index", "delaunay")

    @classmethod
    def make(cls, quick: bool, out: Optional[Path], repeats: Optional[int]) -> "Config":
        if quick:
            return cls(True, out or w.CACHE / "quick", repeats or 3, repeats or 3, 20_000, 8, 2_000,
                       (10_000, 30_000), 30_000)
        return cls(False, out or ROOT / "docs", repeats or 5, repeats or 3, 200_000, 40, 5_000,
                   (10_000, 30_000, 100_000, 300_000, 1_000_000), 1_000_000)


@dataclass
class Suite:
    cfg: Config
    rows: List[Dict[str, Any]] = field(default_factory=list)
    tables: List[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.pool = ThreadPoolExecutor(2)
        self.remotes = {k: remote.Remote(k) for k in (1, 2)}
        self.started = time.time()

    def close(self) -> None:
        self.pool.shutdown()
        for r in self.remotes.values():
            r.close()

    def log(self, msg: str) -> None:
        print(msg, flush=True)

    # ------------------------------------------------------------ shared machinery

    def measure(self, jobs: Dict[Key, Job], check: Callable[[Key, Callable[[], Any]], Dict[str, Any]],
                repeats: Optional[int] = None) -> Dict[Key, Dict[str, Any]]:
        """Median seconds of every job; `check(key, result)` adds figures computed from
        the job's output, which `result()` produces when it is needed."""
        samples = round_robin(jobs, repeats or self.cfg.repeats)
        extra = {key: check(key, job.result) for key, job in jobs.items()}
        for r in self.remotes.values():
            r.clear()
        return {key: dict(extra[key], median_s=median(s), samples_s=[round(x, 6) for x in s])
                for key, s in samples.items()}

    def add_group(self, title: str, base: Dict[str, Any], results: Dict[Key, Dict[str, Any]],
                  per_point: Callable[[Key], int], columns: Sequence[Tuple[str, str, str]] = ()) -> None:
        """Rows of one comparison: ns per query point and ratios against each baseline of
        the group (baseline median / this median)."""
        baselines = {f"{m}/{t}": results[(m, t)]["median_s"] for m, t in BASELINES if (m, t) in results}
        group = []
        for (method, threads), res in results.items():
            row = dict(base, method=method, threads=threads, **res)
            row["ns_per_point"] = res["median_s"] / per_point((method, threads)) * 1e9
            row["ratios"] = {b: t / res["median_s"] for b, t in baselines.items()}
            group.append(row)
        self.rows.extend(group)
        self.print_group(title, group, list(baselines), columns)

    def print_group(self, title: str, group: List[Dict[str, Any]], baselines: List[str],
                    columns: Sequence[Tuple[str, str, str]]) -> None:
        head = ["method", "thr", "ns/point", "ms"] + [f"vs {b}" for b in baselines] + [c[0] for c in columns]
        lines = []
        for row in group:
            cells = [row["method"], str(row["threads"]), f"{row['ns_per_point']:.1f}",
                     f"{row['median_s'] * 1e3:.1f}"]
            cells += [f"{row['ratios'][b]:.2f}x" for b in baselines]
            cells += [format(row[c[1]], c[2]) if row.get(c[1]) is not None else "" for c in columns]
            lines.append(cells)
        widths = [max(len(x) for x in col) for col in zip(head, *lines)]
        fmt = lambda cells: "  ".join(c.ljust(wd) if i == 0 else c.rjust(wd)  # noqa: E731
                                      for i, (c, wd) in enumerate(zip(cells, widths)))
        self.log(f"\n{title}")
        self.log("  " + fmt(head))
        for cells in lines:
            self.log("  " + fmt(cells))
        md = [f"**{title}**", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        md += ["| " + " | ".join(cells) + " |" for cells in lines]
        self.tables.append("\n".join(md) + "\n")

    # ------------------------------------------------------------ 1. single join

    def single_join(self, kind: str, q0: w.Cloud, t0: w.Cloud, layout: str, dtype: type, section: str,
                    two_threads: bool) -> None:
        q, t = w.in_layout(q0, layout), w.in_layout(t0, layout)
        f64 = dtype is np.float64
        P = _plov.PreparedF64 if f64 else _plov.PreparedF32
        G = _plov.GroupedQueriesF64 if f64 else _plov.GroupedQueriesF32
        ann = _plov.all_nearest_neighbours if f64 else _plov.all_nearest_neighbours_f32
        xp, tp = np.ascontiguousarray(q.points, dtype), np.ascontiguousarray(t.points, dtype)
        xi, xn, ti, tn = q.indptr, q.indices, t.indptr, t.indices
        target, query = P(tp, ti, tn), P(xp, xi, xn)
        grouped = G.prepare([query], [None])

        jobs: Dict[Key, Job] = {
            ("query_grouped", 1): local_job(lambda: target.query_grouped(grouped, None)),
            (GROUPED_PKG, 1): local_job(lambda: target.query_grouped(grouped, None, PACKAGE_BLOCK)),
            ("query_prepared", 1): local_job(lambda: target.query_prepared(query)),
            ("query_prepared_blocked", 1): local_job(lambda: target.query_prepared_blocked(query)),
            ("query", 1): local_job(lambda: target.query(xp, xi, xn)),
            ("all_nearest_neighbours", 1): local_job(lambda: ann(xp, xi, xn, tp, ti, tn)),
        }
        if two_threads:
            # Two threads: the query cloud cut into its two Morton halves, one call each
            # from a thread pool, the answers put back together.
            halves = w.halves(q)
            parts = [w.induced(q, h) for h in halves]
            part_preps = [P(np.ascontiguousarray(c.points, dtype), c.indptr, c.indices) for c in parts]
            part_grouped = [G.prepare([p], [None]) for p in part_preps]

            def split(call: Callable[[int], Tuple[np.ndarray, np.ndarray]]) -> Callable[[], Any]:
                def run() -> Tuple[np.ndarray, np.ndarray]:
                    d, i = np.empty(q.n, dtype), np.empty(q.n, np.uint64)
                    for h, (dd, ii) in zip(halves, self.pool.map(call, range(2))):
                        d[h], i[h] = dd, ii
                    return d, i
                return run

            jobs[("query_grouped", 2)] = local_job(split(lambda k: target.query_grouped(part_grouped[k], None)))
            jobs[("query_prepared", 2)] = local_job(split(lambda k: target.query_prepared(part_preps[k])))

        # The trees: built here, queried with the query points in Morton order.
        mperm = w.morton_perm(q.points)
        xm = np.ascontiguousarray(xp[mperm])
        xm64, xp64, tp64 = xm.astype(np.float64), xp.astype(np.float64), tp.astype(np.float64)
        tree = cKDTree(tp64)
        thread_counts = (1, 2) if two_threads else (1,)
        for k in thread_counts:
            jobs[("cKDTree", k)] = local_job(lambda k=k: tree.query(xm64, k=1, workers=k))
        for k in thread_counts:
            jobs[("pykdtree", k)] = self.remotes[k].job("query", data=tp, queries=xm, k=1)
        if layout == "sampled" and section == "single_join":
            jobs[("cKDTree, queries as sampled", 1)] = local_job(lambda: tree.query(xp64, k=1, workers=1))

        # Exactness: the distance to the true nearest point, computed in the precision of
        # the call in the module's summation order.
        _, truth = tree.query(xp64, k=1, workers=2)
        diff = tp[truth] - xp
        exact_d = np.sqrt((diff[:, 0] * diff[:, 0] + diff[:, 1] * diff[:, 1]) + diff[:, 2] * diff[:, 2])

        def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
            if key[0] not in PLOV_SINGLE:
                return {}
            return {"exact": float(np.mean(result()[0] == exact_d))}

        results = self.measure(jobs, check)
        dname = "f64" if f64 else "f32"
        base = dict(section=section, workload=kind, layout=layout, dtype=dname, n_query=q.n, n_target=t.n,
                    mean_degree=round(t.mean_degree(), 3))
        title = (f"{section.replace('_', ' ')} | {kind} | {q.n:,} -> {t.n:,} | {dname} | {layout} layout | "
                 f"mean degree {t.mean_degree():.2f}")
        self.add_group(title, base, results, lambda key: q.n, [("exact", "exact", ".4f")])

    def section_single(self) -> None:
        n = self.cfg.n_pair
        for kind in ("ball", "torus"):
            q, t = w.pair(kind, n, log=self.log)
            for layout in w.LAYOUTS:
                for dtype in (np.float64, np.float32):
                    self.single_join(kind, q, t, layout, dtype, "single_join", two_threads=True)

    def section_counts(self) -> None:
        self.log("\ndistance evaluations per query point (counting build, one call per process)")
        counting.ensure_build(self.log)
        jobs: List[Dict[str, Any]] = []
        for kind in ("ball", "torus"):
            for layout in w.LAYOUTS:
                for op in ("query_prepared", "query_prepared_blocked", "query_grouped"):
                    jobs.append(dict(op=op, kind=kind, n=self.cfg.n_pair, layout=layout))
                jobs.append(dict(op="query_grouped", kind=kind, n=self.cfg.n_pair, layout=layout, block=PACKAGE_BLOCK))
        for layout in w.LAYOUTS:
            for block in (32, PACKAGE_BLOCK):
                jobs.append(dict(op="all_by_all", n_clouds=self.cfg.n_clouds, n=self.cfg.n_surface, layout=layout,
                                 block=block))
        for n in self.cfg.scaling:
            for op in ("query_prepared", "query_grouped"):
                jobs.append(dict(op=op, kind="uniform", n=n, layout="morton"))
        self.log(f"  {'workload':<22}{'layout':<9}{'method':<36}{'evals':>7}{'steps':>7}{'degree':>8}")
        for job in jobs:
            c = counting.measure(job)
            if job["op"] == "all_by_all":
                workload = f"surfaces {job['n_clouds']}x{job['n']}"
                degree = float(np.mean([x.mean_degree() for x in w.surfaces(job["n_clouds"], job["n"])]))
                method = f"query_grouped block={job['block']} (all-by-all)"
            else:
                workload = f"{job['kind']} {job['n']}"
                degree = w.pair(job["kind"], job["n"])[1].mean_degree()
                method = job["op"] + (f" block={job['block']}" if "block" in job else "")
            self.rows.append(dict(section="evals", workload=workload, kind=job.get("kind", "surfaces"),
                                  layout=job["layout"], method=method, evals_per_point=c["evals"],
                                  steps_per_point=c["steps"], descents_per_point=c["descents"],
                                  mean_degree=degree, n_query=c["points"]))
            self.log(f"  {workload:<22}{job['layout']:<9}{method:<36}{c['evals']:>7.2f}{c['steps']:>7.2f}"
                     f"{degree:>8.2f}")

    # ------------------------------------------------------------ 2. k-nearest

    def knn(self, kind: str, q0: w.Cloud, t0: w.Cloud, layout: str) -> None:
        q, t = w.in_layout(q0, layout), w.in_layout(t0, layout)
        target, query = _plov.PreparedF64(*t), _plov.PreparedF64(*q)
        tree = cKDTree(t.points)
        _, truth = tree.query(q.points, k=8, workers=2)
        xm = np.ascontiguousarray(q.points[w.morton_perm(q.points)])
        jobs: Dict[Key, Job] = {(f"query_prepared_k ef={ef}", 1):
                                local_job(lambda ef=ef: target.query_prepared_k(query, 8, ef)) for ef in EFS}
        jobs[("cKDTree", 1)] = local_job(lambda: tree.query(xm, k=8, workers=1))
        jobs[("pykdtree", 1)] = self.remotes[1].job("query", data=t.points, queries=xm, k=8)

        def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
            if not key[0].startswith("query_prepared_k"):
                return {}
            hits = (result()[1][:, :, None] == truth[:, None, :].astype(np.uint64)).any(-1)
            return {"recall": float(hits.mean()), "ef": int(key[0].split("=")[1])}

        results = self.measure(jobs, check, self.cfg.repeats_long)
        base = dict(section="knn", workload=kind, layout=layout, dtype="f64", n_query=q.n, n_target=t.n, k=8)
        self.add_group(f"k-nearest, k = 8 | {kind} | {q.n:,} -> {t.n:,} | f64 | {layout} layout", base, results,
                       lambda key: q.n, [("recall@8", "recall", ".4f")])

    def section_knn(self) -> None:
        for kind in ("ball", "torus"):
            q, t = w.pair(kind, self.cfg.n_pair, log=self.log)
            for layout in w.LAYOUTS:
                self.knn(kind, q, t, layout)

    # ------------------------------------------------------------ 3. all-by-all

    def all_by_all(self, clouds0: List[w.Cloud], layout: str) -> None:
        clouds = [w.in_layout(c, layout) for c in clouds0]
        C = len(clouds)
        preps = [_plov.PreparedF64(*c) for c in clouds]
        grouped = _plov.GroupedQueriesF64.prepare(preps, [None] * C)
        jobs: Dict[Key, Job] = {
            ("query_grouped", 1): local_job(lambda: [t.query_grouped(grouped, None) for t in preps]),
            ("query_grouped", 2): local_job(lambda: list(self.pool.map(lambda t: t.query_grouped(grouped, None),
                                                                        preps))),
            (GROUPED_PKG, 1): local_job(lambda: [t.query_grouped(grouped, None, PACKAGE_BLOCK) for t in preps]),
            (GROUPED_PKG, 2): local_job(lambda: list(self.pool.map(
                lambda t: t.query_grouped(grouped, None, PACKAGE_BLOCK), preps))),
        }
        allpts = np.vstack([c.points for c in clouds])
        labels = np.repeat(np.arange(C), [c.n for c in clouds])
        order = w.morton_perm(allpts)
        sorted_pts, sorted_labels = np.ascontiguousarray(allpts[order]), labels[order]
        queries = [np.ascontiguousarray(sorted_pts[sorted_labels != c]) for c in range(C)]
        trees = [cKDTree(c.points) for c in clouds]
        for k in (1, 2):
            jobs[("cKDTree", k)] = local_job(lambda k=k: [tr.query(qq, k=1, workers=k)
                                                          for tr, qq in zip(trees, queries)])
        for k in (1, 2):
            jobs[("pykdtree", k)] = self.remotes[k].job("all_by_all", clouds=[c.points for c in clouds],
                                                        sorted_points=sorted_pts, sorted_labels=sorted_labels)
        checked = [0, C // 2, C - 1]
        exact_d = [trees[c].query(allpts, k=1, workers=2)[0] for c in checked]

        def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
            if not key[0].startswith("query_grouped"):
                return {}
            res = result()
            return {"exact": float(np.mean([np.mean(res[c][0] == d) for c, d in zip(checked, exact_d)]))}

        results = self.measure(jobs, check, self.cfg.repeats_long)
        n_total = len(allpts)
        plov_points = C * n_total
        tree_points = C * n_total - n_total  # every other cloud's points per target
        base = dict(section="all_by_all", workload=f"surfaces {C}x{clouds[0].n}", layout=layout, dtype="f64",
                    n_clouds=C, n_points=n_total)
        for key, res in results.items():
            res["n_query"] = plov_points if key[0].startswith("query_grouped") else tree_points
        self.add_group(f"all-by-all | {C} clouds x {clouds[0].n:,} points | f64 | {layout} layout | "
                       f"ratios on total time", base, results,
                       lambda key: plov_points if key[0].startswith("query_grouped") else tree_points,
                       [("exact", "exact", ".4f")])

    def section_allbyall(self) -> None:
        clouds = w.surfaces(self.cfg.n_clouds, self.cfg.n_surface, log=self.log)
        for layout in w.LAYOUTS:
            self.all_by_all(clouds, layout)

    # ------------------------------------------------------------ 4. graph build

    def section_graph(self) -> None:
        n = self.cfg.graph_n
        _, t = w.pair("uniform", n, log=self.log)
        simplices = w.cached_simplices(w.target_tag("uniform", n))
        s64, sc = simplices.astype(np.uint64), simplices.astype(np.intc)
        scipy_build = _scipy_adjacency(t.points, sc)
        ours = _plov.graph_from_simplices(s64, n)
        ref = scipy_build()
        assert np.array_equal(ours[0], ref[0]), "scipy's degrees differ"
        for v in np.random.default_rng(0).integers(0, n, 1000):
            assert np.array_equal(ours[1][ours[0][v]:ours[0][v + 1]], np.sort(ref[1][ref[0][v]:ref[0][v + 1]]))
        jobs = {("graph_from_simplices", 1): local_job(lambda: _plov.graph_from_simplices(s64, n)),
                ("scipy vertex_neighbor_vertices", 1): local_job(scipy_build),
                ("NumPy unique + CSR", 1): local_job(lambda: numpy_adjacency(s64, n))}

        def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
            if key[0] == "NumPy unique + CSR":
                got = result()
                assert np.array_equal(got[0], ours[0]) and np.array_equal(got[1], ours[1]), "NumPy build differs"
            return {}

        results = self.measure(jobs, check, self.cfg.repeats_long)
        ours_s = results[("graph_from_simplices", 1)]["median_s"]
        group = []
        for (method, threads), res in results.items():
            group.append(dict(section="graph_build", workload=f"uniform {n}", method=method, threads=threads,
                              n_points=n, n_tetrahedra=len(simplices), ns_per_point=res["median_s"] / n * 1e9,
                              vs_plov=res["median_s"] / ours_s, ratios={}, **res))
        self.rows.extend(group)
        self.print_group(f"graph build | uniform {n:,} points, {len(simplices):,} tetrahedra", group, [],
                         [("its time / plov's", "vs_plov", ".2f")])

    # ------------------------------------------------------------ 5. scaling

    def section_scaling(self) -> None:
        for n in self.cfg.scaling:
            q, t = w.pair("uniform", n, log=self.log)
            for layout in w.LAYOUTS:
                self.single_join("uniform", q, t, layout, np.float64, "scaling", two_threads=False)

    # ------------------------------------------------------------ targets

    def find(self, **kw: Any) -> Optional[Dict[str, Any]]:
        for row in self.rows:
            if all(row.get(k) == v for k, v in kw.items()):
                return row
        return None

    def targets(self) -> List[Dict[str, Any]]:
        out: List[Dict[str, Any]] = []

        def add(what: str, layout: str, value: Optional[float], op: str, aim: float) -> None:
            if value is None:
                return
            met = value >= aim if op == ">=" else value <= aim
            out.append(dict(target=what, layout=layout, value=value, op=op, aim=aim, met=bool(met)))

        n = self.cfg.n_pair
        for layout in w.LAYOUTS:
            for kind in ("ball", "torus"):
                sel = dict(section="single_join", workload=kind, layout=layout, dtype="f64", threads=1)
                for method, aims in (("query_grouped", (5.0, 2.0)), (GROUPED_PKG, (5.0, 2.0)),
                                     ("query_prepared", (2.5, 1.2))):
                    row = self.find(method=method, **sel)
                    if row:
                        add(f"{kind} {n:,} k=1 f64: {method} vs cKDTree/1", layout, row["ratios"]["cKDTree/1"],
                            ">=", aims[0])
                        add(f"{kind} {n:,} k=1 f64: {method} vs pykdtree/1", layout, row["ratios"]["pykdtree/1"],
                            ">=", aims[1])
                row = self.find(section="evals", kind=kind, layout=layout, method="query_prepared")
                if row:
                    add(f"{kind} {n:,}: evals per point, query_prepared", layout, row["evals_per_point"], "<=", 40)
                row = self.find(section="knn", workload=kind, layout=layout, method="query_prepared_k ef=16")
                if row:
                    add(f"{kind} {n:,} k=8 ef=16: recall@8", layout, row["recall"], ">=", 0.99)
                    vs_faster_tree = min(row["ratios"]["cKDTree/1"], row["ratios"]["pykdtree/1"])
                    add(f"{kind} {n:,} k=8 ef=16: vs the faster tree (1 thread)", layout, vs_faster_tree, ">=", 2.0)
            for block, method in ((32, "query_grouped"), (PACKAGE_BLOCK, GROUPED_PKG)):
                row = self.find(section="evals", kind="surfaces", layout=layout,
                                method=f"query_grouped block={block} (all-by-all)")
                if row:
                    add(f"all-by-all: evals per point, {method}", layout, row["evals_per_point"], "<=", 25)
                g1 = self.find(section="all_by_all", layout=layout, method=method, threads=1)
                g2 = self.find(section="all_by_all", layout=layout, method=method, threads=2)
                if g1 and g2:
                    add(f"all-by-all, 1 thread, {method}: vs cKDTree/1", layout, g1["ratios"]["cKDTree/1"], ">=", 8.0)
                    add(f"all-by-all, 1 thread, {method}: vs pykdtree/1", layout, g1["ratios"]["pykdtree/1"], ">=",
                        3.0)
                    add(f"all-by-all, {method}: 2 threads vs 1", layout, g1["median_s"] / g2["median_s"], ">=", 1.8)
        return out + index.targets(self) + delaunay.targets(self)

    def print_targets(self, targets: List[Dict[str, Any]]) -> None:
        self.log("\ntargets (the aims hold for the Morton layout; the sampled layout is reported alongside)")
        head = ["target", "layout", "measured", "aim", ""]
        lines = [[t["target"], t["layout"], f"{t['value']:.3g}", f"{t['op']} {t['aim']:g}",
                  "met" if t["met"] else "MISSED"] for t in targets]
        widths = [max(len(x) for x in col) for col in zip(head, *lines)] if lines else [len(h) for h in head]
        for cells in [head] + lines:
            self.log("  " + "  ".join(c.ljust(wd) for c, wd in zip(cells, widths)))
        md = ["**targets**", "", "| " + " | ".join(head[:-1]) + " | met |", "|---|---|---|---|---|"]
        md += ["| " + " | ".join(cells) + " |" for cells in lines]
        self.tables.append("\n".join(md) + "\n")

    # ------------------------------------------------------------ run

    def run(self) -> Dict[str, Any]:
        cfg = self.cfg
        meta = dict(machine(), mode="quick" if cfg.quick else "full", repeats=cfg.repeats,
                    plov=_plov.__file__, date=time.strftime("%Y-%m-%d %H:%M:%S"), load_before=load_average())
        meta["pykdtree_processes"] = [r.call("info") for r in self.remotes.values()]
        self.log(f"plov benchmark suite ({meta['mode']}), _plov from {_plov.__file__}")
        self.log(f"{meta.get('cpu', '?')}, {meta['cpus']} cores, load average {meta['load_before']}")
        sections = {"single": self.section_single, "knn": self.section_knn, "allbyall": self.section_allbyall,
                    "graph": self.section_graph, "scaling": self.section_scaling,
                    "index": lambda: index.section_index(self),
                    "delaunay": lambda: delaunay.section(self)}
        sections.update({name: (lambda f=f: f(self)) for name, f in {**extra.SECTIONS, **cluster.SECTIONS}.items()})
        loads = {}
        for name in cfg.sections:
            t0 = time.perf_counter()
            sections[name]()
            if name == "single" and cfg.counts:
                self.section_counts()
            loads[name] = dict(seconds=round(time.perf_counter() - t0, 1), load_after=load_average())
        targets = self.targets()
        self.print_targets(targets)
        meta.update(load_after=load_average(), sections=loads, seconds=round(time.time() - self.started, 1))
        return dict(meta=meta, rows=self.rows, targets=targets)


def _scipy_adjacency(points: np.ndarray, simplices: np.ndarray) -> Callable[[], Any]:
    """A call of scipy's `Delaunay.vertex_neighbor_vertices` over the cached tetrahedra.

    scipy computes the adjacency from `simplices` alone, so a Delaunay object restored
    from the cached tetrahedra spares re-triangulating a million points on every run;
    if the restoration is refused, the points are triangulated once."""
    from scipy.spatial import Delaunay

    def restored() -> Any:
        tri = Delaunay.__new__(Delaunay)
        tri.simplices, tri.nsimplex, tri.npoints, tri.ndim = simplices, len(simplices), len(points), 3
        tri._points, tri._vertex_neighbor_vertices = points, None
        return tri.vertex_neighbor_vertices

    try:
        restored()
        return restored
    except Exception:
        tri = Delaunay(points)

        def rebuilt() -> Any:
            tri._vertex_neighbor_vertices = None  # drop scipy's cached answer
            return tri.vertex_neighbor_vertices

        return rebuilt


def numpy_adjacency(simplices: np.ndarray, n: int) -> Tuple[np.ndarray, np.ndarray]:
    """The vertex adjacency of tetrahedra in vectorised NumPy: the six edges of every
    tetrahedron in both directions, made unique as keys u * n + v, then CSR."""
    s = simplices[:, :4].astype(np.uint64)
    pairs = [(i, j) for i in range(4) for j in range(i + 1, 4)]
    src = np.concatenate([s[:, i] for i, j in pairs] + [s[:, j] for i, j in pairs])
    dst = np.concatenate([s[:, j] for i, j in pairs] + [s[:, i] for i, j in pairs])
    keys = np.unique(src * np.uint64(n) + dst)
    u = keys // np.uint64(n)
    indptr = np.zeros(n + 1, dtype=np.uint32)
    np.cumsum(np.bincount(u.astype(np.int64), minlength=n), out=indptr[1:])
    return indptr, (keys - u * np.uint64(n)).astype(np.uint32)


def main(argv: Optional[Sequence[str]] = None) -> None:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, about a minute")
    ap.add_argument("--repeats", type=int, help="rounds per comparison (default 5, and 3 for the k-nearest, "
                    "all-by-all and graph-build comparisons; quick: 3)")
    ap.add_argument("--out", type=Path, help="where the JSON and PNGs go (default docs/, quick: bench/.cache/quick/)")
    ap.add_argument("--only", nargs="+", choices=list(Config.sections) + list(extra.SECTIONS) + list(cluster.SECTIONS),
                    help="run only these sections (blocks, package, graphmem and cluster run only when named here)")
    ap.add_argument("--no-counts", action="store_true", help="skip the counting build and its measurements")
    ap.add_argument("--redraw", type=Path, metavar="JSON",
                    help="measure nothing: redraw the figures and the results section of benchmarks.md from JSON")
    args = ap.parse_args(argv)

    cfg = Config.make(args.quick, args.out, args.repeats)
    if args.redraw:
        publish(json.loads(args.redraw.read_text()), cfg.out)
        return
    if args.only:
        cfg.sections = [s for s in (*cfg.sections, *extra.SECTIONS, *cluster.SECTIONS) if s in args.only]
    cfg.counts = not args.no_counts and "single" in cfg.sections
    suite = Suite(cfg)
    try:
        report = suite.run()
    finally:
        suite.close()
    cfg.out.mkdir(parents=True, exist_ok=True)
    (cfg.out / "benchmarks.json").write_text(json.dumps(report, indent=1, default=float) + "\n")
    tables = w.CACHE / f"tables-{report['meta']['mode']}.md"
    tables.parent.mkdir(parents=True, exist_ok=True)
    tables.write_text("\n".join(suite.tables))
    print(f"\nwrote {cfg.out / 'benchmarks.json'} and every table as Markdown in {tables}, after "
          f"{report['meta']['seconds']:.0f} s", file=sys.stderr)
    publish(report, cfg.out)


def publish(report: Dict[str, Any], out: Path) -> None:
    """The figures, and the results section of out/benchmarks.md when that file has one."""
    from . import report as markdown
    from .plots import draw

    out.mkdir(parents=True, exist_ok=True)
    written = [str(p) for p in draw(report, out)]
    if markdown.update(out / "benchmarks.md", report):
        written.append(str(out / "benchmarks.md"))
    print(f"wrote {', '.join(written)}", file=sys.stderr)
