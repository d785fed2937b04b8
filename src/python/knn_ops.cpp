// k-nearest entry points (placeholder until the best-first search lands).
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {
Ref not_yet() { raise(PyExc_NotImplementedError, "k-nearest search is not available yet"); }
}  // namespace

template <class T>
PyObject* prepared_query_k(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded(not_yet);
}
template <class T>
PyObject* prepared_query_prepared_k(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded(not_yet);
}
template <class T>
PyObject* all_nearest_neighbours_k(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded(not_yet);
}

#define PLOV_INSTANTIATE(fn)                                                            \
    template PyObject* fn<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PLOV_INSTANTIATE(prepared_query_k)
PLOV_INSTANTIATE(prepared_query_prepared_k)
PLOV_INSTANTIATE(all_nearest_neighbours_k)
#undef PLOV_INSTANTIATE

}  // namespace plov::py
