// Docstrings of the module's functions, classes and members. Each function and method
// docstring starts with its text signature and a "--" line, from which the interpreter
// derives __text_signature__.
#pragma once

namespace plov::py::doc {

inline constexpr const char* module = "Nearest neighbours between 3-D point clouds by warm-started graph descent.";

#define PLOV_ANN_DOC_BODY                                                                                \
    "Find, for each point in `x`, the nearest neighbour among the points in `y`, both given as\n"        \
    "neighbourhood graphs in CSR form (`*_indices` the offsets, `*_neighbors` the neighbour lists).\n\n" \
    "The heavy search runs with the interpreter lock released, so independent calls (for example an\n"   \
    "all-by-all join driven from a Python thread pool) execute in parallel across cores."

inline constexpr const char* all_nearest_neighbours =
    "all_nearest_neighbours(x_points, x_indices, x_neighbors, y_points, y_indices, "
    "y_neighbors)\n--\n\n" PLOV_ANN_DOC_BODY;
inline constexpr const char* all_nearest_neighbours_f32 =
    "all_nearest_neighbours_f32(x_points, x_indices, x_neighbors, y_points, y_indices, "
    "y_neighbors)\n--\n\n" PLOV_ANN_DOC_BODY;

#define PLOV_ANN_K_DOC_BODY                                                  \
    "The k>1 variant: for each point in `x` find the `k` nearest\n"          \
    "neighbours among the points in `y`, exploring `ef >= k` candidates\n"   \
    "per query (recall/speed trade-off). Returns (N, k) arrays with rows\n"  \
    "sorted ascending by distance; missing entries (search exhausted) are\n" \
    "(inf, |y|). Runs with the GIL released, like the k=1 variant."

inline constexpr const char* all_nearest_neighbours_k =
    "all_nearest_neighbours_k(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, "
    "ef)\n--\n\n" PLOV_ANN_K_DOC_BODY;
inline constexpr const char* all_nearest_neighbours_k_f32 =
    "all_nearest_neighbours_k_f32(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, "
    "ef)\n--\n\n" PLOV_ANN_K_DOC_BODY;

inline constexpr const char* graph_from_simplices =
    "graph_from_simplices(simplices, n_points)\n--\n\n"
    "Build the vertex-adjacency CSR graph `(indptr, indices)` of Delaunay tetrahedra.\n\n"
    "`simplices` is a 2-D uint64 array with one tetrahedron per row (the first four columns are\n"
    "read); `n_points` the number of points. Two points are neighbours when they share an edge of\n"
    "some tetrahedron; every list is sorted and free of repeats, and the graph is symmetric.\n"
    "The build runs with the interpreter lock released, so that builds can be parallelised from Python.";

#define PLOV_PREPARED_DOC_BODY                                                                        \
    "The Python counterpart of the core prepared graph: the cloud is packed once, at construction,\n" \
    "together with its bounding box and a copy of its CSR graph, and reused across every query.\n"    \
    "The methods delegate to the core type and keep the interpreter lock released for the search\n"   \
    "itself; one instance may serve any number of threads at once."

inline constexpr const char* prepared_f32 = "PreparedF32(points, indptr, indices)\n--\n\n" PLOV_PREPARED_DOC_BODY;
inline constexpr const char* prepared_f64 = "PreparedF64(points, indptr, indices)\n--\n\n" PLOV_PREPARED_DOC_BODY;

inline constexpr const char* query =
    "query($self, x_points, x_indptr, x_indices, distance_upper_bound=None)\n--\n\n"
    "Nearest neighbour in the prepared target for each point of the query cloud, given as its own\n"
    "CSR graph. The search runs with the interpreter lock released.\n\n"
    "`distance_upper_bound` (a distance, not squared) reports the miss marker (inf, number of\n"
    "target points) for query points with no neighbour within it, and lets the search prune by the\n"
    "target's bounding box.";

inline constexpr const char* query_k =
    "query_k($self, x_points, x_indptr, x_indices, k, ef, distance_upper_bound=None)\n--\n\n"
    "The k>1 variant of `query` (best-first search, `ef` breadth).\n"
    "`distance_upper_bound` is as in `query`.";

inline constexpr const char* query_prepared =
    "query_prepared($self, other, distance_upper_bound=None)\n--\n\n"
    "Like `query`, but the query cloud is another prepared graph. Both operands are already\n"
    "packed, so nothing is packed for this call: the fast path for an all-by-all in which every\n"
    "graph is a persistent operand.";

inline constexpr const char* query_prepared_k =
    "query_prepared_k($self, other, k, ef, distance_upper_bound=None)\n--\n\n"
    "The k>1 variant of `query_prepared`. `distance_upper_bound` is as\n"
    "in `query`.";

inline constexpr const char* query_prepared_blocked =
    "query_prepared_blocked($self, other, block=8, distance_upper_bound=None)\n--\n\n"
    "Prototype of the blocked descent: `other`'s points are descended in blocks of `block` query\n"
    "points (the gather reuse granularity) that share every fetched neighbourhood.\n"
    "`distance_upper_bound` is as in `query_prepared`, and the results are identical.";

inline constexpr const char* query_grouped =
    "query_grouped($self, grouped, target_perm, block=32, distance_upper_bound=None, finalize=True)\n--\n\n"
    "Blocked descent of a prepared grouped query set against this target.\n\n"
    "Concatenation and Morton sort were moved into `prepare`, so this call only descends and\n"
    "finalizes, with the interpreter lock released, and the same set serves every target without\n"
    "re-sorting.\n\n"
    "With `finalize=True` the results stand in concatenated per-cloud original order (cloud `c` at\n"
    "`[offsets[c], offsets[c+1])`, each cloud's entries at their original positions) and carry\n"
    "original target indices. With `finalize=False` they stand in the set's Morton order and carry\n"
    "this target's internal indices: scatter them with `out[perm] = raw` and map indices yourself.\n"
    "`target_perm` is this target's new-to-original int64 permutation, or None if it was not\n"
    "reordered. `distance_upper_bound` is as in `query_prepared`.";

inline constexpr const char* prop_n = "Number of points in the prepared target.";
inline constexpr const char* prop_data = "The target points as an `(n, 3)` array (pad lane dropped).";

#define PLOV_GROUPED_DOC_BODY                                                                            \
    "The Morton-sorted concatenation of many query clouds' points, built once by `prepare` and\n"        \
    "descended against each target with `query_grouped`. The object is frozen, so one instance can be\n" \
    "shared by a thread pool while each `query_grouped` call runs with the interpreter lock released."

inline constexpr const char* grouped_f32 = PLOV_GROUPED_DOC_BODY;
inline constexpr const char* grouped_f64 = PLOV_GROUPED_DOC_BODY;

inline constexpr const char* prepare =
    "prepare(queries, query_perms)\n--\n\n"
    "Concatenate every cloud's points and Morton-sort them once, with the interpreter lock released.\n\n"
    "`queries` are prepared targets used as query operands; `query_perms[c]` is cloud `c`'s\n"
    "new-to-original int64 permutation, or None if the cloud was not reordered. Build one grouped\n"
    "set per all-by-all and pass it to `query_grouped` for every target.";

inline constexpr const char* prop_n_points = "Number of concatenated query points.";
inline constexpr const char* prop_n_clouds = "Number of query clouds.";
inline constexpr const char* prop_offsets =
    "The `(n_clouds + 1,)` cloud offsets: cloud `c`'s block in a\n"
    "`query_grouped(finalize=True)` result is `[offsets[c], offsets[c+1])`.";
inline constexpr const char* prop_perm =
    "The sorted-position -> concatenated-index permutation `(n_points,)`.\n"
    "Only needed with `query_grouped(finalize=False)`: scatter the raw\n"
    "Morton-order results back to concatenated order with\n"
    "`out[perm] = raw`, then slice per cloud via `offsets`.";

#undef PLOV_ANN_DOC_BODY
#undef PLOV_ANN_K_DOC_BODY
#undef PLOV_PREPARED_DOC_BODY
#undef PLOV_GROUPED_DOC_BODY

}  // namespace plov::py::doc
