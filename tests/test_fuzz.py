"""Runs the property-based fuzzing of every entry point (fuzz_entry_points.py) in child
interpreters, one per entry point: a crash or a hang then fails that entry point's test
instead of ending the whole run. PLOV_FUZZ_EXAMPLES sets the examples per test (and
tools/fuzz_long.sh makes a long run)."""

import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
EXAMPLES = int(os.environ.get("PLOV_FUZZ_EXAMPLES", "100"))
SANITIZED = bool(os.environ.get("PLOV_SANITIZED"))
# A cap on the child's address space, so that a runaway allocation fails with MemoryError
# instead of taking the machine's memory (sanitizer runtimes reserve terabytes of
# address space and set their own allocation limit instead).
MEMORY_CAP = 6 * 2**30

ENTRY_POINTS = [
    "test_constructor",
    "test_query",
    "test_query_k",
    "test_query_prepared_and_k",
    "test_query_prepared_blocked",
    "test_grouped",
    "test_all_nearest_neighbours",
    "test_all_nearest_neighbours_k",
    "test_graph_from_simplices",
    "test_binding_of_arbitrary_arguments",
]


def cap_memory():
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))


@pytest.mark.parametrize("name", ENTRY_POINTS)
def test_fuzz_entry_point(name):
    cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "ignore",
           f"{HERE / 'fuzz_entry_points.py'}::{name}"]
    timeout = 120 + EXAMPLES * (2.0 if SANITIZED else 0.5)
    try:
        out = subprocess.run(cmd, cwd=HERE.parent, capture_output=True, text=True, timeout=timeout,
                             preexec_fn=cap_memory)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{name}: the fuzzing child hung for {timeout:.0f} s\n{(e.stdout or '')[-4000:]}")
    if out.returncode != 0:
        how = f"killed by signal {-out.returncode}" if out.returncode < 0 else f"exit status {out.returncode}"
        pytest.fail(f"{name}: {how}\n{out.stdout[-6000:]}\n{out.stderr[-3000:]}")
