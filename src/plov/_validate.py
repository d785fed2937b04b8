"""Checks of the plov layer's inputs, in one place: every public function takes points,
counts, bounds and thread counts the same way and names the argument in its errors."""

from __future__ import annotations

import contextlib
import numbers
import os
from typing import Any, Iterator, Optional, Tuple

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
    checked: n + 1 offsets rising from 0 to len(indices), neighbours in [0, n), and no
    empty neighbour list when there are two or more points."""
    from ._graphs import check_graph

    try:
        indptr, indices = graph
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an (indptr, indices) pair") from None
    ip = as_real_array(indptr, f"{name}: indptr")
    ix = as_real_array(indices, f"{name}: indices")
    check_graph(n, ip, ix, name)
    if len(ix) > MAX_POINTS:
        raise ValueError(f"{name}: at most {MAX_POINTS:,} neighbour entries are supported")
    if n >= 2:
        empty = np.diff(ip.astype(np.int64)) == 0
        if empty.any():
            raise ValueError(f"{name}: point {int(np.argmax(empty))} has no neighbours")
    return np.ascontiguousarray(ip, np.uint32), np.ascontiguousarray(ix, np.uint32)


def as_executor(executor: Any, name: str = "executor") -> Any:
    """None, a `concurrent.futures.Executor`, or a `dask.distributed.Client` (which is
    not an Executor, but `get_executor()` of one is); TypeError otherwise."""
    from concurrent.futures import Executor

    if executor is None or isinstance(executor, Executor):
        return executor
    from ._tiles import dask_client

    if dask_client(executor) is None:
        raise TypeError(f"{name} must be a concurrent.futures.Executor or a dask.distributed.Client, "
                        f"not {type(executor).__name__}")
    return executor


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
