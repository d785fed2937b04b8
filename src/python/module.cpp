// The module definition: multi-phase initialisation with a single exec slot that
// registers the functions and then the classes, appending each name to __all__.
#include "docs.hpp"
#include "module_def.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

PyObject* as_object(PyTypeObject* t) {
    Py_XINCREF(t);
    return reinterpret_cast<PyObject*>(t);
}

PyMethodDef functions[] = {
    {"all_nearest_neighbours", PLOV_FN(all_nearest_neighbours<double>), METH_FASTCALL | METH_KEYWORDS,
     doc::all_nearest_neighbours},
    {"all_nearest_neighbours_f32", PLOV_FN(all_nearest_neighbours<float>), METH_FASTCALL | METH_KEYWORDS,
     doc::all_nearest_neighbours_f32},
    {"all_nearest_neighbours_k", PLOV_FN(all_nearest_neighbours_k<double>), METH_FASTCALL | METH_KEYWORDS,
     doc::all_nearest_neighbours_k},
    {"all_nearest_neighbours_k_f32", PLOV_FN(all_nearest_neighbours_k<float>), METH_FASTCALL | METH_KEYWORDS,
     doc::all_nearest_neighbours_k_f32},
    {"graph_from_simplices", PLOV_FN(graph_from_simplices), METH_FASTCALL | METH_KEYWORDS, doc::graph_from_simplices},
};

int exec_module(PyObject* module) {
    if (add_functions(module, functions) < 0) return -1;
    if (add_to_module(module, "PreparedF64", as_object(prepared_type<double>())) < 0) return -1;
    if (add_to_module(module, "PreparedF32", as_object(prepared_type<float>())) < 0) return -1;
    if (add_to_module(module, "GroupedQueriesF64", as_object(grouped_type<double>())) < 0) return -1;
    if (add_to_module(module, "GroupedQueriesF32", as_object(grouped_type<float>())) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_plov", doc::module, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace plov::py

PyMODINIT_FUNC PyInit__plov(void) { return PyModuleDef_Init(&plov::py::module_def); }
