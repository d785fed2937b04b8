"""Runs the property-based fuzzing of every entry point (fuzz_entry_points.py) in child
interpreters, one per entry point: a crash or a hang then fails that entry point's test
instead of ending the whole run. PLOV_FUZZ_EXAMPLES sets the examples per test (and
tools/fuzz_long.sh makes a long run); the children draw from the run's seed (conftest.py)."""

import itertools
import os
import re
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
    again = f"PLOV_FUZZ_SEED={os.environ.get('PLOV_FUZZ_SEED')} PLOV_FUZZ_EXAMPLES={EXAMPLES}"
    try:
        out = subprocess.run(cmd, cwd=HERE.parent, capture_output=True, text=True, timeout=timeout,
                             preexec_fn=cap_memory)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{name}: the fuzzing child hung for {timeout:.0f} s (reproduce with {again})\n{(e.stdout or '')[-4000:]}")
    if out.returncode != 0:
        how = f"killed by signal {-out.returncode}" if out.returncode < 0 else f"exit status {out.returncode}"
        pytest.fail(f"{name}: {how} (reproduce with {again})\n{out.stdout[-6000:]}\n{out.stderr[-3000:]}")


# ---- the oracle knows every message of the native modules ----------------------------

RAISERS = re.compile(r"\b(fail|raise|raise_panic|set_panic|PyErr_SetString|PyErr_Format)\s*\(")
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')


def call_arguments(text, start):
    """The top-level arguments of the call whose opening parenthesis is at `start`."""
    args, depth, piece, i = [], 0, "", start + 1
    while True:
        c = text[i]
        if c == '"':
            end = LITERAL.match(text, i).end()
            piece, i = piece + text[i:end], end
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                return args + [piece.strip()]
            depth -= 1
        elif c == "," and depth == 0:
            args, piece, i = args + [piece.strip()], "", i + 1
            continue
        piece, i = piece + c, i + 1


def message_shapes(expr, printf):
    """The literal pieces of a message expression, with None for every computed piece
    between them; no shape when the message holds no literal at all."""
    parts = []
    expr = re.sub(r'std::string\(("(?:[^"\\]|\\.)*")\)', r"\1", expr)
    for term in re.split(r"\s\+\s", expr):
        literals = LITERAL.findall(term)
        if literals and LITERAL.sub("", term).strip() == "":
            text = "".join(literals).encode().decode("unicode_escape")
            if printf:
                for k, piece in enumerate(re.split(r"%[a-z]+", text)):
                    parts += ([None] if k else []) + [piece]
            else:
                parts.append(text)
        else:
            parts.append(None)
    return parts if any(p is not None for p in parts) else None


def native_messages():
    """(place, shape) of every message that the native sources raise with literal text."""
    root = HERE.parent / "src"
    for path in sorted([*root.glob("python/*.[ch]pp"), *root.glob("kernel/**/*.[ch]pp")]):
        text = path.read_text()
        for m in RAISERS.finditer(text):
            name = m.group(1)
            args = call_arguments(text, m.end() - 1)
            expr = args[1] if name in ("raise", "PyErr_SetString", "PyErr_Format") and len(args) > 1 else args[0]
            shape = message_shapes(expr, printf=name == "PyErr_Format")
            if shape:
                line = text.count("\n", 0, m.start()) + 1
                yield f"{path.relative_to(HERE.parent)}:{line}", shape


def documented(shape, patterns):
    """True when some filling of the computed pieces gives a documented message."""
    fillers = ["0", "x", "'x'", "f()", "PreparedF64"]
    holes = shape.count(None)
    for values in itertools.product(fillers, repeat=holes):
        it = iter(values)
        text = "".join(p if p is not None else next(it) for p in shape)
        if any(re.fullmatch(p, text) for p in patterns):
            return True
    return False


def test_every_native_message_is_documented():
    sys.path.insert(0, str(HERE))
    try:
        from fuzz_entry_points import DOCUMENTED
    finally:
        sys.path.remove(str(HERE))
    found = list(native_messages())
    assert len(found) > 40  # the scan sees the sources
    missing = [f"{place}: {shape}" for place, shape in found if not documented(shape, DOCUMENTED)]
    assert not missing, "messages missing from the oracle:\n" + "\n".join(missing)
