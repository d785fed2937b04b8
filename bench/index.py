"""Section "index" of the suite: `plov.Index` and `plov.all_by_all` as a user with raw
points meets them, against scipy's cKDTree and pykdtree, all on one thread unless a
row says otherwise.

  - end to end: the graph (plov) or the tree built inside the timer, for a one-off join,
    a target reused by 10 query clouds, and the all-by-all of the suite's surfaces;
    beside them plov for a user who already has the graphs; the joins also on two
    threads on both sides (plov's build and queries; cKDTree's queries, pykdtree's
    OpenMP threads), the trees with Morton-sorted queries and with the queries as given;
  - the query alone (index and trees built outside the timer): k = 1 on one and two
    threads, and k = 8, exact.

The trees get their best case as everywhere in the suite: query points sorted in Morton
order outside the timer. plov takes the queries in the caller's order and sorts them
inside the timer."""

from __future__ import annotations

from typing import Any, Callable, Dict, List

import numpy as np
from scipy.spatial import cKDTree

import plov

from . import workloads as w
from .recorder import Key, Recorder, verdict
from .remote import Job, local_job

REUSE_CLOUDS = 10


def _exact(reference: np.ndarray) -> Callable[[Any, Callable[[], Any]], Dict[str, Any]]:
    """A check of plov's rows: the share of indices equal to the tree's."""

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        if "plov" not in key[0] and "Index" not in key[0] and "all_by_all" not in key[0]:
            return {}
        out = result()
        idx = out[-1][1] if isinstance(out, list) else out[1]
        return {"exact": float(np.mean(np.asarray(idx, np.int64) == reference))}

    return check


def _sorted(points: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(points[w.morton_perm(points)])


def end_to_end(suite: Recorder) -> None:
    n = suite.cfg.n_pair
    q, t = w.pair("uniform", n, log=suite.log)
    rng = np.random.default_rng(51)
    lo, hi = t.points.min(0), t.points.max(0)
    reuse = [rng.uniform(lo, hi, (n, 3)) for _ in range(REUSE_CLOUDS)]
    graph = (t.indptr, t.indices)
    tree = cKDTree(t.points)
    for title, queries in ((f"one-off join | {n:,} -> {n:,}", [q.points]),
                           (f"target reused by {REUSE_CLOUDS} query clouds | {REUSE_CLOUDS} x {n:,} -> {n:,}",
                            reuse)):
        srt = [_sorted(c) for c in queries]
        jobs: Dict[Key, Job] = {
            ("Index from raw points", 1): local_job(
                lambda queries=queries: (lambda ix: [ix.query(c) for c in queries])(plov.Index(t.points))),
            ("Index from raw points", 2): local_job(
                lambda queries=queries: (lambda ix: [ix.query(c) for c in queries])(plov.Index(t.points, workers=2))),
            ("Index, graph given", 1): local_job(
                lambda queries=queries: (lambda ix: [ix.query(c) for c in queries])(plov.Index(t.points, graph=graph))),
            ("cKDTree", 1): local_job(
                lambda srt=srt: (lambda tr: [tr.query(c, k=1, workers=1) for c in srt])(cKDTree(t.points))),
            ("pykdtree", 1): suite.remotes[1].job("build_query", data=t.points, query_sets=srt, k=1),
            ("cKDTree", 2): local_job(
                lambda srt=srt: (lambda tr: [tr.query(c, k=1, workers=2) for c in srt])(cKDTree(t.points))),
            ("pykdtree", 2): suite.remotes[2].job("build_query", data=t.points, query_sets=srt, k=1),
            # the trees with the queries in the order the user has them
            ("cKDTree, queries as given", 2): local_job(
                lambda queries=queries: (lambda tr: [tr.query(c, k=1, workers=2) for c in queries])(
                    cKDTree(t.points))),
            ("pykdtree, queries as given", 2): suite.remotes[2].job("build_query", data=t.points,
                                                                    query_sets=queries, k=1),
        }
        reference = tree.query(queries[-1], k=1, workers=2)[1]
        results = suite.measure(jobs, _exact(reference), suite.cfg.repeats_long)
        points = n * len(queries)
        base = dict(section="index_end_to_end", workload=title.split(" |")[0], n_query=points, n_target=n)
        suite.add_group(f"end to end, tree or graph built inside the timer | {title} | uniform | f64", base,
                        results, lambda key: points, [("exact", "exact", ".4f")])


def all_by_all(suite: Recorder) -> None:
    clouds = w.surfaces(suite.cfg.n_clouds, suite.cfg.n_surface, log=suite.log)
    pts = [c.points for c in clouds]
    graphs = [(c.indptr, c.indices) for c in clouds]
    C = len(clouds)
    allpts = np.vstack(pts)
    labels = np.repeat(np.arange(C), [len(p) for p in pts])
    order = w.morton_perm(allpts)
    sorted_pts, sorted_labels = np.ascontiguousarray(allpts[order]), labels[order]
    queries = [np.ascontiguousarray(sorted_pts[sorted_labels != c]) for c in range(C)]

    def trees() -> List[Any]:
        return [cKDTree(p).query(qq, k=1, workers=1) for p, qq in zip(pts, queries)]

    jobs: Dict[Key, Job] = {
        ("all_by_all from raw points", 1): local_job(lambda: plov.all_by_all(pts, workers=1, reduce="mean")),
        ("all_by_all, graphs given", 1): local_job(lambda: plov.all_by_all(pts, graphs=graphs, workers=1,
                                                                            reduce="mean")),
        ("cKDTree", 1): local_job(trees),
        ("pykdtree", 1): suite.remotes[1].job("all_by_all", clouds=pts, sorted_points=sorted_pts,
                                              sorted_labels=sorted_labels, build_inside=True),
    }
    ref = plov.all_by_all(pts, graphs=graphs, reduce="mean")

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        if not key[0].startswith("all_by_all"):
            return {}
        return {"max_diff": float(np.abs(result() - ref).max())}

    results = suite.measure(jobs, check, suite.cfg.repeats_long)
    total = len(allpts)
    base = dict(section="index_end_to_end", workload=f"all-by-all {C} x {clouds[0].n}", n_points=total)
    suite.add_group(f"end to end, trees or graphs built inside the timer | all-by-all | {C} clouds x "
                    f"{clouds[0].n:,} points | f64", base, results, lambda key: C * total,
                    [("max |diff|", "max_diff", ".1e")])


def queries_alone(suite: Recorder) -> None:
    n = suite.cfg.n_pair
    q, t = w.pair("uniform", n, log=suite.log)
    index = plov.Index(t.points, graph=(t.indptr, t.indices))
    tree = cKDTree(t.points)
    xm = _sorted(q.points)
    for k in (1, 8):
        jobs: Dict[Key, Job] = {(f"Index.query k={k}", 1): local_job(lambda k=k: index.query(q.points, k))}
        if k == 1:
            jobs[(f"Index.query k={k}", 2)] = local_job(lambda: index.query(q.points, 1, workers=2))
        jobs[("cKDTree", 1)] = local_job(lambda k=k: tree.query(xm, k=k, workers=1))
        jobs[("pykdtree", 1)] = suite.remotes[1].job("query", data=t.points, queries=xm, k=k)
        reference = tree.query(q.points, k=k, workers=2)[1]
        results = suite.measure(jobs, _exact(reference), suite.cfg.repeats)
        base = dict(section="index_query", workload="uniform", n_query=n, n_target=n, k=k)
        suite.add_group(f"Index.query, index and trees built outside the timer | k = {k} | uniform | "
                        f"{n:,} -> {n:,} | f64", base, results, lambda key: n, [("exact", "exact", ".4f")])


def targets(suite: Recorder) -> List[Dict[str, Any]]:
    """The aims of this section, in the suite's target format."""
    out: List[Dict[str, Any]] = []

    def add(what: str, value: float, aim: float) -> None:
        out.append(verdict(what, value, ">=", aim))

    k1 = suite.find(section="index_query", k=1, method="Index.query k=1", threads=1)
    k1w = suite.find(section="index_query", k=1, method="Index.query k=1", threads=2)
    k8 = suite.find(section="index_query", k=8, method="Index.query k=8")
    if k1:
        add("Index.query k=1 vs cKDTree/1", k1["ratios"]["cKDTree/1"], 3.0)
        add("Index.query k=1 vs pykdtree/1", k1["ratios"]["pykdtree/1"], 2.0)
    if k1 and k1w:
        add("Index.query k=1: 2 workers vs 1", k1["median_s"] / k1w["median_s"], 1.8)
    if k8:
        add("Index.query k=8 (exact) vs the faster tree", min(k8["ratios"]["cKDTree/1"], k8["ratios"]["pykdtree/1"]),
            2.0)
    one_off = suite.find(section="index_end_to_end", workload="one-off join", method="Index from raw points")
    if one_off:
        add("one-off join from raw points vs cKDTree/1 (aim: within 2x)", one_off["ratios"]["cKDTree/1"], 0.5)
    reused = suite.find(section="index_end_to_end", workload="target reused by 10 query clouds",
                        method="Index from raw points")
    if reused:
        add("target reused by 10 clouds, from raw points, vs cKDTree/1", reused["ratios"]["cKDTree/1"], 2.0)
    one_off2 = suite.find(section="index_end_to_end", workload="one-off join", method="Index from raw points",
                          threads=2)
    if one_off2 and "cKDTree/2" in one_off2["ratios"]:
        add("one-off join from raw points, 2 threads each, vs cKDTree/2", one_off2["ratios"]["cKDTree/2"], 0.6)
    reused2 = suite.find(section="index_end_to_end", workload="target reused by 10 query clouds",
                         method="Index from raw points", threads=2)
    if reused2 and "cKDTree/2" in reused2["ratios"]:
        add("target reused by 10 clouds, 2 threads each, vs cKDTree/2", reused2["ratios"]["cKDTree/2"], 2.5)
    if reused2 and "pykdtree/2" in reused2["ratios"]:
        add("target reused by 10 clouds, 2 threads each, vs pykdtree/2", reused2["ratios"]["pykdtree/2"], 1.3)
    return out


def section_index(suite: Recorder) -> None:
    queries_alone(suite)
    end_to_end(suite)
    all_by_all(suite)
