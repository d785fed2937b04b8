"""The calling conventions shared by every operation: module surface, binding and
conversion errors, result arrays, PanicException."""

import gc
import sys

import numpy as np
import pytest

import _plov
from helpers import chain_graph, cloud_with_graph

NAMES = [
    "all_nearest_neighbours",
    "all_nearest_neighbours_f32",
    "all_nearest_neighbours_k",
    "all_nearest_neighbours_k_f32",
    "graph_from_simplices",
    "PreparedF64",
    "PreparedF32",
    "GroupedQueriesF64",
    "GroupedQueriesF32",
]


def panic(excinfo_value):
    return type(excinfo_value).__name__ == "PanicException"


@pytest.fixture
def small():
    pts, ip, ix = cloud_with_graph(50, 1)
    return pts, ip, ix


def test_module_surface():
    assert _plov.__all__ == NAMES
    for name in NAMES:
        assert hasattr(_plov, name)
    assert not hasattr(_plov, "PanicException")
    assert _plov.all_nearest_neighbours.__module__ == "_plov"
    assert _plov.all_nearest_neighbours.__self__ is _plov
    for cls in ("PreparedF32", "PreparedF64", "GroupedQueriesF32", "GroupedQueriesF64"):
        t = getattr(_plov, cls)
        assert t.__module__ == "builtins"
        assert t.__qualname__ == cls


def test_text_signatures():
    assert _plov.graph_from_simplices.__text_signature__ == "(simplices, n_points)"
    assert _plov.PreparedF32.__text_signature__ == "(points, indptr, indices)"
    assert _plov.PreparedF64.query.__text_signature__ == "($self, x_points, x_indptr, x_indices, distance_upper_bound=None)"
    assert (
        _plov.PreparedF32.query_grouped.__text_signature__
        == "($self, grouped, target_perm, block=32, distance_upper_bound=None, finalize=True)"
    )
    assert _plov.PreparedF64.n.__doc__ == "Number of points in the prepared target."
    assert _plov.PreparedF64.data.__doc__ == "The target points as an `(n, 3)` array (pad lane dropped)."


def test_classes_are_closed():
    with pytest.raises(TypeError):
        _plov.GroupedQueriesF32()
    with pytest.raises(TypeError):

        class X(_plov.PreparedF32):
            pass

    p = _plov.PreparedF64(np.zeros((0, 3)), np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    with pytest.raises(AttributeError):
        p.n = 3
    with pytest.raises(AttributeError):
        p.other = 1
    assert not hasattr(p, "__dict__")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda a: _plov.all_nearest_neighbours(),
            "all_nearest_neighbours() missing 6 required positional arguments: 'x_points', 'x_indices', "
            "'x_neighbors', 'y_points', 'y_indices', and 'y_neighbors'",
        ),
        (lambda a: _plov.graph_from_simplices(a[0]), "graph_from_simplices() missing 1 required positional argument: 'n_points'"),
        (
            lambda a: _plov.PreparedF32(a[3], a[1], a[2]).query(a[3]),
            "PreparedF32.query() missing 2 required positional arguments: 'x_indptr' and 'x_indices'",
        ),
        (
            lambda a: _plov.all_nearest_neighbours(*a[:3], *a[:3], 0),
            "all_nearest_neighbours() takes 6 positional arguments but 7 were given",
        ),
        (
            lambda a: _plov.PreparedF32(a[3], a[1], a[2]).query_prepared_blocked(1, 2, 3, 4, 5),
            "PreparedF32.query_prepared_blocked() takes from 1 to 3 positional arguments but 5 were given",
        ),
        (
            lambda a: _plov.PreparedF64(a[0], a[1], a[2]).query_prepared(1, 2, 3),
            "PreparedF64.query_prepared() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda a: _plov.PreparedF32(a[3], a[1], a[2], points=a[3]),
            "PreparedF32.__new__() got multiple values for argument 'points'",
        ),
        (
            lambda a: _plov.PreparedF64(a[0], a[1], a[2]).query(a[0], a[1], a[2], bound=1.0),
            "PreparedF64.query() got an unexpected keyword argument 'bound'",
        ),
    ],
)
def test_binding_messages(small, call, message):
    pts, ip, ix = small
    args = (pts, ip, ix, pts.astype(np.float32))
    with pytest.raises(TypeError) as e:
        call(args)
    assert str(e.value) == message
    assert not getattr(e.value, "__notes__", None)


def test_keywords_in_any_order(small):
    pts, ip, ix = small
    p = _plov.PreparedF64(indices=ix, points=pts, indptr=ip)
    a = p.query(x_indices=ix, x_points=pts, x_indptr=ip, distance_upper_bound=None)
    b = _plov.all_nearest_neighbours(y_neighbors=ix, y_indices=ip, y_points=pts, x_neighbors=ix, x_indices=ip, x_points=pts)
    np.testing.assert_array_equal(a[1], b[1])


@pytest.mark.parametrize(
    "bad, param",
    [
        ("f32 points", "x_points"),
        ("list", "x_points"),
        ("1-d points", "x_points"),
        ("int32 graph", "x_indices"),
        ("int64 graph", "y_neighbors"),
        ("2-d graph", "x_neighbors"),
        ("big-endian", "y_points"),
    ],
)
def test_array_kind_refusals(small, bad, param):
    pts, ip, ix = small
    kw = dict(x_points=pts, x_indices=ip, x_neighbors=ix, y_points=pts, y_indices=ip, y_neighbors=ix)
    value = {
        "f32 points": pts.astype(np.float32),
        "list": pts.tolist(),
        "1-d points": pts[:, 0].copy(),
        "int32 graph": ip.astype(np.int32),
        "int64 graph": ix.astype(np.int64),
        "2-d graph": ix.reshape(1, -1),
        "big-endian": pts.astype(">f8"),
    }[bad]
    kw[param] = value
    with pytest.raises(TypeError) as e:
        _plov.all_nearest_neighbours(**kw)
    qualname = type(value).__qualname__
    assert str(e.value) == f"'{qualname}' object is not an instance of 'ndarray'"
    assert e.value.__notes__ == [f"while processing '{param}'"]


def test_first_failing_argument_is_named(small):
    pts, ip, ix = small
    with pytest.raises(TypeError) as e:
        _plov.all_nearest_neighbours(pts, ip.astype(np.int64), ix, pts.astype(np.float32), ip, ix)
    assert e.value.__notes__ == ["while processing 'x_indices'"]


def test_read_only_and_subclass_arrays_accepted(small):
    pts, ip, ix = small
    ro = pts.astype(np.float32)
    ro.flags.writeable = False

    class Sub(np.ndarray):
        pass

    p = _plov.PreparedF32(ro, ip.view(Sub), ix)
    d, i = p.query(ro, ip, ix)
    assert (d == 0).all()


def test_optional_real(small):
    pts, ip, ix = small
    p = _plov.PreparedF64(pts, ip, ix)
    q = pts + 0.01
    base = p.query(q, ip, ix)
    for omitted in (p.query(q, ip, ix, None), p.query(q, ip, ix, distance_upper_bound=None)):
        np.testing.assert_array_equal(omitted[0], base[0])
    np.testing.assert_array_equal(p.query(q, ip, ix, 3)[0], p.query(q, ip, ix, 3.0)[0])
    np.testing.assert_array_equal(p.query(q, ip, ix, np.float32(3))[0], base[0])
    with pytest.raises(TypeError) as e:
        p.query(q, ip, ix, "1.0")
    assert e.value.__notes__ == ["while processing 'distance_upper_bound'"]


def test_instance_kind(small):
    pts, ip, ix = small
    p64 = _plov.PreparedF64(pts, ip, ix)
    p32 = _plov.PreparedF32(pts.astype(np.float32), ip, ix)
    with pytest.raises(TypeError) as e:
        p64.query_prepared(p32)
    assert str(e.value) == "'PreparedF32' object is not an instance of 'PreparedF64'"
    assert e.value.__notes__ == ["while processing 'other'"]
    with pytest.raises(TypeError) as e:
        p64.query_prepared(None)
    assert str(e.value) == "'None' is not an instance of 'PreparedF64'"


def test_result_arrays_own_their_memory(small):
    pts, ip, ix = small
    p = _plov.PreparedF64(pts.copy(), ip.copy(), ix.copy())
    d, i = p.query(pts.copy(), ip.copy(), ix.copy())
    data = p.data
    del p
    gc.collect()
    for arr, dtype in ((d, np.float64), (i, np.uint64), (data, np.float64)):
        assert type(arr) is np.ndarray
        assert arr.dtype == dtype
        assert arr.flags.c_contiguous and arr.flags.writeable
    assert i.dtype.num == 8
    assert (d == 0).all() and (i == np.arange(len(pts))).all()
    d[:] = 1.0  # writeable memory of its own
    assert (data == pts).all()


def test_inputs_keep_their_reference_counts(small):
    pts, ip, ix = small
    before = [sys.getrefcount(a) for a in (pts, ip, ix)]
    p = _plov.PreparedF64(pts, ip, ix)
    for _ in range(20):
        p.query(pts, ip, ix, 0.5)
        p.query_prepared(p)
        _plov.all_nearest_neighbours(pts, ip, ix, pts, ip, ix)
        with pytest.raises(TypeError):
            _plov.all_nearest_neighbours(pts, ip, ix, pts, ip, ix.astype(np.int32))
    assert [sys.getrefcount(a) for a in (pts, ip, ix)] == before
    before_p = sys.getrefcount(p)
    p.query_prepared(p)
    assert sys.getrefcount(p) == before_p


def test_panic_exception_is_base_exception():
    pts = np.zeros((2, 3))
    ip, ix = chain_graph(2)
    with pytest.raises(BaseException) as e:
        _plov.all_nearest_neighbours(pts, ip[::-1], ix, pts, ip, ix)
    assert panic(e.value)
    assert str(e.value) == "contiguous CSR indptr"
    assert e.value.args == ("contiguous CSR indptr",)
    assert not isinstance(e.value, Exception)
    assert type(e.value).__mro__[1] is BaseException


def test_errors_of_a_sequence_length():
    class Sized(list):
        def __init__(self, items, error):
            super().__init__(items)
            self.error = error

        def __len__(self):
            raise self.error

    p = _plov.PreparedF64(*cloud_with_graph(8, 2))
    # an ordinary error of __len__ is ignored: the length only sizes the result
    assert _plov.GroupedQueriesF64.prepare(Sized([p], ValueError()), Sized([None], TypeError())).n_clouds == 1
    for error in (KeyboardInterrupt, SystemExit):
        for args in ((Sized([p], error()), []), ([p], Sized([None], error()))):
            with pytest.raises(error):
                _plov.GroupedQueriesF64.prepare(*args)
