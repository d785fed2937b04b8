"""All-by-all joins in tiles: on a process pool and on a real Dask cluster of two worker
processes, whose memory limit is a quarter of the collection."""

import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from scipy.spatial import cKDTree

import plov
from helpers import cloud
from plov import _tiles
from plov._allbyall import query_groups

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

REDUCTIONS = ["chamfer", "hausdorff", "mean", "max", None]


def make_clouds():
    # Sizes that do not divide evenly into groups and tiles; a grid cloud and a cloud with
    # repeated points, where equidistant answers make ties.
    clouds = [cloud(700 + 113 * c, 300 + c, offset=0.05 * c) for c in range(11)]
    g = np.linspace(0.0, 1.0, 11)
    clouds.insert(4, np.stack(np.meshgrid(g, g, g[:6]), -1).reshape(-1, 3))
    clouds[7] = np.concatenate([clouds[7], clouds[7][:200]])
    return clouds


CLOUDS = make_clouds()


def knn_graphs(clouds, k=4):
    # Not Delaunay graphs: greedy descent stops at local minima, so the answers depend on
    # where each descent starts, and so on how the queries were grouped.
    out = []
    for c in clouds:
        _, nb = cKDTree(c).query(c, k + 1)
        rows = np.repeat(np.arange(len(c)), k)
        pairs = np.unique(np.concatenate([np.stack([rows, nb[:, 1:].ravel()], 1),
                                          np.stack([nb[:, 1:].ravel(), rows], 1)]), axis=0)
        indptr = np.searchsorted(pairs[:, 0], np.arange(len(c) + 1)).astype(np.uint32)
        out.append((indptr, pairs[:, 1].astype(np.uint32)))
    return out


GRAPHS = knn_graphs(CLOUDS)


def plan_bytes(clouds, graphs):
    """What shipping the whole plan to a task sends: every cloud and every graph."""
    return sum(c.nbytes + ip.nbytes + ix.nbytes for c, (ip, ix) in zip(clouds, graphs))


# Each worker may hold a quarter of the collection. The workers' own interpreters exceed
# that by far, so pausing and terminating on process memory are off; spilling stays on.
MEMORY_LIMIT = plan_bytes(CLOUDS, [plov.delaunay_graph(c) for c in CLOUDS]) // 4
LOW_MEMORY = {
    "distributed.worker.memory.target": 0.6,
    "distributed.worker.memory.spill": 0.7,
    "distributed.worker.memory.pause": False,
    "distributed.worker.memory.terminate": False,
}


class Received(distributed.diagnostics.plugin.SchedulerPlugin):
    """Records, for every task that starts, the keys and bytes of its inputs."""

    def __init__(self, scheduler):
        self.scheduler, self.inputs = scheduler, {}

    def transition(self, key, start, finish, *args, **kwargs):
        if finish == "processing":
            deps = self.scheduler.tasks[key].dependencies
            self.inputs[key] = {d.key: d.nbytes for d in deps}


@pytest.fixture(scope="module")
def cluster():
    with dask.config.set(LOW_MEMORY):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=":0", memory_limit=MEMORY_LIMIT) as cluster:
            received = Received(cluster.scheduler)
            cluster.scheduler.add_plugin(received, name="received")
            with distributed.Client(cluster, set_as_default=False) as client:  # plov must not need a default
                yield client, received


@pytest.fixture
def client(cluster):
    client, received = cluster
    received.inputs.clear()
    return client


def assert_same(res, ref):
    if isinstance(ref, plov.AllByAll):
        np.testing.assert_array_equal(res.dists, ref.dists)
        np.testing.assert_array_equal(res.idx, ref.idx)
        np.testing.assert_array_equal(res.offsets, ref.offsets)
    else:
        np.testing.assert_array_equal(res, ref)


def on_cluster(client, **kwargs):
    res = plov.all_by_all(CLOUDS, executor=client, **kwargs)
    if kwargs.get("reduce", "chamfer") is None:
        dists, idx = client.compute([res.dists, res.idx], sync=True)
        return plov.AllByAll(dists, idx, res.offsets)
    return res


@pytest.mark.parametrize("graphs", [None, GRAPHS], ids=["raw points", "knn graphs"])
def test_cluster_matches_thread_pool_for_every_reduction(client, graphs):
    for reduce in REDUCTIONS:
        ref = plov.all_by_all(CLOUDS, graphs=graphs, reduce=reduce)
        assert_same(on_cluster(client, graphs=graphs, reduce=reduce, tile_memory=1 << 20), ref)


def test_cluster_matches_thread_pool_in_single_precision_with_a_bound(client):
    kwargs = dict(graphs=GRAPHS, reduce=None, dtype=np.float32, distance_upper_bound=0.03, reorder=True, block=3)
    ref = plov.all_by_all(CLOUDS, **kwargs)
    assert np.isinf(ref.dists).any() and np.isfinite(ref.dists).any()
    assert_same(on_cluster(client, tile_memory=1 << 20, **kwargs), ref)
    # the client's executor interface takes the same path
    res = plov.all_by_all(CLOUDS, executor=client.get_executor(), **{**kwargs, "reduce": "max"})
    assert_same(res, plov.all_by_all(CLOUDS, **{**kwargs, "reduce": "max"}))


@pytest.mark.processes
def test_process_pool_matches_thread_pool():
    # Forked children of a process that runs threads (a cluster, thread pools) may
    # deadlock; fresh interpreters cannot.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        for reduce in (None, "hausdorff"):
            ref = plov.all_by_all(CLOUDS, graphs=GRAPHS, reduce=reduce)
            assert_same(plov.all_by_all(CLOUDS, graphs=GRAPHS, reduce=reduce, executor=pool, tile_memory=1 << 20), ref)


def test_per_point_results_are_lazy(client, cluster):
    res = plov.all_by_all(CLOUDS, executor=client, reduce=None, tile_memory=1 << 20)
    assert isinstance(res.dists, dask.array.Array) and isinstance(res.idx, dask.array.Array)
    n = sum(len(c) for c in CLOUDS)
    assert res.dists.shape == res.idx.shape == (len(CLOUDS), n) and res.idx.dtype == np.uint64
    assert res.dists.numblocks[0] > 1 and res.dists.numblocks[1] > 1
    # only the clouds have gone to the cluster; no graph or tile has run
    assert not [k for k in cluster[1].inputs if k[0] != "clouds"]
    assert_same(on_cluster(client, reduce=None, tile_memory=1 << 20), plov.all_by_all(CLOUDS, reduce=None))


def test_collection_four_times_a_workers_memory_completes(client, cluster):
    ref = plov.all_by_all(CLOUDS, reduce="chamfer")
    assert_same(plov.all_by_all(CLOUDS, executor=client, reduce="chamfer"), ref)
    inputs = cluster[1].inputs
    tiles = {k: v for k, v in inputs.items() if k[0] == "tile"}
    n_rows = 1 + max(k[2] for k in tiles)
    n_cols = 1 + max(k[3] for k in tiles)
    assert len(tiles) == n_rows * n_cols and n_rows > 1 and n_cols > 1
    # no task receives more than a worker may hold, where the whole plan is four times that
    assert max(sum(v.values()) for v in inputs.values()) < MEMORY_LIMIT
    # each cloud's points arrive once per tile of its row and at its graph's task, and its
    # graph once per tile of its column
    groups = query_groups([len(c) for c in CLOUDS])
    for g, clouds in enumerate(groups):
        takers = [k for k, v in inputs.items() if ("clouds", k[1], g) in v]
        assert len(takers) == n_cols + len(clouds)
        for c in clouds:
            assert len([k for k, v in inputs.items() if ("graph of cloud", k[1], c) in v]) == n_rows
            assert n_cols + len(clouds) + n_rows <= 2 * (n_rows + n_cols)


class ExitOnFirstTile(distributed.diagnostics.plugin.WorkerPlugin):
    """Ends its worker's process the first time any worker starts a tile."""

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and isinstance(key, tuple) and key[0] == "tile":
            try:
                fd = os.open(self.marker, os.O_CREAT | os.O_EXCL)
            except FileExistsError:
                return
            os.close(fd)
            os._exit(1)


def test_a_worker_dying_mid_tile_costs_only_its_work(client, tmp_path):
    marker = str(tmp_path / "exited")
    client.register_plugin(ExitOnFirstTile(marker), name="exit-on-first-tile")
    try:
        res = plov.all_by_all(CLOUDS, graphs=GRAPHS, executor=client, reduce="mean", tile_memory=1 << 20)
    finally:
        client.unregister_worker_plugin("exit-on-first-tile")
    assert os.path.exists(marker)
    assert_same(res, plov.all_by_all(CLOUDS, graphs=GRAPHS, reduce="mean"))
    client.wait_for_workers(2, timeout=60)


def test_bad_cloud_is_refused_before_anything_is_submitted(client, cluster):
    bad = list(CLOUDS)
    bad[5] = bad[5].copy()
    bad[5][9, 1] = np.nan
    with pytest.raises(ValueError, match=r"clouds\[5\] has a NaN"):
        plov.all_by_all(bad, executor=client)
    with pytest.raises(ValueError, match=r"graphs\[2\]"):
        plov.all_by_all(CLOUDS, graphs=GRAPHS[:2] + [(GRAPHS[2][0][:-1], GRAPHS[2][1])] + GRAPHS[3:], executor=client)
    with pytest.raises(TypeError, match="executor must be"):
        plov.all_by_all(CLOUDS, executor=client.scheduler)
    with pytest.raises(ValueError, match="tile_memory"):
        plov.all_by_all(CLOUDS, executor=client, tile_memory=0)
    assert cluster[1].inputs == {}


def test_interrupt_cancels_the_submitted_tiles(client, cluster, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(_tiles._Result, "put", interrupted)
    with pytest.raises(KeyboardInterrupt):
        plov.all_by_all(CLOUDS, executor=client, tile_memory=1 << 20)
    scheduler = cluster[1].scheduler
    deadline = time.monotonic() + 30
    while scheduler.tasks and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not scheduler.tasks  # nothing of the join is kept or still to run


def test_progress_bar_counts_tiles(client, capsys):
    pytest.importorskip("tqdm")
    plov.all_by_all(CLOUDS[:5], executor=client, progress=True, tile_memory=1 << 20)
    assert "tiles" in capsys.readouterr().err


def test_tiles_cover_the_matrix_within_their_memory():
    rng = np.random.default_rng(5)
    sizes = [int(n) for n in rng.integers(1, 30_000, 60)] + [200_000]
    edges = [15 * n for n in sizes]
    groups = query_groups(sizes)
    assert [c for g in groups for c in g] == list(range(len(sizes)))
    for g in groups:
        assert len(g) == 1 or sum(sizes[c] for c in g) <= 1 << 16
    for budget in (1 << 20, 64 << 20, 1 << 40):
        tiling = _tiles.plan_tiles(sizes, edges, 8, budget)
        assert [g for r in tiling.rows for g in r] == list(range(len(groups)))
        assert [c for col in tiling.cols for c in col] == list(range(len(sizes)))
        for r in tiling.rows:
            q = _tiles.query_bytes(sum(sizes[c] for g in r for c in groups[g]), 8)
            for col in tiling.cols:
                t = sum(_tiles.target_bytes(sizes[c], edges[c], 8) for c in col)
                assert q + t <= budget or (len(r) == 1 and (len(col) == 1 or q > budget // 2))
    assert len(_tiles.plan_tiles(sizes, edges, 8, 1 << 40).rows) == 1
    # equal clouds get rows and columns of equal size, give or take one group or cloud,
    # so that the last tiles do not keep one worker busy alone
    even = _tiles.plan_tiles([5000] * 200, [80_000] * 200, 8, 78 << 20)
    for runs in (even.rows, even.cols):
        assert len(runs) > 1 and max(map(len, runs)) - min(map(len, runs)) <= 1


def eventually(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def chunk_of(c, start, stop, client_pid):
    """Rows [start, stop) of CLOUDS[c], made where Dask runs this: never in the client."""
    assert os.getpid() != client_pid, "the points of a cloud on the cluster were made in the client"
    return CLOUDS[c][start:stop]


def made_on_the_cluster(client, c, kind):
    """CLOUDS[c] as a Dask array of chunks of 300 rows, or as a future, whose points are
    made on the workers."""
    n, pid = len(CLOUDS[c]), os.getpid()
    if kind == "future":
        return client.submit(chunk_of, c, 0, n, pid)
    return da.concatenate([
        da.from_delayed(dask.delayed(chunk_of, pure=True)(c, a, min(a + 300, n), pid), (min(a + 300, n) - a, 3),
                                CLOUDS[c].dtype) for a in range(0, n, 300)])


def pulled_bytes(monkeypatch):
    """A list that receives the bytes of arrays the client fetches from the cluster."""
    pulled = []

    def nbytes(x):
        return x.nbytes if isinstance(x, np.ndarray) else sum(map(nbytes, x)) if isinstance(x, (list, tuple)) else 0

    for cls, name in ((distributed.Future, "result"), (distributed.Client, "gather")):
        def spy(*args, _fetch=getattr(cls, name), **kwargs):
            out = _fetch(*args, **kwargs)
            pulled.append(nbytes(out))
            return out
        monkeypatch.setattr(cls, name, spy)
    return pulled


@pytest.mark.parametrize("graphs", [None, GRAPHS], ids=["raw points", "knn graphs"])
def test_clouds_on_the_cluster_are_joined_there(client, cluster, monkeypatch, graphs):
    # Dask arrays, futures and client-side arrays mixed; the points of the first two are
    # made on the workers (a chunk made in the client fails) and never fetched by it.
    kinds = ["dask array", "future", "numpy"]
    clouds = [c if kinds[k % 3] == "numpy" else made_on_the_cluster(client, k, kinds[k % 3])
              for k, c in enumerate(CLOUDS)]
    for reduce in REDUCTIONS:
        ref = plov.all_by_all(CLOUDS, graphs=graphs, reduce=reduce)
        with monkeypatch.context() as m:
            pulled = pulled_bytes(m)
            res = plov.all_by_all(clouds, graphs=graphs, executor=client, reduce=reduce, tile_memory=1 << 20)
        # the directed matrix, tile by tile; the per-point results stay lazy
        assert sum(pulled) == (0 if reduce is None else 8 * len(CLOUDS) ** 2)
        if reduce is None:
            assert isinstance(res.dists, da.Array)
            # once the group tasks hold the checked clouds, these are let go, not kept twice
            tasks = cluster[1].scheduler.tasks
            assert eventually(lambda: all((t.state == "memory") == (k[0] == "clouds")
                                          for k, t in list(tasks.items()) if k[0] in ("clouds", "cloud")))
            res = plov.AllByAll(*client.compute([res.dists, res.idx], sync=True), res.offsets)
        assert_same(res, ref)


def test_without_a_cluster_dask_arrays_are_computed_and_futures_refused(client):
    clouds = [da.from_array(c, chunks=(250, 3)) if k % 2 else c for k, c in enumerate(CLOUDS)]
    assert_same(plov.all_by_all(clouds, reduce="max"), plov.all_by_all(CLOUDS, reduce="max"))
    clouds[4] = client.scatter(CLOUDS[4])
    for executor in (None, ProcessPoolExecutor(1)):
        with pytest.raises(TypeError, match=r"clouds\[4\] is a future of a Dask cluster"):
            plov.all_by_all(clouds, executor=executor)
        if executor is not None:
            executor.shutdown()


def test_bad_cloud_on_the_cluster_fails_the_join_naming_it(client, cluster):
    nan = CLOUDS[5].copy()
    nan[9, 1] = np.nan
    for c, bad, message in [(5, da.from_array(nan, chunks=(300, 3)), r"clouds\[5\] has a NaN"),
                            (2, client.submit(np.zeros, (40, 2)), r"clouds\[2\] must have shape \(n, 3\), not \(40, 2\)"),
                            (8, client.submit(np.zeros, (0, 3)), r"clouds\[8\] has no points")]:
        clouds = [made_on_the_cluster(client, k, "future") for k in range(len(CLOUDS))]
        clouds[c] = bad
        for reduce in ("chamfer", None):
            with pytest.raises(ValueError, match=message):
                plov.all_by_all(clouds, executor=client, reduce=reduce)
    # what a Dask array's metadata tells is refused before anything is submitted
    cluster[1].inputs.clear()
    for bad, message in [(da.zeros((40, 2), chunks=10), r"clouds\[1\] must have shape \(n, 3\)"),
                         (da.zeros((0, 3)), r"clouds\[1\] has no points"),
                         (da.zeros((40, 3), dtype=bool), r"clouds\[1\] must hold real numbers")]:
        with pytest.raises((ValueError, TypeError), match=message):
            plov.all_by_all([CLOUDS[0], bad], executor=client)
    assert cluster[1].inputs == {}
    # nothing of the refused joins stays on the cluster (the caller's futures do)
    tasks = cluster[1].scheduler.tasks
    assert eventually(lambda: not [k for k in list(tasks) if isinstance(k, tuple) and k[0] in ("cloud", "size of cloud")])
