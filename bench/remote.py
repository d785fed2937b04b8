"""Jobs, timed round-robin, and the helper processes that run pykdtree.

pykdtree takes its thread count from OMP_NUM_THREADS once, when OpenMP starts, so each
thread count gets its own long-lived process (`python -m bench.remote`). The suite sends
it the data, the process builds its trees outside any timer, and then times single
queries on request, so that its runs take turns with the in-process ones."""

from __future__ import annotations

import math
import os
import pickle
import statistics
import subprocess
import sys
import time
from typing import Any, BinaryIO, Callable, Dict, List, NamedTuple, Optional

import numpy as np

from .env import ROOT


class Job(NamedTuple):
    """One timed operation: `run(number)` returns the mean seconds of `number`
    back-to-back runs, `result()` the output of one run."""

    run: Callable[[int], float]
    result: Callable[[], Any]


def local_job(fn: Callable[[], Any]) -> Job:
    """A job of this process; `result()` hands out the output of its last timed call."""
    last: List[Any] = []

    def run(number: int) -> float:
        t0 = time.perf_counter()
        for _ in range(number):
            out = fn()
        elapsed = time.perf_counter() - t0
        last[:] = [out]
        return elapsed / number

    return Job(run, lambda: last.pop() if last else fn())


# A sample shorter than this repeats the call: on a shared machine a single call of a
# few milliseconds is too easily hit by a time slice of another process.
MIN_SAMPLE_S = 0.05


# A job whose warm-up call takes longer than this is timed three times only, the warm-up
# call included: samples of several seconds are steady enough, and this saves minutes.
LONG_S = 2.0


def round_robin(jobs: Dict[str, Job], repeats: int) -> Dict[str, List[float]]:
    """Seconds per call of every job in `repeats` rounds after a warm-up run that sets
    each job's calls per sample; in every round each job takes one sample, so that a
    change of machine load hits all of them alike."""
    warm = {name: job.run(1) for name, job in jobs.items()}
    number = {name: max(1, math.ceil(MIN_SAMPLE_S / max(t, 1e-9))) for name, t in warm.items()}
    samples: Dict[str, List[float]] = {name: [t] if t > LONG_S else [] for name, t in warm.items()}
    for r in range(repeats):
        for name, job in jobs.items():
            if len(samples[name]) < (3 if warm[name] > LONG_S else repeats):
                samples[name].append(job.run(number[name]))
    return samples


def median(xs: List[float]) -> float:
    return float(statistics.median(xs))


# ---------------------------------------------------------------- baseline factories
# Run inside the helper process; each returns a zero-argument callable that does the
# timed work. Trees are built here, outside the timer.


def _tree(data: np.ndarray) -> Any:
    from pykdtree.kdtree import KDTree

    return KDTree(np.ascontiguousarray(data))


def make_query(data: np.ndarray, queries: np.ndarray, k: int) -> Callable[[], Any]:
    tree, q = _tree(data), np.ascontiguousarray(queries)
    return lambda: tree.query(q, k=k)


def make_build_query(data: np.ndarray, query_sets: List[np.ndarray], k: int) -> Callable[[], Any]:
    """End to end: the tree built inside the timed call, then queried with every set."""
    data, sets = np.ascontiguousarray(data), [np.ascontiguousarray(q) for q in query_sets]
    return lambda: (lambda tree: [tree.query(q, k=k) for q in sets])(_tree(data))


def make_all_by_all(clouds: List[np.ndarray], sorted_points: np.ndarray, sorted_labels: np.ndarray,
                    build_inside: bool = False) -> Callable[[], Any]:
    """One tree per cloud, queried with every other cloud's points in Morton order; the
    trees are built inside the timed call with `build_inside`."""
    queries = [np.ascontiguousarray(sorted_points[sorted_labels != c]) for c in range(len(clouds))]
    if build_inside:
        return lambda: [_tree(c).query(q, k=1) for c, q in zip(clouds, queries)]
    trees = [_tree(c) for c in clouds]
    return lambda: [t.query(q, k=1) for t, q in zip(trees, queries)]


def make_query_sets(data: np.ndarray, query_sets: List[np.ndarray], k: int) -> Callable[[], Any]:
    """The tree built outside the timer, then queried with every set."""
    tree, sets = _tree(data), [np.ascontiguousarray(q) for q in query_sets]
    return lambda: [tree.query(q, k=k) for q in sets]


def make_icp(**kwargs: Any) -> Callable[[], Any]:
    from .icp import make_icp as make

    return make(**kwargs)


FACTORIES = {"query": make_query, "build_query": make_build_query, "all_by_all": make_all_by_all,
             "query_sets": make_query_sets, "icp": make_icp}


def serve(inp: BinaryIO, out: BinaryIO) -> None:
    """Answers ("setup", key, factory, kwargs), ("run", key, number), ("result", key),
    ("drop", key) and ("info",) until the input ends."""
    jobs: Dict[str, Callable[[], Any]] = {}
    while True:
        try:
            msg = pickle.load(inp)
        except EOFError:
            return
        try:
            op = msg[0]
            if op == "setup":
                _, key, factory, kwargs = msg
                jobs[key] = FACTORIES[factory](**kwargs)
                reply: Any = None
            elif op == "run":
                _, key, number = msg
                fn = jobs[key]
                t0 = time.perf_counter()
                for _ in range(number):
                    fn()
                reply = (time.perf_counter() - t0) / number
            elif op == "result":
                reply = jobs[msg[1]]()
            elif op == "drop":
                jobs.pop(msg[1], None)
                reply = None
            elif op == "info":
                from importlib.metadata import version

                reply = {"pykdtree": version("pykdtree"), "OMP_NUM_THREADS": os.environ.get("OMP_NUM_THREADS")}
            else:
                raise ValueError(f"unknown request {op!r}")
            pickle.dump(("ok", reply), out, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as e:  # reported to the suite, which stops
            pickle.dump(("error", f"{type(e).__name__}: {e}"), out, protocol=pickle.HIGHEST_PROTOCOL)
        out.flush()


class Remote:
    """A helper process with `OMP_NUM_THREADS=threads`."""

    def __init__(self, threads: int):
        self.threads = threads
        env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
        env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [p for p in [env.get("PYTHONPATH")] if p])
        self.proc: Optional[subprocess.Popen] = subprocess.Popen(
            [sys.executable, "-m", "bench.remote"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=ROOT)
        self.count = 0

    def call(self, *msg: Any) -> Any:
        assert self.proc and self.proc.stdin and self.proc.stdout
        pickle.dump(msg, self.proc.stdin, protocol=pickle.HIGHEST_PROTOCOL)
        self.proc.stdin.flush()
        status, value = pickle.load(self.proc.stdout)
        if status != "ok":
            raise RuntimeError(f"pykdtree helper ({self.threads} threads): {value}")
        return value

    def job(self, factory: str, **kwargs: Any) -> Job:
        """A job run by this process: the callable `factory` of FACTORIES makes from
        `kwargs`."""
        self.count += 1
        key = f"job{self.count}"
        self.call("setup", key, factory, kwargs)
        return Job(lambda number: self.call("run", key, number), lambda: self.call("result", key))

    def clear(self) -> None:
        for i in range(1, self.count + 1):
            self.call("drop", f"job{i}")

    def close(self) -> None:
        if self.proc:
            assert self.proc.stdin
            self.proc.stdin.close()
            self.proc.wait(timeout=60)
            self.proc = None


if __name__ == "__main__":
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    sys.stdout = sys.stderr  # nothing but replies on the channel
    serve(stdin, stdout)
