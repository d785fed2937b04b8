"""Type stubs of the native module _plov."""

from typing import Optional, Sequence, Tuple, Union, final

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_F64 = npt.NDArray[np.float64]
_U32 = npt.NDArray[np.uint32]
_U64 = npt.NDArray[np.uint64]
_I64 = npt.NDArray[np.int64]
_Int = Union[int, np.integer]
_Real = Union[float, int, np.floating, np.integer]

__all__ = [
    "all_nearest_neighbours",
    "all_nearest_neighbours_f32",
    "all_nearest_neighbours_k",
    "all_nearest_neighbours_k_f32",
    "graph_from_simplices",
    "PreparedF64",
    "PreparedF32",
    "GroupedQueriesF64",
    "GroupedQueriesF32",
]

def all_nearest_neighbours(
    x_points: _F64, x_indices: _U32, x_neighbors: _U32, y_points: _F64, y_indices: _U32, y_neighbors: _U32
) -> Tuple[_F64, _U64]: ...
def all_nearest_neighbours_f32(
    x_points: _F32, x_indices: _U32, x_neighbors: _U32, y_points: _F32, y_indices: _U32, y_neighbors: _U32
) -> Tuple[_F32, _U64]: ...
def all_nearest_neighbours_k(
    x_points: _F64,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F64,
    y_indices: _U32,
    y_neighbors: _U32,
    k: _Int,
    ef: _Int,
) -> Tuple[_F64, _U64]: ...
def all_nearest_neighbours_k_f32(
    x_points: _F32,
    x_indices: _U32,
    x_neighbors: _U32,
    y_points: _F32,
    y_indices: _U32,
    y_neighbors: _U32,
    k: _Int,
    ef: _Int,
) -> Tuple[_F32, _U64]: ...
def graph_from_simplices(simplices: npt.NDArray[np.uint64], n_points: _Int) -> Tuple[_U32, _U32]: ...
@final
class PreparedF64:
    def __new__(cls, points: _F64, indptr: _U32, indices: _U32) -> PreparedF64: ...
    def query(
        self, x_points: _F64, x_indptr: _U32, x_indices: _U32, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F64, _U64]: ...
    def query_k(
        self,
        x_points: _F64,
        x_indptr: _U32,
        x_indices: _U32,
        k: _Int,
        ef: _Int,
        distance_upper_bound: Optional[_Real] = None,
    ) -> Tuple[_F64, _U64]: ...
    def query_prepared(self, other: PreparedF64, distance_upper_bound: Optional[_Real] = None) -> Tuple[_F64, _U64]: ...
    def query_prepared_k(
        self, other: PreparedF64, k: _Int, ef: _Int, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F64, _U64]: ...
    def query_prepared_blocked(
        self, other: PreparedF64, block: _Int = 8, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F64, _U64]: ...
    def query_grouped(
        self,
        grouped: GroupedQueriesF64,
        target_perm: Optional[_I64],
        block: _Int = 32,
        distance_upper_bound: Optional[_Real] = None,
        finalize: Union[bool, np.bool_] = True,
    ) -> Tuple[_F64, _U64]: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _F64: ...

@final
class PreparedF32:
    def __new__(cls, points: _F32, indptr: _U32, indices: _U32) -> PreparedF32: ...
    def query(
        self, x_points: _F32, x_indptr: _U32, x_indices: _U32, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F32, _U64]: ...
    def query_k(
        self,
        x_points: _F32,
        x_indptr: _U32,
        x_indices: _U32,
        k: _Int,
        ef: _Int,
        distance_upper_bound: Optional[_Real] = None,
    ) -> Tuple[_F32, _U64]: ...
    def query_prepared(self, other: PreparedF32, distance_upper_bound: Optional[_Real] = None) -> Tuple[_F32, _U64]: ...
    def query_prepared_k(
        self, other: PreparedF32, k: _Int, ef: _Int, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F32, _U64]: ...
    def query_prepared_blocked(
        self, other: PreparedF32, block: _Int = 8, distance_upper_bound: Optional[_Real] = None
    ) -> Tuple[_F32, _U64]: ...
    def query_grouped(
        self,
        grouped: GroupedQueriesF32,
        target_perm: Optional[_I64],
        block: _Int = 32,
        distance_upper_bound: Optional[_Real] = None,
        finalize: Union[bool, np.bool_] = True,
    ) -> Tuple[_F32, _U64]: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _F32: ...

@final
class GroupedQueriesF64:
    @staticmethod
    def prepare(queries: Sequence[PreparedF64], query_perms: Sequence[Optional[_I64]]) -> GroupedQueriesF64: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _U64: ...
    @property
    def perm(self) -> _U64: ...

@final
class GroupedQueriesF32:
    @staticmethod
    def prepare(queries: Sequence[PreparedF32], query_perms: Sequence[Optional[_I64]]) -> GroupedQueriesF32: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _U64: ...
    @property
    def perm(self) -> _U64: ...
