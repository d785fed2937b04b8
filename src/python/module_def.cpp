#include "module_def.hpp"

#include <string>

namespace plov::py {

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

int add_functions(PyObject* module, std::span<PyMethodDef> table) {
    if (!PyModule_Check(module)) {
        std::string type = type_qualname(module);
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", type.c_str());
        return -1;
    }
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return -1;
    for (PyMethodDef& def : table)
        if (add_to_module(module, def.ml_name, PyCFunction_NewEx(&def, module, name.get())) < 0) return -1;
    return 0;
}

}  // namespace plov::py
