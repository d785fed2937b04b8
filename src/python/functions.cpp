// The functions of the module _plov: the one-shot searches, which pack both clouds
// (given as arrays) for the call, and the graph build.
#include "docs.hpp"
#include "kernel/adjacency.hpp"
#include "kernel/beam_knn.hpp"
#include "kernel/descent.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

template <class T>
PyObject* all_nearest_neighbours(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"x_points", true}, {"x_indices", true}, {"x_neighbors", true},
                                           {"y_points", true}, {"y_indices", true}, {"y_neighbors", true}};
        static const Signature sig{
            nullptr, std::is_same_v<T, float> ? "all_nearest_neighbours_f32" : "all_nearest_neighbours", params};
        Args a(sig, args, nargs, kwnames);
        auto x = cloud_args<T>(a, 0);
        auto y = cloud_args<T>(a, 3);
        auto res = without_gil([&] {
            PackedBuffer<T> xp = pack_points(x.points.view);
            PackedBuffer<T> yp = pack_points(y.points.view);
            GraphView<T> q{xp.data(), xp.size(), x.indptr.view, x.indices.view};
            GraphView<T> t{yp.data(), yp.size(), y.indptr.view, y.indices.view};
            return search_pruned<T>(q, t, std::nullopt);
        });
        return result_pair(std::move(res));
    });
}

template <class T>
PyObject* all_nearest_neighbours_k(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"x_points", true}, {"x_indices", true}, {"x_neighbors", true},
                                           {"y_points", true}, {"y_indices", true}, {"y_neighbors", true},
                                           {"k", true},        {"ef", true}};
        static const Signature sig{
            nullptr, std::is_same_v<T, float> ? "all_nearest_neighbours_k_f32" : "all_nearest_neighbours_k", params};
        Args a(sig, args, nargs, kwnames);
        auto x = cloud_args<T>(a, 0);
        auto y = cloud_args<T>(a, 3);
        std::uint64_t k = a.convert(6, u64_arg);
        std::uint64_t ef = a.convert(7, u64_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> xp = pack_points(x.points.view);
            PackedBuffer<T> yp = pack_points(y.points.view);
            GraphView<T> q{xp.data(), xp.size(), x.indptr.view, x.indices.view};
            GraphView<T> t{yp.data(), yp.size(), y.indptr.view, y.indices.view};
            return search_k<T>(q, t, k, ef, std::nullopt);
        });
        return knn_pair(std::move(res));
    });
}

PyObject* graph_from_simplices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"simplices", true}, {"n_points", true}};
        static const Signature sig{nullptr, "graph_from_simplices", params};
        Args a(sig, args, nargs, kwnames);
        auto simplices = a.convert(0, array2d_arg<std::uint64_t>);
        auto n = a.convert(1, u64_arg);
        Adjacency g = without_gil([&] { return plov::graph_from_simplices(simplices.view, n); });
        Ref indptr = make_array(std::move(g.indptr));
        Ref indices = make_array(std::move(g.neighbours));
        return make_tuple(std::move(indptr), std::move(indices));
    });
}

template PyObject* all_nearest_neighbours<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* all_nearest_neighbours<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* all_nearest_neighbours_k<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* all_nearest_neighbours_k<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace plov::py
