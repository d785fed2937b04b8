#!/usr/bin/env bash
# A long fuzzing run: every entry point with many examples, each entry point in its own
# child interpreter (tests/test_fuzz.py), then a summary of the inputs tried, the calls
# made, their outcomes and the children's peak memory.
#
# Usage: tools/fuzz_long.sh [examples per test, default 20000]
# _plov must be importable, e.g. PYTHONPATH=build-dev:src tools/fuzz_long.sh
set -euo pipefail
cd "$(dirname "$0")/.."
examples=${1:-20000}
# a fresh seed every run (printed at the end; PLOV_FUZZ_SEED=N repeats a run)
export PLOV_FUZZ_SEED=${PLOV_FUZZ_SEED:-random}
stats=$(mktemp)
trap 'rm -f "$stats"' EXIT
start=$SECONDS
status=0
PLOV_FUZZ_EXAMPLES=$examples PLOV_FUZZ_STATS=$stats python -m pytest -q -p no:cacheprovider tests/test_fuzz.py || status=$?
python - "$stats" $((SECONDS - start)) <<'PY'
import json, sys
from collections import Counter
rows = [json.loads(line) for line in open(sys.argv[1])]
total = Counter()
for r in rows:
    total.update({k: v for k, v in r.items() if isinstance(v, int) and k != "peak_rss_kb"})
peak = max((r["peak_rss_kb"] for r in rows), default=0)
print(f"{len(rows)} fuzz tests in {int(sys.argv[2])} s: {total['examples']} inputs tried, {total['calls']} calls made")
print("outcomes:", ", ".join(f"{k} {v}" for k, v in sorted(total.items()) if k not in ("examples", "calls")))
print(f"peak resident memory of a fuzzing child: {peak / 1024:.0f} MiB")
PY
exit $status
