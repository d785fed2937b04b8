// Entry points of the module's operations, in the vectorcall-with-keywords form.
#pragma once

#include "capi.hpp"

namespace plov::py {

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

#define PLOV_OP(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// Module functions (self is the module).
template <class T>
PLOV_OP(all_nearest_neighbours);
template <class T>
PLOV_OP(all_nearest_neighbours_k);
PLOV_OP(graph_from_simplices);

// Methods of PreparedF32 / PreparedF64.
template <class T>
PLOV_OP(prepared_query);
template <class T>
PLOV_OP(prepared_query_k);
template <class T>
PLOV_OP(prepared_query_prepared);
template <class T>
PLOV_OP(prepared_query_prepared_k);
template <class T>
PLOV_OP(prepared_query_prepared_blocked);
template <class T>
PLOV_OP(prepared_query_grouped);

// Operations of the package's own module, plov._native.
PLOV_OP(delaunay_graph);
PLOV_OP(delaunay_tetrahedra);
PLOV_OP(delaunay_rounds);

#undef PLOV_OP

// The grouped query set classes, created on first use; nullptr with the error set on failure.
template <class T>
PyTypeObject* grouped_type();

}  // namespace plov::py
