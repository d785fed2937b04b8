"""Keeping an Index: pickle, copies, joblib, save/load, shipping to processes and to a
Dask cluster. A restored index answers every query exactly as the original did, and
loading refuses every damaged or hand-made file with a ValueError naming the field."""

import copy
import gc
import io
import os
import pickle
import struct
import threading
import zipfile
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import plov
from plov import _index, _native

SIZES = (1, 2, 3, 4, 60)


def degenerate(kind, n=60, seed=0):
    """The clouds the builder handles specially, n points each (fewer for 'few')."""
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((n, 3))
    if kind == "duplicates":
        pts = rng.random((n // 2, 3))
        return np.concatenate([pts, pts[rng.integers(0, len(pts), n - len(pts))]])
    if kind == "flat":
        return np.column_stack([rng.random((n, 2)), np.full(n, 0.5)])
    if kind == "collinear":
        return np.outer(rng.random(n), [1.0, 2.0, -1.0]) + 3.0
    return rng.random((int(kind), 3))  # "1" to "4" points


KINDS = ["uniform", "duplicates", "flat", "collinear", "1", "2", "3", "4"]
QUERIES = np.random.default_rng(99).random((300, 3)) * 1.2 - 0.1


def answers(index):
    """Every kind of query the index answers, for an exact comparison."""
    k = min(index.n, 4)
    out = [index.query(QUERIES), index.query(QUERIES, k, distance_upper_bound=0.3),
           index.query(QUERIES, k, workers=2), index.query(QUERIES[0], k)]
    return [np.asarray(a) for pair in out for a in pair]


def assert_same_index(a, b):
    assert (b.n, b.dtype) == (a.n, a.dtype)
    for x, y in zip(answers(a), answers(b)):
        assert x.dtype == y.dtype
        np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(a.data, b.data)
    for x, y in zip(a.graph, b.graph):
        np.testing.assert_array_equal(x, y)


def via_file(index, tmp_path, mmap_mode=None):
    path = tmp_path / "index.npz"
    index.save(path)
    return plov.Index.load(path, mmap_mode=mmap_mode)


def via_joblib(index, tmp_path, mmap_mode=None):
    joblib = pytest.importorskip("joblib")
    path = tmp_path / "index.joblib"
    joblib.dump(index, path)
    return joblib.load(path, mmap_mode=mmap_mode)


RESTORES = {
    "pickle": lambda ix, tmp: pickle.loads(pickle.dumps(ix)),
    "pickle-5": lambda ix, tmp: pickle.loads(pickle.dumps(ix, protocol=5)),
    "copy": lambda ix, tmp: copy.copy(ix),
    "deepcopy": lambda ix, tmp: copy.deepcopy(ix),
    "joblib": via_joblib,
    "joblib-mmap": lambda ix, tmp: via_joblib(ix, tmp, "r"),
    "save": via_file,
    "save-mmap": lambda ix, tmp: via_file(ix, tmp, "r"),
}


@pytest.fixture(params=[False, True], ids=["caller-order", "renumbered"])
def reorder(request, monkeypatch):
    if request.param:
        monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    return request.param


@pytest.mark.parametrize("how", RESTORES)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_restored_index_answers_identically(how, dtype, reorder, tmp_path):
    index = plov.Index(degenerate("uniform"), dtype=dtype)
    assert_same_index(index, RESTORES[how](index, tmp_path))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_degenerate_clouds_round_trip(kind, dtype, reorder, tmp_path):
    pts = degenerate(kind)
    index = plov.Index(pts, dtype=dtype)
    graph = plov.delaunay_graph(pts)
    given = plov.Index(pts, graph=graph, dtype=dtype)
    for ix in (index, given):
        for how in ("pickle", "save", "save-mmap"):
            assert_same_index(ix, RESTORES[how](ix, tmp_path))
    # The graph handed in comes back in the caller's numbering, whatever the index did.
    for got, want in zip(RESTORES["save"](given, tmp_path).graph, graph):
        np.testing.assert_array_equal(got, want)


def test_graph_is_the_callers_and_builds_an_identical_index():
    pts = degenerate("duplicates", 400, seed=3)
    index = plov.Index(pts)
    indptr, indices = index.graph
    assert indptr.dtype == indices.dtype == np.uint32 and indices.flags.writeable
    lists = [indices[indptr[v]:indptr[v + 1]] for v in range(len(pts))]
    assert all((np.diff(lst.astype(np.int64)) > 0).all() for lst in lists)
    edges = {(v, int(u)) for v, lst in enumerate(lists) for u in lst}
    assert all((u, v) in edges for v, u in edges)  # symmetric
    assert_same_index(index, plov.Index(pts, graph=(indptr, indices)))


def test_native_graph_views_outlive_the_index_and_relabelling_checks_labels():
    pts = degenerate("uniform", 200)
    index = plov.Index(pts)
    target = index._target
    indptr, indices = _native.prepared_graph(target)
    del index, target
    gc.collect()
    assert not indptr.flags.writeable and indptr[-1] == len(indices)
    for got, want in zip((indptr, indices), plov.delaunay_graph(pts)):
        np.testing.assert_array_equal(got, want)
    target = plov.PreparedF64(pts, indptr, indices)
    with pytest.raises(BaseException, match="not a permutation"):  # PanicException
        _native.prepared_graph(target, np.zeros(200, np.int64))
    with pytest.raises(BaseException, match="not a permutation"):  # PanicException
        _native.prepared_graph(target, np.full(200, 200, np.int64))
    with pytest.raises(ValueError, match="one entry per target point"):
        _native.prepared_graph(target, np.arange(199))
    with pytest.raises(TypeError):
        _native.prepared_graph(pts)


def test_restoring_builds_and_sorts_nothing(monkeypatch, tmp_path):
    index = plov.Index(degenerate("uniform", 300), graph=None)
    index.save(tmp_path / "a.npz")
    state = pickle.dumps(index)

    def refused(*args, **kwargs):
        raise AssertionError("a restore rebuilt or renumbered the index")

    with monkeypatch.context() as m:
        for name in ("delaunay_graph", "delaunay_graph_ordered", "morton_perm", "renumber"):
            m.setattr(_index, name, refused)
        restored = [pickle.loads(state), plov.Index.load(tmp_path / "a.npz")]
    for r in restored:
        assert_same_index(index, r)


def test_kept_forms_are_small(monkeypatch, tmp_path):
    monkeypatch.setattr(_index, "_MORTON_NUMBERING_MIN_POINTS", 0)
    n = 3000
    index = plov.Index(degenerate("uniform", n))
    edges = len(index.graph[1])
    # points 24, labels 8, offsets 4 and 4 per neighbour entry, plus a small header
    want = n * (24 + 8 + 4) + 4 * edges
    assert want < len(pickle.dumps(index)) < want + 2000
    index.save(tmp_path / "a.npz")
    assert want < os.path.getsize(tmp_path / "a.npz") < want + 3000
    assert index.nbytes >= want + 32 * n  # and the packed copy the search walks


def test_saved_file_is_a_plain_aligned_npz(tmp_path):
    index = plov.Index(degenerate("uniform"), dtype=np.float32)
    path = tmp_path / "a.npz"
    index.save(path)
    with np.load(path, allow_pickle=False) as z:
        assert sorted(z.files) == ["format_version", "indices", "indptr", "labels", "min_plov_version", "points"]
        assert int(z["format_version"]) == 1 and str(z["min_plov_version"]) == "0.1.0"
        assert z["points"].dtype == np.float32 and z["labels"].dtype == np.int64
        np.testing.assert_array_equal(z["points"][np.argsort(z["labels"])], index.data)
    raw = path.read_bytes()
    with zipfile.ZipFile(path) as zf:
        for info in zf.infolist():
            assert info.compress_type == zipfile.ZIP_STORED
            name_len, extra_len = struct.unpack("<HH", raw[info.header_offset + 26:info.header_offset + 30])
            start = info.header_offset + 30 + name_len + extra_len
            header_len = 10 + raw[start + 8] + 256 * raw[start + 9]  # .npy 1.0: magic, version, length
            assert (start + header_len) % 64 == 0, info.filename
    # Saving again writes the same bytes and leaves nothing else behind.
    index.save(path)
    assert path.read_bytes() == raw and os.listdir(tmp_path) == ["a.npz"]


# ------------------------------------------------------------ refusals


def saved(tmp_path, name="bad.npz", **change):
    """A file like a saved index with the fields in `change` replaced (None: removed),
    written by np.savez (unaligned members: the loader copies those)."""
    index = plov.Index(degenerate("uniform", 20))
    state = dict(index.__getstate__())
    for field, value in change.items():
        if value is None:
            del state[field]
        else:
            state[field] = value
    path = tmp_path / name
    with open(path, "wb") as f:
        np.savez(f, **state)
    return path


def modified(field, fn):
    index = plov.Index(degenerate("uniform", 20))
    return {field: fn(np.array(index.__getstate__()[field]))}


def set_at(i, value):
    def fn(a):
        a[i] = value
        return a
    return fn


BAD_FILES = [
    (dict(format_version=np.int64(2), min_plov_version="0.7.1"), r"format version 2, newer .* needs plov 0\.7\.1"),
    (dict(format_version=np.int64(0)), "format_version 0 is not a format"),
    (dict(format_version=np.float64(1)), "format_version must be an integer"),
    (dict(format_version=None), "'format_version' is missing"),
    (dict(labels=None), "field 'labels' is missing"),
    (dict(extra=np.zeros(3)), "unexpected field 'extra'"),
    (modified("indices", lambda a: a.astype(np.int64)), "'indices' has dtype int64, not uint32"),
    (modified("points", lambda a: a.astype(np.float16)), "'points' has dtype float16, not float32 or float64"),
    (modified("points", lambda a: a.astype(">f8")), "'points' has dtype >f8"),
    (modified("labels", lambda a: a[:-1]), r"'labels' has shape \(19,\), not \(n,\) = \(20,\)"),
    (modified("indptr", lambda a: a[:, None]), r"'indptr' has shape \(21, 1\)"),
    (modified("points", lambda a: a[:, :2]), r"'points' has shape \(20, 2\)"),
    (modified("points", lambda a: a[:0]), r"'points' is empty"),
    (modified("points", lambda a: np.asfortranarray(a)), "'points'.* Fortran order"),
    (modified("points", set_at((3, 1), np.nan)), "'points' has a NaN or infinite coordinate in row 3"),
    (modified("indptr", set_at(5, 10**6)), "indptr must rise from 0"),
    (modified("indptr", set_at(-1, 3)), "indptr must rise from 0 to len"),
    (modified("indices", set_at(0, 20)), r"neighbour numbers must lie in \[0, 20\)"),
    (modified("labels", set_at(0, 1)), "'labels' is not a permutation"),
    (modified("labels", set_at(0, -1)), r"'labels' has entries outside \[0, 20\)"),
    (modified("min_plov_version", lambda a: np.zeros(3)), "'min_plov_version' has dtype float64"),
]


@pytest.mark.parametrize("change, match", BAD_FILES)
@pytest.mark.parametrize("mmap_mode", [None, "r"])
def test_bad_file_is_refused_naming_the_field(change, match, mmap_mode, tmp_path):
    path = saved(tmp_path, **change)
    with pytest.raises(ValueError, match=match):
        plov.Index.load(path, mmap_mode=mmap_mode)


def test_empty_neighbour_list_is_refused(tmp_path):
    index = plov.Index(degenerate("uniform", 20))
    state = index.__getstate__()
    ip, ix = state["indptr"].astype(np.int64), state["indices"]
    cut = ip[1] - ip[0]  # vertex 0 loses its list; its neighbours keep theirs
    path = saved(tmp_path, indptr=np.concatenate([[0, 0], ip[2:] - cut]).astype(np.uint32), indices=ix[cut:])
    with pytest.raises(ValueError, match="point 0 has no neighbours"):
        plov.Index.load(path)


def test_files_that_are_no_saved_index(tmp_path):
    (tmp_path / "text.npz").write_text("not an archive")
    (tmp_path / "empty.npz").write_bytes(b"")
    index = plov.Index(degenerate("uniform", 20))
    with open(tmp_path / "compressed.npz", "wb") as f:
        np.savez_compressed(f, **index.__getstate__())
    with open(tmp_path / "objects.npz", "wb") as f:
        np.savez(f, **dict(index.__getstate__(), labels=np.array([{"x": 1}] * 20, dtype=object)))
    for name, match in (("text.npz", "not a readable .npz"), ("empty.npz", "not a readable .npz"),
                        ("compressed.npz", "compressed"), ("objects.npz", "holds Python objects")):
        with pytest.raises(ValueError, match=match):
            plov.Index.load(tmp_path / name)
    with pytest.raises(FileNotFoundError):
        plov.Index.load(tmp_path / "missing.npz")
    with pytest.raises(ValueError, match="mmap_mode must be None or 'r'"):
        plov.Index.load(tmp_path / "text.npz", mmap_mode="w+")


def test_newer_pickled_state_names_the_plov_it_needs():
    state = dict(plov.Index(degenerate("uniform", 20)).__getstate__(), format_version=3, min_plov_version="2.0")
    with pytest.raises(ValueError, match=r"pickled plov.Index has format version 3.*needs plov 2\.0"):
        plov.Index.__new__(plov.Index).__setstate__(state)


def test_loader_fuzz_truncated_and_flipped_files(tmp_path):
    """Every prefix of a small saved file, and the file with each byte flipped in turn:
    a ValueError, or (a byte no check covers, such as a date) the same index."""
    index = plov.Index(degenerate("uniform", 5))
    path = tmp_path / "a.npz"
    index.save(path)
    good = path.read_bytes()
    expected = answers(index)
    bad = tmp_path / "bad.npz"
    loaded = 0
    cases = [good[:i] for i in range(len(good))] + [
        good[:i] + bytes([good[i] ^ 0xFF]) + good[i + 1:] for i in range(len(good))]
    for i, data in enumerate(cases):
        bad.write_bytes(data)
        try:
            got = plov.Index.load(bad, mmap_mode="r" if i % 3 == 0 else None)
        except ValueError:
            continue
        loaded += 1
        for x, y in zip(expected, answers(got)):
            np.testing.assert_array_equal(x, y)
    assert loaded < len(good) // 2  # nearly every byte is covered by a check


def test_loader_fuzz_lying_headers(tmp_path):
    """Members whose .npy header lies about the dtype, the order or the shape of the
    bytes after it, the archive's checksums matching: refused, naming the field."""
    state = plov.Index(degenerate("uniform", 5)).__getstate__()
    lies = [("points", "<f4", False, (5, 3)), ("points", "|u1", False, (5, 3)), ("points", "<f8", False, (9, 3)),
            ("points", "<f8", False, (5, 2)), ("points", "<f8", True, (5, 3)), ("points", "<f8", False, (-5, -3)),
            ("indices", "<u8", False, (len(state["indices"]),)), ("labels", "<i8", False, (4,)),
            ("labels", "<i8", False, (2**61 + 5,)), ("indptr", "<u4", False, (7,)), ("points", "<f8", False, ())]

    def npy(arr, header=None):
        buf = io.BytesIO()
        if header is None:
            np.lib.format.write_array(buf, np.asarray(arr))
        else:
            np.lib.format.write_array_header_1_0(buf, header)
            buf.write(np.ascontiguousarray(arr).tobytes())
        return buf.getvalue()

    for field, descr, fortran, shape in lies:
        path = tmp_path / "lie.npz"
        with zipfile.ZipFile(path, "w") as zf:
            for name, value in state.items():
                header = dict(descr=descr, fortran_order=fortran, shape=shape) if name == field else None
                zf.writestr(name + ".npy", npy(value, header))
        with pytest.raises(ValueError, match=f"field '{field}'"):
            plov.Index.load(path)


# ------------------------------------------------------------ shipping


def test_threads_share_one_index():
    index = plov.Index(degenerate("uniform", 2000, seed=8))
    queries = [np.random.default_rng(s).random((2000, 3)) for s in range(8)]
    want = [index.query(q, 3) for q in queries]
    got = [None] * 8
    start = threading.Barrier(8)

    def run(i):
        start.wait()
        got[i] = index.query(queries[i], 3)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (d0, i0), (d1, i1) in zip(want, got):
        np.testing.assert_array_equal(d0, d1)
        np.testing.assert_array_equal(i0, i1)


@pytest.fixture(scope="module")
def shipped():
    index = plov.Index(degenerate("uniform", 3000, seed=5), dtype=np.float32)
    return index, [index.query(QUERIES * (1 + i / 10), 4) for i in range(4)]


@pytest.mark.processes
def test_process_pool_queries_a_shipped_index(shipped):
    index, want = shipped
    # Forked children of a process that runs threads (a cluster, thread pools) may
    # deadlock; fresh interpreters cannot.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        got = list(pool.map(plov.Index.query, [index] * 4, [QUERIES * (1 + i / 10) for i in range(4)], [4] * 4))
    for (d0, i0), (d1, i1) in zip(want, got):
        np.testing.assert_array_equal(d0, d1)
        np.testing.assert_array_equal(i0, i1)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_workers_query_a_scattered_index(shipped, dask_client):
    index, want = shipped
    [remote] = dask_client.scatter([index], broadcast=True)
    futures = [dask_client.submit(plov.Index.query, remote, QUERIES * (1 + i / 10), 4, pure=False)
               for i in range(4)]
    got = dask_client.gather(futures)
    for (d0, i0), (d1, i1) in zip(want, got):
        np.testing.assert_array_equal(d0, d1)
        np.testing.assert_array_equal(i0, i1)


@pytest.mark.parametrize("k", [1, 3])
def test_query_over_a_dask_array(shipped, dask_client, k):
    da = pytest.importorskip("dask.array")
    index, _ = shipped
    x = np.random.default_rng(8).random((5000, 3))
    want = index.query(x, k, distance_upper_bound=0.05)
    lazy = index.query(da.from_array(x, chunks=(1200, 3)), k, distance_upper_bound=0.05)
    assert all(isinstance(a, da.Array) for a in lazy)
    assert lazy[0].shape == want[0].shape and lazy[1].dtype == np.int64
    # The index is one key of the graph, however many chunks depend on it: the graph
    # pickles to about the index plus the queries, not to one index per chunk.
    cloudpickle = pytest.importorskip("cloudpickle")
    size = len(cloudpickle.dumps(dict(lazy[0].__dask_graph__())))
    assert size < len(pickle.dumps(index)) + 2 * x.nbytes
    for got in (dask_client.compute(list(lazy), sync=True), [a.compute(scheduler="threads") for a in lazy]):
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
    with pytest.raises(ValueError, match="x must have shape"):
        index.query(da.zeros((10, 2), chunks=5))
    with pytest.raises(TypeError, match="hint"):
        index.query(da.from_array(x, chunks=1000), hint=np.zeros(len(x), np.int64))
