// delaunay_graph, delaunay_tetrahedra: Delaunay triangulations of raw point clouds,
// operations of the package's own module.
#include "kernel/delaunay/delaunay.hpp"
#include "ops.hpp"
#include "results.hpp"

namespace plov::py {

namespace {

// Binds the one parameter `points` of `op` and triangulates it without the lock.
template <class F>
Ref with_triangulation(const char* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& out) {
    static constexpr Param params[] = {{"points", true}};
    const Signature sig{nullptr, op, params};
    Args a(sig, args, nargs, kwnames);
    auto points = a.convert(0, array2d_arg<double>);
    return out([&](auto&& extract) {
        return without_gil([&] {
            delaunay::Delaunay d(points.view);
            return extract(d);
        });
    });
}

}  // namespace

PyObject* delaunay_graph(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return with_triangulation("delaunay_graph", args, nargs, kwnames, [](auto run) {
            delaunay::Graph g = run([](delaunay::Delaunay& d) { return d.graph(); });
            Ref indptr = make_array(std::move(g.indptr));
            Ref indices = make_array(std::move(g.indices));
            return make_tuple(std::move(indptr), std::move(indices));
        });
    });
}

PyObject* delaunay_tetrahedra(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return with_triangulation("delaunay_tetrahedra", args, nargs, kwnames, [](auto run) {
            std::size_t count = 0;
            Buffer<std::uint64_t> tets = run([&](delaunay::Delaunay& d) { return d.tetrahedra(count); });
            return make_array(std::move(tets), {static_cast<npy_intp>(count), 4});
        });
    });
}

}  // namespace plov::py
