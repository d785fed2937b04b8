"""plov against scipy's cKDTree and pykdtree, every comparison side by side in one run.

    python -m bench            # the full suite (200,000-point clouds, scaling up to 1e6)
    python -m bench --quick    # small sizes, about a minute: checks that it all works

Sections:
  1. single join, k = 1, float64 and float32: query_prepared, query, all_nearest_neighbours,
     query_prepared_blocked and query_grouped (the query cloud as a one-cloud grouped set),
     on one thread and, split into two Morton halves, on two; distance evaluations per
     query point from the counting build;
  2. k-nearest, k = 8: recall@8 and time for several ef;
  3. all-by-all over overlapping surface clouds: query_grouped per target on one and two
     threads;
  4. graph build from tetrahedra;
  5. time per query point as the clouds grow (uniform clouds)
     (1 to 5 in bench/joins.py);
  6. plov.Index and all_by_all from raw points, end to end (bench/index.py);
  7. Delaunay graphs from raw points (bench/delaunay.py);
  8. an Index kept: load and unpickle against build, sizes, threads sharing one
     (bench/keep.py);
and, only when named with --only (bench/extra.py): blocks (the all-by-all over a range
of blocks), package (what the plov layer adds to the native calls), graphmem (the peak
memory of the graph build); and the same way (bench/neighbourhoods.py): balls, selfknn
(a cloud's own k nearest) and icp (moving clouds); cluster (bench/cluster.py: all_by_all on a local Dask
cluster).
Every workload runs in two storage layouts: points as sampled, and points and graph
renumbered in Morton order. The trees get their best case: trees built outside the
timers, query points sorted in Morton order. Timings are medians of several rounds in
which every contender runs once (see remote.round_robin). Ratios are baseline time / plov
time: above 1, plov is faster.

A section is a function of the run's `Recorder` (bench/recorder.py), which times its
jobs, keeps its rows and prints its tables; a section's aims come back as `verdict`s.
This module keeps the order of the sections and the command line.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

from . import cluster, delaunay, extra, index, joins, keep, neighbourhoods
from . import workloads as w
from .env import load_average, machine
from .recorder import Config, Recorder

_plov = w._plov
# The default run, in this order; extra.SECTIONS run only when named with --only.
SECTIONS: Dict[str, Callable[[Recorder], None]] = {
    "single": joins.section_single,
    "knn": joins.section_knn,
    "allbyall": joins.section_allbyall,
    "graph": joins.section_graph,
    "scaling": joins.section_scaling,
    "index": index.section_index,
    "delaunay": delaunay.section,
    "keep": keep.section,
}
# Each section's aims, in the order of the targets table.
TARGETS = (joins.targets, index.targets, delaunay.targets, keep.targets)


class Suite(Recorder):
    def targets(self) -> List[Dict[str, Any]]:
        return [t for aims in TARGETS for t in aims(self)]

    def run(self) -> Dict[str, Any]:
        cfg = self.cfg
        meta = dict(machine(), mode="quick" if cfg.quick else "full", repeats=cfg.repeats,
                    plov=_plov.__file__, date=time.strftime("%Y-%m-%d %H:%M:%S"), load_before=load_average())
        meta["pykdtree_processes"] = [r.call("info") for r in self.remotes.values()]
        self.log(f"plov benchmark suite ({meta['mode']}), _plov from {_plov.__file__}")
        self.log(f"{meta.get('cpu', '?')}, {meta['cpus']} cores, load average {meta['load_before']}")
        sections = dict(SECTIONS, **extra.SECTIONS, **neighbourhoods.SECTIONS, **cluster.SECTIONS)
        loads = {}
        for name in cfg.sections or SECTIONS:
            t0 = time.perf_counter()
            sections[name](self)
            if name == "single" and cfg.counts:
                joins.section_counts(self)
            loads[name] = dict(seconds=round(time.perf_counter() - t0, 1), load_after=load_average())
        targets = self.targets()
        self.print_targets(targets)
        meta.update(load_after=load_average(), sections=loads, seconds=round(time.time() - self.started, 1))
        return dict(meta=meta, rows=self.rows, targets=targets)


def main(argv: Optional[Sequence[str]] = None) -> None:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, about a minute")
    ap.add_argument("--repeats", type=int, help="rounds per comparison (default 5, and 3 for the k-nearest, "
                    "all-by-all and graph-build comparisons; quick: 3)")
    ap.add_argument("--out", type=Path, help="where the JSON and PNGs go (default docs/, quick: bench/.cache/quick/)")
    ap.add_argument("--only", nargs="+", choices=list(SECTIONS) + list(extra.SECTIONS) + list(neighbourhoods.SECTIONS)
                    + list(cluster.SECTIONS),
                    help="run only these sections (blocks, package, graphmem, balls, selfknn, icp and cluster run only when named here)")
    ap.add_argument("--no-counts", action="store_true", help="skip the counting build and its measurements")
    ap.add_argument("--redraw", type=Path, metavar="JSON",
                    help="measure nothing: redraw the figures and the results section of benchmarks.md from JSON")
    args = ap.parse_args(argv)

    cfg = Config.make(args.quick, args.out, args.repeats)
    if args.redraw:
        publish(json.loads(args.redraw.read_text()), cfg.out)
        return
    if args.only:
        cfg.sections = [s for s in (*SECTIONS, *extra.SECTIONS, *neighbourhoods.SECTIONS, *cluster.SECTIONS) if s in args.only]
    cfg.counts = not args.no_counts and "single" in (cfg.sections or SECTIONS)
    suite = Suite(cfg)
    try:
        report = suite.run()
    finally:
        suite.close()
    cfg.out.mkdir(parents=True, exist_ok=True)
    (cfg.out / "benchmarks.json").write_text(json.dumps(report, indent=1, default=float) + "\n")
    tables = w.CACHE / f"tables-{report['meta']['mode']}.md"
    tables.parent.mkdir(parents=True, exist_ok=True)
    tables.write_text("\n".join(suite.tables))
    print(f"\nwrote {cfg.out / 'benchmarks.json'} and every table as Markdown in {tables}, after "
          f"{report['meta']['seconds']:.0f} s", file=sys.stderr)
    publish(report, cfg.out)


def publish(report: Dict[str, Any], out: Path) -> None:
    """The figures, and the results section of out/benchmarks.md when that file has one."""
    from . import report as markdown
    from .plots import draw

    out.mkdir(parents=True, exist_ok=True)
    written = [str(p) for p in draw(report, out)]
    if markdown.update(out / "benchmarks.md", report):
        written.append(str(out / "benchmarks.md"))
    print(f"wrote {', '.join(written)}", file=sys.stderr)
