// k-nearest entry points: the best-first search against a prepared target, with the
// query cloud given as raw arrays or as another prepared object, and the one-shot
// module functions that pack both clouds for the call.
#include "kernel/knn.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

// The (dists, idx) tuple over the (rows, cols) result buffers.
template <class T>
Ref knn_pair(KnnResult<T>&& res) {
    const auto rows = static_cast<npy_intp>(res.rows), cols = static_cast<npy_intp>(res.cols);
    Ref d = make_array(std::move(res.dists), {rows, cols});
    Ref i = make_array(std::move(res.idx), {rows, cols});
    return make_tuple(std::move(d), std::move(i));
}

}  // namespace

template <class T>
PyObject* prepared_query_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"x_points", true}, {"x_indptr", true}, {"x_indices", true},
                                           {"k", true},        {"ef", true},       {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_k", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto x = a.convert(0, array2d_arg<T>);
        auto xi = a.convert(1, graph_arg);
        auto xn = a.convert(2, graph_arg);
        std::uint64_t k = a.convert(3, u64_arg);
        std::uint64_t ef = a.convert(4, u64_arg);
        auto r = a.convert(5, real_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> packed = pack_points(x.view);
            GraphView<T> q{packed.data(), packed.size(), xi.view, xn.view};
            const PreparedGraph<T>& t = target.graph();
            return search_k(q, t.view(), k, ef, make_bound(r, t, std::optional<Box<T>>()));
        });
        return knn_pair(std::move(res));
    });
}

template <class T>
PyObject* prepared_query_prepared_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr Param params[] = {{"other", true}, {"k", true}, {"ef", true}, {"distance_upper_bound", false}};
        static const Signature sig{Names<T>::prepared, "query_prepared_k", params};
        Args a(sig, args, nargs, kwnames);
        auto target = PreparedRef<T>::take(self);
        auto other = a.convert(0, prepared_arg<T>);
        std::uint64_t k = a.convert(1, u64_arg);
        std::uint64_t ef = a.convert(2, u64_arg);
        auto r = a.convert(3, real_arg);
        auto res = without_gil([&] {
            const PreparedGraph<T>& t = target.graph();
            const PreparedGraph<T>& q = other.graph();
            return search_k(q.view(), t.view(), k, ef, make_bound(r, t, std::optional<Box<T>>(q.box())));
        });
        return knn_pair(std::move(res));
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
        auto x = a.convert(0, array2d_arg<T>);
        auto xi = a.convert(1, graph_arg);
        auto xn = a.convert(2, graph_arg);
        auto y = a.convert(3, array2d_arg<T>);
        auto yi = a.convert(4, graph_arg);
        auto yn = a.convert(5, graph_arg);
        std::uint64_t k = a.convert(6, u64_arg);
        std::uint64_t ef = a.convert(7, u64_arg);
        auto res = without_gil([&] {
            PackedBuffer<T> xp = pack_points(x.view);
            PackedBuffer<T> yp = pack_points(y.view);
            GraphView<T> q{xp.data(), xp.size(), xi.view, xn.view};
            GraphView<T> t{yp.data(), yp.size(), yi.view, yn.view};
            return search_k<T>(q, t, k, ef, std::nullopt);
        });
        return knn_pair(std::move(res));
    });
}

#define PLOV_INSTANTIATE(fn)                                                          \
    template PyObject* fn<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PLOV_INSTANTIATE(prepared_query_k)
PLOV_INSTANTIATE(prepared_query_prepared_k)
PLOV_INSTANTIATE(all_nearest_neighbours_k)
#undef PLOV_INSTANTIATE

}  // namespace plov::py
