"""Sections 1 to 5 of the suite: the native calls of `_plov` against scipy's cKDTree and
pykdtree on the same clouds (single joins, k-nearest, all-by-all over surfaces, graph
build, scaling), the distance evaluations of the counting build, and their aims."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Tuple

import numpy as np
from scipy.spatial import cKDTree

from . import counting
from . import workloads as w
from .recorder import Key, Recorder, verdict
from .remote import Job, local_job

_plov = w._plov
# The block size plov.all_by_all uses (query_grouped's own default is 32).
PACKAGE_BLOCK = 2
GROUPED_PKG = f"query_grouped block={PACKAGE_BLOCK}"
PLOV_SINGLE = ("query_grouped", GROUPED_PKG, "query_prepared", "query_prepared_blocked", "query",
               "all_nearest_neighbours")
EFS = (8, 12, 16, 24, 32)


# ---------------------------------------------------------------- 1. single join


def single_join(s: Recorder, kind: str, q0: w.Cloud, t0: w.Cloud, layout: str, dtype: type, section: str,
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
                for h, (dd, ii) in zip(halves, s.pool.map(call, range(2))):
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
        jobs[("pykdtree", k)] = s.remotes[k].job("query", data=tp, queries=xm, k=1)
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

    results = s.measure(jobs, check)
    dname = "f64" if f64 else "f32"
    base = dict(section=section, workload=kind, layout=layout, dtype=dname, n_query=q.n, n_target=t.n,
                mean_degree=round(t.mean_degree(), 3))
    title = (f"{section.replace('_', ' ')} | {kind} | {q.n:,} -> {t.n:,} | {dname} | {layout} layout | "
             f"mean degree {t.mean_degree():.2f}")
    s.add_group(title, base, results, lambda key: q.n, [("exact", "exact", ".4f")])


def section_single(s: Recorder) -> None:
    n = s.cfg.n_pair
    for kind in ("ball", "torus"):
        q, t = w.pair(kind, n, log=s.log)
        for layout in w.LAYOUTS:
            for dtype in (np.float64, np.float32):
                single_join(s, kind, q, t, layout, dtype, "single_join", two_threads=True)


def section_counts(s: Recorder) -> None:
    s.log("\ndistance evaluations per query point (counting build, one call per process)")
    counting.ensure_build(s.log)
    jobs: List[Dict[str, Any]] = []
    for kind in ("ball", "torus"):
        for layout in w.LAYOUTS:
            for op in ("query_prepared", "query_prepared_blocked", "query_grouped"):
                jobs.append(dict(op=op, kind=kind, n=s.cfg.n_pair, layout=layout))
            jobs.append(dict(op="query_grouped", kind=kind, n=s.cfg.n_pair, layout=layout, block=PACKAGE_BLOCK))
    for layout in w.LAYOUTS:
        for block in (32, PACKAGE_BLOCK):
            jobs.append(dict(op="all_by_all", n_clouds=s.cfg.n_clouds, n=s.cfg.n_surface, layout=layout,
                             block=block))
    for n in s.cfg.scaling:
        for op in ("query_prepared", "query_grouped"):
            jobs.append(dict(op=op, kind="uniform", n=n, layout="morton"))
    s.log(f"  {'workload':<22}{'layout':<9}{'method':<36}{'evals':>7}{'steps':>7}{'degree':>8}")
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
        s.rows.append(dict(section="evals", workload=workload, kind=job.get("kind", "surfaces"),
                              layout=job["layout"], method=method, evals_per_point=c["evals"],
                              steps_per_point=c["steps"], descents_per_point=c["descents"],
                              mean_degree=degree, n_query=c["points"]))
        s.log(f"  {workload:<22}{job['layout']:<9}{method:<36}{c['evals']:>7.2f}{c['steps']:>7.2f}"
                 f"{degree:>8.2f}")


# ---------------------------------------------------------------- 2. k-nearest


def knn(s: Recorder, kind: str, q0: w.Cloud, t0: w.Cloud, layout: str) -> None:
    q, t = w.in_layout(q0, layout), w.in_layout(t0, layout)
    target, query = _plov.PreparedF64(*t), _plov.PreparedF64(*q)
    tree = cKDTree(t.points)
    _, truth = tree.query(q.points, k=8, workers=2)
    xm = np.ascontiguousarray(q.points[w.morton_perm(q.points)])
    jobs: Dict[Key, Job] = {(f"query_prepared_k ef={ef}", 1):
                            local_job(lambda ef=ef: target.query_prepared_k(query, 8, ef)) for ef in EFS}
    jobs[("cKDTree", 1)] = local_job(lambda: tree.query(xm, k=8, workers=1))
    jobs[("pykdtree", 1)] = s.remotes[1].job("query", data=t.points, queries=xm, k=8)

    def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
        if not key[0].startswith("query_prepared_k"):
            return {}
        hits = (result()[1][:, :, None] == truth[:, None, :].astype(np.uint64)).any(-1)
        return {"recall": float(hits.mean()), "ef": int(key[0].split("=")[1])}

    results = s.measure(jobs, check, s.cfg.repeats_long)
    base = dict(section="knn", workload=kind, layout=layout, dtype="f64", n_query=q.n, n_target=t.n, k=8)
    s.add_group(f"k-nearest, k = 8 | {kind} | {q.n:,} -> {t.n:,} | f64 | {layout} layout", base, results,
                lambda key: q.n, [("recall@8", "recall", ".4f")])


def section_knn(s: Recorder) -> None:
    for kind in ("ball", "torus"):
        q, t = w.pair(kind, s.cfg.n_pair, log=s.log)
        for layout in w.LAYOUTS:
            knn(s, kind, q, t, layout)


# ---------------------------------------------------------------- 3. all-by-all


def all_by_all(s: Recorder, clouds0: List[w.Cloud], layout: str) -> None:
    clouds = [w.in_layout(c, layout) for c in clouds0]
    C = len(clouds)
    preps = [_plov.PreparedF64(*c) for c in clouds]
    grouped = _plov.GroupedQueriesF64.prepare(preps, [None] * C)
    jobs: Dict[Key, Job] = {
        ("query_grouped", 1): local_job(lambda: [t.query_grouped(grouped, None) for t in preps]),
        ("query_grouped", 2): local_job(lambda: list(s.pool.map(lambda t: t.query_grouped(grouped, None),
                                                                 preps))),
        (GROUPED_PKG, 1): local_job(lambda: [t.query_grouped(grouped, None, PACKAGE_BLOCK) for t in preps]),
        (GROUPED_PKG, 2): local_job(lambda: list(s.pool.map(
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
        jobs[("pykdtree", k)] = s.remotes[k].job("all_by_all", clouds=[c.points for c in clouds],
                                                 sorted_points=sorted_pts, sorted_labels=sorted_labels)
    checked = [0, C // 2, C - 1]
    exact_d = [trees[c].query(allpts, k=1, workers=2)[0] for c in checked]

    def check(key: Key, result: Callable[[], Any]) -> Dict[str, Any]:
        if not key[0].startswith("query_grouped"):
            return {}
        res = result()
        return {"exact": float(np.mean([np.mean(res[c][0] == d) for c, d in zip(checked, exact_d)]))}

    results = s.measure(jobs, check, s.cfg.repeats_long)
    n_total = len(allpts)
    plov_points = C * n_total
    tree_points = C * n_total - n_total  # every other cloud's points per target
    base = dict(section="all_by_all", workload=f"surfaces {C}x{clouds[0].n}", layout=layout, dtype="f64",
                n_clouds=C, n_points=n_total)
    for key, res in results.items():
        res["n_query"] = plov_points if key[0].startswith("query_grouped") else tree_points
    s.add_group(f"all-by-all | {C} clouds x {clouds[0].n:,} points | f64 | {layout} layout | "
                f"ratios on total time", base, results,
                lambda key: plov_points if key[0].startswith("query_grouped") else tree_points,
                [("exact", "exact", ".4f")])


def section_allbyall(s: Recorder) -> None:
    clouds = w.surfaces(s.cfg.n_clouds, s.cfg.n_surface, log=s.log)
    for layout in w.LAYOUTS:
        all_by_all(s, clouds, layout)


# ---------------------------------------------------------------- 4. graph build


def section_graph(s: Recorder) -> None:
    n = s.cfg.graph_n
    _, t = w.pair("uniform", n, log=s.log)
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

    results = s.measure(jobs, check, s.cfg.repeats_long)
    ours_s = results[("graph_from_simplices", 1)]["median_s"]
    group = []
    for (method, threads), res in results.items():
        group.append(dict(section="graph_build", workload=f"uniform {n}", method=method, threads=threads,
                          n_points=n, n_tetrahedra=len(simplices), ns_per_point=res["median_s"] / n * 1e9,
                          vs_plov=res["median_s"] / ours_s, ratios={}, **res))
    s.rows.extend(group)
    s.print_group(f"graph build | uniform {n:,} points, {len(simplices):,} tetrahedra", group, [],
                  [("its time / plov's", "vs_plov", ".2f")])


# ---------------------------------------------------------------- 5. scaling


def section_scaling(s: Recorder) -> None:
    for n in s.cfg.scaling:
        q, t = w.pair("uniform", n, log=s.log)
        for layout in w.LAYOUTS:
            single_join(s, "uniform", q, t, layout, np.float64, "scaling", two_threads=False)


def targets(s: Recorder) -> List[Dict[str, Any]]:
    out: List[Dict[str, Any]] = []

    def add(what: str, layout: str, value: float, op: str, aim: float) -> None:
        out.append(verdict(what, value, op, aim, layout))

    n = s.cfg.n_pair
    for layout in w.LAYOUTS:
        for kind in ("ball", "torus"):
            sel = dict(section="single_join", workload=kind, layout=layout, dtype="f64", threads=1)
            for method, aims in (("query_grouped", (5.0, 2.0)), (GROUPED_PKG, (5.0, 2.0)),
                                 ("query_prepared", (2.5, 1.2))):
                row = s.find(method=method, **sel)
                if row:
                    add(f"{kind} {n:,} k=1 f64: {method} vs cKDTree/1", layout, row["ratios"]["cKDTree/1"],
                        ">=", aims[0])
                    add(f"{kind} {n:,} k=1 f64: {method} vs pykdtree/1", layout, row["ratios"]["pykdtree/1"],
                        ">=", aims[1])
            row = s.find(section="evals", kind=kind, layout=layout, method="query_prepared")
            if row:
                add(f"{kind} {n:,}: evals per point, query_prepared", layout, row["evals_per_point"], "<=", 40)
            row = s.find(section="knn", workload=kind, layout=layout, method="query_prepared_k ef=16")
            if row:
                add(f"{kind} {n:,} k=8 ef=16: recall@8", layout, row["recall"], ">=", 0.99)
                vs_faster_tree = min(row["ratios"]["cKDTree/1"], row["ratios"]["pykdtree/1"])
                add(f"{kind} {n:,} k=8 ef=16: vs the faster tree (1 thread)", layout, vs_faster_tree, ">=", 2.0)
        for block, method in ((32, "query_grouped"), (PACKAGE_BLOCK, GROUPED_PKG)):
            row = s.find(section="evals", kind="surfaces", layout=layout,
                         method=f"query_grouped block={block} (all-by-all)")
            if row:
                add(f"all-by-all: evals per point, {method}", layout, row["evals_per_point"], "<=", 25)
            g1 = s.find(section="all_by_all", layout=layout, method=method, threads=1)
            g2 = s.find(section="all_by_all", layout=layout, method=method, threads=2)
            if g1 and g2:
                add(f"all-by-all, 1 thread, {method}: vs cKDTree/1", layout, g1["ratios"]["cKDTree/1"], ">=", 8.0)
                add(f"all-by-all, 1 thread, {method}: vs pykdtree/1", layout, g1["ratios"]["pykdtree/1"], ">=",
                    3.0)
                add(f"all-by-all, {method}: 2 threads vs 1", layout, g1["median_s"] / g2["median_s"], ">=", 1.8)
    return out


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
