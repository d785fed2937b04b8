"""plov: nearest neighbours between 3-D point clouds by warm-started graph descent.

The native module `_plov` does the work; this package re-exports it and adds a small
high-level layer:

- `Index(points)`: a target built from raw points, queried like scipy's cKDTree
  (`index.query(x, k)`: exact for every k, results in the caller's numbering), kept with
  `index.save(path)` / `Index.load(path)` or pickled, and `nearest(x, y, k)`, the one-shot
  form;
- `knn_graph(points, k)`: each point's k nearest other points, as arrays or a sparse graph;
- `delaunay_graph(points)`: the Delaunay vertex-adjacency graph of a cloud, built natively
  and exactly (duplicates, flat and collinear clouds included);
- `delaunay_tetrahedra(points)`: the tetrahedra themselves;
- `morton_reorder(points, indptr, indices)`: a cloud and its graph renumbered in Morton
  order, with the permutation that maps back to the caller's numbering;
- `all_by_all(clouds, ...)`: every cloud against every other one in one call (Chamfer,
  Hausdorff and mean-distance matrices, or the per-point results), from a thread pool
  or any `concurrent.futures.Executor` (a Dask cluster's included).
"""

from _plov import (
    GroupedQueriesF32,
    GroupedQueriesF64,
    PreparedF32,
    PreparedF64,
    all_nearest_neighbours,
    all_nearest_neighbours_f32,
    all_nearest_neighbours_k,
    all_nearest_neighbours_k_f32,
    graph_from_simplices,
)

from ._allbyall import AllByAll, all_by_all
from ._graphs import delaunay_graph, delaunay_tetrahedra, morton_reorder, prepared_class
from ._index import Index, nearest
from ._neighbourhoods import knn_graph

__version__ = "0.1.0"

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
    "delaunay_graph",
    "delaunay_tetrahedra",
    "morton_reorder",
    "prepared_class",
    "all_by_all",
    "AllByAll",
    "Index",
    "nearest",
    "knn_graph",
]
