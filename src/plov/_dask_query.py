"""`Index.query` over a Dask array of query points: one task per chunk of rows, the index
shipped once to each worker that runs one."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np

if TYPE_CHECKING:
    from ._index import Index


def is_dask_array(x: Any) -> bool:
    """Whether `x` is a Dask array, without importing Dask when it is not loaded."""
    import sys

    da = sys.modules.get("dask.array")
    return da is not None and isinstance(x, da.Array)


def _query_chunk(index: "Index", chunk: np.ndarray, k: int, r: Optional[float], workers: int) -> Tuple[Any, Any]:
    dists, idx = index.query(chunk, k, distance_upper_bound=r, workers=workers)
    return dists, idx


def query_dask(index: "Index", x: Any, k: int, r: Optional[float], workers: int) -> Tuple[Any, Any]:
    """(dists, idx) as Dask arrays shaped like `Index.query`'s results for a 2-D `x`;
    `workers` threads per chunk."""
    import dask
    import dask.array as da

    if x.ndim != 2 or x.shape[1] != 3:
        raise ValueError(f"x must have shape (m, 3), not {x.shape}")
    if x.dtype.kind not in "iufb":
        raise TypeError(f"x must hold real numbers, not {x.dtype}")
    x = x.rechunk({1: 3})
    # One key for the index: every chunk's task depends on it, so a cluster sends it to
    # each worker once, and a local scheduler shares the object itself.
    shared = dask.delayed(index, pure=True)
    shape_tail = () if k == 1 else (k,)
    dists, idx = [], []
    for rows, block in zip(x.chunks[0], x.to_delayed().ravel()):
        pair = dask.delayed(_query_chunk, pure=True, nout=2)(shared, block, k, r, workers)
        dists.append(da.from_delayed(pair[0], (rows, *shape_tail), index.dtype))
        idx.append(da.from_delayed(pair[1], (rows, *shape_tail), np.int64))
    if not dists:
        empty = np.empty((0, *shape_tail))
        return da.from_array(empty.astype(index.dtype)), da.from_array(empty.astype(np.int64))
    return da.concatenate(dists), da.concatenate(idx)
