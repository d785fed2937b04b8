// graph_from_simplices: the vertex-adjacency CSR graph of a tetrahedralisation.
#include "kernel/adjacency.hpp"
#include "ops.hpp"
#include "results.hpp"

namespace plov::py {

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

}  // namespace plov::py
