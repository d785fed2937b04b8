"""plov.delaunay_tetrahedra and plov.delaunay_graph: scipy's tetrahedra in general position,
the empty-sphere property checked in exact arithmetic on degenerate clouds, descents over
the graphs against brute force, duplicates, flat and collinear clouds, input errors, and
hostile inputs in a child interpreter."""

import os
import subprocess
import sys
import textwrap
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction
from itertools import combinations

import numpy as np
import pytest
from scipy.spatial import Delaunay

import _plov
import plov


# ---- exact oracle ----------------------------------------------------------------------


def exact_ints(points):
    """The coordinates as Python ints on one common dyadic grid: exact, and scaled alike."""
    ratios = [Fraction(float(v)) for v in np.asarray(points, np.float64).ravel()]
    scale = max([r.denominator for r in ratios] + [1])  # powers of two: each divides the largest
    flat = [int(r * scale) for r in ratios]
    return [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def det3(u, v, w):
    return u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) + u[2] * (v[0] * w[1] - v[1] * w[0])


def orient(a, b, c, d):
    """Six times the signed volume of abcd: positive when b - a, c - a, d - a are right-handed."""
    return det3(sub(b, a), sub(c, a), sub(d, a))


def insphere(a, b, c, d, p):
    """Negative when p lies inside the sphere through a positively oriented abcd, zero on it."""
    rows = [sub(x, p) for x in (a, b, c, d)]
    lifted = [x[0] * x[0] + x[1] * x[1] + x[2] * x[2] for x in rows]
    return sum((-1) ** (i + 1) * lifted[i] * det3(*(rows[:i] + rows[i + 1:])) for i in range(4))


def hull2(pts):
    """The 2-D convex hull of integer points, counter-clockwise, without collinear points."""
    pts = sorted(set(pts))
    if len(pts) < 3:
        return pts
    cross = lambda o, a, b: (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])  # noqa: E731
    chain = []
    for seq in (pts, pts[::-1]):
        part = []
        for p in seq:
            while len(part) >= 2 and cross(part[-2], part[-1], p) <= 0:
                part.pop()
            part.append(p)
        chain += part[:-1]
    return chain


def hull_volume6(P):
    """Six times the volume of the convex hull of integer points, by brute force: every plane
    through three points with all points on one side carries a facet, whose polygon is
    fanned to a point of the cloud."""
    facets = set()
    for i, j, k in combinations(range(len(P)), 3):
        u, v = sub(P[j], P[i]), sub(P[k], P[i])
        normal = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        if normal == (0, 0, 0):
            continue
        side = [sum(a * b for a, b in zip(normal, sub(p, P[i]))) for p in P]
        if all(s == 0 for s in side):
            return 0  # a flat cloud
        if all(s >= 0 for s in side) or all(s <= 0 for s in side):
            drop = max(range(3), key=lambda c: abs(normal[c]))
            facets.add((drop, frozenset(P[m] for m in range(len(P)) if side[m] == 0)))
    apex, total = (P[0] if P else None), 0
    for drop, on_plane in facets:
        keep = [c for c in range(3) if c != drop]
        ring = hull2([(p[keep[0]], p[keep[1]]) for p in on_plane])
        lift = {(p[keep[0]], p[keep[1]]): p for p in on_plane}
        ring = [lift[q] for q in ring]
        total += sum(abs(orient(apex, ring[0], ring[m], ring[m + 1])) for m in range(1, len(ring) - 1))
    return total


def representatives(points):
    """For every point the index of its first exact copy."""
    first = {}
    return np.array([first.setdefault(tuple(p), i) for i, p in enumerate(points.tolist())], np.int64)


def check_tetrahedra(points, tets):
    """The tetrahedra are the Delaunay tetrahedralisation of the distinct points, checked
    exactly: positive orientation, empty spheres, faces shared by at most two tetrahedra,
    volumes summing to the hull's, every distinct point a vertex."""
    P = exact_ints(points)
    reps = representatives(points)
    assert tets.dtype == np.uint64 and tets.ndim == 2 and tets.shape[1] == 4
    T = tets.astype(np.int64).tolist()
    assert set(v for t in T for v in t) <= set(reps.tolist()), "a vertex that is not the first copy"
    volumes = [orient(*(P[v] for v in t)) for t in T]
    assert all(v > 0 for v in volumes), "a tetrahedron that is flat or negatively oriented"
    for t in T:
        assert all(insphere(*(P[v] for v in t), p) >= 0 for p in P), f"a point inside the sphere of {t}"
    faces = Counter(frozenset(f) for t in T for f in combinations(t, 3))
    assert max(faces.values(), default=0) <= 2
    hull = hull_volume6(P)
    assert sum(volumes) == hull
    if hull:
        assert set(v for t in T for v in t) == set(reps.tolist())


# ---- graphs and brute force ------------------------------------------------------------


def check_graph(indptr, indices, n):
    """uint32 CSR, each list sorted without repeats or self loops, symmetric, no empty list
    once there are two points."""
    assert indptr.dtype == np.uint32 and indices.dtype == np.uint32 and len(indptr) == n + 1
    ip = indptr.astype(np.int64)
    assert ip[0] == 0 and ip[-1] == len(indices) and (np.diff(ip) >= 0).all()
    rows, cols = np.repeat(np.arange(n), np.diff(ip)), indices.astype(np.int64)
    keys = rows * n + cols
    assert (np.diff(keys) > 0).all() and not (rows == cols).any()
    np.testing.assert_array_equal(np.sort(cols * n + rows), keys)
    if n >= 2:
        assert (np.diff(ip) > 0).all(), "a vertex without neighbours"


def brute(x, y):
    """Distances and indices of the nearest y point for every x point, in the module's
    arithmetic, ties to the smaller index."""
    d, i = np.empty(len(x)), np.empty(len(x), np.int64)
    for s in range(0, len(x), 256):
        g = x[s:s + 256, None, :] - y[None, :, :]
        dd = np.sqrt((g[..., 0] * g[..., 0] + g[..., 1] * g[..., 1]) + g[..., 2] * g[..., 2])
        i[s:s + 256] = dd.argmin(1)
        d[s:s + 256] = dd[np.arange(len(dd)), i[s:s + 256]]
    return d, i


def grid(k, offset=0.0):
    g = np.stack(np.meshgrid(*[np.arange(k)] * 3, indexing="ij"), -1).reshape(-1, 3).astype(float)
    return g + offset


def sphere_ints():
    """The integer points on the sphere x^2 + y^2 + z^2 = 50 (exactly cospherical)."""
    r = range(-7, 8)
    return np.array([(a, b, c) for a in r for b in r for c in r if a * a + b * b + c * c == 50], float)


def plane(n, rng):
    """Points on a tilted plane, exactly: small integer combinations of two vectors."""
    ab = rng.integers(-40, 40, (n, 2)).astype(float)
    return ab[:, :1] * [1.0, 2.0, 0.5] + ab[:, 1:] * [-2.0, 0.25, 3.0]


def stacked(pts, rng):
    """Two scans stacked: every point twice, plus three later copies of vertex 0."""
    return np.vstack([pts, pts[rng.permutation(len(pts))], pts[[0, 0, 0]]])


def cluster(pts, rng, gap=1e-13):
    return np.vstack([pts, pts + rng.choice([-gap, gap], pts.shape)])


def degenerate(name, n, seed):
    """A degenerate cloud of about n points (small n: tens of points)."""
    rng = np.random.default_rng(seed)
    k = max(2, round(n ** (1 / 3)))
    return {
        "grid": lambda: rng.permutation(grid(k)),
        "grid 1e6": lambda: rng.permutation(grid(k, 1e6)),
        "sphere": lambda: sphere_ints()[rng.permutation(len(sphere_ints()))][:n] if n < 100 else
        (lambda u: u / np.linalg.norm(u, axis=1, keepdims=True))(rng.normal(size=(n, 3))),
        "plane": lambda: plane(n, rng),
        "line": lambda: np.outer(rng.integers(-n, n, n), [1.0, 2.0, 3.0]) + 0.5,
        "duplicates": lambda: stacked(rng.random((n // 2, 3)), rng),
        "grid duplicates": lambda: stacked(grid(max(2, round((n / 2) ** (1 / 3)))), rng),
        "cluster 1e-13": lambda: cluster(rng.random((n // 2, 3)), rng),
        "offset 1e6": lambda: rng.random((n, 3)) + 1e6,
        "offset 1e9": lambda: rng.random((n, 3)) * 16 + 1e9,
        "magnitudes": lambda: np.vstack([rng.random((n // 3, 3)) * s for s in (1e15, 1.0, 1e-15)]),
    }[name]()


DEGENERATE = ["grid", "grid 1e6", "sphere", "plane", "line", "duplicates", "grid duplicates", "cluster 1e-13",
              "offset 1e6", "offset 1e9", "magnitudes"]


# ---- tetrahedra ------------------------------------------------------------------------


@pytest.mark.parametrize("n, seed", [(6, 0), (300, 1), (3000, 2), (10000, 3)])
def test_tetrahedra_equal_scipys_in_general_position(n, seed):
    pts = np.random.default_rng(seed).random((n, 3)) - 0.5
    ours = plov.delaunay_tetrahedra(pts)
    assert ours.dtype == np.uint64
    theirs = Delaunay(pts).simplices
    rows = lambda t: np.unique(np.sort(t.astype(np.int64), axis=1), axis=0)  # noqa: E731
    np.testing.assert_array_equal(rows(ours), rows(theirs))
    ip, ix = plov.delaunay_graph(pts)
    ref = _plov.graph_from_simplices(theirs.astype(np.uint64), n)
    np.testing.assert_array_equal(ip, ref[0])
    np.testing.assert_array_equal(ix, ref[1])
    for got, want in zip(plov.delaunay_graph(pts, method="scipy"), ref):
        np.testing.assert_array_equal(got, want)
    if n <= 10:
        check_tetrahedra(pts, ours)


@pytest.mark.parametrize("name", DEGENERATE)
def test_tetrahedra_of_degenerate_clouds_are_delaunay_exactly(name):
    pts = degenerate(name, 30, 5)
    check_tetrahedra(pts, plov.delaunay_tetrahedra(pts))


def test_points_rounded_onto_a_sphere_are_delaunay_exactly():
    # every in-sphere test is within rounding of zero, and its sign still has to be exact
    u = np.random.default_rng(6).normal(size=(30, 3))
    pts = u / np.linalg.norm(u, axis=1, keepdims=True)
    check_tetrahedra(pts, plov.delaunay_tetrahedra(pts))


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 5])
@pytest.mark.parametrize("shape", ["random", "coplanar", "equal"])
def test_few_points(n, shape):
    pts = np.random.default_rng(n).random((n, 3))
    if shape == "coplanar":
        pts[:, 2] = 0.5
    elif shape == "equal":
        pts[:] = 0.25
    tets = plov.delaunay_tetrahedra(pts)
    check_tetrahedra(pts, tets)
    if n < 4 or shape != "random":
        assert len(tets) == 0
    ip, ix = plov.delaunay_graph(pts)
    check_graph(ip, ix, n)
    if shape == "random" and n <= 4:  # the complete graph
        assert len(ix) == n * (n - 1)


# ---- graphs ----------------------------------------------------------------------------


# Not "magnitudes": from a unit-scale query the distances to points 1e-15 apart round to
# one value, and a greedy descent stops on such a plateau whatever the graph.
@pytest.mark.parametrize("name", [name for name in DEGENERATE if name != "magnitudes"] + ["random"])
def test_descent_is_exact(name):
    rng = np.random.default_rng(7)
    y = rng.random((3000, 3)) if name == "random" else degenerate(name, 3000, 7)
    ip, ix = plov.delaunay_graph(y)
    check_graph(ip, ix, len(y))
    lo, hi = y.min(0), y.max(0)
    x = [y, lo + (hi - lo) * rng.uniform(-0.1, 1.1, (2000, 3)), y[rng.integers(0, len(y), 1000)] * 1.01]
    if name.startswith("grid") or name == "line":  # midpoints between neighbours: exact ties
        step = rng.choice([0.5, -0.5], (1000, 1)) * [1.0, 2.0, 3.0] if name == "line" else \
            rng.choice([0.0, 0.5, -0.5], (1000, 3))
        x.append(y[rng.integers(0, len(y), 1000)] + step)
    x = np.vstack(x)
    want_d, want_i = brute(x, y)
    nothing = (np.zeros(len(x) + 1, np.uint32), np.zeros(0, np.uint32))
    grouped = plov.GroupedQueriesF64.prepare([plov.PreparedF64(x, *nothing)], [None])
    d, i = plov.PreparedF64(y, ip, ix).query_grouped(grouped, None)
    np.testing.assert_array_equal(i, want_i)
    np.testing.assert_array_equal(d, want_d)
    d, i = plov.all_nearest_neighbours(x, *plov.delaunay_graph(x), y, ip, ix)  # seeded along x's own graph
    np.testing.assert_array_equal(i, want_i)
    np.testing.assert_array_equal(d, want_d)
    assert (want_i[:len(y)] == representatives(y)).all()


@pytest.mark.parametrize("name", ["grid", "sphere", "plane", "line", "grid duplicates", "cluster 1e-13"])
def test_k_nearest_with_large_ef_finds_every_point(name):
    y = degenerate(name, 40, 3)
    n = len(y)
    ip, ix = plov.delaunay_graph(y)
    x = np.vstack([y, np.random.default_rng(3).uniform(-8, 8, (20, 3))])
    xi, xn = plov.delaunay_graph(x)
    _, idx = plov.all_nearest_neighbours_k(x, xi, xn, y, ip, ix, n, n)
    assert (np.sort(idx, axis=1) == np.arange(n)).all()


def test_copies_are_joined_to_the_first_copy():
    rng = np.random.default_rng(2)
    y = stacked(rng.random((500, 3)), rng)
    y = np.vstack([y, np.repeat(y[:1], 80, axis=0)])  # a list longer than the short sort takes
    ip, ix = plov.delaunay_graph(y)
    check_graph(ip, ix, len(y))
    rep = representatives(y)
    lists = [ix[ip[v]:ip[v + 1]].tolist() for v in range(len(y))]
    for v in np.flatnonzero(rep != np.arange(len(y))):
        assert lists[v] == [rep[v]] and v in lists[rep[v]]
    assert set(range(1000, 1083)) <= set(lists[0])


def test_collinear_cloud_gets_the_chain_and_a_flat_one_its_planar_delaunay_graph():
    rng = np.random.default_rng(4)
    t = rng.permutation(300).astype(float)
    ip, ix = plov.delaunay_graph(np.outer(t, [3.0, -1.0, 0.5]) + 7)
    order = np.argsort(t)
    chain = {(a, b) for a, b in zip(order[:-1], order[1:])}
    edges = {(a, b) for a in range(300) for b in ix[ip[a]:ip[a + 1]].tolist() if a < b}
    assert edges == {(min(e), max(e)) for e in chain}
    flat = np.column_stack([rng.random((2000, 2)), np.full(2000, 0.3)])
    ref = Delaunay(flat[:, :2]).vertex_neighbor_vertices
    ip, ix = plov.delaunay_graph(flat)
    np.testing.assert_array_equal(ip, ref[0])
    for v in range(0, 2000, 7):
        assert ix[ip[v]:ip[v + 1]].tolist() == sorted(ref[1][ref[0][v]:ref[0][v + 1]])


def test_scipy_route_joins_copies_and_names_the_native_route_when_qhull_fails():
    rng = np.random.default_rng(8)
    y = stacked(rng.random((1000, 3)), rng) + 1e6
    for got, want in zip(plov.delaunay_graph(y, method="scipy"), plov.delaunay_graph(y)):
        np.testing.assert_array_equal(got, want)
    for flat in (plane(50, rng), np.zeros((3, 3)), np.zeros((40, 3))):
        with pytest.raises(ValueError, match='degenerate|distinct') as e:
            plov.delaunay_graph(flat, method="scipy")
        assert 'method="native"' in str(e.value) and len(str(e.value)) < 300
        assert e.value.__context__ is None or e.value.__suppress_context__  # no Qhull report attached


def same(a, b):
    """Equal graphs (pairs of arrays) or equal arrays."""
    for x, y in zip(*((a, b) if isinstance(a, tuple) else ((a,), (b,))), strict=True):
        np.testing.assert_array_equal(x, y)


def test_input_conversion_and_errors():
    rng = np.random.default_rng(6)
    wide = rng.random((800, 4))
    pts = np.ascontiguousarray(wide[::2, :3])
    for f in (plov.delaunay_graph, plov.delaunay_tetrahedra):
        want = f(pts)
        for view in (wide[::2, :3], np.asfortranarray(pts), pts.tolist()):
            same(f(view), want)
        p32 = pts.astype(np.float32)
        same(f(p32), f(p32.astype(np.float64)))
        same(f(grid(3).astype(np.int32)), f(grid(3)))
        for bad, row in ((np.nan, 3), (np.inf, 0), (-np.inf, 399)):
            worse = pts.copy()
            worse[row, 1] = bad
            worse[-1, 2] = np.nan  # only the first bad row is named
            with pytest.raises(ValueError, match=rf"points.*row {row}\b"):
                f(worse)
        for bad in (pts + 1j, np.array([["a", "b", "c"]] * 5), np.full((5, 3), None)):
            with pytest.raises(TypeError, match="points"):
                f(bad)
        for shape in ((10, 2), (10, 4), (30,), (10, 3, 1)):
            with pytest.raises(ValueError, match="points"):
                f(np.zeros(shape))
    with pytest.raises(ValueError, match="method"):
        plov.delaunay_graph(pts, method="qhull")


def test_builds_from_a_thread_pool_equal_serial_builds():
    clouds = [degenerate(name, 8000, s) for s, name in enumerate(["offset 1e6", "grid", "duplicates", "plane"])]
    for f in (plov.delaunay_graph, plov.delaunay_tetrahedra):
        serial = [f(c) for c in clouds]
        with ThreadPoolExecutor(4) as pool:
            for a, b in zip(serial, pool.map(f, clouds)):
                same(a, b)


HOSTILE = textwrap.dedent("""
    import numpy as np, plov
    rng = np.random.default_rng(0)
    n = 20000
    mixed = rng.choice([1e300, -1e300, 1e-300, -1e-300, 1.0, 0.0], (n, 3)) * rng.random((n, 3))
    tiny = rng.integers(-50, 50, (n, 3)) * 5e-324
    zeros = rng.choice([0.0, -0.0, 5e-324], (n, 3))
    u = rng.normal(size=(n, 3))
    clouds = [mixed, tiny, zeros, rng.random((10, 3))[rng.integers(0, 10, n)], np.full((100000, 3), 0.1),
              u / np.linalg.norm(u, axis=1, keepdims=True), np.full((n, 3), 1.7e308) * rng.choice([-1, 1], (n, 3))]
    for c in clouds:
        tets = plov.delaunay_tetrahedra(c)
        ip, ix = plov.delaunay_graph(c)
        assert tets.shape[1] == 4 and len(ip) == len(c) + 1 and (np.diff(ip.astype(np.int64)) > 0).all()
    assert (plov.delaunay_graph(clouds[4])[1] == np.r_[1:100000, np.zeros(99999, int)]).all()
    print("survived")
""")


def test_hostile_inputs_cannot_crash_the_interpreter():
    out = subprocess.run([sys.executable, "-c", HOSTILE], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and "survived" in out.stdout, out.stderr[-3000:]


# The time from the signal to the interrupt is measured in CPU time of the process, which
# a busy machine does not stretch: the build runs on `workers` threads only. The threads
# of the process are counted before and after: a parallel build leaves none running.
INTERRUPT = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np, plov
    p = np.random.default_rng(0).random((1_500_000, 3))
    threads = len(os.listdir("/proc/self/task"))
    sent = []
    def interrupt():
        sent.append(time.process_time())
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Timer(0.5, interrupt)
    timer.start()
    t0 = time.process_time()
    try:
        plov.delaunay_graph(p, workers=int(sys.argv[1]))
        print("finished", time.process_time() - t0)
    except KeyboardInterrupt:
        after = time.process_time() - sent[0]
        timer.join()
        print("interrupted", after, sent[0] - t0, len(os.listdir("/proc/self/task")) - threads)
""")


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_stops_a_long_build(workers):
    out = subprocess.run([sys.executable, "-c", INTERRUPT, str(workers)], capture_output=True, text=True,
                         timeout=600)
    assert out.stdout.startswith("interrupted"), out.stdout + out.stderr[-2000:]
    after, before, left = out.stdout.split()[1:]
    # The whole build takes seconds of CPU time; the build stops within a small part of
    # it (the poll comes every few thousand insertions). A sanitized build runs several
    # times more slowly.
    assert float(after) < workers * (10.0 if os.environ.get("PLOV_SANITIZED") else 1.0), (after, before)
    assert left == "0"


# Address space for about a third of what a million points need: an allocation fails
# somewhere in the build (the calling thread's or another's, or a thread's stack), and
# the build ends with MemoryError and no thread left behind.
OUT_OF_MEMORY = textwrap.dedent("""
    import os, resource
    import numpy as np, plov
    p = np.random.default_rng(0).random((1_000_000, 3))
    plov.delaunay_graph(p[:1000], workers=2)  # libraries loaded, threads started once
    threads = len(os.listdir("/proc/self/task"))
    size = [line for line in open("/proc/self/status") if line.startswith("VmSize")][0].split()[1]
    limit = int(size) * 1024 + 250 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        plov.delaunay_graph(p, workers=2)
        print("finished")
    except MemoryError:
        print("MemoryError", len(os.listdir("/proc/self/task")) - threads)
""")


@pytest.mark.skipif(bool(os.environ.get("PLOV_SANITIZED")), reason="the sanitizers reserve the address space")
def test_memory_running_out_in_a_parallel_build():
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, timeout=600)
    assert out.stdout.split() == ["MemoryError", "0"], out.stdout + out.stderr[-2000:]


# ---- builds on several threads ---------------------------------------------------------


def builds(pts, workers):
    """Everything the builder makes, as bytes: the graph, the ordered graph and its order,
    the tetrahedra."""
    out = [*plov.delaunay_graph(pts, workers=workers), *plov._graphs.delaunay_graph_ordered(pts, workers),
           plov.delaunay_tetrahedra(pts, workers=workers)]
    return [(a.dtype.str, a.shape, a.tobytes()) for a in out]


# Large enough that the threads insert in rounds and meet at the edges of their ranges
# (3 and 8 threads on a 2-core machine too); the rounds' outcome does not depend on timing.
@pytest.mark.parametrize("name", DEGENERATE + ["random", "few"])
def test_any_number_of_threads_builds_the_same_bytes(name):
    if name == "random":
        pts = np.random.default_rng(5).random((60_000, 3))
    elif name == "few":
        pts = np.random.default_rng(5).random((4, 3))
    else:
        pts = degenerate(name, 40_000, 9)
    one = builds(pts, 1)
    for workers in (2, 3, 8):
        assert builds(pts, workers) == one, workers


def test_rounds_of_a_parallel_build_depend_on_the_points_alone():
    pts = np.random.default_rng(4).random((60_000, 3))
    rounds = plov._native.delaunay_rounds(pts, threads=8)
    assert np.array_equal(rounds, plov._native.delaunay_rounds(pts, threads=8))  # whatever the timing
    tried, put_off = rounds.T
    assert len(rounds) > 3 and (put_off < tried).all() and (put_off[:-1] <= tried[1:]).all()
    assert plov._native.delaunay_rounds(pts).shape == (0, 2)  # one thread: no rounds


def test_tetrahedra_come_in_an_order_of_the_points_alone():
    pts = np.random.default_rng(3).random((3000, 3))
    tets = plov.delaunay_tetrahedra(pts).astype(np.int64)
    a, b, c, d = (pts[tets[:, j]] for j in range(4))
    assert (np.einsum("ij,ij->i", np.cross(b - a, c - a), d - a) > 0).all()  # still positively oriented
    # each row starts at its point first in the builder's order, the next is the first
    # of the other three; rows are grouped by their first point, in that order
    _, _, perm = plov._graphs.delaunay_graph_ordered(pts)
    rank = np.empty(len(pts), np.int64)
    rank[perm] = np.arange(len(pts))
    r = rank[tets]
    assert (r[:, 0] < r[:, 1:].min(axis=1)).all() and (r[:, 1] < r[:, 2:].min(axis=1)).all()
    assert (np.diff(r[:, 0]) >= 0).all()


def test_index_and_nearest_build_on_their_workers_and_query_on_them_by_default(monkeypatch):
    rng = np.random.default_rng(8)
    pts, x = rng.random((30_000, 3)), rng.random((5000, 3))
    one, two = plov.Index(pts), plov.Index(pts, workers=2)
    assert np.array_equal(one.graph[1], two.graph[1])
    seen = []
    real = plov._index.run_shares
    monkeypatch.setattr(plov._index, "run_shares", lambda n, *a: (seen.append(n), real(n, *a))[1])
    for a, b in zip(one.query(x, 3), two.query(x, 3)):
        assert np.array_equal(a, b)
    assert seen == [2]  # one thread runs no shares
    two.query(x, workers=1)
    assert seen == [2]
    assert all(np.array_equal(a, b) for a, b in zip(plov.nearest(x, pts, workers=-1), one.query(x)))
    with pytest.raises(ValueError, match="workers"):
        plov.Index(pts, workers=0)
    with pytest.raises(TypeError, match="workers"):
        plov.delaunay_graph(pts, workers=1.5)
