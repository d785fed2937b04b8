"""Building the Delaunay neighbourhood graph: _plov.graph_from_simplices against scipy's
`Delaunay.vertex_neighbor_vertices` and a vectorised NumPy build, on one triangulation of
uniform points in a cube (triangulated once, outside the timers). Also measures the peak
memory of the build (resident-set growth; C++ allocations are invisible to tracemalloc)
in fresh subprocesses over growing numbers of tetrahedra.

    PYTHONPATH=build-dev python bench/bench_graph_build.py [--size 1000000] [--repeats 5]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from scipy.spatial import Delaunay

import _plov

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from bench.suite import numpy_adjacency  # noqa: E402


def triangulation(n, seed):
    """(Delaunay object, simplices as uint64) for `n` seeded points."""
    pts = np.random.default_rng(seed).random((n, 3))
    t0 = time.perf_counter()
    tri = Delaunay(pts)
    print(f"triangulated {n} points in {time.perf_counter() - t0:.1f} s: {len(tri.simplices)} tetrahedra")
    return tri, tri.simplices.astype(np.uint64)


def scipy_build(tri):
    tri._vertex_neighbor_vertices = None  # drop scipy's cached answer
    return tri.vertex_neighbor_vertices


def timed(methods, repeats):
    """Median seconds per method; the methods take turns in every repeat, so that a change
    of machine load affects all of them alike."""
    times = {name: [] for name in methods}
    for _ in range(repeats):
        for name, fn in methods.items():
            t0 = time.perf_counter()
            out = fn()
            times[name].append(time.perf_counter() - t0)
            del out
    return {name: statistics.median(t) for name, t in times.items()}


def vm_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field + " not available")


def child(path, rows, n):
    """Run in a fresh process: peak RSS growth of one build over the first `rows` rows."""
    simplices = np.array(np.load(path, mmap_mode="r")[:rows])
    _plov.graph_from_simplices(simplices[:1], n)  # loads NumPy's C API outside the window
    try:  # reset the high-water mark to the current RSS
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    base = vm_bytes("VmHWM")  # the load's peak if the reset is not supported: a lower bound then
    indptr, indices = _plov.graph_from_simplices(simplices, n)
    print(vm_bytes("VmHWM") - base, indptr.nbytes + indices.nbytes)


def memory_profile(path, m, n):
    print("\npeak RSS growth of one build (fresh process per row count, n fixed):")
    print(f"{'rows':>10} {'peak MB':>9} {'B/row':>7} {'output MB':>10}")
    sizes = []
    for frac in (0.25, 0.5, 1.0):
        rows = max(1, int(m * frac))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        res = subprocess.run([sys.executable, __file__, "--child", str(path), str(rows), str(n)],
                             capture_output=True, text=True, env=env, check=True)
        peak, out_bytes = map(int, res.stdout.split())
        sizes.append((rows, peak))
        print(f"{rows:>10} {peak / 2**20:>9.1f} {peak / rows:>7.1f} {out_bytes / 2**20:>10.1f}")
    (r0, p0), (r1, p1) = sizes[0], sizes[-1]
    print(f"slope between {r0} and {r1} rows: {(p1 - p0) / (r1 - r0):.1f} bytes per tetrahedron")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=1_000_000, help="number of points")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--no-numpy", action="store_true", help="skip the (slow) NumPy baseline")
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]))
        return

    n = args.size
    tri, simplices = triangulation(n, args.seed)
    m = len(simplices)

    ours = _plov.graph_from_simplices(simplices, n)
    ref = scipy_build(tri)
    assert np.array_equal(ours[0], ref[0])
    for v in np.random.default_rng(0).integers(0, n, 1000):
        assert np.array_equal(ours[1][ours[0][v]:ours[0][v + 1]], np.sort(ref[1][ref[0][v]:ref[0][v + 1]]))

    methods = {
        "graph_from_simplices": lambda: _plov.graph_from_simplices(simplices, n),
        "scipy vertex_neighbor_vertices": lambda: scipy_build(tri),
    }
    if not args.no_numpy:
        got = numpy_adjacency(simplices, n)
        assert np.array_equal(got[0], ours[0]) and np.array_equal(got[1], ours[1])
        methods["numpy unique + CSR"] = lambda: numpy_adjacency(simplices, n)
    print(f"\nmedian of {args.repeats} builds, {m} tetrahedra:")
    med = timed(methods, args.repeats)
    t_ours = med.pop("graph_from_simplices")
    print(f"  {'graph_from_simplices':<32} {t_ours * 1e3:9.1f} ms")
    for name, t in med.items():
        print(f"  {name:<32} {t * 1e3:9.1f} ms   ratio {t / t_ours:5.2f}x")
    print(f"speed-up over the faster baseline: {min(med.values()) / t_ours:.2f}x")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "simplices.npy"
        np.save(path, simplices)
        memory_profile(path, m, n)


if __name__ == "__main__":
    main()
