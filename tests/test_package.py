"""The pure-Python layer: graphs, Morton renumbering and all-by-all joins."""

import importlib.util
import os
import re
import subprocess
import sys
import multiprocessing
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest
from scipy.spatial import cKDTree

import plov
from helpers import cloud, delaunay_csr

SANITIZED = bool(os.environ.get("PLOV_SANITIZED"))


@pytest.fixture(scope="module")
def clouds():
    # sampling order (spatially random numbering) and a few sizes
    return [cloud(300 + 50 * c, 100 + c, offset=0.2 * c) for c in range(5)]


def tree_matrix(clouds, reduce):
    m = len(clouds)
    mat = np.zeros((m, m))
    for j, target in enumerate(clouds):
        tree = cKDTree(target)
        for i, c in enumerate(clouds):
            d = tree.query(c)[0]
            mat[i, j] = d.mean() if reduce in ("mean", "chamfer") else d.max()
    if reduce == "chamfer":
        return mat + mat.T
    if reduce == "hausdorff":
        return np.maximum(mat, mat.T)
    return mat


def test_reexports_native_api():
    import _plov

    for name in _plov.__all__:
        assert getattr(plov, name) is getattr(_plov, name)


def test_delaunay_graph_matches_scipy():
    pts = cloud(500, 1)
    ip, ix = plov.delaunay_graph(pts)
    rip, rix = delaunay_csr(pts)
    np.testing.assert_array_equal(ip, rip)
    for v in range(len(pts)):
        assert sorted(rix[rip[v]:rip[v + 1]]) == ix[ip[v]:ip[v + 1]].tolist()
    with pytest.raises(ValueError, match=r"shape \(n, 3\)"):
        plov.delaunay_graph(np.zeros((10, 2)))


def test_morton_reorder_is_a_consistent_renumbering():
    pts = cloud(2000, 2)
    ip, ix = plov.delaunay_graph(pts)
    p2, ip2, ix2, perm = plov.morton_reorder(pts, ip, ix)
    assert perm.dtype == np.int64 and sorted(perm) == list(range(2000))
    np.testing.assert_array_equal(p2, pts[perm])
    inv = np.empty_like(perm)
    inv[perm] = np.arange(2000)
    for k in (0, 17, 1999):
        old = perm[k]
        assert ix2[ip2[k]:ip2[k + 1]].tolist() == inv[ix[ip[old]:ip[old + 1]]].tolist()
    # the renumbered cloud is spatially coherent: consecutive points are close
    step = lambda p: np.linalg.norm(np.diff(p, axis=0), axis=1).mean()
    assert step(p2) < step(pts) / 4
    # searching the renumbered target and mapping through perm gives the same answers
    q = cloud(300, 3)
    qi, qn = plov.delaunay_graph(q)
    d0, i0 = plov.PreparedF64(pts, ip, ix).query(q, qi, qn)
    d1, i1 = plov.PreparedF64(p2, ip2, ix2).query(q, qi, qn)
    np.testing.assert_array_equal(d0, d1)
    np.testing.assert_array_equal(i0, perm[i1.astype(np.int64)])


@pytest.mark.parametrize("reduce", ["mean", "max", "chamfer", "hausdorff"])
def test_all_by_all_matches_trees(clouds, reduce):
    mat = plov.all_by_all(clouds, reduce=reduce, workers=2)
    assert mat.shape == (5, 5)
    np.testing.assert_allclose(mat, tree_matrix(clouds, reduce), rtol=1e-12, atol=0)
    if reduce in ("chamfer", "hausdorff"):
        np.testing.assert_array_equal(mat, mat.T)
    assert (np.diag(mat) == 0).all()


def test_per_point_results_in_callers_numbering(clouds):
    res = plov.all_by_all(clouds, reduce=None, dtype=np.float32, reorder=True)
    assert isinstance(res, plov.AllByAll)
    n = sum(len(c) for c in clouds)
    assert res.dists.shape == res.idx.shape == (5, n) and res.dists.dtype == np.float32
    assert res.offsets.tolist() == np.concatenate([[0], np.cumsum([len(c) for c in clouds])]).tolist()
    for j, target in enumerate(clouds):
        for i, c in enumerate(clouds):
            s = slice(res.offsets[i], res.offsets[i + 1])
            td, ti = cKDTree(target.astype(np.float32)).query(c.astype(np.float32))
            np.testing.assert_array_equal(res.idx[j, s], ti)


PEAK_SCRIPT = """
import gc, sys
import numpy as np
import plov

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024

rng = np.random.default_rng(0)
clouds = [rng.random((400, 3)) + 0.01 * c for c in range(150)]
graphs = [plov.delaunay_graph(c) for c in clouds]
plov.all_by_all(clouds[:3], graphs=graphs[:3], reduce=None, workers=2)
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident set
before = status("VmRSS")
res = plov.all_by_all(clouds, graphs=graphs, reduce=None, workers=2)
print((status("VmHWM") - before) / (res.dists.nbytes + res.idx.nbytes))
"""


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/clear_refs"), reason="measures the resident set")
def test_per_point_results_peak_near_their_size():
    # 150 clouds of 400 points: a result of 144 MB. Prepared clouds, the grouped set and
    # the columns in flight take about a tenth of that; every column kept until the end
    # and then stacked would take twice the result.
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert float(out.stdout) < 1.2


def test_bound_and_orderings_agree(clouds):
    free = plov.all_by_all(clouds, reduce=None, reorder=False)
    for reorder in ("auto", True):
        other = plov.all_by_all(clouds, reduce=None, reorder=reorder, block=5)
        np.testing.assert_array_equal(free.dists, other.dists)
    bounded = plov.all_by_all(clouds, reduce=None, distance_upper_bound=0.02)
    hit = free.dists <= 0.02
    np.testing.assert_array_equal(bounded.dists[hit], free.dists[hit])
    assert (bounded.dists[~hit] == np.inf).all()


@pytest.mark.processes
def test_executors_give_identical_results(clouds):
    ref = plov.all_by_all(clouds, reduce="chamfer")
    with ThreadPoolExecutor(3) as pool:
        np.testing.assert_array_equal(plov.all_by_all(clouds, executor=pool), ref)
    # Forked children of a process that runs threads (a cluster, thread pools) may
    # deadlock; fresh interpreters cannot.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        np.testing.assert_array_equal(plov.all_by_all(clouds, executor=pool, workers=3), ref)


@pytest.mark.processes
def test_dask_cluster_gives_identical_results(clouds):
    distributed = pytest.importorskip("distributed")
    ref = plov.all_by_all(clouds, reduce=None)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        res = plov.all_by_all(clouds, reduce=None, executor=client.get_executor(), workers=2)
        dists, idx = client.compute([res.dists, res.idx], sync=True)
    np.testing.assert_array_equal(dists, ref.dists)
    np.testing.assert_array_equal(idx, ref.idx)


def test_progress_bar(clouds, capsys):
    pytest.importorskip("tqdm")
    plov.all_by_all(clouds[:2], progress=True)
    assert "targets" in capsys.readouterr().err


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(clouds=[]), ValueError, "clouds is empty"),
        (dict(clouds="abc"), TypeError, "sequence"),
        (dict(clouds=[np.zeros((10, 3)), np.zeros((10, 2))]), ValueError, r"clouds\[1\] must have shape"),
        (dict(clouds=[np.zeros((10, 3)), [[0, 0], [1, 1, 1]]]), ValueError, r"clouds\[1\]"),
        (dict(clouds=[np.zeros((0, 3))], graphs=[(np.zeros(1), np.zeros(0))]), ValueError, r"clouds\[0\] has no points"),
        (dict(clouds=[np.zeros((4, 3))], graphs=[(np.zeros(4), np.zeros(0))]), ValueError, r"graphs\[0\]: indptr"),
        (dict(clouds=[np.zeros((2, 3))], graphs=[(np.array([0, 1, 2]), np.array([1, 5]))]), ValueError, r"graphs\[0\]: neighbour"),
        (dict(clouds=[np.zeros((2, 3))], graphs=[]), ValueError, "graphs has 0 entries"),
        (dict(clouds=[np.zeros((9, 3))], reduce="median"), ValueError, "reduce must be"),
        (dict(clouds=[np.zeros((9, 3))], dtype=np.int32), ValueError, "dtype"),
        (dict(clouds=[np.zeros((9, 3))], workers=0), ValueError, "workers"),
    ],
)
def test_bad_input_is_refused_before_work(kwargs, error, match):
    clouds = kwargs.pop("clouds")
    with pytest.raises(error, match=match):
        plov.all_by_all(clouds, **kwargs)


def test_a_graph_gets_the_same_verdict_from_index_and_all_by_all():
    pts = cloud(40, 7)
    ip, ix = delaunay_csr(pts)
    # vertex 3 loses its list (and the others keep theirs): no exact search over it
    deg = np.diff(ip.astype(np.int64))
    keep = np.repeat(np.arange(len(pts)), deg) != 3
    holed = (np.concatenate([[0], np.cumsum(np.where(np.arange(len(pts)) == 3, 0, deg))]), ix[keep])
    with pytest.raises(ValueError, match="graph: point 3 has no neighbours"):
        plov.Index(pts, graph=holed)
    with pytest.raises(ValueError, match=r"graphs\[1\]: point 3 has no neighbours"):
        plov.all_by_all([pts, pts], graphs=[(ip, ix), holed])
    # one point needs no neighbour; lists of any integer type and layout are taken
    one = (np.array([0, 0]), np.zeros(0, np.int64))
    got = plov.all_by_all([pts[:1], pts], graphs=[one, (ip.astype(np.int64), ix[::-1][::-1])], reduce="max")
    assert got[0, 0] == 0 and got[1, 1] == 0
    assert got[0, 1] == 0 and got[1, 0] == np.sqrt(((pts - pts[0]) ** 2).sum(1)).max()


@pytest.mark.parametrize("kwargs, match", [
    (dict(block=-1), "block must be a non-negative integer"),
    (dict(block=True), "block must be a non-negative integer"),
    (dict(block=2.0), "block must be a non-negative integer"),
    (dict(reorder="yes"), "reorder must be 'auto', True or False"),
    (dict(reorder=2), "reorder must be 'auto', True or False"),
])
def test_block_and_reorder_are_checked(clouds, kwargs, match):
    with pytest.raises(ValueError, match=match):
        plov.all_by_all(clouds[:2], **kwargs)


def test_demo_runs(tmp_path, capsys):
    from plov.__main__ import main

    out = tmp_path / "chamfer.png"
    # the default --workers is -1 (every core)
    assert main(["demo", "--clouds", "4", "--points", "300", "--no-progress", "--out", str(out)]) == 0
    text = capsys.readouterr().out
    assert "plov (Delaunay graphs + all-by-all)" in text and "end to end" in text and "faster" in text
    if importlib.util.find_spec("matplotlib"):
        assert out.stat().st_size > 0 and str(out) in text
    assert main([]) == 2


@pytest.mark.parametrize("argv, code, match", [
    (["--help"], 0, "usage: python -m plov demo"),
    (["demo", "--help"], 0, "--workers"),
    (["demo", "--points", "-5"], 2, "--points: must be a positive integer, not -5"),
    (["demo", "--clouds", "0"], 2, "--clouds: must be a positive integer, not 0"),
    (["demo", "--clouds", "100000", "--points", "100000000"], 2, "need about .* GiB; this machine has"),
    (["demo", "--workers", "0"], 2, "workers must be a positive integer or -1"),
])
def test_demo_flags_are_checked(argv, code, match, capsys):
    from plov.__main__ import main

    assert main(argv) == code
    captured = capsys.readouterr()
    assert re.search(match, captured.out + captured.err)
