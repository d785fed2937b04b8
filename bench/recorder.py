"""What every section of the suite shares: the run's sizes (`Config`), the recorder that
times side-by-side jobs, keeps their rows and prints their tables (`Recorder`), and the
one form of a verdict on an aim (`verdict`).

Sections are functions of a `Recorder`; `suite.py` runs them in its order."""

from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import remote
from . import workloads as w
from .env import ROOT
from .remote import Job, median, round_robin

Key = Tuple[str, int]  # (method, threads)
Check = Callable[[Key, Callable[[], Any]], Dict[str, Any]]
BASELINES = (("cKDTree", 1), ("cKDTree", 2), ("pykdtree", 1), ("pykdtree", 2))


@dataclass
class Config:
    quick: bool
    out: Path
    repeats: int  # rounds of the single joins and the scaling runs
    repeats_long: int  # rounds of the k-nearest, all-by-all and graph-build comparisons
    n_pair: int
    n_clouds: int
    n_surface: int
    scaling: Sequence[int]
    graph_n: int
    counts: bool = True
    sections: Sequence[str] = ()  # empty: the suite's default run

    @classmethod
    def make(cls, quick: bool, out: Optional[Path], repeats: Optional[int]) -> "Config":
        if quick:
            return cls(True, out or w.CACHE / "quick", repeats or 3, repeats or 3, 20_000, 8, 2_000,
                       (10_000, 30_000), 30_000)
        return cls(False, out or ROOT / "docs", repeats or 5, repeats or 3, 200_000, 40, 5_000,
                   (10_000, 30_000, 100_000, 300_000, 1_000_000), 1_000_000)


def verdict(what: str, value: float, op: str, aim: float, layout: str = "-") -> Dict[str, Any]:
    """One target's verdict: `value op aim`, op ">=" or "<="."""
    met = value >= aim if op == ">=" else value <= aim
    return dict(target=what, layout=layout, value=value, op=op, aim=aim, met=bool(met))


@dataclass
class Recorder:
    cfg: Config
    rows: List[Dict[str, Any]] = field(default_factory=list)
    tables: List[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.pool = ThreadPoolExecutor(2)
        self.remotes = {k: remote.Remote(k) for k in (1, 2)}
        self.started = time.time()

    def close(self) -> None:
        self.pool.shutdown()
        for r in self.remotes.values():
            r.close()

    def log(self, msg: str) -> None:
        print(msg, flush=True)

    def measure(self, jobs: Dict[Key, Job], check: Check, repeats: Optional[int] = None) -> Dict[Key, Dict[str, Any]]:
        """Median seconds of every job; `check(key, result)` adds figures computed from
        the job's output, which `result()` produces when it is needed."""
        samples = round_robin(jobs, repeats or self.cfg.repeats)
        extra = {key: check(key, job.result) for key, job in jobs.items()}
        for r in self.remotes.values():
            r.clear()
        return {key: dict(extra[key], median_s=median(s), samples_s=[round(x, 6) for x in s])
                for key, s in samples.items()}

    def add_group(self, title: str, base: Dict[str, Any], results: Dict[Key, Dict[str, Any]],
                  per_point: Callable[[Key], int], columns: Sequence[Tuple[str, str, str]] = ()) -> None:
        """Rows of one comparison: ns per query point and ratios against each baseline of
        the group (baseline median / this median)."""
        baselines = {f"{m}/{t}": results[(m, t)]["median_s"] for m, t in BASELINES if (m, t) in results}
        group = []
        for (method, threads), res in results.items():
            row = dict(base, method=method, threads=threads, **res)
            row["ns_per_point"] = res["median_s"] / per_point((method, threads)) * 1e9
            row["ratios"] = {b: t / res["median_s"] for b, t in baselines.items()}
            group.append(row)
        self.rows.extend(group)
        self.print_group(title, group, list(baselines), columns)

    def print_group(self, title: str, group: List[Dict[str, Any]], baselines: List[str],
                    columns: Sequence[Tuple[str, str, str]]) -> None:
        head = ["method", "thr", "ns/point", "ms"] + [f"vs {b}" for b in baselines] + [c[0] for c in columns]
        lines = []
        for row in group:
            cells = [row["method"], str(row["threads"]), f"{row['ns_per_point']:.1f}",
                     f"{row['median_s'] * 1e3:.1f}"]
            cells += [f"{row['ratios'][b]:.2f}x" for b in baselines]
            cells += [format(row[c[1]], c[2]) if row.get(c[1]) is not None else "" for c in columns]
            lines.append(cells)
        widths = [max(len(x) for x in col) for col in zip(head, *lines)]
        fmt = lambda cells: "  ".join(c.ljust(wd) if i == 0 else c.rjust(wd)  # noqa: E731
                                      for i, (c, wd) in enumerate(zip(cells, widths)))
        self.log(f"\n{title}")
        self.log("  " + fmt(head))
        for cells in lines:
            self.log("  " + fmt(cells))
        md = [f"**{title}**", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        md += ["| " + " | ".join(cells) + " |" for cells in lines]
        self.tables.append("\n".join(md) + "\n")

    def find(self, **kw: Any) -> Optional[Dict[str, Any]]:
        """The first row with these values."""
        for row in self.rows:
            if all(row.get(k) == v for k, v in kw.items()):
                return row
        return None

    def print_targets(self, targets: List[Dict[str, Any]]) -> None:
        self.log("\ntargets (the aims hold for the Morton layout; the sampled layout is reported alongside)")
        head = ["target", "layout", "measured", "aim", ""]
        lines = [[t["target"], t["layout"], f"{t['value']:.3g}", f"{t['op']} {t['aim']:g}",
                  "met" if t["met"] else "MISSED"] for t in targets]
        widths = [max(len(x) for x in col) for col in zip(head, *lines)] if lines else [len(h) for h in head]
        for cells in [head] + lines:
            self.log("  " + "  ".join(c.ljust(wd) for c, wd in zip(cells, widths)))
        md = ["**targets**", "", "| " + " | ".join(head[:-1]) + " | met |", "|---|---|---|---|---|"]
        md += ["| " + " | ".join(cells) + " |" for cells in lines]
        self.tables.append("\n".join(md) + "\n")
