"""Morton order: the native permutation `plov._native.morton_perm` against a NumPy
model of the codes, and the grouped query sets, whose `.perm` is that permutation."""

import numpy as np
import pytest

import _plov
from plov import _native

GROUPED = {np.float32: (_plov.PreparedF32, _plov.GroupedQueriesF32),
           np.float64: (_plov.PreparedF64, _plov.GroupedQueriesF64)}


def edgeless(points):
    points = np.asarray(points)
    return np.zeros(len(points) + 1, np.uint32), np.zeros(0, np.uint32)


def morton_perm(*clouds, dtype=np.float64):
    """The native order of the clouds' concatenation in precision `dtype`."""
    return _native.morton_perm(np.concatenate([np.asarray(c, dtype).reshape(-1, 3) for c in clouds]))


def grouped_perm(*clouds, dtype=np.float64):
    prepared_cls, grouped_cls = GROUPED[dtype]
    preps = [prepared_cls(np.asarray(c, dtype).reshape(-1, 3), *edgeless(c)) for c in clouds]
    return grouped_cls.prepare(preps, []).perm


def reference_codes(points):
    """Codes computed independently in NumPy: own box, truncating 21-bit quantisation."""
    p = np.asarray(points, np.float64)
    with np.errstate(invalid="ignore"):
        lo = np.fmin.reduce(p, axis=0, initial=np.inf)
        hi = np.fmax.reduce(p, axis=0, initial=-np.inf)
        ext = hi - lo
        ext[ext == 0.0] = 1.0
        t = ((p - lo) / ext) * 2097151.0
        t = np.where(t > 0, t, 0.0)  # negatives and NaN saturate to 0
    return interleave(np.minimum(np.floor(t), 2.0**63).astype(np.uint64) & np.uint64(0x1FFFFF))


def interleave(q):
    """Bit j of column a of `q` (uint64, (n, 3), values below 2^21) at bit 3j + a."""
    codes = np.zeros(len(q), np.uint64)
    for j in range(21):
        for axis in range(3):
            bit = (q[:, axis] >> np.uint64(j)) & np.uint64(1)
            codes |= bit << np.uint64(3 * j + axis)
    return codes


def assert_sorts(perm, points):
    codes = reference_codes(points)
    assert perm.dtype == np.int64
    assert np.array_equal(np.sort(perm), np.arange(len(points)))
    assert np.all(codes[perm][1:] >= codes[perm][:-1])


def test_small_sets():
    assert morton_perm([[0.3, -2.0, 7.0]]).tolist() == [0]
    four = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (0, 0, 0)]
    assert morton_perm(four).tolist() == [3, 0, 1, 2]
    assert morton_perm(four, dtype=np.float32).tolist() == [3, 0, 1, 2]
    # Identical points all code to 0: any order is a permutation.
    assert sorted(morton_perm(np.ones((5, 3))).tolist()) == list(range(5))


def test_code_layout_and_truncation():
    # (0.5, 0.25, 1.0) in the unit cube codes to 0x4bff..ff, between the corners'
    # codes 0 and 0x7fff..ff; truncation puts the x midpoint at 1048575.
    pts = [(1, 1, 1), (0.5, 0.25, 1.0), (0, 0, 0)]
    assert reference_codes(pts)[1] == 0x4BFFFFFFFFFFFFFF
    assert morton_perm(pts).tolist() == [2, 1, 0]
    # x = 0.5 truncates to 1048575 (rounding would give 2^20 and put it last).
    assert morton_perm([(0, 0, 0), (1, 1, 1), (0.5, 0, 0), (0, 0, 0.3)]).tolist() == [0, 2, 3, 1]
    # z outranks y outranks x at the top level.
    pts = [(0, 0, 0), (1, 1, 1), (1, 0, 0.6), (0, 1, 0.4), (0.6, 0.6, 0.4)]
    assert morton_perm(pts).tolist() == [0, 3, 4, 2, 1]


def test_flat_axis_and_nan():
    rng = np.random.default_rng(1)
    xy = rng.random((200, 2))
    plane = np.column_stack([xy, np.full(200, 5.0)])
    flat = np.column_stack([xy, np.zeros(200)])
    assert np.array_equal(morton_perm(plane), morton_perm(flat))
    assert_sorts(morton_perm(plane), plane)
    # A NaN neither widens the box nor lifts its axis above 0.
    pts = [(0, 0, 0), (1, 1, 1), (np.nan, 1, 1), (0.9, np.nan, 0.9)]
    assert morton_perm(pts).tolist() == [0, 3, 2, 1]
    pts = np.vstack([rng.random((100, 3)), [[np.nan, 0.5, 0.5], [0.5, np.nan, 50.0]]])
    assert_sorts(morton_perm(pts), pts)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_random_sets_follow_reference(dtype):
    rng = np.random.default_rng(7)
    pts = (rng.normal(size=(3000, 3)) * [1.0, 30.0, 0.01] + [5, -3, 1e3]).astype(dtype)
    perm = morton_perm(pts, dtype=dtype)
    assert_sorts(perm, pts)
    # Scaling by a power of two keeps every code, so the order is unchanged.
    assert np.array_equal(morton_perm(pts * dtype(8), dtype=dtype), perm)
    assert np.array_equal(morton_perm(pts * dtype(2.0**-20), dtype=dtype), perm)


def test_concatenation_is_sorted_as_one_set():
    rng = np.random.default_rng(3)
    a, b, c = rng.random((40, 3)), rng.random((0, 3)), rng.random((25, 3)) + 0.5
    assert_sorts(morton_perm(a, b, c), np.vstack([a, c]))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_grouped_sets_take_the_native_order(dtype):
    rng = np.random.default_rng(11)
    a, b = rng.random((500, 3)), rng.random((300, 3)) * 2
    a[:20] = a[20]  # equal codes: the order among them is the sort's, the same in both
    got = grouped_perm(a, np.zeros((0, 3)), b, dtype=dtype)
    assert got.dtype == np.uint64
    np.testing.assert_array_equal(got.astype(np.int64), morton_perm(a, b, dtype=dtype))
    assert grouped_perm(np.zeros((0, 3)), dtype=dtype).size == 0 == morton_perm(np.zeros((0, 3))).size


def test_coarse_order_and_slabs():
    rng = np.random.default_rng(12)
    pts = rng.random((5000, 3))
    for p in (pts, pts.astype(np.float32), pts[::2]):  # both precisions, strided rows
        n = len(p)
        fine, coarse = _native.morton_perm(p), _native.morton_perm(p, coarse=True)
        assert sorted(coarse.tolist()) == list(range(n)) and coarse.dtype == np.int64
        # a grid of 2^L cells per axis, a few points per cell (the top cell holds the
        # box's upper face only); cells in Morton order, rows ascending in each
        top = 2.0 ** min(10, max(1, ((n - 1).bit_length() - 1) // 3)) - 1
        q = p.astype(np.float64)
        lo, ext = q.min(0), q.max(0) - q.min(0)
        cell = interleave(np.clip((q - lo) * (top / ext), 0, top).astype(np.uint64))
        assert np.all(np.diff(cell[coarse].astype(np.int64)) >= 0)
        same = np.diff(cell[coarse].astype(np.int64)) == 0
        assert np.all(np.diff(coarse)[same] > 0)
        assert np.all(np.diff(reference_codes(p)[fine].astype(np.float64)) >= 0)
        for lo, hi in ((None, 0.3), (0.3, 0.7), (0.7, None), (2.0, None)):
            inside = (p[:, 1] >= (-np.inf if lo is None else lo)) & (p[:, 1] < (np.inf if hi is None else hi))
            want = np.flatnonzero(inside)
            for c in (False, True):
                got = _native.morton_perm(p, 1, lo, hi, c)
                np.testing.assert_array_equal(np.sort(got), want)
            # a slab is ordered in its own box
            np.testing.assert_array_equal(_native.morton_perm(p, 1, lo, hi), want[morton_perm(p[want])])
