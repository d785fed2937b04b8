#!/usr/bin/env bash
# Builds both extension modules with a sanitizer (gcc) into a directory of its own and runs
# tests against that build, with the sanitizer runtime preloaded into the interpreter.
# The verdict comes from the report files (tools/sanitizer_report.py): any memory error,
# undefined behaviour or data race with a frame in the module fails, as does a failing
# test, and any leak whose allocation stack passes through the module. The interpreter
# and NumPy are not instrumented: their own blocks left at exit are ignored, and their
# accesses are invisible to the race detector (which sees the interpreter lock through
# the pthread calls it intercepts).
#
# Usage: .ci/sanitize.sh KIND [pytest arguments]
#   KIND address   AddressSanitizer and UndefinedBehaviorSanitizer (default: the whole suite)
#   KIND thread    ThreadSanitizer (default: the tests that call the kernel from many
#                  threads at once, see below)
# Environment:
#   PLOV_PYTHON          interpreter that has the test dependencies (default: a virtual
#                        environment made here, with the `test` extra of pyproject.toml)
#   PLOV_SANITIZE_DIR    build, environment and report directory (default: build-sanitize)
#   PLOV_FUZZ_EXAMPLES   examples per fuzz test (default here: 25)
#   PLOV_LEAK_CALLS      calls per leak loop (default here: 300)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
kind=${1:-}
case "$kind" in
    address) runtimes=(libasan.so libubsan.so) cmake_option=PLOV_SANITIZE ;;
    thread) runtimes=(libtsan.so) cmake_option=PLOV_TSAN ;;
    *) echo "usage: .ci/sanitize.sh address|thread [pytest arguments]" >&2; exit 2 ;;
esac
shift
top=${PLOV_SANITIZE_DIR:-$root/build-sanitize}
out="$top/$kind"
mkdir -p "$out"
start=$SECONDS

# gcc and its sanitizer runtimes, from Debian when missing (g++ brings them all)
runtime() { g++ -print-file-name="$1" 2>/dev/null || true; }
missing=0
command -v g++ >/dev/null || missing=1
for lib in "${runtimes[@]}"; do [ -e "$(runtime "$lib")" ] || missing=1; done
if [ $missing = 1 ]; then
    echo "installing g++ and the sanitizer runtimes"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
fi

# the interpreter and the test dependencies (one environment for both kinds)
if [ -n "${PLOV_PYTHON:-}" ]; then
    py=$(command -v "$PLOV_PYTHON")
else
    venv="$top/venv"
    [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
    py="$venv/bin/python"
    mapfile -t deps < <("$py" -c '
import tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]
print("\n".join(d for d in extras if not d.startswith("mypy")))')
    "$py" -m pip install -q --upgrade pip
    "$py" -m pip install -q "numpy>=2" "${deps[@]}"
fi
export PATH="$(dirname "$py"):$PATH"
command -v cmake >/dev/null || "$py" -m pip install -q cmake
generator=()
if command -v ninja >/dev/null || "$py" -m pip install -q ninja; then generator=(-G Ninja); fi

# the sanitized build
cmake -S . -B "$out/build" "${generator[@]}" -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -D$cmake_option=ON >"$out/configure.log"
cmake --build "$out/build" >"$out/build.log" || { cat "$out/build.log"; exit 1; }
# the package as in the source tree, with the instrumented plov._native inside it
rm -rf "$out/pkg"
mkdir -p "$out/pkg"
cp -r "$root/src/plov" "$out/pkg/plov"
cp "$out"/build/_native*.so "$out/pkg/plov/"
echo "$kind-sanitized build ready after $((SECONDS - start)) s"

# the run: every child interpreter that the tests start inherits the same settings
logs="$out/reports"
rm -rf "$logs"
mkdir -p "$logs"
status=0
(
    if [ "$kind" = address ]; then
        # libstdc++ is preloaded too, so that the runtime finds the C++ throw it intercepts
        export LD_PRELOAD="$(runtime libasan.so) $(runtime libstdc++.so)"
        export PYTHONMALLOC=malloc
        # exitcode=0: a sanitizer ends a process at its first error, but the verdict
        # comes from the report check below, so that the interpreter's own leaks at exit
        # (and the rare crash of the leak checker's own thread-stopping helper) fail no
        # child process. Allocations above 2 GiB fail (MemoryError) instead of being
        # paged in. Full unwinding on malloc lets a leaked object made by the module
        # through the interpreter (a tuple, an array) be traced back to it.
        export ASAN_OPTIONS="detect_leaks=1:exitcode=0:abort_on_error=0:allocator_may_return_null=1:max_allocation_size_mb=2048:fast_unwind_on_malloc=0:malloc_context_size=10:log_path=$logs/asan"
        # UndefinedBehaviorSanitizer is a runtime of its own (libubsan) beside
        # AddressSanitizer's, each with its own report file. Its start-up sets the report
        # path through an exported function that resolves to AddressSanitizer's copy
        # (the first loaded), so log_path in UBSAN_OPTIONS moves AddressSanitizer's log
        # (kept where it is here) while UndefinedBehaviorSanitizer goes on writing to
        # standard error. The sitecustomize module below therefore sets libubsan's own
        # path in every interpreter. A halt ends the process with status 99.
        export LD_PRELOAD="$LD_PRELOAD $(runtime libubsan.so)"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=99:log_path=$logs/asan"
        export PLOV_UBSAN_LIB="$(runtime libubsan.so)" PLOV_UBSAN_LOG="$logs/ubsan"
        mkdir -p "$out/site"
        cat >"$out/site/sitecustomize.py" <<'PY'
import ctypes, os
ctypes.CDLL(os.environ["PLOV_UBSAN_LIB"]).__sanitizer_set_report_path(os.environ["PLOV_UBSAN_LOG"].encode())
PY
        export PYTHONPATH="$out/site${PYTHONPATH:+:$PYTHONPATH}"
        export PLOV_FUZZ_EXAMPLES=${PLOV_FUZZ_EXAMPLES:-25}
        export PLOV_LEAK_CALLS=${PLOV_LEAK_CALLS:-300}
    else
        export LD_PRELOAD="$(runtime libtsan.so)"
        # Every report is kept (halt_on_error=0, exitcode=0) and judged below: races
        # inside the interpreter (whose accesses the runtime does not see) are not the
        # module's. report_signal_unsafe=0: the interpreter's signal handlers call
        # functions the runtime deems unsafe there, by design.
        export TSAN_OPTIONS="halt_on_error=0:exitcode=0:report_signal_unsafe=0:history_size=4:log_path=$logs/tsan"
        # By default the tests that run the kernel on many threads at once over shared
        # objects, the package's thread pools, and builds of one cloud on several threads: about 4 minutes on a busy 2-core
        # machine (the whole of test_threads.py and test_stress.py takes over 15). Left
        # out: the tests whose writer thread changes arrays during calls, which race on
        # purpose (the contract forbids it; they check that the module stays safe), and
        # the long calls that time the interpreter lock.
        if [ $# -eq 0 ]; then
            set -- tests/test_threads.py::test_concurrent_calls_on_shared_objects_equal_serial \
                tests/test_stress.py::test_every_entry_point_from_many_threads_equals_serial \
                tests/test_index.py::test_chunks_cover_every_query tests/test_index.py::test_long_rows \
                tests/test_neighbourhoods.py::test_query_self_in_many_calls_and_shares \
                tests/test_package.py::test_all_by_all_matches_trees \
                "tests/test_delaunay.py::test_any_number_of_threads_builds_the_same_bytes[random]" \
                "tests/test_delaunay.py::test_any_number_of_threads_builds_the_same_bytes[grid]" \
                "tests/test_delaunay.py::test_any_number_of_threads_builds_the_same_bytes[plane]" \
                "tests/test_delaunay.py::test_any_number_of_threads_builds_the_same_bytes[duplicates]"
        fi
    fi
    export PLOV_SANITIZED=1
    export PYTHONPATH="$out/build:$out/pkg${PYTHONPATH:+:$PYTHONPATH}"
    "$py" -c "import _plov, plov._native as n, sys; f = _plov.__file__; print('sanitized _plov from', f); sys.exit(not (f.startswith('$out/build') and n.__file__.startswith('$out/pkg')))" || {
        echo "the sanitized modules are not the ones imported (an installed plov shadows them?)" >&2
        exit 1
    }
    "$py" -m pytest -q -p no:cacheprovider "$@"
) || status=$?
"$py" tools/sanitizer_report.py "$logs" || status=1
echo "$kind-sanitizer stage: $((SECONDS - start)) s, status $status"
exit $status
