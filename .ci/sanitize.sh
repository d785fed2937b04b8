#!/usr/bin/env bash
# Builds _plov with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) into a directory
# of its own and runs the whole test suite against that build, with the sanitizer runtime
# preloaded into the interpreter. Fails on a failing test, on any sanitizer error (memory
# error, undefined behaviour) and on any leak whose allocation stack passes through the
# module; the interpreter's and NumPy's own blocks left at exit are ignored
# (tools/sanitizer_report.py).
#
# Usage: .ci/sanitize.sh [pytest arguments]        (default: the whole suite)
# Environment:
#   PLOV_PYTHON          interpreter that has the test dependencies (default: a virtual
#                        environment made here, with the `test` extra of pyproject.toml)
#   PLOV_SANITIZE_DIR    build, environment and report directory (default: build-sanitize)
#   PLOV_FUZZ_EXAMPLES   examples per fuzz test (default here: 25)
#   PLOV_LEAK_CALLS      calls per leak loop (default here: 300)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${PLOV_SANITIZE_DIR:-$root/build-sanitize}
mkdir -p "$out"
start=$SECONDS

# gcc and its sanitizer runtimes, from Debian when missing (g++ brings libasan and libubsan)
runtime() { g++ -print-file-name="$1" 2>/dev/null || true; }
if ! command -v g++ >/dev/null || [ ! -e "$(runtime libasan.so)" ] || [ ! -e "$(runtime libubsan.so)" ]; then
    echo "installing g++ and the sanitizer runtimes"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
fi
libasan=$(runtime libasan.so)
libstdcxx=$(runtime libstdc++.so)

# the interpreter and the test dependencies
if [ -n "${PLOV_PYTHON:-}" ]; then
    py=$PLOV_PYTHON
else
    venv="$out/venv"
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
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOV_SANITIZE=ON >"$out/configure.log"
cmake --build "$out/build" >"$out/build.log" || { cat "$out/build.log"; exit 1; }
# the package as in the source tree, with the instrumented plov._native inside it
rm -rf "$out/pkg"
mkdir -p "$out/pkg"
cp -r "$root/src/plov" "$out/pkg/plov"
cp "$out"/build/_native*.so "$out/pkg/plov/"
echo "sanitized build ready after $((SECONDS - start)) s"

# the run: every child interpreter that the tests start inherits the same settings
logs="$out/reports"
rm -rf "$logs"
mkdir -p "$logs"
status=0
(
    # libstdc++ is preloaded too, so that the runtime finds the C++ throw it intercepts
    export LD_PRELOAD="$libasan $libstdcxx"
    export PYTHONMALLOC=malloc
    # exitcode=0: a sanitizer ends a process at its first error, but the verdict comes
    # from the report check below, so that the interpreter's own leaks at exit (and the
    # rare crash of the leak checker's own thread-stopping helper) fail no child process.
    # Allocations above 2 GiB fail (MemoryError) instead of being paged in. Full
    # unwinding on malloc lets a leaked object made by the module through the
    # interpreter (a tuple, an array) be traced back to it.
    export ASAN_OPTIONS="detect_leaks=1:exitcode=0:abort_on_error=0:allocator_may_return_null=1:max_allocation_size_mb=2048:fast_unwind_on_malloc=0:malloc_context_size=10:log_path=$logs/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
    export PLOV_SANITIZED=1
    export PLOV_FUZZ_EXAMPLES=${PLOV_FUZZ_EXAMPLES:-25}
    export PLOV_LEAK_CALLS=${PLOV_LEAK_CALLS:-300}
    export PYTHONPATH="$out/build:$out/pkg${PYTHONPATH:+:$PYTHONPATH}"
    "$py" -c "import _plov, plov._native as n, sys; f = _plov.__file__; print('sanitized _plov from', f); sys.exit(not (f.startswith('$out/build') and n.__file__.startswith('$out/pkg')))"
    "$py" -m pytest -q -p no:cacheprovider "$@"
) || status=$?
"$py" tools/sanitizer_report.py "$logs" || status=1
echo "sanitizer stage: $((SECONDS - start)) s, status $status"
exit $status
