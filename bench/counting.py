"""Distance evaluations per query point, from the counting build.

The counting build is `_plov` compiled with -DPLOV_COUNT_EVALS in build-count/: the
descents then add up their distance evaluations, descents and steps, and the module prints
"descents N evals N steps N" to stderr when the process exits. The normal build compiles
the counters out. Each measurement runs in a fresh process (`python -m bench.counting
JOB`) that imports the counting build, performs one call, and exits."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict

from .env import BUILD_VAR, ROOT

COUNT_BUILD = ROOT / "build-count"
_LINE = re.compile(r"descents (\d+) evals (\d+) steps (\d+)")


def ensure_build(log: Any = print) -> Path:
    """Configures build-count/ once and brings it up to date (a no-op when it is)."""
    if not (COUNT_BUILD / "CMakeCache.txt").exists():
        log("  configuring the counting build in build-count/ ...")
        cmd = ["cmake", "-S", str(ROOT), "-B", str(COUNT_BUILD), f"-DPython_EXECUTABLE={sys.executable}",
               "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-DPLOV_COUNT_EVALS"]
        if shutil.which("ninja"):
            cmd += ["-G", "Ninja"]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(COUNT_BUILD)], check=True, stdout=subprocess.DEVNULL)
    return COUNT_BUILD


def measure(job: Dict[str, Any]) -> Dict[str, float]:
    """Counts of one call described by `job` (see `_run`), per query point."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    env[BUILD_VAR] = str(COUNT_BUILD)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT)] + [p for p in [env.get("PYTHONPATH")] if p])
    res = subprocess.run([sys.executable, "-m", "bench.counting", json.dumps(job)], cwd=ROOT, env=env,
                         capture_output=True, text=True)
    found = _LINE.findall(res.stderr)
    if res.returncode != 0 or not found:
        raise RuntimeError(f"counting run {job} failed:\n{res.stderr[-2000:]}")
    descents, evals, steps = map(int, found[-1])
    points = int(res.stdout.split()[-1])
    return {"evals": evals / points, "descents": descents / points, "steps": steps / points, "points": points}


def _run(job: Dict[str, Any]) -> int:
    """One call of the counting build; returns the number of query points it answered."""
    from . import workloads as w

    P = w._plov.PreparedF64
    G = w._plov.GroupedQueriesF64
    if job["op"] == "all_by_all":
        clouds = [w.in_layout(c, job["layout"]) for c in w.surfaces(job["n_clouds"], job["n"])]
        preps = [P(*c) for c in clouds]
        grouped = G.prepare(preps, [None] * len(preps))
        for t in preps:
            t.query_grouped(grouped, None, job.get("block", 32))
        return len(preps) * grouped.n_points
    q, t = (w.in_layout(c, job["layout"]) for c in w.pair(job["kind"], job["n"]))
    target, query = P(*t), P(*q)
    op = job["op"]
    if op == "query_prepared":
        target.query_prepared(query)
    elif op == "query_prepared_blocked":
        target.query_prepared_blocked(query)
    elif op == "query_grouped":
        target.query_grouped(G.prepare([query], [None]), None, job.get("block", 32))
    else:
        raise ValueError(op)
    return q.n


if __name__ == "__main__":
    print(_run(json.loads(sys.argv[1])))
