"""The benchmark suite's own machinery: layouts and subgraphs keep the graphs intact, the
baseline builds agree with the module, the helper-process protocol, the target verdicts,
and a small end-to-end run of two sections."""

import io
import pickle
from pathlib import Path

import numpy as np
import pytest
from scipy.spatial import Delaunay

from bench import remote, workloads as w
from bench.joins import PACKAGE_BLOCK, _scipy_adjacency, all_by_all, numpy_adjacency, single_join
from bench.recorder import Config
from bench.suite import Suite


def small_cloud(n=400, seed=3):
    pts = np.random.default_rng(seed).random((n, 3))
    return w.Cloud(pts, *w.graph_of(pts, w.triangulate(pts)))


def edge_set(cloud, names=None):
    names = np.arange(cloud.n) if names is None else names
    rows = np.repeat(np.arange(cloud.n), np.diff(cloud.indptr.astype(np.int64)))
    return set(zip(names[rows].tolist(), names[cloud.indices.astype(np.int64)].tolist()))


def morton_code(points):
    """63-bit Z-order keys in the set's own box (x in the lowest bit of each triple)."""
    lo, hi = points.min(0), points.max(0)
    ext = np.where(hi - lo == 0, 1.0, hi - lo)
    q = (((points - lo) / ext) * 2097151.0).astype(np.uint64)
    code = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            code |= ((q[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return code


class TestLayouts:
    def test_morton_layout_renumbers_points_and_graph_consistently(self):
        c = small_cloud()
        m = w.in_layout(c, "morton")
        perm = w.morton_perm(c.points)
        assert sorted(perm.tolist()) == list(range(c.n))
        assert np.array_equal(m.points, c.points[perm])
        # The same edges under the old names, and every list sorted.
        assert edge_set(m, perm) == edge_set(c)
        for v in range(m.n):
            lst = m.indices[m.indptr[v]:m.indptr[v + 1]]
            assert np.all(np.diff(lst.astype(np.int64)) > 0)
        assert np.all(np.diff(morton_code(m.points).astype(np.float64)) >= 0)
        assert w.in_layout(c, "sampled") is c

    def test_induced_halves_keep_inner_edges_only(self):
        c = small_cloud()
        halves = w.halves(c)
        assert np.array_equal(np.sort(np.concatenate(halves)), np.arange(c.n))
        assert abs(len(halves[0]) - len(halves[1])) <= 1
        full = edge_set(c)
        for h in halves:
            sub = w.induced(c, h)
            assert np.array_equal(sub.points, c.points[h])
            inside = set(h.tolist())
            assert edge_set(sub, h) == {(a, b) for a, b in full if a in inside and b in inside}
            # Searchable: the module accepts the subgraph and answers it exactly.
            d, _ = w._plov.PreparedF64(*c).query_prepared(w._plov.PreparedF64(*sub))
            assert np.array_equal(d, np.zeros(len(h)))

    def test_generators_are_seeded_and_shaped(self):
        a, b = w.ball_gradient(20_000, 5), w.ball_gradient(20_000, 5)
        assert np.array_equal(a, b) and a.shape == (20_000, 3)
        assert np.all((a * a).sum(1) <= 1.0)
        # Density rises tenfold along x: the cap x > 0.5 holds over three times the points
        # of the cap x < -0.5 (a uniform ball: the same number).
        assert (a[:, 0] > 0.5).sum() > 3 * (a[:, 0] < -0.5).sum()
        t = w.torus(5_000, 1)
        tube = np.hypot(np.hypot(t[:, 0], t[:, 1]) - 1.0, t[:, 2])
        assert abs(np.median(tube) - 0.35) < 0.01


class TestGraphBuildBaselines:
    def test_numpy_and_scipy_builds_match_the_module(self):
        pts = np.random.default_rng(9).random((300, 3))
        tri = Delaunay(pts)
        s64 = tri.simplices.astype(np.uint64)
        ours = w._plov.graph_from_simplices(s64, len(pts))
        got = numpy_adjacency(s64, len(pts))
        assert np.array_equal(got[0], ours[0]) and np.array_equal(got[1], ours[1])
        # The restored Delaunay object answers as the real one (or the fallback does).
        build = _scipy_adjacency(pts, tri.simplices.astype(np.intc))
        ip, ix = build()
        ref_ip, ref_ix = tri.vertex_neighbor_vertices
        assert np.array_equal(ip, ref_ip) and np.array_equal(ix, ref_ix)
        assert np.array_equal(build()[1], ix)  # a second call recomputes the same


class TestTiming:
    def test_round_robin_calibrates_and_samples_every_job(self):
        calls = {"fast": 0, "slow": 0, "long": 0}

        def job(name, cost):
            def run(number):
                calls[name] += number
                return cost
            return remote.Job(run, lambda: name)

        costs = {"fast": 1e-4, "slow": 1.0, "long": remote.LONG_S * 1.5}
        samples = remote.round_robin({k: job(k, c) for k, c in costs.items()}, 5)
        assert {k: len(v) for k, v in samples.items()} == {"fast": 5, "slow": 5, "long": 3}
        assert calls["slow"] == 1 + 5  # warm-up, then one call per sample
        assert calls["fast"] == 1 + 5 * int(np.ceil(remote.MIN_SAMPLE_S / 1e-4))
        assert calls["long"] == 3  # its warm-up call is one of its samples

    def test_local_job_hands_out_its_last_output(self):
        outputs = iter(range(100))
        job = remote.local_job(lambda: next(outputs))
        job.run(3)
        assert job.result() == 2
        assert job.result() == 3  # nothing kept: a fresh call

    def test_serve_replies_in_order_and_reports_failures(self):
        msgs = [("drop", "nothing"), ("run", "missing", 1), ("bogus",)]
        inp = io.BytesIO(b"".join(pickle.dumps(m) for m in msgs))
        out = io.BytesIO()
        remote.serve(inp, out)
        out.seek(0)
        replies = [pickle.load(out) for _ in msgs]
        assert replies[0] == ("ok", None)
        assert replies[1][0] == "error" and "missing" in replies[1][1]
        assert replies[2] == ("error", "ValueError: unknown request 'bogus'")

    def test_serve_times_a_pykdtree_query(self):
        pytest.importorskip("pykdtree")
        data = np.random.default_rng(1).random((500, 3))
        msgs = [("setup", "j", "query", dict(data=data, queries=data[:50], k=1)), ("run", "j", 2), ("result", "j")]
        inp, out = io.BytesIO(b"".join(pickle.dumps(m) for m in msgs)), io.BytesIO()
        remote.serve(inp, out)
        out.seek(0)
        setup, run, result = (pickle.load(out) for _ in msgs)
        assert setup == ("ok", None) and run[0] == "ok" and run[1] > 0
        assert np.array_equal(result[1][0], np.zeros(50)) and np.array_equal(result[1][1], np.arange(50))


def suite_for_rows(rows):
    s = Suite.__new__(Suite)  # no helper processes: only the verdicts are exercised
    s.cfg = Config.make(True, None, None)
    s.rows = rows
    return s


class TestTargets:
    def test_verdicts_use_the_right_baselines_and_directions(self):
        ratios = lambda ck, pk: {"cKDTree/1": ck, "cKDTree/2": ck / 2, "pykdtree/1": pk, "pykdtree/2": pk / 2}  # noqa
        sel = dict(section="single_join", workload="ball", layout="morton", dtype="f64", threads=1)
        rows = [
            dict(sel, method="query_grouped", ratios=ratios(5.5, 1.9)),
            dict(sel, method="query_prepared", ratios=ratios(2.5, 1.3)),
            dict(section="evals", kind="ball", layout="morton", method="query_prepared", evals_per_point=41.0),
            dict(section="evals", kind="surfaces", layout="morton", method="query_grouped block=32 (all-by-all)",
                 evals_per_point=20.0),
            # k = 8: 3x faster than cKDTree but only 1.5x faster than pykdtree -> missed.
            dict(section="knn", workload="ball", layout="morton", method="query_prepared_k ef=16",
                 recall=0.995, ratios=ratios(3.0, 1.5)),
            dict(section="all_by_all", layout="morton", method="query_grouped", threads=1, median_s=2.0,
                 ratios=ratios(9.0, 2.9)),
            dict(section="all_by_all", layout="morton", method="query_grouped", threads=2, median_s=1.0,
                 ratios=ratios(18.0, 5.8)),
        ]
        verdicts = {t["target"].split(": ", 1)[1]: (t["met"], t["value"]) for t in suite_for_rows(rows).targets()}
        assert verdicts["query_grouped vs cKDTree/1"] == (True, 5.5)
        assert verdicts["query_grouped vs pykdtree/1"] == (False, 1.9)
        assert verdicts["query_prepared vs cKDTree/1"] == (True, 2.5)  # the aim itself is met
        assert verdicts["evals per point, query_prepared"] == (False, 41.0)
        assert verdicts["evals per point, query_grouped"] == (True, 20.0)
        assert verdicts["recall@8"] == (True, 0.995)
        assert verdicts["vs the faster tree (1 thread)"] == (False, 1.5)
        assert verdicts["2 threads vs 1"] == (True, 2.0)
        assert verdicts["vs pykdtree/1"] == (False, 2.9)

    def test_absent_sections_give_no_verdict(self):
        assert suite_for_rows([]).targets() == []


def test_two_sections_end_to_end(tmp_path: Path):
    """A single join and an all-by-all on small clouds: every contender is timed, plov's
    answers are exact, the ratios are consistent and the figures are drawn."""
    pytest.importorskip("pykdtree")
    pytest.importorskip("matplotlib")
    from bench.plots import draw

    q, t = small_cloud(3000, 1), small_cloud(3000, 2)
    suite = Suite(Config(True, tmp_path, 1, 1, 3000, 3, 500, (), 0))
    try:
        single_join(suite, "uniform", q, t, "sampled", np.float32, "single_join", two_threads=True)
        single_join(suite, "uniform", q, t, "morton", np.float64, "scaling", two_threads=False)
        all_by_all(suite, [small_cloud(500, s) for s in (4, 5, 6)], "morton")
    finally:
        suite.close()
    rows = suite.rows
    joins = [r for r in rows if r["section"] == "single_join"]
    assert {(r["method"], r["threads"]) for r in joins} >= {
        ("query_grouped", 1), ("query_grouped", 2), ("query_prepared", 2), ("all_nearest_neighbours", 1),
        ("cKDTree", 1), ("cKDTree", 2), ("pykdtree", 1), ("pykdtree", 2), ("cKDTree, queries as sampled", 1)}
    for r in rows:
        if r["method"].startswith("query") or r["method"] == "all_nearest_neighbours":
            assert r["exact"] == 1.0, r
        if "cKDTree/1" in r["ratios"]:
            base = next(b for b in rows if b["section"] == r["section"] and b.get("layout") == r.get("layout")
                        and b.get("dtype") == r.get("dtype") and (b["method"], b["threads"]) == ("cKDTree", 1))
            assert r["ratios"]["cKDTree/1"] == pytest.approx(base["median_s"] / r["median_s"])
    abba = [r for r in rows if r["section"] == "all_by_all"]
    assert {r["n_query"] for r in abba} == {3 * 1500, 2 * 1500}  # plov answers own points too
    written = draw(dict(rows=rows), tmp_path)
    assert [p.name for p in written] == ["scaling.png", "threads.png"]
    assert all(p.stat().st_size > 10_000 for p in written)

    # The results section of the page is replaced, the prose around it kept.
    from bench import report

    doc = tmp_path / "benchmarks.md"
    doc.write_text(f"intro\n{report.START}\nold\n{report.END}\noutro {report.START[:4]}\n")
    meta = dict(date="d", mode="quick", seconds=60, cpu="c", cpus=2, load_before=0.5, load_after=0.6,
                python="3", numpy="2", scipy="1", repeats=1)
    assert report.update(doc, dict(meta=meta, rows=rows, targets=[]))
    text = doc.read_text()
    assert text.startswith("intro\n") and text.endswith(f"outro {report.START[:4]}\n") and "old" not in text
    grouped = next(r for r in joins if (r["method"], r["threads"], r["layout"]) == ("query_grouped", 1, "sampled"))
    line = next(x for x in text.splitlines() if x.startswith("| query_grouped | 1 |"))  # the single join's
    assert [c.strip() for c in line.split("|")[1:-1]] == ["query_grouped", "1", "", "", "", report._cell(grouped)]
    assert "| 3,000 |" in text and "sampled layout, float64, one thread" not in text  # no empty table


COUNT_CHILD = """
import numpy as np
from bench.env import load_plov
p = load_plov()
chain = p.PreparedF64(np.array([[0.0, 0, 0], [1, 0, 0], [2, 0, 0]]), np.array([0, 1, 3, 4], np.uint32),
                      np.array([1, 0, 2, 1], np.uint32))
q = np.array({queries}, dtype=np.float64)
query = p.PreparedF64(q, np.zeros(len(q) + 1, np.uint32), np.zeros(0, np.uint32))
{call}
"""


@pytest.mark.skipif(not any(Path(__file__).parent.parent.glob("build-count/_plov*.so")),
                    reason="no counting build in build-count/ (python -m bench makes it)")
@pytest.mark.parametrize("queries, calls, expected", [
    # One query walking the chain 0 -> 1 -> 2 from the seed 0: the seed's distance, then
    # the neighbours of 0, 1 and 2 (1 + 2 + 1), three steps. Both traversals count alike.
    ([[2.0, 0, 0]], ["chain.query_prepared(query)"], (1, 5, 3)),
    ([[2.0, 0, 0]], ["chain.query_prepared_blocked(query, 1)"], (1, 5, 3)),
    # Two queries of one block share each gathered neighbourhood, but each evaluates it.
    ([[2.0, 0, 0], [2.1, 0, 0]], ["chain.query_prepared_blocked(query, 2)"], (2, 10, 6)),
    ([[2.0, 0, 0], [2.1, 0, 0]], ["chain.query_grouped(p.GroupedQueriesF64.prepare([query], [None]), None)"],
     (2, 10, 6)),
])
def test_counting_build_counts_both_descents(queries, calls, expected):
    import os
    import re
    import subprocess
    import sys

    root = Path(__file__).parent.parent
    env = dict(os.environ, PLOV_BENCH_BUILD=str(root / "build-count"), PYTHONPATH=str(root))
    code = COUNT_CHILD.format(queries=queries, call="\n".join(calls))
    res = subprocess.run([sys.executable, "-c", code], env=env, cwd=root, capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    found = re.findall(r"descents (\d+) evals (\d+) steps (\d+)", res.stderr)
    assert tuple(map(int, found[-1])) == expected


def test_suite_measures_the_block_the_package_uses():
    import inspect

    import plov

    assert inspect.signature(plov.all_by_all).parameters["block"].default == PACKAGE_BLOCK
