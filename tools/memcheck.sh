#!/usr/bin/env bash
# Runs tools/memcheck_run.py under valgrind's memcheck, with the interpreter's small-object
# allocator replaced by malloc (PYTHONMALLOC=malloc) so that every Python allocation is
# checked too. Fails when valgrind reports an error (invalid read or write, use of
# uninitialised memory, bad free) or a definite leak whose stack passes through the
# module; the interpreter's and its libraries' own records are counted and ignored.
#
# Usage: tools/memcheck.sh     with _plov importable by $PLOV_PYTHON (default: python), e.g.
#        PYTHONPATH=build-dev:src tools/memcheck.sh
# Takes about 20 s; installs valgrind from Debian when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
py=$("${PLOV_PYTHON:-python}" -c 'import sys; print(sys.executable)')
start=$SECONDS
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=30 --log-file="$log" "$py" tools/memcheck_run.py
"$py" - "$log" $((SECONDS - start)) <<'PY'
import re, sys
text = open(sys.argv[1]).read()
ours = re.compile(r"_plov[.\w-]*\.so|plov::|/src/(python|kernel)/")
records, current = [], []
for line in text.splitlines():
    body = re.sub(r"^==\d+== ?", "", line)
    if body.strip():
        current.append(body)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)
kinds = re.compile(r"^(Invalid |Conditional jump|Use of uninitialised|Syscall param|Mismatched free|"
                   r"Source and destination overlap|Argument .* of function)|definitely lost")
faults = [r for r in records if kinds.search(r[0]) and any(ours.search(l) for l in r)]
others = [r for r in records if kinds.search(r[0]) and r not in faults]
for r in faults:
    print("\n".join(r), end="\n\n")
summary = [l for r in records for l in r if l.startswith("ERROR SUMMARY")]
print(f"memcheck: {int(sys.argv[2])} s, {len(faults)} records from the module, "
      f"{len(others)} records of the interpreter and its libraries ignored; {summary[-1] if summary else ''}")
sys.exit(1 if faults else 0)
PY
