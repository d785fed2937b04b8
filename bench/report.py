"""Markdown summary of a suite run, written into docs/benchmarks.md between the markers
`<!-- results:start -->` and `<!-- results:end -->` (the prose around them is kept)."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional, Sequence

START, END = "<!-- results:start -->", "<!-- results:end -->"


def _find(rows: Iterable[Dict[str, Any]], **kw: Any) -> Optional[Dict[str, Any]]:
    return next((r for r in rows if all(r.get(k) == v for k, v in kw.items())), None)


def _table(head: Sequence[str], lines: List[List[str]]) -> str:
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" if i == 0 else "--:" for i in range(len(head))) + "|"]
    out += ["| " + " | ".join(cells) + " |" for cells in lines]
    return "\n".join(out) + "\n"


def _cell(row: Optional[Dict[str, Any]], baselines: Sequence[str] = ("cKDTree/1", "pykdtree/1")) -> str:
    if row is None:
        return ""
    ratios = " / ".join(f"{row['ratios'][b]:.2f}x" for b in baselines if b in row["ratios"])
    return f"{row['ns_per_point']:.0f} ({ratios})" if ratios else f"{row['ns_per_point']:.0f}"


def _methods(rows: List[Dict[str, Any]]) -> List[tuple]:
    seen: List[tuple] = []
    for r in rows:
        if (r["method"], r["threads"]) not in seen:
            seen.append((r["method"], r["threads"]))
    return seen


def single_join(rows: List[Dict[str, Any]]) -> str:
    parts = []
    joins = [r for r in rows if r["section"] == "single_join"]
    for kind in dict.fromkeys(r["workload"] for r in joins):
        sel = [r for r in joins if r["workload"] == kind]
        cols = [(d, l) for d in ("f64", "f32") for l in ("morton", "sampled")]
        lines = [[m, str(t)] + [_cell(_find(sel, method=m, threads=t, dtype=d, layout=l)) for d, l in cols]
                 for m, t in _methods(sel)]
        parts.append(f"Single join, {kind}, {sel[0]['n_query']:,} query points against {sel[0]['n_target']:,} "
                     f"(mean degree {sel[0]['mean_degree']:.2f}): ns per query point (speed-up against "
                     f"cKDTree / pykdtree, one thread each)\n\n"
                     + _table(["method", "threads"] + [f"{d} {l}" for d, l in cols], lines))
    return "\n".join(parts)


def evals(rows: List[Dict[str, Any]]) -> str:
    sel = [r for r in rows if r["section"] == "evals"]
    if not sel:
        return ""
    lines = [[r["workload"], r["layout"], r["method"], f"{r['evals_per_point']:.1f}", f"{r['steps_per_point']:.2f}",
              f"{r['mean_degree']:.2f}"] for r in sel]
    return ("Distance evaluations per query point (counting build)\n\n"
            + _table(["workload", "layout", "method", "evals", "steps", "mean degree"], lines))


def knn(rows: List[Dict[str, Any]]) -> str:
    sel = [r for r in rows if r["section"] == "knn"]
    if not sel:
        return ""
    cols = [(k, l) for k in ("ball", "torus") for l in ("morton", "sampled")]
    lines = []
    for m, t in _methods(sel):
        recalls = [r["recall"] for r in sel if r["method"] == m and r.get("recall") is not None]
        lines.append([m, f"{min(recalls):.4f}" if recalls else ""]
                     + [_cell(_find(sel, method=m, threads=t, workload=k, layout=l)) for k, l in cols])
    return ("k-nearest, k = 8, float64, one thread: ns per query point (speed-up against cKDTree / pykdtree)\n\n"
            + _table(["method", "recall@8 (lowest)"] + [f"{k} {l}" for k, l in cols], lines))


def all_by_all(rows: List[Dict[str, Any]]) -> str:
    sel = [r for r in rows if r["section"] == "all_by_all"]
    if not sel:
        return ""
    base = ("cKDTree/1", "cKDTree/2", "pykdtree/1", "pykdtree/2")

    def cell(r: Optional[Dict[str, Any]]) -> str:
        if r is None:
            return ""
        ratios = " / ".join(f"{r['ratios'][b]:.2f}x" for b in base if b in r["ratios"])
        return f"{r['median_s']:.2f} s, {r['ns_per_point']:.0f} ns ({ratios})"

    lines = [[m, str(t)] + [cell(_find(sel, method=m, threads=t, layout=l)) for l in ("morton", "sampled")]
             for m, t in _methods(sel)]
    return (f"All-by-all, {sel[0]['workload']} (every cloud against every other one), float64: total time, ns per "
            f"query point, and speed-up on the total time against cKDTree with 1 / 2 workers and pykdtree with "
            f"1 / 2 threads\n\n" + _table(["method", "threads", "morton", "sampled"], lines))


def graph_build(rows: List[Dict[str, Any]]) -> str:
    sel = [r for r in rows if r["section"] == "graph_build"]
    if not sel:
        return ""
    lines = [[r["method"], f"{r['median_s'] * 1e3:.0f}", f"{r['vs_plov']:.2f}"] for r in sel]
    return (f"Graph build, {sel[0]['workload']} points, {sel[0]['n_tetrahedra']:,} tetrahedra\n\n"
            + _table(["method", "ms", "time / graph_from_simplices"], lines))


def scaling(rows: List[Dict[str, Any]]) -> str:
    sel = [r for r in rows if r["section"] == "scaling"]
    if not sel:
        return ""
    parts = []
    methods = [m for m, t in _methods(sel)]
    for layout in ("morton", "sampled"):
        ns = sorted({r["n_query"] for r in sel if r["layout"] == layout})
        if not ns:
            continue
        lines = [[f"{n:,}"] + [_cell(_find(sel, method=m, layout=layout, n_query=n), ()) for m in methods]
                 for n in ns]
        parts.append(f"Scaling, uniform clouds, {layout} layout, float64, one thread: ns per query point\n\n"
                     + _table(["points"] + methods, lines))
    return "\n".join(parts)


def targets(report: Dict[str, Any]) -> str:
    lines = [[t["target"], t["layout"], f"{t['value']:.3g}", f"{t['op']} {t['aim']:g}", "met" if t["met"] else
              "**missed**"] for t in report["targets"]]
    return "Targets\n\n" + _table(["target", "layout", "measured", "aim", ""], lines) if lines else ""


def markdown(report: Dict[str, Any]) -> str:
    m = report["meta"]
    head = (f"Run of {m['date']} ({m['mode']}, {m['seconds'] / 60:.0f} min): {m.get('cpu', '?')}, {m['cpus']} cores, "
            f"load average {m['load_before']} before and {m['load_after']} after; Python {m['python']}, NumPy "
            f"{m['numpy']}, SciPy {m['scipy']}, pykdtree {m.get('pykdtree', '?')}. Medians of {m['repeats']} "
            f"rounds (3 for the k-nearest, all-by-all and graph-build comparisons). Full figures: "
            f"[benchmarks.json](benchmarks.json).\n")
    rows = report["rows"]
    parts = [head, targets(report), single_join(rows), evals(rows), knn(rows), all_by_all(rows), graph_build(rows),
             scaling(rows)]
    return "\n".join(p for p in parts if p)


def update(doc: Path, report: Dict[str, Any]) -> bool:
    """Replaces the results section of `doc`; False when the file has no markers."""
    if not doc.exists():
        return False
    text = doc.read_text()
    pattern = re.compile(re.escape(START) + ".*?" + re.escape(END), re.S)
    if not pattern.search(text):
        return False
    doc.write_text(pattern.sub(lambda _: f"{START}\n{markdown(report)}\n{END}", text))
    return True
