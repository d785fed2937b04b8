// delaunay_graph, delaunay_tetrahedra: Delaunay triangulations of raw point clouds,
// operations of the package's own module.
#include "kernel/delaunay/delaunay.hpp"
#include "ops.hpp"
#include "results.hpp"

namespace plov::py {

namespace {

// Binds the parameters `points`, `ordered` and `threads` of `op` and triangulates the
// points without the lock, on `threads` threads (the result does not depend on it);
// the build stops on a signal whose handler raises (Ctrl-C), with that error, after
// every thread has ended.
template <class F>
Ref with_triangulation(const char* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& out) {
    static constexpr Param params[] = {{"points", true}, {"ordered", false}, {"threads", false}};
    const Signature sig{nullptr, op, params};
    Args a(sig, args, nargs, kwnames);
    auto points = a.convert(0, array2d_arg<double>);
    const bool ordered = a.given(1) && a.convert(1, bool_arg);
    const std::uint64_t threads = a.given(2) ? a.convert(2, u64_arg) : 1;
    if (threads < 1 || threads > 4096) raise(PyExc_ValueError, "threads must be between 1 and 4096");
    return out(ordered, [&](auto&& extract) {
        try {
            return without_gil_polled([&](auto& poll) {
                const delaunay::Delaunay::Poll ask = poll;
                delaunay::Delaunay d(points.view, ask, static_cast<std::size_t>(threads));
                return extract(d, ask);
            });
        } catch (const Cancelled&) {
            throw_error();
        }
    });
}

}  // namespace

PyObject* delaunay_graph(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return with_triangulation("delaunay_graph", args, nargs, kwnames, [](bool ordered, auto run) {
            delaunay::Graph g =
                run([ordered](delaunay::Delaunay& d, const auto& poll) { return d.graph(poll, ordered); });
            Ref indptr = make_array(std::move(g.indptr));
            Ref indices = make_array(std::move(g.indices));
            if (!ordered) return make_tuple(std::move(indptr), std::move(indices));
            Ref perm = make_array(std::move(g.perm));
            return Ref::check(PyTuple_Pack(3, indptr.get(), indices.get(), perm.get()));
        });
    });
}

PyObject* delaunay_tetrahedra(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return with_triangulation("delaunay_tetrahedra", args, nargs, kwnames, [](bool, auto run) {
            std::size_t count = 0;
            Buffer<std::uint64_t> tets = run([&](delaunay::Delaunay& d, const auto&) { return d.tetrahedra(count); });
            return make_array(std::move(tets), {static_cast<npy_intp>(count), 4});
        });
    });
}

PyObject* delaunay_rounds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return with_triangulation("delaunay_rounds", args, nargs, kwnames, [](bool, auto run) {
            std::vector<delaunay::Triangulation::Round> rounds =
                run([](delaunay::Delaunay& d, const auto&) { return d.rounds(); });
            Buffer<std::int64_t> out(2 * rounds.size());
            for (std::size_t r = 0; r < rounds.size(); ++r) {
                out[2 * r] = static_cast<std::int64_t>(rounds[r].tried);
                out[2 * r + 1] = static_cast<std::int64_t>(rounds[r].put_off);
            }
            return make_array(std::move(out), {static_cast<npy_intp>(rounds.size()), 2});
        });
    });
}

}  // namespace plov::py
