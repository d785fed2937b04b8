from typing import Any, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from _plov import PreparedF32, PreparedF64

__all__: list[str]

def knn_exact(
    target: Union[PreparedF64, PreparedF32],
    points: npt.NDArray[np.floating],
    dists: npt.NDArray[np.floating],
    idx: npt.NDArray[np.int64],
    distance_upper_bound: Optional[float] = None,
    labels: Optional[npt.NDArray[np.int64]] = None,
    seed: int = 0,
    rows: Optional[npt.NDArray[np.int64]] = None,
    work: Optional[int] = None,
    starts: Optional[npt.NDArray[np.int64]] = None,
) -> Tuple[int, int]: ...
def knn_self(
    target: Union[PreparedF64, PreparedF32],
    dists: npt.NDArray[np.floating],
    idx: npt.NDArray[np.int64],
    distance_upper_bound: Optional[float] = None,
    labels: Optional[npt.NDArray[np.int64]] = None,
    first: int = 0,
    end: Optional[int] = None,
    work: Optional[int] = None,
) -> int: ...
def morton_perm(points: npt.NDArray[np.floating], axis: int = 0, lo: Optional[float] = None,
                hi: Optional[float] = None, coarse: bool = False) -> npt.NDArray[np.int64]: ...
def ball_points(
    target: Union[PreparedF64, PreparedF32],
    points: npt.NDArray[np.floating],
    radii: npt.NDArray[np.float64],
    labels: Optional[npt.NDArray[np.int64]] = None,
    seed: int = 0,
    rows: Optional[npt.NDArray[np.int64]] = None,
    sort: bool = False,
    counts_only: bool = False,
    with_dists: bool = False,
    max_found: Optional[int] = None,
) -> Tuple[npt.NDArray[np.int64], Optional[npt.NDArray[np.int64]], Optional[npt.NDArray[np.floating]], int]: ...
def scatter_runs(
    src: npt.NDArray[Any],
    rows: npt.NDArray[np.int64],
    counts: npt.NDArray[np.int64],
    indptr: npt.NDArray[np.int64],
    out: npt.NDArray[Any],
) -> None: ...
def start_order(starts: npt.NDArray[np.int64], n: int) -> npt.NDArray[np.uint64]: ...
def delaunay_graph(points: npt.NDArray[np.float64], ordered: bool = False, threads: int = 1) -> Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
def delaunay_tetrahedra(points: npt.NDArray[np.float64], ordered: bool = False, threads: int = 1) -> npt.NDArray[np.uint64]: ...
def delaunay_rounds(points: npt.NDArray[np.float64], ordered: bool = False, threads: int = 1) -> npt.NDArray[np.int64]: ...
def prepared_graph(target: Union[PreparedF64, PreparedF32], labels: Optional[npt.NDArray[np.int64]] = None) -> Tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
