// graph_from_simplices (placeholder until the adjacency builder lands).
#include "ops.hpp"

namespace plov::py {

PyObject* graph_from_simplices(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded([]() -> Ref { raise(PyExc_NotImplementedError, "graph_from_simplices is not available yet"); });
}

}  // namespace plov::py
