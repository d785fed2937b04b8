// The module definition: multi-phase initialisation with a single exec slot that
// registers the functions and then the classes, appending each name to __all__.
#include <string>

#include "docs.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

// Appends `name` to the module's __all__ (created on the first addition), then sets
// the attribute. Steals `value`.
int add_to_module(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    Ref owned = Ref::steal(value);
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, owned.get());
}

PyObject* as_object(PyTypeObject* t) {
    Py_XINCREF(t);
    return reinterpret_cast<PyObject*>(t);
}

#define PLOV_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

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

#undef PLOV_FN

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        std::string type = type_qualname(module);
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", type.c_str());
        return -1;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    for (PyMethodDef& def : functions)
        if (add_to_module(module, def.ml_name, PyCFunction_NewEx(&def, module, name.get())) < 0) return -1;
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
