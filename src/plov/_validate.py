"""Checks of the plov layer's inputs, in one place: every public function takes points,
counts, bounds and thread counts the same way and names the argument in its errors."""

from __future__ import annotations

import contextlib
import numbers
import os
from typing import Any, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

Graph = Tuple[np.ndarray, np.ndarray]

# Vertex numbers are 32-bit in the native code.
MAX_POINTS = 2**32 - 2


def point_dtype(arr: np.ndarray, dtype: Optional[npt.DTypeLike]) -> np.dtype:
    """The precision of a search over `arr`: `dtype` when given (float32 or float64),
    otherwise float32 for float32 input and float64 for every other real type."""
    if dtype is not None:
        dt = np.dtype(dtype)
        if dt not in (np.float32, np.float64):
            raise ValueError(f"dtype must be float32 or float64, not {dt}")
        return dt
    return np.dtype(np.float32) if arr.dtype == np.float32 else np.dtype(np.float64)


def as_real_array(x: Any, name: str) -> np.ndarray:
    """`np.asarray(x)`, refused unless it holds real numbers."""
    try:
        arr = np.asarray(x)
    except Exception as e:  # ragged nested lists and the like
        raise ValueError(f"{name} is not an array of points: {e}") from None
    if arr.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")
    return arr


def as_points(x: Any, name: str, dtype: Optional[npt.DTypeLike] = None) -> np.ndarray:
    """`x` as a C-contiguous (n, 3) array of finite float32 or float64 coordinates (see
    `point_dtype`); TypeError or ValueError naming `name` otherwise."""
    arr = as_real_array(x, name)
    if arr.ndim != 2 or arr.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), not {arr.shape}")
    if len(arr) > MAX_POINTS:
        raise ValueError(f"{name} has {len(arr):,} points; at most {MAX_POINTS:,} are supported")
    with np.errstate(over="ignore"):  # float64 beyond float32's range: refused below
        out = np.ascontiguousarray(arr, dtype=point_dtype(arr, dtype))
    if not np.isfinite(out).all():
        row = int(np.argmin(np.isfinite(out).all(axis=1)))
        raise ValueError(f"{name} has a NaN or infinite coordinate in row {row}: {arr[row].tolist()}")
    return out


def as_count(k: Any, name: str) -> int:
    """A positive integer (bools refused)."""
    if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"{name} must be at least 1, not {k}")
    return int(k)


def as_bound(r: Any, name: str = "distance_upper_bound") -> Optional[float]:
    """None (or +inf) for no bound, otherwise a non-negative distance."""
    if r is None:
        return None
    if isinstance(r, (bool, np.bool_)) or not isinstance(r, numbers.Real):
        raise TypeError(f"{name} must be a real number or None, not {type(r).__name__}")
    v = float(r)
    if not v >= 0:
        raise ValueError(f"{name} must be a non-negative distance, not {v}")
    return None if v == np.inf else v


def as_workers(workers: Any, name: str = "workers") -> int:
    """A thread count: a positive integer, or -1 for every core."""
    if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(workers).__name__}")
    if workers == -1:
        return os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"{name} must be a positive integer or -1 (every core), not {workers}")
    return int(workers)


def as_graph(graph: Any, n: int, name: str) -> Graph:
    """A caller's CSR graph `(indptr, indices)` over `n` points as two uint32 arrays,
    checked by `check_graph` and `check_searchable_graph`."""
    try:
        indptr, indices = graph
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an (indptr, indices) pair") from None
    ip = as_real_array(indptr, f"{name}: indptr")
    ix = as_real_array(indices, f"{name}: indices")
    check_graph(n, ip, ix, name)
    if len(ix) > MAX_POINTS:
        raise ValueError(f"{name}: at most {MAX_POINTS:,} neighbour entries are supported")
    check_searchable_graph(ip, name)
    return np.ascontiguousarray(ip, np.uint32), np.ascontiguousarray(ix, np.uint32)


def check_graph(n: int, indptr: np.ndarray, indices: np.ndarray, name: str) -> None:
    """ValueError naming `name` unless (indptr, indices) is a CSR graph over n vertices:
    n + 1 integer offsets rising from 0 to len(indices), neighbours in [0, n)."""
    if indptr.ndim != 1 or len(indptr) != n + 1:
        raise ValueError(f"{name}: indptr must have n + 1 = {n + 1} entries, not shape {indptr.shape}")
    if indices.ndim != 1:
        raise ValueError(f"{name}: indices must be one-dimensional, not shape {indices.shape}")
    for label, arr in (("indptr", indptr), ("indices", indices)):
        if arr.dtype.kind not in "ui":
            raise ValueError(f"{name}: {label} must hold integers, not {arr.dtype}")
    if n + 1 and (indptr[0] != 0 or indptr[-1] != len(indices) or (np.diff(indptr.astype(np.int64)) < 0).any()):
        raise ValueError(f"{name}: indptr must rise from 0 to len(indices) = {len(indices)}")
    if len(indices) and (indices.min() < 0 or indices.max() >= n):
        raise ValueError(f"{name}: neighbour numbers must lie in [0, {n})")


def check_searchable_graph(indptr: np.ndarray, name: str) -> None:
    """ValueError naming `name` when a vertex of a graph over two or more points has no
    neighbours: a descent that reaches it stops there, so no search over the graph is
    exact. `indptr` must have passed `check_graph`."""
    if len(indptr) > 2:
        empty = np.diff(indptr.astype(np.int64)) == 0
        if empty.any():
            raise ValueError(f"{name}: point {int(np.argmax(empty))} has no neighbours")


def as_clouds(clouds: Any, dtype: Optional[npt.DTypeLike]) -> List[np.ndarray]:
    """A non-empty sequence of non-empty point clouds, each checked by `as_points` under
    the name `clouds[i]`."""
    if isinstance(clouds, (str, bytes)) or not hasattr(clouds, "__len__"):
        raise TypeError("clouds must be a sequence of (n, 3) point arrays")
    if len(clouds) == 0:
        raise ValueError("clouds is empty: give at least one cloud")
    out = []
    for c, cloud in enumerate(clouds):
        arr = as_points(cloud, f"clouds[{c}]", dtype)
        if len(arr) == 0:
            raise ValueError(f"clouds[{c}] has no points")
        out.append(arr)
    return out


def as_graphs(graphs: Any, points: List[np.ndarray]) -> List[Graph]:
    """One graph per cloud, each checked by `as_graph` under the name `graphs[i]`."""
    if isinstance(graphs, (str, bytes)) or not hasattr(graphs, "__len__"):
        raise TypeError("graphs must be a sequence of (indptr, indices) pairs")
    if len(graphs) != len(points):
        raise ValueError(f"graphs has {len(graphs)} entries but there are {len(points)} clouds")
    return [as_graph(g, len(p), f"graphs[{c}]") for c, (g, p) in enumerate(zip(graphs, points))]


def as_block(block: Any, name: str = "block") -> int:
    """A block size of the blocked descent: a non-negative integer (0: the native default)."""
    if isinstance(block, (bool, np.bool_)) or not isinstance(block, numbers.Integral) or block < 0:
        raise ValueError(f"{name} must be a non-negative integer, not {block!r}")
    return int(block)


def as_reorder(reorder: Any, name: str = "reorder") -> Union[bool, str]:
    """"auto", True or False."""
    if isinstance(reorder, str) and reorder == "auto":
        return reorder
    if isinstance(reorder, (bool, np.bool_, numbers.Integral)) and reorder in (0, 1):
        return bool(reorder)
    raise ValueError(f"{name} must be 'auto', True or False, not {reorder!r}")


@contextlib.contextmanager
def native_errors() -> Iterator[None]:
    """Re-raises a failure of the native code (PanicException, which passed the checks
    above, so a fault of plov's) as RuntimeError with the original attached."""
    try:
        yield
    except BaseException as e:
        if type(e).__name__ == "PanicException":
            raise RuntimeError(f"internal error in plov's native code: {e}") from e
        raise
