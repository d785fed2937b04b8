"""Absurd sizes: counts near the top of their range, point counts beyond the 32-bit
graph limit, arrays whose byte sizes overflow. Each must give the documented failure or
MemoryError, never a crash or an allocation that takes the machine's memory.

The calls run in a child interpreter whose address space is capped, so that an
allocation of legitimate but huge size fails at once instead of being paged in."""

import json
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

SANITIZED = bool(os.environ.get("PLOV_SANITIZED"))
MEMORY_CAP = 4 * 2**30

SHAPE = "ndarray: Shape too large, product of non-zero axis lengths overflows isize"
CAPACITY = "capacity overflow"

PRELUDE = textwrap.dedent(
    """
    import json, sys
    from collections.abc import Sequence
    import numpy as np
    import _plov

    def huge(shape, dtype):
        # a read-only view of one element repeated through zero strides: any size, no memory
        return np.broadcast_to(np.zeros((1,) * len(shape), dtype), shape)

    def csr(lists):
        ip = np.zeros(len(lists) + 1, np.uint32)
        ip[1:] = np.cumsum([len(l) for l in lists])
        return ip, np.array([v for l in lists for v in l], np.uint32)

    def chain(n):
        return csr([[v for v in (i - 1, i + 1) if 0 <= v < n] for i in range(n)])

    def cloud(n, dtype=np.float64):
        p = np.zeros((n, 3), dtype)
        p[:, 0] = np.arange(n)
        return p

    def outcome(f):
        try:
            r = f()
        except MemoryError:
            return ["MemoryError", ""]
        except BaseException as e:
            return [type(e).__name__, str(e)]
        arrays = r if isinstance(r, tuple) else (r,)
        return ["ok", [[list(a.shape), a.tolist() if a.size < 64 else None] if hasattr(a, "shape") else repr(a)
                       for a in arrays]]
    """
)


def cap_memory():
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))


def run_capped(setup, cases):
    """Evaluates every expression of `cases` in one memory-capped child after `setup`;
    returns {expression: [kind, detail]} where kind is "ok", "MemoryError" or the name of
    the exception raised (detail: result shapes and small values, or the message)."""
    script = "\n".join(
        [
            PRELUDE,
            textwrap.dedent(setup),
            f"CASES = {list(cases)!r}",
            "print(json.dumps([outcome(lambda c=c: eval(c)) for c in CASES]))",
        ]
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=300, preexec_fn=cap_memory
    )
    assert out.returncode == 0, f"child died ({out.returncode}):\n{out.stdout[-3000:]}\n{out.stderr[-3000:]}"
    return dict(zip(cases, json.loads(out.stdout.strip().splitlines()[-1])))


def panic(message):
    return ["PanicException", message]


SETUP = """
t64 = _plov.PreparedF64(cloud(5), *chain(5))
t32 = _plov.PreparedF32(cloud(5, np.float32), *chain(5))
x64, x32 = cloud(3), cloud(3, np.float32)
xi, xn = chain(3)
one_ip, no_nb = np.array([0, 0], np.uint32), np.zeros(0, np.uint32)
empty_ip = np.zeros(1, np.uint32)
"""


def test_k_near_the_top_of_its_range():
    k_calls = {
        "t64.query_k(x64, xi, xn, {k}, 4)": "t64",
        "t32.query_k(x32, xi, xn, {k}, 4)": "t32",
        "t64.query_prepared_k(t64, {k}, 4)": "t64 self",
        "_plov.all_nearest_neighbours_k(x64, xi, xn, cloud(5), *chain(5), {k}, 4)": "ann_k",
        "_plov.all_nearest_neighbours_k_f32(x32, xi, xn, cloud(5, np.float32), *chain(5), {k}, 4)": "ann_k_f32",
    }
    cases = {}
    for call in k_calls:
        # three or five query rows: the element count itself overflows
        for k in (2**62, 2**63 - 1, 2**63, 2**64 - 1):
            cases[call.format(k=k)] = panic(SHAPE)
    # one query row: the element count fits, its byte size does not, or no memory holds it
    cases["t64.query_k(x64[:1], one_ip, no_nb, 2**62, 4)"] = panic(CAPACITY)
    cases["t32.query_k(x32[:1], one_ip, no_nb, 2**62, 4)"] = panic(CAPACITY)
    cases["t64.query_k(x64[:1], one_ip, no_nb, 2**59, 4)"] = ["MemoryError", ""]
    cases["t32.query_k(x32[:1], one_ip, no_nb, 2**58, 4)"] = ["MemoryError", ""]
    got = run_capped(SETUP, cases)
    assert got == cases


def test_ef_near_the_top_of_its_range():
    small = "t64.query_k(x64, xi, xn, 2, {ef})"
    cases = [small.format(ef=ef) for ef in (2**57, 2**60, 2**63 - 1, 2**64 - 1)]
    cases += [
        "t32.query_prepared_k(t32, 2, 2**64 - 1)",
        "_plov.all_nearest_neighbours_k(x64, xi, xn, cloud(5), *chain(5), 2, 2**63)",
        # without a bound the scratch is sized even for an empty query
        "t64.query_k(x64[:0], empty_ip, no_nb, 2, 2**57)",
        # the largest ef that is not refused: its list is never filled, as with any ef
        # above the target's size
        small.format(ef=2**57 - 1),
        small.format(ef=1000),
        # under a bound an empty query, or a rejected cloud, returns before any scratch
        "t64.query_k(x64[:0], empty_ip, no_nb, 2, 2**64 - 1, 1.0)",
        "t64.query_k(x64 + 100, xi, xn, 2, 2**64 - 1, 1.0)",
    ]
    got = run_capped(SETUP, cases)
    for c in cases[:7]:
        assert got[c] == panic(CAPACITY), c
    assert got[cases[7]][0] == "ok" and got[cases[7]] == got[cases[8]]
    assert got[cases[9]] == ["ok", [[[0, 2], []], [[0, 2], []]]]
    assert got[cases[10]] == ["ok", [[[3, 2], [[np.inf] * 2] * 3], [[3, 2], [[5, 5]] * 3]]]


def test_block_near_2_to_the_62():
    setup = SETUP + "\ng64 = _plov.GroupedQueriesF64.prepare([t64, t64], [None, None])\n"
    setup += "g0 = _plov.GroupedQueriesF32.prepare([], [])\n"
    refused = [
        "t64.query_prepared_blocked(t64, 2**62)",
        "t32.query_prepared_blocked(t32, 2**63)",
        "t64.query_prepared_blocked(t64, 2**64 - 1)",
        "t64.query_grouped(g64, None, 2**62)",
        "t64.query_grouped(g64, None, 2**64 - 1, finalize=False)",
    ]
    accepted = {
        # scratch is sized by the slots a block can hold, so a huge block is one block
        "t64.query_prepared_blocked(t64, 2**62 - 1)": "t64.query_prepared_blocked(t64, 5)",
        "t64.query_grouped(g64, None, 2**62 - 1)": "t64.query_grouped(g64, None, 10)",
        # nothing to descend: no failure whatever the block
        "t32.query_grouped(g0, None, 2**64 - 1)": "t32.query_grouped(g0, None, 1)",
        "t64.query_prepared_blocked(_plov.PreparedF64(cloud(0), empty_ip, no_nb), 2**64 - 1)": (
            "t64.query_prepared_blocked(_plov.PreparedF64(cloud(0), empty_ip, no_nb), 1)"
        ),
    }
    got = run_capped(setup, refused + list(accepted) + list(accepted.values()))
    for c in refused:
        assert got[c] == panic(CAPACITY), c
    for c, same in accepted.items():
        assert got[c][0] == "ok" and got[c] == got[same], c


def test_n_points_beyond_the_32_bit_limit():
    row = "np.array([[0, 1, 2, 3]], np.uint64)"
    cases = {
        f"_plov.graph_from_simplices({row}, 2**32)": panic(
            "graph_from_simplices: 4294967296 points exceeds the u32 CSR limit of 4294967295"
        ),
        "_plov.graph_from_simplices(np.zeros((0, 4), np.uint64), 2**64 - 1)": panic(
            "graph_from_simplices: 18446744073709551615 points exceeds the u32 CSR limit of 4294967295"
        ),
        "_plov.graph_from_simplices(np.zeros((0, 4), np.uint64), 2**64)": ["OverflowError", "int too big to convert"],
    }
    # At the limit the graph itself needs gigabytes: built, or refused with MemoryError.
    at_limit = [
        "_plov.graph_from_simplices(np.zeros((0, 4), np.uint64), 2**32 - 1)",
        "_plov.graph_from_simplices(np.array([[0, 1, 2, 2**32]], np.uint64), 2**32 - 1)",
    ]
    got = run_capped("", list(cases) + at_limit)
    for c, want in cases.items():
        assert got[c] == want, c
    assert got[at_limit[0]][0] in ("ok", "MemoryError")
    assert got[at_limit[1]] in (
        ["MemoryError", ""],
        panic("index out of bounds: the len is 4294967295 but the index is 4294967296"),
    )


def test_arrays_whose_byte_sizes_overflow():
    cases = {
        # packing: records of 16 or 32 bytes for 2^59 or 2^58 rows overflow; 2^40 rows do not fit
        "_plov.PreparedF32(huge((2**59, 3), np.float32), empty_ip, no_nb)": panic(CAPACITY),
        "_plov.PreparedF64(huge((2**58, 3), np.float64), empty_ip, no_nb)": panic(CAPACITY),
        "_plov.PreparedF64(huge((2**40, 3), np.float64), empty_ip, no_nb)": ["MemoryError", ""],
        "t64.query(huge((2**40, 3), np.float64), empty_ip, no_nb)": ["MemoryError", ""],
        "_plov.all_nearest_neighbours_f32(x32, xi, xn, huge((2**59, 3), np.float32), xi, xn)": panic(CAPACITY),
        # graph copies and per-vertex scratch
        "_plov.PreparedF64(x64, huge((2**61 - 1,), np.uint32), no_nb)": panic(CAPACITY),
        "_plov.PreparedF64(x64, xi, huge((2**40,), np.uint32))": ["MemoryError", ""],
        "t64.query(x64, huge((2**61 - 1,), np.uint32), xn)": panic(CAPACITY),
        "t64.query(x64, huge((2**40,), np.uint32), xn)": ["MemoryError", ""],
        "t64.query_k(x64, huge((2**61 - 1,), np.uint32), xn, 1, 1)": panic(CAPACITY),
        "t64.query_k(x64, huge((2**61 - 1,), np.uint32), xn, 8, 1)": panic(SHAPE),
        "t64.query_k(x64, huge((2**40,), np.uint32), xn, 1, 1)": ["MemoryError", ""],
        "_plov.all_nearest_neighbours(x64, huge((2**40,), np.uint32), xn, x64, xi, xn)": ["MemoryError", ""],
    }
    got = run_capped(SETUP, cases)
    assert got == cases
    # 2^28 copies of one tetrahedron: the graph of one tetrahedron, or MemoryError for
    # the edge lists before de-duplication; never a crash
    tets = "_plov.graph_from_simplices(huge((2**28, 4), np.uint64) + np.arange(4, dtype=np.uint64), 4)"
    got = run_capped("", [tets])[tets]
    assert got in (["MemoryError", ""], ["ok", [[[5], [0, 3, 6, 9, 12]], [[12], [1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2]]]])


LYING = """
class Lying(Sequence):
    # a sequence whose length hint is far larger than its content
    def __init__(self, items, n):
        self.items, self.n = items, n
    def __len__(self):
        return self.n
    def __getitem__(self, i):
        return self.items[i]
    def __iter__(self):
        return iter(self.items)
p = _plov.PreparedF64(cloud(2), *chain(2))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime aborts on a failed operator new instead of throwing")
def test_sequence_with_a_huge_length_hint_is_no_crash():
    cases = [
        "_plov.GroupedQueriesF64.prepare(Lying([p], 2**40), [])",
        "_plov.GroupedQueriesF64.prepare([p], Lying([None], 2**40))",
    ]
    for c, got in run_capped(LYING, cases).items():
        assert got[0] in ("ok", "MemoryError"), (c, got)


def test_sequence_length_hint_beyond_the_address_space():
    cases = [
        "_plov.GroupedQueriesF64.prepare(Lying([p], 2**60), [None])",
        "_plov.GroupedQueriesF64.prepare([p], Lying([None], 2**62))",
    ]
    for c, got in run_capped(LYING, cases).items():
        assert got[0] == "ok" or got == ["MemoryError", ""], (c, got)


def test_empty_query_with_k_whose_byte_size_overflows():
    cases = [
        "t64.query_k(x64[:0], empty_ip, no_nb, 2**60, 1)",
        "t32.query_prepared_k(_plov.PreparedF32(x32[:0], empty_ip, no_nb), 2**62, 1)",
        "_plov.all_nearest_neighbours_k(x64[:0], empty_ip, no_nb, x64, xi, xn, 2**63 - 1, 1)",
    ]
    for c, got in run_capped(SETUP, cases).items():
        assert got[0] in ("ok", "MemoryError") or got in (panic(CAPACITY), panic(SHAPE)), (c, got)
