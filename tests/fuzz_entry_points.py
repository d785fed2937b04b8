"""Property-based fuzzing of every entry point of `_plov`.

Run through tests/test_fuzz.py, which starts this module in a child interpreter, so that a
crash fails one test instead of killing the whole run. Every call made here must either
return results of the documented shape and dtype (checked against an independent model
where one is cheap) or raise the documented exception with a message from the documented
set; input arrays must never be written to.

Environment:
  PLOV_FUZZ_EXAMPLES  examples per test (default 100)
  PLOV_FUZZ_STATS     if set, a file to which each test appends one JSON line of counts
"""

import json
import os
import re
import resource
import warnings
from collections import Counter
from collections.abc import Sequence

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _plov

EXAMPLES = int(os.environ.get("PLOV_FUZZ_EXAMPLES", "100"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)

U32_MAX = 2**32 - 1

# ---- the documented failures ------------------------------------------------------

INDEX = r"index out of bounds: the len is \d+ but the index is \d+"
RANGES = [
    r"range start index \d+ out of range for slice of length \d+",
    r"range end index \d+ out of range for slice of length \d+",
    r"slice index starts at \d+ but ends at \d+",
]
PACKING = ["ndarray: index out of bounds", "capacity overflow"]
DESCENT = PACKING + [INDEX, "contiguous CSR indptr", "contiguous CSR neighbours"] + RANGES
KNN = PACKING + [
    INDEX,
    "assertion failed: start <= axis_len",
    "assertion failed: end <= axis_len",
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize",
]
# Prepared graphs are contiguous, so the blocked descent never meets the contiguity tests.
BLOCKED = ["capacity overflow", INDEX] + RANGES
# A query permutation that repeats a position is met while the results are scattered back.
GROUPED = BLOCKED + ["contiguous target perm", r"query_perms\[\d+\] is not a permutation of the cloud's \d+ points"]
PREPARE = ["contiguous perm"]
SIMPLICES = [
    r"graph_from_simplices: \d+ points exceeds the u32 CSR limit of 4294967295",
    "ndarray: index out of bounds",
    INDEX,
    r"graph_from_simplices: edge count exceeds u32: TryFromIntError\(PosOverflow\)",
    # only when another thread rewrites the array during the call
    "graph_from_simplices: simplices changed during the call",
]

TYPE_ERRORS = [
    r"'[\w.]+' object is not an instance of '(ndarray|bool|Sequence|PreparedF32|PreparedF64|"
    r"GroupedQueriesF32|GroupedQueriesF64)'",
    r"'None' is not an instance of '(bool|PreparedF32|PreparedF64|GroupedQueriesF32|GroupedQueriesF64)'",
    r"Can't extract `str` to `Vec`",
    r"object of type '[\w.]+' does not define a '__bool__' conversion",
    # the interpreter's own conversions
    r"'[\w.]+' object cannot be interpreted as an integer",
    r"must be real number, not [\w.]+",
]
OVERFLOW_ERRORS = [
    r"can't convert negative int to unsigned",
    r"int too big to convert",
    r"int too large to convert to float",
    r"Python int too large to convert to C unsigned long",
]

# Failures of `_plov` that no generated input here reaches: a NumPy whose C API does not
# fit, a broken interpreter state, a C++ exception without a message of its own.
ENVIRONMENT = [
    r"Failed to access NumPy array API capsule: .*",
    r"module compiled against ABI version 0x2000000 but this version of numpy is 0x[0-9a-f]+",
    r"module was compiled against NumPy C-API version 0xc \(NumPy 1\.15\) but the running NumPy has "
    r"C-API version 0x[0-9a-f]+",
    "module compiled as little endian, but detected different endianness at runtime",
    r"An error occurred while initializing class \w+",
    "Already mutably borrowed",
    "unknown internal failure",
    "__all__ is not a list",
    r"'[\w.]+' object is not an instance of 'module'",
]

# The failures of plov._native, the package's own extension (its callers in src/plov
# check their arguments first; tests/test_delaunay.py and tests/test_index.py reach these).
NATIVE = [
    "too many points for one triangulation",
    "points must have three columns",
    r"row \d+ has a non-finite coordinate",
    "no point off the plane of a flat cloud could be found",
    "the graph has too many edges for 32-bit offsets",
    "point location did not terminate",
    "the triangulation became inconsistent",
    "threads must be between 1 and 4096",
    "exact search: k must be at least 1",
    "exact search: the target graph is not a consistent CSR graph",
    "must be a writeable, aligned, C-contiguous array",
    "points must have 3 columns",
    r"dists and idx must both have shape \(len\(points\), k\) with k at least 1",
    r"dists and idx must both have shape \(target.n, k\) with k at least 1",
    "first and end must satisfy first <= end <= target.n",
    r"\w+ must be a contiguous int64 array",
    "src and out must be contiguous and out writeable",
    "rows and counts must have one entry per run and indptr at least one",
    "scatter_runs: a run does not fit in src or out",
    "labels must be a contiguous array with one entry per target point",
    "seed must be a target vertex",
    "rows must be contiguous",
    "points: too many rows",
    "axis must be 0, 1 or 2",
    r"'[\w.]+' object is not an instance of 'PreparedF64'",
    "relabel_graph: the graph is not a consistent CSR graph",
    "relabel_graph: the labels are not a permutation",
    "ball search: the target graph is not a consistent CSR graph",
    "starts must be a contiguous array with one entry per row of points",
    "starts must be a contiguous int64 array",
    "starts: too many rows",
    "radii must hold one radius or one per row of points",
]

BINDING = [
    r"[\w.]+\(\) takes (from \d+ to )?\d+ positional arguments? but \d+ (was|were) given",
    r"[\w.]+\(\) got multiple values for argument '\w+'",
    r"[\w.]+\(\) got an unexpected keyword argument '\w+'",
    r"[\w.]+\(\) missing \d+ required positional arguments?: .*",
    r"[\w.()]+ has more parameters than Args can bind",
]

# Every message the native modules can raise (tests/test_fuzz.py checks the sources
# against this list, so a new message must be documented here).
DOCUMENTED = sorted(
    set(DESCENT + KNN + GROUPED + PREPARE + SIMPLICES + TYPE_ERRORS + OVERFLOW_ERRORS + ENVIRONMENT + NATIVE + BINDING)
)

STATS = Counter()

ALL_PARAMS = {
    "points", "indptr", "indices", "x_points", "x_indptr", "x_indices", "x_neighbors", "y_points",
    "y_indices", "y_neighbors", "k", "ef", "block", "distance_upper_bound", "finalize", "other",
    "grouped", "target_perm", "queries", "query_perms", "simplices", "n_points",
}

# Failures outside the documented set that are known and accepted, so that the fuzzing
# goes on past them (none at present).
KNOWN = []


def is_panic(e):
    return type(e).__name__ == "PanicException" and not isinstance(e, Exception)


def message(e):
    return str(e.args[0]) if e.args else ""


def outcome(call, panics, params):
    """Runs `call`; returns ("ok", result) or ("error", exception) after checking that an
    error is one of the documented kinds, with a message from the documented set and (for a
    conversion failure) the note naming one of `params`."""
    STATS["calls"] += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = call()
    except MemoryError as e:
        STATS["MemoryError"] += 1
        return "error", e
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        if is_panic(e):
            STATS["PanicException"] += 1
            text = message(e)
            assert any(re.fullmatch(p, text) for p in panics), f"undocumented failure {text!r}"
            return "error", e
        if isinstance(e, (TypeError, OverflowError)):
            STATS[type(e).__name__] += 1
            check_conversion_error(e, params)
            return "error", e
        for kind, pattern in KNOWN:
            if isinstance(e, kind) and re.fullmatch(pattern, message(e)):
                STATS["known: " + type(e).__name__] += 1
                return "error", e
        raise
    STATS["ok"] += 1
    return "ok", result


# Numbers are converted by the interpreter (and the object's own __index__ or __float__),
# whose error is kept as it is; every other kind raises a message of the module's own.
NUMBER_PARAMS = {"k", "ef", "block", "n_points", "distance_upper_bound"}


def check_conversion_error(e, params):
    notes = getattr(e, "__notes__", [])
    assert len(notes) == 1 and re.fullmatch(r"while processing '(\w+)'", notes[0]), notes
    param = notes[0][len("while processing '") : -1]
    assert param in params, notes
    if param in NUMBER_PARAMS:
        return
    patterns = TYPE_ERRORS if isinstance(e, TypeError) else OVERFLOW_ERRORS
    assert any(re.fullmatch(p, message(e)) for p in patterns), f"undocumented {type(e).__name__} {message(e)!r}"


def snapshot(*objs):
    """Bytes of every array among `objs`, to check afterwards that nothing was written."""
    return [(o, np.array(o, copy=True)) for o in objs if isinstance(o, np.ndarray)]


def assert_unchanged(snap):
    for arr, before in snap:
        assert arr.tobytes() == before.tobytes(), "an input array was modified"


def check_result_array(a, dtype, shape):
    assert type(a) is np.ndarray
    assert a.dtype == dtype, (a.dtype, dtype)
    assert a.shape == shape, (a.shape, shape)
    assert a.flags.c_contiguous and a.flags.writeable


def same_bits(a, b):
    """Element-wise equality that treats NaN as equal to NaN."""
    a, b = np.asarray(a), np.asarray(b)
    return (a == b) | (np.isnan(a) & np.isnan(b))


def distances(points, targets, dtype):
    """sqrt((dx*dx + dy*dy) + dz*dz) in `dtype`, operation by operation as the module does."""
    p = np.asarray(points, dtype)[..., :3]
    t = np.asarray(targets, dtype)[..., :3]
    d = p - t
    return np.sqrt((d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2])


# ---- strategies -------------------------------------------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, 1e30, -1e30, np.inf, -np.inf, np.nan]


@st.composite
def coordinates(draw, dtype, rows, cols):
    width = 32 if dtype == np.float32 else 64
    kind = draw(st.sampled_from(["grid", "uniform", "special"]))
    if kind == "grid":
        # small integers: many exact ties
        values = draw(st.lists(st.integers(-3, 3), min_size=rows * cols, max_size=rows * cols))
        return np.array(values, dtype=dtype).reshape(rows, cols)
    if kind == "uniform":
        seed = draw(st.integers(0, 2**32 - 1))
        return np.random.default_rng(seed).random((rows, cols)).astype(dtype)
    elements = st.one_of(st.sampled_from(SPECIAL), st.floats(width=width))
    values = draw(st.lists(elements, min_size=rows * cols, max_size=rows * cols))
    with np.errstate(over="ignore"):
        return np.array(values, dtype=np.float64).astype(dtype).reshape(rows, cols)


def relayout2d(a, how):
    """The same values as `a` in another memory layout (each keeps a's values)."""
    if how == "c" or a.size == 0 and how != "fortran":
        return a
    if how == "fortran":
        return np.asfortranarray(a)
    if how == "rows_step":
        big = np.full((2 * a.shape[0], a.shape[1]), np.nan, a.dtype)
        big[::2] = a
        return big[::2]
    if how == "rows_reversed":
        return a[::-1].copy()[::-1]
    if how == "cols_reversed":
        return a[:, ::-1].copy()[:, ::-1]
    if how == "wide":
        big = np.full((a.shape[0], a.shape[1] + 2), np.nan, a.dtype)
        big[:, 1:-1] = a
        return big[:, 1:-1]
    if how == "readonly":
        b = a.copy()
        b.setflags(write=False)
        return b
    raise AssertionError(how)


LAYOUTS_2D = ["c", "c", "fortran", "rows_step", "rows_reversed", "cols_reversed", "wide", "readonly"]


@st.composite
def points(draw, dtype, rows=None, max_rows=12):
    """A points array of `dtype`: usually 3 columns, sometimes more or fewer, any layout."""
    if rows is None:
        rows = draw(st.integers(0, max_rows))
    cols = draw(st.sampled_from([3, 3, 3, 3, 4, 5, 2, 0]))
    a = draw(coordinates(dtype, rows, cols))
    how = draw(st.sampled_from(LAYOUTS_2D + ["broadcast"]))
    if how == "broadcast":
        # every row is row 0, through a zero row stride
        return np.broadcast_to(a[:1], a.shape) if rows else a
    return relayout2d(a, how)


def relayout1d(a, how):
    if how == "c" or how == "fortran":
        return a
    if how == "strided":
        big = np.full(2 * len(a), 0xDEADBEEF & np.iinfo(a.dtype).max, a.dtype)
        big[::2] = a
        return big[::2]
    if how == "reversed":
        return a[::-1].copy()[::-1]
    if how == "readonly":
        b = a.copy()
        b.setflags(write=False)
        return b
    if how == "broadcast":
        return np.broadcast_to(a[:1], a.shape) if len(a) else a
    raise AssertionError(how)


LAYOUTS_1D = ["c", "c", "c", "strided", "reversed", "readonly", "broadcast"]
ODD_U32 = [0, 1, 2, 3, 7, 2**16, 2**31 - 1, 2**31, U32_MAX - 1, U32_MAX]


def csr_from_lists(lists):
    indptr = np.zeros(len(lists) + 1, np.uint32)
    indptr[1:] = np.cumsum([len(x) for x in lists])
    nbrs = np.array([v for x in lists for v in x], np.uint32)
    return indptr, nbrs


@st.composite
def csr_graph(draw, n_vertices, n_range):
    """(indptr, neighbours, contiguous): a CSR graph over `n_vertices` vertices whose
    neighbour numbers lie below `n_range`, or a corrupted or arbitrary one."""
    kind = draw(st.sampled_from(["valid", "valid", "valid", "mutated", "garbage", "chain"]))
    if kind == "chain":
        lists = [[v for v in (i - 1, i + 1) if 0 <= v < n_vertices] for i in range(n_vertices)]
        indptr, nbrs = csr_from_lists(lists)
    elif kind in ("valid", "mutated"):
        hi = max(n_range - 1, 0)
        lists = [
            draw(st.lists(st.integers(0, hi), max_size=4)) if n_range else [] for _ in range(n_vertices)
        ]
        indptr, nbrs = csr_from_lists(lists)
        if kind == "mutated":
            target = draw(st.sampled_from(["indptr", "nbrs"]))
            arr = indptr if target == "indptr" or len(nbrs) == 0 else nbrs
            pos = draw(st.integers(0, len(arr) - 1))
            arr[pos] = draw(st.sampled_from(ODD_U32 + [n_range, n_range + 1, len(nbrs), len(nbrs) + 1]))
            if draw(st.booleans()):
                # a length that disagrees with the vertex count
                indptr = indptr[: draw(st.integers(0, len(indptr)))].copy()
    else:
        ip_len = draw(st.integers(0, n_vertices + 3))
        value = st.one_of(st.integers(0, 12), st.sampled_from(ODD_U32))
        indptr = np.array(draw(st.lists(value, min_size=ip_len, max_size=ip_len)), np.uint32)
        nbrs = np.array(draw(st.lists(value, max_size=16)), np.uint32)
    how_ip = draw(st.sampled_from(LAYOUTS_1D))
    how_nb = draw(st.sampled_from(LAYOUTS_1D))
    contiguous = all(
        len(a) < 2 or h in ("c", "readonly") for a, h in ((indptr, how_ip), (nbrs, how_nb))
    )
    return relayout1d(indptr, how_ip), relayout1d(nbrs, how_nb), contiguous


def csr_valid(indptr, nbrs, n_vertices, n_range):
    """True when every offset and neighbour the searches may read is consistent."""
    if len(indptr) != n_vertices + 1:
        return False
    ip = indptr.astype(np.int64)
    if len(ip) and (np.any(np.diff(ip) < 0) or ip[-1] > len(nbrs)):
        return False
    return bool(np.all(nbrs.astype(np.int64) < n_range))


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatLike:
    def __float__(self):
        return 0.75


def wrong_arrays(dtype):
    """Arguments that are not a valid array of `dtype` (one or two dimensions)."""
    return st.sampled_from(
        [
            None,
            3,
            "abc",
            [[0.0, 0.0, 0.0]],
            np.zeros((2, 3), np.int32),
            np.zeros((2, 3), np.float16),
            np.zeros(3, dtype),
            np.zeros((1, 1, 3), dtype),
            np.zeros(4, np.int64),
            np.zeros(4, np.uint64),
            np.zeros(4, np.int32),
            np.zeros(4, np.float32),
            np.zeros((2, 2), np.uint32),
            np.zeros(2, np.dtype(np.uint32).newbyteorder()),
            np.zeros((2, 3), np.dtype(dtype).newbyteorder()),
            np.float64(1.0),
        ]
    )


def maybe_wrong(draw, valid, dtype):
    """Usually `valid`, sometimes an argument of the wrong kind."""
    # (Hypothesis favours the first entry of a sampled list and shrinks towards it.)
    if draw(st.sampled_from([False] * 15 + [True])):
        return draw(wrong_arrays(dtype)), False
    return valid, True


# Unsigned-integer arguments: small, the absurd end of the range, or not valid at all.
# Sizes between about 2^20 and 2^40 are left out: they are legitimate requests for
# gigabytes of results (the limits tests cover that range in a memory-capped child).
SMALL = st.integers(0, 12)
ABSURD = st.sampled_from([2**40, 2**56, 2**57 - 1, 2**57, 2**59, 2**62, 2**63 - 1, 2**63, 2**64 - 1])
NOT_UNSIGNED = st.sampled_from(
    [-1, -(2**70), 2**64, 2**100, 1.5, 2.0, "3", None, b"1", IndexLike(-2), IndexLike(2**64), [1]]
)
UNSIGNED_OK = st.one_of(
    SMALL, SMALL.map(np.uint64), SMALL.map(np.int32), SMALL.map(IndexLike), st.just(True)
)


@st.composite
def unsigned(draw, absurd=True):
    kind = draw(st.sampled_from(["ok"] * 13 + ["absurd"] * 4 + ["wrong"] * 3))
    if kind == "ok" or kind == "absurd" and not absurd:
        return draw(UNSIGNED_OK)
    if kind == "absurd":
        return draw(ABSURD)
    return draw(NOT_UNSIGNED)


BOUNDS = st.sampled_from(["none"] * 4 + ["special"] * 3 + ["float"] * 2 + ["other", "bad"]).flatmap(
    lambda kind: {
        "none": st.none(),
        "special": st.sampled_from([0.5, 0.0, -0.0, 1.0, 2.5, -1.0, 1e-30, 1e300, np.inf, -np.inf, np.nan]),
        "float": st.floats(allow_nan=True),
        "other": st.sampled_from([3, 2**1000, np.float32(0.25), np.float64(1.5), np.int64(2), FloatLike(), IndexLike(1)]),
        "bad": st.sampled_from(["1.0", 1j, [1.0], b"x", np.zeros(2)]),
    }[kind]
)
BOOLS = st.sampled_from([True, False, np.True_, np.False_, 1, 0, None, "yes", np.array(True), 1.0])


def unsigned_value(v):
    """The value an accepted unsigned argument converts to, or None when it is refused."""
    if isinstance(v, (bool, int, np.integer, IndexLike)):
        i = int(v.v) if isinstance(v, IndexLike) else int(v)
        return i if 0 <= i < 2**64 else None
    return None


def bound_value(v):
    if v is None:
        return None
    if isinstance(v, (str, bytes, complex, list)):
        return "bad"  # float() would parse a str; the interpreter's C conversion does not
    try:
        return float(v)
    except (TypeError, OverflowError, ValueError):
        return "bad"


# ---- helpers for the searches -------------------------------------------------------

FLOAT_TYPES = [np.float32, np.float64]


def prepared_class(dtype):
    return _plov.PreparedF32 if dtype == np.float32 else _plov.PreparedF64


def grouped_class(dtype):
    return _plov.GroupedQueriesF32 if dtype == np.float32 else _plov.GroupedQueriesF64


def valid_points(p, dtype):
    return isinstance(p, np.ndarray) and p.ndim == 2 and p.dtype == dtype and (p.shape[0] == 0 or p.shape[1] >= 3)


def check_nearest(res, dtype, nq, query_pts, target_pts, miss_index):
    """Shape, dtype and consistency of a single-nearest result: every answer is at the
    distance it reports, every other entry is the miss marker."""
    assert type(res) is tuple and len(res) == 2
    dists, idx = res
    check_result_array(dists, dtype, (nq,))
    check_result_array(idx, np.uint64, (nq,))
    n_t = len(target_pts)
    hit = idx < n_t
    assert np.all(idx[~hit] == miss_index)
    assert np.all(np.isposinf(dists[~hit]))
    if hit.any():
        q = np.nonzero(hit)[0]
        expect = distances(np.asarray(query_pts)[q], np.asarray(target_pts)[idx[q].astype(np.int64)], dtype)
        assert np.all(same_bits(dists[q], expect)), "a reported distance differs from the reported point's"


def check_knn(res, dtype, nq, k, query_pts, target_pts):
    assert type(res) is tuple and len(res) == 2
    dists, idx = res
    check_result_array(dists, dtype, (nq, k))
    check_result_array(idx, np.uint64, (nq, k))
    n_t = len(target_pts)
    hit = idx < n_t
    assert np.all(idx[~hit] == n_t) and np.all(np.isposinf(dists[~hit]))
    # reported entries form a prefix of each row, without repeats, ascending unless NaN
    assert np.all(hit[:, 1:] <= hit[:, :-1])
    for row_d, row_i, row_hit, q in zip(dists, idx, hit, range(nq)):
        got_i = row_i[row_hit].astype(np.int64)
        assert len(set(got_i.tolist())) == len(got_i)
        got_d = row_d[row_hit]
        if len(got_i):
            expect = distances(np.asarray(query_pts)[q], np.asarray(target_pts)[got_i], dtype)
            assert np.all(same_bits(got_d, expect))
            if not np.isnan(got_d).any():
                assert np.all(got_d[1:] >= got_d[:-1])


def record(name, examples):
    path = os.environ.get("PLOV_FUZZ_STATS")
    if path:
        peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with open(path, "a") as f:
            f.write(json.dumps({"test": name, **STATS, "examples": examples, "peak_rss_kb": peak_kb}) + "\n")


@pytest.fixture(autouse=True)
def stats(request):
    STATS.clear()
    STATS["examples"] = 0
    yield
    record(request.node.name, STATS["examples"])


def tick():
    STATS["examples"] += 1


# ---- the entry points ---------------------------------------------------------------


@st.composite
def cloud_and_graph(draw, dtype, max_rows=12, wrong=True):
    """(points, indptr, neighbours, valid): a cloud with its own graph."""
    pts = draw(points(dtype, max_rows=max_rows))
    rows = pts.shape[0]
    n_vertices = draw(st.sampled_from([rows, rows, rows, max(rows - 1, 0), rows + 1]))
    ip, nb, contiguous = draw(csr_graph(n_vertices, n_vertices))
    valid = valid_points(pts, dtype) and contiguous and n_vertices <= rows and csr_valid(ip, nb, n_vertices, n_vertices)
    if wrong:
        pts, ok_p = maybe_wrong(draw, pts, dtype)
        ip, ok_i = maybe_wrong(draw, ip, dtype)
        nb, ok_n = maybe_wrong(draw, nb, dtype)
        valid = valid and ok_p and ok_i and ok_n
    return pts, ip, nb, valid


@st.composite
def prepared_target(draw, dtype):
    """(object, points, valid): a prepared target, possibly malformed."""
    pts = draw(coordinates(dtype, draw(st.integers(0, 12)), 3))
    ip, nb, contiguous = draw(csr_graph(len(pts), len(pts)))
    obj = prepared_class(dtype)(pts, ip, nb)
    # Prepared graphs copy their arrays contiguously, so the layout does not matter here.
    return obj, pts, csr_valid(ip, nb, len(pts), len(pts))


def nq_of(indptr):
    return len(indptr) - 1


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_constructor(dtype, data):
    tick()
    draw = data.draw
    pts, ip, nb, valid = draw(cloud_and_graph(dtype))
    snap = snapshot(pts, ip, nb)
    kind, res = outcome(lambda: prepared_class(dtype)(pts, ip, nb), PACKING, ("points", "indptr", "indices"))
    assert_unchanged(snap)
    ok_kinds = valid_points(pts, dtype) and all(
        isinstance(a, np.ndarray) and a.ndim == 1 and a.dtype == np.uint32 for a in (ip, nb)
    )
    assert (kind == "ok") == ok_kinds, res
    if kind == "ok":
        assert res.n == len(pts)
        data_ = res.data
        check_result_array(data_, dtype, (len(pts), 3))
        assert data_.tobytes() == np.ascontiguousarray(pts[:, :3]).tobytes() if len(pts) else True
        assert repr(res) == f"{type(res).__name__}(n={len(pts)})"


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_query(dtype, data):
    tick()
    draw = data.draw
    target, tpts, t_valid = draw(prepared_target(dtype))
    x, xi, xn, q_valid = draw(cloud_and_graph(dtype))
    r = draw(BOUNDS)
    snap = snapshot(x, xi, xn)
    kind, res = outcome(lambda: target.query(x, xi, xn, r), DESCENT, ("x_points", "x_indptr", "x_indices", "distance_upper_bound"))
    assert_unchanged(snap)
    rv = bound_value(r)
    if kind == "ok":
        check_nearest(res, dtype, nq_of(xi), x, tpts, len(tpts))
        if rv is None:
            assert np.all(res[1] < len(tpts))
    elif q_valid and t_valid and len(tpts) and rv != "bad":
        raise AssertionError(f"valid input failed: {res!r}")


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_query_k(dtype, data):
    tick()
    draw = data.draw
    target, tpts, t_valid = draw(prepared_target(dtype))
    x, xi, xn, q_valid = draw(cloud_and_graph(dtype))
    k, ef, r = draw(unsigned()), draw(unsigned()), draw(BOUNDS)
    snap = snapshot(x, xi, xn)
    params = ("x_points", "x_indptr", "x_indices", "k", "ef", "distance_upper_bound")
    kind, res = outcome(lambda: target.query_k(x, xi, xn, k, ef, r), KNN + ["capacity overflow"], params)
    assert_unchanged(snap)
    if kind == "ok":
        check_knn(res, dtype, nq_of(xi), unsigned_value(k), x, tpts)


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_query_prepared_and_k(dtype, data):
    tick()
    draw = data.draw
    target, tpts, t_valid = draw(prepared_target(dtype))
    other, opts, o_valid = draw(prepared_target(dtype))
    if draw(st.sampled_from([False] * 9 + [True])):
        other = draw(st.sampled_from([None, 1, prepared_class(np.float32 if dtype == np.float64 else np.float64)(
            np.zeros((1, 3), np.float32 if dtype == np.float64 else np.float64), np.zeros(2, np.uint32), np.zeros(0, np.uint32))]))
    if draw(st.booleans()):
        other, opts, o_valid = target, tpts, t_valid
    r = draw(BOUNDS)
    nq = other.n if isinstance(other, prepared_class(dtype)) else None
    kind, res = outcome(lambda: target.query_prepared(other, r), DESCENT, ("other", "distance_upper_bound"))
    if kind == "ok":
        # the number of query vertices is that of other's graph; find it from the result
        n = len(res[0])
        check_nearest(res, dtype, n, opts[:n] if n <= len(opts) else opts, tpts, len(tpts))
    elif o_valid and t_valid and len(tpts) and nq is not None and bound_value(r) != "bad":
        raise AssertionError(f"valid input failed: {res!r}")

    k, ef = draw(unsigned()), draw(unsigned())
    kind, res = outcome(lambda: target.query_prepared_k(other, k, ef, r), KNN, ("other", "k", "ef", "distance_upper_bound"))
    if kind == "ok":
        n = res[0].shape[0]
        check_knn(res, dtype, n, unsigned_value(k), opts, tpts)


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_query_prepared_blocked(dtype, data):
    tick()
    draw = data.draw
    target, tpts, t_valid = draw(prepared_target(dtype))
    other, opts, o_valid = draw(prepared_target(dtype))
    block, r = draw(unsigned()), draw(BOUNDS)
    args = [other]
    if draw(st.booleans()):
        args.append(block)
    effective = unsigned_value(block) if len(args) == 2 else 8
    kind, res = outcome(
        lambda: target.query_prepared_blocked(*args, distance_upper_bound=r), BLOCKED, ("other", "block", "distance_upper_bound")
    )
    if kind == "ok":
        n = len(res[0])
        miss = len(tpts) if len(tpts) else 0
        check_nearest(res, dtype, n, opts, tpts, miss)
    elif o_valid and t_valid and effective is not None and bound_value(r) != "bad":
        # absurd block sizes fail with "capacity overflow"; nothing else may fail
        assert effective >= 2**62 and message(res) == "capacity overflow", res


class LyingSequence(Sequence):
    """A sequence whose length hint overstates its content by a little."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items) + 3

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


@st.composite
def perm_arrays(draw, n, wrong=False):
    kinds = ["none", "identity", "shuffled", "short", "long", "garbage"] + (["wrong"] if wrong else [])
    kind = draw(st.sampled_from(kinds))
    if kind == "none":
        return None
    if kind == "wrong":
        return draw(st.sampled_from([np.zeros(n, np.int32), list(range(n)), np.zeros((1, n), np.int64), 0]))
    if kind == "identity":
        p = np.arange(n, dtype=np.int64)
    elif kind == "shuffled":
        p = np.random.default_rng(draw(st.integers(0, 1000))).permutation(n).astype(np.int64)
    elif kind == "short":
        p = np.arange(max(n - 1, 0), dtype=np.int64)
    elif kind == "long":
        p = np.arange(n + 2, dtype=np.int64)
    else:
        vals = st.one_of(st.integers(-3, n + 3), st.sampled_from([-(2**63), 2**63 - 1, 2**32]))
        p = np.array(draw(st.lists(vals, min_size=n, max_size=n + 1)), np.int64)
    how = draw(st.sampled_from(["c", "c", "c", "strided", "reversed", "readonly"]))
    if how == "strided":
        big = np.zeros(2 * len(p), np.int64)
        big[::2] = p
        return big[::2]
    if how == "reversed":
        return p[::-1].copy()[::-1]
    if how == "readonly":
        p = p.copy()
        p.setflags(write=False)
    return p


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_grouped(dtype, data):
    tick()
    draw = data.draw
    n_clouds = draw(st.integers(0, 4))
    clouds = [draw(prepared_target(dtype)) for _ in range(n_clouds)]
    queries = [c[0] for c in clouds]
    perms = [draw(perm_arrays(len(c[1]))) for c in clouds[: draw(st.integers(0, n_clouds))]]
    perms += [None] * draw(st.integers(0, 2))
    wrap = draw(st.sampled_from(["list"] * 6 + ["tuple", "lying", "str", "dict", "iter", "bad_item", "other_dtype"]))
    qarg, parg = queries, perms
    if wrap == "tuple":
        qarg, parg = tuple(queries), tuple(perms)
    elif wrap == "lying":
        qarg, parg = LyingSequence(queries), LyingSequence(perms)
    elif wrap == "str":
        qarg = "abc"
    elif wrap == "dict":
        parg = {0: None}
    elif wrap == "iter":
        qarg = iter(queries)
    elif wrap == "bad_item":
        parg = perms + [np.zeros(2, np.int32)]
    elif wrap == "other_dtype":
        other = np.float32 if dtype == np.float64 else np.float64
        qarg = queries + [prepared_class(other)(np.zeros((1, 3), other), np.zeros(2, np.uint32), np.zeros(0, np.uint32))]
    snap = snapshot(*[p for p in perms if p is not None])
    kind, grouped = outcome(lambda: grouped_class(dtype).prepare(qarg, parg), PREPARE, ("queries", "query_perms"))
    assert_unchanged(snap)
    contiguous = all(p is None or len(p) < 2 or p.strides[0] == 8 for p in perms)
    if wrap in ("list", "tuple", "lying"):
        assert (kind == "ok") == contiguous, grouped
    if kind != "ok":
        return
    sizes = [len(c[1]) for c in clouds]
    total = sum(sizes)
    assert grouped.n_clouds == n_clouds and grouped.n_points == total
    offsets = grouped.offsets
    check_result_array(offsets, np.uint64, (n_clouds + 1,))
    assert offsets.tolist() == np.concatenate([[0], np.cumsum(sizes, dtype=np.int64)]).astype(int).tolist()
    perm = grouped.perm
    check_result_array(perm, np.uint64, (total,))
    assert sorted(perm.tolist()) == list(range(total))

    target, tpts, t_valid = draw(prepared_target(dtype))
    target_perm = draw(perm_arrays(len(tpts), wrong=True))
    which = draw(st.sampled_from(["right"] * 12 + ["other precision", "prepared", "none"]))
    if which == "other precision":
        other = np.float32 if dtype == np.float64 else np.float64
        grouped = grouped_class(other).prepare([], [])
    elif which == "prepared":
        grouped = target
    elif which == "none":
        grouped = None
    block, r = draw(unsigned()), draw(BOUNDS)
    finalize = draw(BOOLS)
    kwargs = {"distance_upper_bound": r}
    if draw(st.booleans()):
        kwargs["block"] = block
    if draw(st.booleans()):
        kwargs["finalize"] = finalize
    snap = snapshot(target_perm)
    params = ("grouped", "target_perm", "block", "distance_upper_bound", "finalize")
    kind, res = outcome(lambda: target.query_grouped(grouped, target_perm, **kwargs), GROUPED, params)
    assert_unchanged(snap)
    if kind != "ok":
        return
    n_t = len(tpts)
    concat = np.concatenate([c[1] for c in clouds]) if total else np.zeros((0, 3), dtype)
    fin = kwargs.get("finalize", True)
    fin = bool(fin)
    miss = n_t if n_t else 0
    if not fin:
        # Morton order, internal target indices
        check_nearest(res, dtype, total, concat[perm.astype(np.int64)], tpts, miss)
    elif target_perm is None and not any(p is not None for p in perms):
        check_nearest(res, dtype, total, concat, tpts, miss)
    else:
        dists, idx = res
        check_result_array(dists, dtype, (total,))
        check_result_array(idx, np.uint64, (total,))


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_all_nearest_neighbours(dtype, data):
    tick()
    draw = data.draw
    x, xi, xn, x_valid = draw(cloud_and_graph(dtype))
    y, yi, yn, y_valid = draw(cloud_and_graph(dtype))
    fn = _plov.all_nearest_neighbours_f32 if dtype == np.float32 else _plov.all_nearest_neighbours
    snap = snapshot(x, xi, xn, y, yi, yn)
    params = ("x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors")
    kind, res = outcome(lambda: fn(x, xi, xn, y, yi, yn), DESCENT, params)
    assert_unchanged(snap)
    if kind == "ok":
        check_nearest(res, dtype, nq_of(xi), x, y, len(y))
        assert np.all(res[1] < len(y))
    elif x_valid and y_valid and len(y) and len(yi) == len(y) + 1:
        raise AssertionError(f"valid input failed: {res!r}")


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
@FUZZ
@given(data=st.data())
def test_all_nearest_neighbours_k(dtype, data):
    tick()
    draw = data.draw
    x, xi, xn, _ = draw(cloud_and_graph(dtype))
    y, yi, yn, _ = draw(cloud_and_graph(dtype))
    k, ef = draw(unsigned()), draw(unsigned())
    fn = _plov.all_nearest_neighbours_k_f32 if dtype == np.float32 else _plov.all_nearest_neighbours_k
    snap = snapshot(x, xi, xn, y, yi, yn)
    params = ("x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors", "k", "ef")
    kind, res = outcome(lambda: fn(x, xi, xn, y, yi, yn, k, ef), KNN, params)
    assert_unchanged(snap)
    if kind == "ok":
        check_knn(res, dtype, nq_of(xi), unsigned_value(k), x, y)


def adjacency_model(rows, n):
    lists = [set() for _ in range(n)]
    for a, b, c, d in rows:
        t = (a, b, c, d)
        for i in range(4):
            for j in range(i + 1, 4):
                lists[t[i]].add(t[j])
                lists[t[j]].add(t[i])
    return csr_from_lists([sorted(x) for x in lists])


@FUZZ
@given(data=st.data())
def test_graph_from_simplices(data):
    tick()
    draw = data.draw
    size = draw(st.sampled_from(["small"] * 8 + ["none", "huge"]))
    n = {"small": draw(st.integers(1, 10)), "none": 0, "huge": draw(st.sampled_from([2**32, 2**32 + 1, 2**64 - 1]))}[size]
    m = draw(st.integers(0, 8))
    cols = draw(st.sampled_from([4, 4, 4, 5, 3, 0]))
    odd = st.sampled_from([n, n + 1, 2**32 - 1, 2**32, 2**63, 2**64 - 1]).filter(lambda v: v < 2**64)
    in_range = st.integers(0, max(n - 1, 0))
    ids = st.sampled_from([False] * 40 + [True]).flatmap(lambda bad: odd if bad else in_range)
    rows = np.array(draw(st.lists(st.lists(ids, min_size=cols, max_size=cols), min_size=m, max_size=m)), np.uint64).reshape(m, cols)
    simplices = relayout2d(rows, draw(st.sampled_from(LAYOUTS_2D)))
    n_arg = draw(st.sampled_from(["int", "int", "int", "numpy", "index", "bad"]))
    n_points = {"int": n, "numpy": np.uint64(n), "index": IndexLike(n)}.get(n_arg) if n_arg != "bad" else draw(NOT_UNSIGNED)
    simplices, _ = maybe_wrong(draw, simplices, np.uint64)
    snap = snapshot(simplices)
    kind, res = outcome(lambda: _plov.graph_from_simplices(simplices, n_points), SIMPLICES, ("simplices", "n_points"))
    assert_unchanged(snap)
    valid = (
        isinstance(simplices, np.ndarray)
        and simplices.dtype == np.uint64
        and simplices.ndim == 2
        and n_arg != "bad"
        and n <= U32_MAX
        and (m == 0 or (cols >= 4 and rows[:, :4].max(initial=0) < n))
    )
    assert (kind == "ok") == valid, res
    if kind == "ok":
        indptr, indices = res
        want_ip, want_ix = adjacency_model(rows[:, :4].astype(np.int64).tolist() if m else [], n)
        check_result_array(indptr, np.uint32, (n + 1,))
        check_result_array(indices, np.uint32, (len(want_ix),))
        np.testing.assert_array_equal(indptr, want_ip)
        np.testing.assert_array_equal(indices, want_ix)


@FUZZ
@given(data=st.data())
def test_binding_of_arbitrary_arguments(data):
    """Arbitrary positional and keyword arguments: binding errors or conversion errors,
    never anything else."""
    tick()
    draw = data.draw
    p = _plov.PreparedF64(np.zeros((2, 3)), np.array([0, 1, 2], np.uint32), np.array([1, 0], np.uint32))
    g = _plov.GroupedQueriesF64.prepare([p], [None])
    ops = {
        "query": p.query,
        "query_k": p.query_k,
        "query_prepared": p.query_prepared,
        "query_prepared_k": p.query_prepared_k,
        "query_prepared_blocked": p.query_prepared_blocked,
        "query_grouped": p.query_grouped,
        "prepare": _plov.GroupedQueriesF64.prepare,
        "all_nearest_neighbours": _plov.all_nearest_neighbours,
        "all_nearest_neighbours_k_f32": _plov.all_nearest_neighbours_k_f32,
        "graph_from_simplices": _plov.graph_from_simplices,
        "PreparedF32": _plov.PreparedF32,
    }
    name = draw(st.sampled_from(sorted(ops)))
    values = st.sampled_from([None, 0, 3, -1, 1.5, "x", p, g, np.zeros((2, 3)), np.zeros(3, np.uint32), [p], True])
    args = draw(st.lists(values, max_size=9))
    names = st.sampled_from(
        ["x_points", "x_indptr", "k", "ef", "other", "block", "finalize", "grouped", "queries", "n_points", "points", "zzz", "self"]
    )
    kwargs = draw(st.dictionaries(names, values, max_size=3))
    STATS["calls"] += 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ops[name](*args, **kwargs)
        STATS["ok"] += 1
    except MemoryError:
        STATS["MemoryError"] += 1
    except BaseException as e:  # noqa: BLE001
        STATS[type(e).__name__] += 1
        text = message(e)
        if is_panic(e):
            allowed = DESCENT + KNN + GROUPED + PREPARE + SIMPLICES
            assert any(re.fullmatch(m, text) for m in allowed), text
        elif isinstance(e, TypeError) and not getattr(e, "__notes__", None):
            assert any(re.fullmatch(m, text) for m in BINDING), text
        elif isinstance(e, (TypeError, OverflowError)):
            check_conversion_error(e, ALL_PARAMS)
        else:
            raise
