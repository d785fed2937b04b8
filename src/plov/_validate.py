"""Checks of the plov layer's inputs, in one place: every public function takes points,
counts, bounds and thread counts the same way and names the argument in its errors."""

from __future__ import annotations

import contextlib
import math
import numbers
import os
import sys
from typing import Any, Dict, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

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
    check_points_layout(arr.shape, arr.dtype, name)
    with np.errstate(over="ignore"):  # float64 beyond float32's range: refused below
        out = np.ascontiguousarray(arr, dtype=point_dtype(arr, dtype))
    if not np.isfinite(out).all():
        row = int(np.argmin(np.isfinite(out).all(axis=1)))
        raise ValueError(f"{name} has a NaN or infinite coordinate in row {row}: {arr[row].tolist()}")
    return out


def check_points_layout(shape: Tuple[float, ...], dtype: np.dtype, name: str) -> None:
    """TypeError or ValueError naming `name` unless an array of `shape` and `dtype` holds
    points: real numbers, shape (n, 3), at most `MAX_POINTS` of them. A size that is not
    known yet (NaN, as a Dask array may have) passes."""
    if dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {dtype}")
    if len(shape) != 2 or not (shape[1] == 3 or math.isnan(shape[1])):
        raise ValueError(f"{name} must have shape (n, 3), not {shape}")
    if shape[0] > MAX_POINTS:
        raise ValueError(f"{name} has {int(shape[0]):,} points; at most {MAX_POINTS:,} are supported")


def check_triangulable(points: np.ndarray, name: str) -> None:
    """ValueError naming `name` when a coordinate of `points` is not zero but smaller than
    2^-130 times the cloud's largest: the Delaunay builder counts such coordinates as zero,
    so its graph belongs to other points, and a search over it is not exact."""
    top = float(np.abs(points).max()) if points.size else 0.0
    if top == 0.0:
        return
    limit = math.ldexp(1.0, math.frexp(top)[1] - 131)  # 2^-130 times top's power of two
    mag = np.abs(points.astype(np.float64))
    tiny = ((mag < limit) & (mag > 0)).any(axis=1)
    if tiny.any():
        row = int(np.argmax(tiny))
        raise ValueError(f"{name} has a coordinate in row {row} ({points[row].tolist()}) that is not zero but "
                         f"smaller than 2^-130 times the largest ({top!r}): the Delaunay graph counts it as zero, "
                         "so an exact search over it is not possible; scale such coordinates up or set them to zero")


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


def as_hint(hint: Any, m: int, n: int, name: str = "hint") -> np.ndarray:
    """One index in [0, n) per query point, as a contiguous int64 array of length `m`
    (a scalar stands for one query point)."""
    arr = as_real_array(hint, name)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, not {arr.dtype}")
    if arr.ndim == 0 and m == 1:
        arr = arr.reshape(1)
    if arr.shape != (m,):
        raise ValueError(f"{name} must have shape ({m},), one index per query point, not {arr.shape}")
    if m:
        bad = (arr < 0) | (arr >= n)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(f"{name}[{i}] is {arr[i]}, not an index of the {n} points (0 to {n - 1})")
    return np.ascontiguousarray(arr, np.int64)


def as_radii(r: Any, m: int, name: str = "r") -> np.ndarray:
    """A radius for every one of `m` query points: a number, or an array of shape (m,),
    of non-negative distances (+inf allowed), as a float64 array of length 1 or m."""
    arr = as_real_array(r, name)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    elif arr.shape != (m,):
        raise ValueError(f"{name} must be a number or have shape ({m},), one radius per query point, not {arr.shape}")
    out = np.ascontiguousarray(arr, np.float64)
    bad = ~(out >= 0)
    if bad.any():
        i = int(np.argmax(bad))
        where = f"[{i}]" if np.ndim(r) else ""
        raise ValueError(f"{name}{where} must be a non-negative distance, not {out[i]}")
    return out


def as_flag(v: Any, name: str) -> bool:
    """True or False (NumPy booleans included); TypeError naming `name` otherwise."""
    if not isinstance(v, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(v).__name__}")
    return bool(v)


def as_workers(workers: Any, name: str = "workers") -> int:
    """A thread count: a positive integer, or -1 for every core."""
    if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(workers).__name__}")
    if workers == -1:
        return os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"{name} must be a positive integer or -1 (every core), not {workers}")
    return int(workers)


def as_mmap_mode(mode: Any, name: str = "mmap_mode") -> Optional[str]:
    """None (read a file into memory) or "r" (map it read-only)."""
    if mode is not None and (not isinstance(mode, str) or mode != "r"):
        raise ValueError(f"{name} must be None or 'r', not {mode!r}")
    return mode


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


def as_clouds(clouds: Any, dtype: Optional[npt.DTypeLike], on_cluster: bool = False) -> List[Any]:
    """A non-empty sequence of non-empty point clouds, each checked by `as_cloud` under
    the name `clouds[i]`. Dask arrays are computed (all together), and futures refused,
    unless `on_cluster`: then both are kept as they are, checked only as far as
    `check_remote_cloud` can without their points."""
    if isinstance(clouds, (str, bytes)) or not hasattr(clouds, "__len__"):
        raise TypeError("clouds must be a sequence of (n, 3) point arrays")
    if len(clouds) == 0:
        raise ValueError("clouds is empty: give at least one cloud")
    items = list(clouds)
    remote = {c for c, x in enumerate(items) if is_on_cluster(x)}
    if on_cluster:
        for c in remote:
            check_remote_cloud(items[c], f"clouds[{c}]")
        return [x if c in remote else as_cloud(x, f"clouds[{c}]", dtype) for c, x in enumerate(items)]
    if remote:
        import dask

        for c in remote:
            if not hasattr(items[c], "dask"):
                raise TypeError(f"clouds[{c}] is a future of a Dask cluster: pass that cluster's Client as "
                                "executor, or the points themselves")
            check_remote_cloud(items[c], f"clouds[{c}]")
        for c, arr in zip(sorted(remote), dask.compute(*[items[c] for c in sorted(remote)])):
            items[c] = arr
    return [as_cloud(x, f"clouds[{c}]", dtype) for c, x in enumerate(items)]


def as_cloud(x: Any, name: str, dtype: Optional[npt.DTypeLike]) -> np.ndarray:
    """A cloud of an all-by-all: `as_points` with at least one point. Also runs on the
    workers of a Dask cluster, for clouds that live there."""
    arr = as_points(x, name, dtype)
    if len(arr) == 0:
        raise ValueError(f"{name} has no points")
    return arr


def is_on_cluster(x: Any) -> bool:
    """Whether `x` is a Dask array or a `distributed.Future`, without importing Dask when
    it is not loaded."""
    da, distributed = sys.modules.get("dask.array"), sys.modules.get("distributed")
    return (da is not None and isinstance(x, da.Array)) or (distributed is not None
                                                             and isinstance(x, distributed.Future))


def check_remote_cloud(x: Any, name: str) -> None:
    """What can be checked of a cloud on a cluster without its points: a Dask array's
    dtype and shape (a future has none to check)."""
    if hasattr(x, "shape") and hasattr(x, "dtype"):
        check_points_layout(x.shape, x.dtype, name)
        if x.shape[0] == 0:
            raise ValueError(f"{name} has no points")


def as_graphs(graphs: Any, sizes: List[int]) -> List[Graph]:
    """One graph per cloud (of `sizes[i]` points), each checked by `as_graph` under the
    name `graphs[i]`."""
    if isinstance(graphs, (str, bytes)) or not hasattr(graphs, "__len__"):
        raise TypeError("graphs must be a sequence of (indptr, indices) pairs")
    if len(graphs) != len(sizes):
        raise ValueError(f"graphs has {len(graphs)} entries but there are {len(sizes)} clouds")
    return [as_graph(g, n, f"graphs[{c}]") for c, (g, n) in enumerate(zip(graphs, sizes))]


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


# The kept form of an Index (a saved file or a pickled state), format version 1: its
# fields, their dtypes (None: float32 or float64) and their shapes in terms of the
# number of points n and of neighbour entries m.
INDEX_FORMAT = 1
INDEX_FIELDS: Dict[str, Tuple[Optional[str], Tuple[str, ...]]] = {
    "format_version": ("<i8", ()),
    "min_plov_version": ("U", ()),
    "points": (None, ("n", "3")),
    "indptr": ("<u4", ("n + 1",)),
    "indices": ("<u4", ("m",)),
    "labels": ("<i8", ("n",)),
}


class IndexState(NamedTuple):
    """A checked kept Index: points, CSR graph and labels (search vertex -> caller's row),
    all in the search's numbering."""

    points: np.ndarray
    indptr: np.ndarray
    indices: np.ndarray
    labels: np.ndarray


def check_index_format(version: Any, required: Any, source: str) -> None:
    """ValueError unless `version` (with `required`, the oldest plov that reads it) is a
    format version of a kept Index that this plov reads."""
    if isinstance(version, np.ndarray) and version.shape == () and version.dtype.kind in "iu":
        version = int(version)
    if isinstance(version, (bool, np.bool_)) or not isinstance(version, numbers.Integral):
        raise ValueError(f"{source}: format_version must be an integer, not {version!r:.40}")
    version = int(version)
    if isinstance(required, np.ndarray) and required.shape == () and required.dtype.kind == "U":
        required = str(required)
    if version > INDEX_FORMAT:
        needs = f"plov {required} or newer" if isinstance(required, str) and len(required) <= 32 else "a newer plov"
        raise ValueError(f"{source} has format version {version}, newer than this plov reads "
                         f"({INDEX_FORMAT}): it needs {needs}")
    if version != INDEX_FORMAT:
        raise ValueError(f"{source}: format_version {version} is not a format of a saved plov index")


def check_index_layout(layout: Mapping[str, Tuple[np.dtype, Tuple[int, ...]]], source: str) -> None:
    """ValueError naming the field unless `layout` ({field: (dtype, shape)}) has exactly
    the fields of format 1, each of its dtype and of a shape consistent with the others."""
    missing = [f for f in INDEX_FIELDS if f not in layout]
    if missing:
        raise ValueError(f"{source}: field {missing[0]!r} is missing")
    extra = [f for f in layout if f not in INDEX_FIELDS]
    if extra:
        raise ValueError(f"{source}: unexpected field {extra[0]!r}")
    n = layout["points"][1][0] if len(layout["points"][1]) == 2 else -1
    m = layout["indices"][1][0] if len(layout["indices"][1]) == 1 else -1
    sizes = {"n": n, "3": 3, "n + 1": n + 1, "m": m}
    for field, (want_dtype, dims) in INDEX_FIELDS.items():
        dtype, shape = layout[field]
        if want_dtype == "U":
            ok = dtype.kind == "U" and dtype.itemsize <= 4 * 64
            want = "a short string"
        else:  # little-endian, as written: a file reads the same on every machine
            ok = dtype.str in (("<f4", "<f8") if want_dtype is None else (want_dtype,))
            want = "float32 or float64" if want_dtype is None else np.dtype(want_dtype).name
        if not ok:
            raise ValueError(f"{source}: field {field!r} has dtype {dtype}, not {want}")
        expected = tuple(sizes[d] for d in dims)
        if len(shape) != len(dims) or any(s != e or e < 0 for s, e in zip(shape, expected)):
            what = "(" + ", ".join(dims) + (",)" if len(dims) == 1 else ")")
            raise ValueError(f"{source}: field {field!r} has shape {shape}, not {what} = {expected}")
        if field == "points" and n == 0:
            raise ValueError(f"{source}: field 'points' is empty: an Index needs at least one point")


def as_index_state(state: Mapping[str, Any], source: str) -> IndexState:
    """The arrays of a kept Index, every one checked before native code sees it: format
    version, fields, dtypes and shapes (`check_index_layout`), finite points, a CSR
    graph (offsets rising from 0 to the number of neighbour entries, neighbours in
    range, no empty neighbour list) and labels that are a permutation of the rows.
    ValueError naming the field and what is wrong otherwise."""
    if not isinstance(state, Mapping):
        raise ValueError(f"{source}: not a saved plov index (a {type(state).__name__}, not a mapping)")
    check_index_format(state.get("format_version"), state.get("min_plov_version"), source)
    arrays = {f: np.asarray(v) for f, v in state.items() if isinstance(v, (np.ndarray, np.generic, str, int))}
    if len(arrays) != len(state):
        odd = next(f for f, v in state.items() if f not in arrays)
        raise ValueError(f"{source}: field {odd!r} is not an array")
    check_index_layout({f: (a.dtype, a.shape) for f, a in arrays.items()}, source)
    points = as_points(arrays["points"], f"{source}: field 'points'", arrays["points"].dtype)
    n = len(points)
    indptr, indices = as_graph((arrays["indptr"], arrays["indices"]), n, f"{source}: graph (indptr, indices)")
    labels = np.ascontiguousarray(arrays["labels"])
    if labels.min() < 0 or labels.max() >= n:
        raise ValueError(f"{source}: field 'labels' has entries outside [0, {n})")
    seen = np.zeros(n, np.bool_)
    seen[labels] = True
    if not seen.all():
        raise ValueError(f"{source}: field 'labels' is not a permutation: row {int(np.argmin(seen))} is missing")
    return IndexState(points, indptr, indices, labels)


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
