"""Sections of the suite on neighbourhoods beyond a plain join, all on one thread:

  balls    Index.query_ball_point against cKDTree.query_ball_point (return_sorted=False),
           lists and counts only (return_length), index and tree built outside the timer,
           and end to end from raw points; about 20 points per ball;
  selfknn  each point's 16 nearest other points: Index.query_self against pykdtree's
           self-query with k = 17 (index and tree built outside the timer), and
           plov.knn_graph against the tree built and queried, end to end;
  icp      point-to-point ICP (examples/icp.py) with hints and without, against Open3D's
           registration_icp, small_gicp and the same NumPy loop over cKDTree and pykdtree
           (see bench/icp.py).

The trees get their best case as everywhere in the suite: query points sorted in Morton
order outside the timer."""

from __future__ import annotations

from typing import Any, Callable, Dict

import numpy as np
from scipy.spatial import cKDTree

import plov

from . import icp
from . import workloads as w
from .recorder import Key, Recorder
from .remote import Job, local_job


BALL_POINTS = 20  # the mean number of points in a ball
SELF_K = 16


def _sorted(points: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(points[w.morton_perm(points)])


def balls(suite: Recorder) -> None:
    n = suite.cfg.n_pair
    rng = np.random.default_rng(61)
    y, x = w.uniform(n, 61), rng.random((n, 3))
    lo, hi = y.min(0), y.max(0)
    x = lo + x * (hi - lo)
    r = float((BALL_POINTS * np.prod(hi - lo) / (n * 4 / 3 * np.pi)) ** (1 / 3))
    index, tree, xm = plov.Index(y), cKDTree(y), _sorted(x)
    want = tree.query_ball_point(x, r, return_length=True, workers=2)

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        out = result()
        if "Index" not in key[0]:
            return {}
        counts = out if isinstance(out, np.ndarray) else np.diff(out[0])
        return {"same": float(np.mean(counts == want))}

    groups = (("lists", False, False), ("counts (return_length)", True, False),
              ("lists, index or tree built inside the timer", False, True))
    for what, length, inside in groups:
        jobs: Dict[Key, Job]
        if inside:
            jobs = {("Index from raw points", 1): local_job(lambda: plov.Index(y).query_ball_point(x, r)),
                    ("cKDTree", 1): local_job(lambda: cKDTree(y).query_ball_point(xm, r, return_sorted=False,
                                                                                   workers=1))}
        else:
            jobs = {("Index.query_ball_point", 1): local_job(
                        lambda length=length: index.query_ball_point(x, r, return_length=length)),
                    ("cKDTree", 1): local_job(lambda length=length: tree.query_ball_point(
                        xm, r, return_sorted=False, return_length=length, workers=1))}
        results = suite.measure(jobs, check, suite.cfg.repeats_long)
        base = dict(section="balls", workload=f"uniform, {what}", n_query=n, n_target=n, radius=r)
        suite.add_group(f"balls of about {BALL_POINTS} points, {what} | uniform | {n:,} -> {n:,} | f64", base,
                        results, lambda key: n, [("same counts", "same", ".4f")])


def self_knn(suite: Recorder) -> None:
    n = suite.cfg.graph_n
    pts = w.uniform(n, 62)
    srt = _sorted(pts)
    index = plov.Index(pts)
    ref = cKDTree(pts).query(pts, SELF_K + 1, workers=2)[1][:, 1:]

    def check(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        if "pykdtree" in key[0] or "Index.query k" in key[0]:
            return {}
        return {"exact": float(np.mean(result()[1] == ref))}

    jobs: Dict[Key, Job] = {
        (f"Index.query_self k={SELF_K}", 1): local_job(lambda: index.query_self(SELF_K)),
        (f"Index.query k={SELF_K + 1}", 1): local_job(lambda: index.query(pts, SELF_K + 1)),
        ("pykdtree", 1): suite.remotes[1].job("query", data=pts, queries=srt, k=SELF_K + 1),
    }
    results = suite.measure(jobs, check, suite.cfg.repeats_long)
    base = dict(section="selfknn", workload="uniform, index built outside the timer", n_points=n, k=SELF_K)
    suite.add_group(f"each point's {SELF_K} nearest others, index and tree built outside the timer (pykdtree "
                    f"k = {SELF_K + 1}) | uniform | {n:,} | f64", base, results, lambda key: n,
                    [("exact", "exact", ".4f")])
    jobs = {
        (f"knn_graph k={SELF_K}", 1): local_job(lambda: plov.knn_graph(pts, SELF_K)),
        ("pykdtree", 1): suite.remotes[1].job("build_query", data=pts, query_sets=[srt], k=SELF_K + 1),
    }
    results = suite.measure(jobs, check, suite.cfg.repeats_long)
    base = dict(section="selfknn", workload="uniform, end to end", n_points=n, k=SELF_K)
    suite.add_group(f"each point's {SELF_K} nearest others, end to end from raw points | uniform | {n:,} | f64",
                    base, results, lambda key: n, [("exact", "exact", ".4f")])


SECTIONS = {"balls": balls, "selfknn": self_knn, "icp": icp.section}
