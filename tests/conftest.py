"""Settings shared by every test module and by the fuzzing children of test_fuzz.py.

Property-based tests draw their inputs from one seed per run, so that every run of the
suite tries the same inputs: seed 0, unless PLOV_FUZZ_SEED names another number, or says
"random" for a fresh one (tools/fuzz_long.sh does). The seed is printed at the end of
the run, with the command that reproduces a failure. An explicit --hypothesis-seed wins.
No example database is kept between runs: a run never replays what an earlier one found.
"""

import os
import random

import pytest
from hypothesis import settings

settings.register_profile("plov", database=None, deadline=None, print_blob=True)
settings.load_profile("plov")


def run_seed():
    value = os.environ.get("PLOV_FUZZ_SEED", "").strip() or "0"
    if value == "random":
        return str(random.SystemRandom().randrange(2**32))
    return value


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # Runs before Hypothesis' own configure hook, which then forces this seed.
    seed = config.getoption("hypothesis_seed", None)
    if seed is None:
        seed = run_seed()
        config.option.hypothesis_seed = seed
    # child interpreters (the fuzzing of test_fuzz.py) draw from the same seed
    os.environ["PLOV_FUZZ_SEED"] = seed


def pytest_collection_modifyitems(config, items):
    # Worker processes (process pools, Dask clusters) test the package's orchestration,
    # not native memory; under the sanitizers their interpreters run with the sanitizer
    # runtimes preloaded, and a Dask cluster whose workers are restarted there can lose
    # them all and wait for ever. The sanitized stages leave these tests out.
    if not os.environ.get("PLOV_SANITIZED"):
        return
    skip = pytest.mark.skip(reason="starts worker processes: not run under the sanitizers")
    for item in items:
        if item.get_closest_marker("processes") or {"cluster", "dask_client"} & set(item.fixturenames):
            item.add_marker(skip)


def pytest_report_header(config):
    return f"property-based tests: seed {config.getoption('hypothesis_seed')}"


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    seed = config.getoption("hypothesis_seed")
    line = f"property-based tests drew their inputs from seed {seed}"
    if exitstatus not in (0, 5):
        line += f"; PLOV_FUZZ_SEED={seed} with the same command reproduces them"
    terminalreporter.write_line(line)
