// Module-level single-nearest functions: both clouds arrive as raw arrays and are
// packed for the call.
#include "docs.hpp"
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
        auto x = a.convert(0, array2d_arg<T>);
        auto xi = a.convert(1, graph_arg);
        auto xn = a.convert(2, graph_arg);
        auto y = a.convert(3, array2d_arg<T>);
        auto yi = a.convert(4, graph_arg);
        auto yn = a.convert(5, graph_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> xp = pack_points(x.view);
            PackedBuffer<T> yp = pack_points(y.view);
            GraphView<T> q{xp.data(), xp.size(), xi.view, xn.view};
            GraphView<T> t{yp.data(), yp.size(), yi.view, yn.view};
            return search_pruned<T>(q, t, std::nullopt);
        });
        return result_pair(std::move(res));
    });
}

template PyObject* all_nearest_neighbours<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* all_nearest_neighbours<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace plov::py
