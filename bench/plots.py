"""The figures of a suite run: time per query point against cloud size (scaling.png) and
one against two threads (threads.png)."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Dict, List

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

STYLE = {  # method -> (colour, marker, line style)
    "query_grouped": ("#1b6ca8", "o", "-"),
    "query_grouped block=2": ("#5fa8d3", "o", "--"),
    "query_prepared": ("#2a9d4b", "s", "-"),
    "query_prepared_blocked": ("#8e44ad", "^", "-"),
    "query": ("#7fb77e", "v", "--"),
    "all_nearest_neighbours": ("#a3a3a3", "D", "--"),
    "cKDTree": ("#d1495b", "X", ":"),
    "pykdtree": ("#edae49", "P", ":"),
}


def _rows(report: Dict[str, Any], **kw: Any) -> List[Dict[str, Any]]:
    return [r for r in report["rows"] if all(r.get(k) == v for k, v in kw.items())]


def scaling(report: Dict[str, Any], path: Path) -> bool:
    rows = _rows(report, section="scaling")
    if not rows:
        return False
    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    titles = {"morton": "points and graphs numbered in Morton order", "sampled": "points as sampled"}
    for ax, layout in zip(axes, ("morton", "sampled")):
        for method, (colour, marker, ls) in STYLE.items():
            pts = sorted((r["n_query"], r["ns_per_point"]) for r in rows
                         if r["layout"] == layout and r["method"] == method and r["threads"] == 1)
            if not pts:
                continue
            label = f"{method} (tree, Morton-sorted queries)" if method in ("cKDTree", "pykdtree") else method
            ax.plot([p[0] for p in pts], [p[1] for p in pts], color=colour, marker=marker, linestyle=ls,
                    label=label, linewidth=2 if method == "query_grouped" else 1.5)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(FuncFormatter(lambda v, _: f"{v:g}" if f"{v:g}"[0] in "2357" else ""))
        ax.tick_params(axis="y", which="minor", labelsize=8)
        ax.set_title(titles[layout], fontsize=11)
        ax.set_xlabel("points per cloud (query and target), uniform in a cube")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("ns per query point (one thread, median; log scale)")
    handles, labels = max((ax.get_legend_handles_labels() for ax in axes), key=lambda hl: len(hl[0]))
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize=9, frameon=False)
    fig.suptitle("Single join, k = 1, float64: time per query point as the clouds grow", fontsize=13)
    fig.tight_layout(rect=(0, 0.1, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def threads(report: Dict[str, Any], path: Path) -> bool:
    panels = []
    for kind in ("ball", "torus"):
        rows = _rows(report, section="single_join", workload=kind, layout="morton", dtype="f64")
        if rows:
            n = rows[0]["n_query"]
            panels.append((f"single join, {kind}, {n:,} points", rows,
                           ("query_grouped", "query_prepared", "cKDTree", "pykdtree")))
    rows = _rows(report, section="all_by_all", layout="morton")
    if rows:
        panels.append((f"all-by-all, {rows[0]['workload']}", rows,
                       ("query_grouped", "query_grouped block=2", "cKDTree", "pykdtree")))
    if not panels:
        return False
    fig, axes = plt.subplots(1, len(panels), figsize=(4.6 * len(panels), 4.8))
    axes = list(axes) if len(panels) > 1 else [axes]
    for ax, (title, rows, methods) in zip(axes, panels):
        width = 0.38
        for i, method in enumerate(methods):
            by = {r["threads"]: r["ns_per_point"] for r in rows if r["method"] == method}
            colour = STYLE[method][0]
            for j, t in enumerate((1, 2)):
                if t not in by:
                    continue
                ax.bar(i + (j - 0.5) * width, by[t], width, color=colour, alpha=1.0 if t == 1 else 0.55,
                       edgecolor="black", linewidth=0.5)
            if 1 in by and 2 in by:
                ax.text(i + 0.5 * width, by[2], f"{by[1] / by[2]:.2f}x", ha="center", va="bottom", fontsize=8)
        ax.set_xticks(range(len(methods)))
        ax.set_xticklabels([m.replace("_", "_\n", 1) if m.startswith("query_") else m for m in methods], fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.grid(True, axis="y", alpha=0.3)
    axes[0].set_ylabel("ns per query point (median)")
    from matplotlib.patches import Patch

    fig.legend(handles=[Patch(color="grey", label="1 thread"),
                        Patch(color="grey", alpha=0.55, label="2 threads (speed-up over 1 thread above the bar)")],
               loc="lower center", ncol=2, fontsize=9, frameon=False)
    fig.suptitle("One thread against two (float64, Morton layout; plov's single join split into two Morton "
                 "halves)", fontsize=11)
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def draw(report: Dict[str, Any], out: Path) -> List[Path]:
    written = []
    for name, fn in (("scaling.png", scaling), ("threads.png", threads)):
        if fn(report, out / name):
            written.append(out / name)
    return written
