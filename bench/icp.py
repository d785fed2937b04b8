"""Section "icp" of the suite (`python -m bench --only icp`): point-to-point ICP, the
registration of examples/icp.py (a bumpy closed surface, the source rotated by 4 degrees
and shifted, 30 iterations), everything on one thread:

  - the queries alone, replayed over the 30 source positions of a registration: plov
    with each search started at the last answer (hints), plov without, cKDTree and
    pykdtree (trees built outside the timer, source in Morton order);
  - the whole registration, the index or tree built inside the timer: plov with hints,
    Open3D's registration_icp (point-to-point, the same iterations, no early stop),
    small_gicp's ICP, and the NumPy loop of the example over cKDTree and pykdtree.

Every method must reach the same transform: the table shows how far each one's rotation
(degrees) and translation are from plov's. Open3D, small_gicp and pykdtree run in the
helper process with OMP_NUM_THREADS=1."""

from __future__ import annotations

import sys
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
from scipy.spatial import cKDTree

import plov

from . import workloads as w
from .env import ROOT
from .recorder import Key, Recorder
from .remote import Job, local_job


sys.path.insert(0, str(ROOT / "examples"))
import icp as example  # noqa: E402

ITERATIONS = 30
MAX_DISTANCE = 0.5  # every pair of the problem is closer: the bound only keeps all methods alike


def tree_icp(query: Callable[[np.ndarray], Tuple[np.ndarray, np.ndarray]], source: np.ndarray,
             target: np.ndarray) -> np.ndarray:
    """The example's loop over a tree's `query(points) -> (dists, idx)`."""
    return example.icp(source, target, lambda x, hint: query(x), ITERATIONS, MAX_DISTANCE)


def make_icp(method: str, source: np.ndarray, target: np.ndarray) -> Callable[[], np.ndarray]:
    """A registration for the helper process (one OpenMP thread), the tree built inside
    the timed call: "pykdtree", "open3d" or "small_gicp"; returns the 4x4 transform."""
    if method == "pykdtree":
        from pykdtree.kdtree import KDTree

        def with_pykdtree() -> np.ndarray:
            tree = KDTree(target)
            return tree_icp(lambda x: tree.query(x, k=1, distance_upper_bound=MAX_DISTANCE), source, target)

        return with_pykdtree
    if method == "open3d":
        import open3d as o3d

        reg = o3d.pipelines.registration

        def with_open3d() -> np.ndarray:
            src = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(source))
            tgt = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(target))
            # no early stop: exactly ITERATIONS steps, like the others
            until = reg.ICPConvergenceCriteria(relative_fitness=0.0, relative_rmse=0.0, max_iteration=ITERATIONS)
            res = reg.registration_icp(src, tgt, MAX_DISTANCE, np.eye(4), reg.TransformationEstimationPointToPoint(),
                                       until)
            return np.asarray(res.transformation)

        return with_open3d
    if method == "small_gicp":
        import small_gicp

        def with_small_gicp() -> np.ndarray:
            tgt, src = small_gicp.PointCloud(target), small_gicp.PointCloud(source)
            tree = small_gicp.KdTree(tgt, num_threads=1)
            res = small_gicp.align(tgt, src, tree, np.eye(4), registration_type="ICP",
                                   max_correspondence_distance=MAX_DISTANCE, num_threads=1, max_iterations=ITERATIONS,
                                   rotation_epsilon=0.0, translation_epsilon=0.0)
            return np.asarray(res.T_target_source)

        return with_small_gicp
    raise ValueError(f"unknown ICP method {method!r}")


def _off(found: np.ndarray, ref: np.ndarray) -> Dict[str, Any]:
    """How far a transform is from the reference: the rotation (degrees; the norm of the
    difference of the matrices over sqrt 2, which is the angle for small angles and, unlike
    arccos of the trace, is not lost in rounding) and the translation."""
    diff = np.linalg.norm(found[:3, :3] - ref[:3, :3]) / np.sqrt(2)
    return {"rot_deg": float(np.degrees(diff)), "shift": float(np.linalg.norm(found[:3, 3] - ref[:3, 3]))}


def section(suite: Recorder) -> None:
    n = suite.cfg.n_pair
    source, target, truth = example.problem(n, n // 2)
    perm = w.morton_perm(source)
    source_m = np.ascontiguousarray(source[perm])  # the trees' best case; ICP ignores row order
    ref = example.plov_icp(source, target, ITERATIONS, MAX_DISTANCE)
    off_truth = _off(ref, truth)
    suite.log(f"\nICP: plov's transform is {off_truth['rot_deg']:.2e} degrees and {off_truth['shift']:.1e} "
              f"from the motion applied")

    # The source's positions over a registration, replayed for the queries alone.
    positions: List[np.ndarray] = []
    moved = source
    index, tree = plov.Index(target), cKDTree(target)
    for _ in range(ITERATIONS):
        positions.append(moved)
        d, i = index.query(moved)
        step = example.rigid_fit(moved, index.data[i])
        moved = moved @ step[:3, :3].T + step[:3, 3]
    positions_m = [np.ascontiguousarray(p[perm]) for p in positions]

    def replay(hints: bool) -> List[Any]:
        out, hint = [], None
        for x in positions:
            d, i = index.query(x, hint=hint)
            hint = i if hints else None
            out.append(i)
        return out

    jobs: Dict[Key, Job] = {
        ("Index.query with hints", 1): local_job(lambda: replay(True)),
        ("Index.query", 1): local_job(lambda: replay(False)),
        ("cKDTree", 1): local_job(lambda: [tree.query(x, k=1, workers=1) for x in positions_m]),
        ("pykdtree", 1): suite.remotes[1].job("query_sets", data=target, query_sets=positions_m, k=1),
    }
    reference = [cKDTree(target).query(x, k=1, workers=2)[1] for x in positions]

    def same(key: Any, result: Callable[[], Any]) -> Dict[str, Any]:
        if "Index" not in key[0]:
            return {}
        return {"exact": float(np.mean(np.concatenate(result()) == np.concatenate(reference)))}

    results = suite.measure(jobs, same, suite.cfg.repeats_long)
    points = ITERATIONS * len(source)
    base = dict(section="icp", workload="queries", n_query=len(source), n_target=n, iterations=ITERATIONS)
    suite.add_group(f"ICP queries alone, {ITERATIONS} iterations | bumpy surface | {len(source):,} -> {n:,} | f64",
                    base, results, lambda key: points, [("exact", "exact", ".4f")])

    def with_ckdtree() -> np.ndarray:
        t = cKDTree(target)
        return tree_icp(lambda x: t.query(x, k=1, distance_upper_bound=MAX_DISTANCE, workers=1), source_m, target)

    remote = suite.remotes[1]
    jobs = {
        ("plov Index, hints", 1): local_job(lambda: example.plov_icp(source, target, ITERATIONS, MAX_DISTANCE)),
        ("plov Index, no hints", 1): local_job(
            lambda: example.plov_icp(source, target, ITERATIONS, MAX_DISTANCE, hints=False)),
        ("Open3D registration_icp", 1): remote.job("icp", method="open3d", source=source, target=target),
        ("small_gicp", 1): remote.job("icp", method="small_gicp", source=source, target=target),
        ("cKDTree", 1): local_job(with_ckdtree),
        ("pykdtree", 1): remote.job("icp", method="pykdtree", source=source_m, target=target),
    }
    results = suite.measure(jobs, lambda key, result: _off(result(), ref), suite.cfg.repeats_long)
    base = dict(section="icp", workload="registration", n_query=len(source), n_target=n, iterations=ITERATIONS)
    suite.add_group(f"ICP end to end, index or tree built inside the timer, {ITERATIONS} iterations | bumpy surface | "
                    f"{len(source):,} -> {n:,} | f64", base, results, lambda key: points,
                    [("rotation vs plov (deg)", "rot_deg", ".1e"), ("shift vs plov", "shift", ".1e")])


SECTIONS = {"icp": section}
