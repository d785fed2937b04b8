"""plov's benchmark suite: `python -m bench` (or `python -m bench --quick`).

Every comparison runs side by side in one process against scipy's cKDTree and pykdtree
(the latter in helper processes, one per OpenMP thread count), prints a table, writes
`docs/benchmarks.json` and draws `docs/scaling.png` and `docs/threads.png`.
"""
