// Grouped query sets and the blocked-descent methods (placeholder until they land).
#include <string>

#include "docs.hpp"
#include "ops.hpp"
#include "prepared.hpp"

namespace plov::py {

namespace {

Ref not_yet() { raise(PyExc_NotImplementedError, "grouped queries are not available yet"); }

template <class T>
PyObject* create_grouped_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(std::is_same_v<T, float> ? doc::grouped_f32 : doc::grouped_f64)},
        {0, nullptr},
    };
    static const std::string qualified = std::string("builtins.") + Names<T>::grouped;
    static PyType_Spec spec = {qualified.c_str(), static_cast<int>(sizeof(PyObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    return PyType_FromSpec(&spec);
}

}  // namespace

template <class T>
PyTypeObject* grouped_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = create_grouped_type<T>();
        if (!type) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", Names<T>::grouped);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class T>
PyObject* prepared_query_grouped(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded(not_yet);
}
template <class T>
PyObject* prepared_query_prepared_blocked(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return guarded(not_yet);
}

template PyTypeObject* grouped_type<float>();
template PyTypeObject* grouped_type<double>();
#define PLOV_INSTANTIATE(fn)                                                            \
    template PyObject* fn<float>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*); \
    template PyObject* fn<double>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PLOV_INSTANTIATE(prepared_query_grouped)
PLOV_INSTANTIATE(prepared_query_prepared_blocked)
#undef PLOV_INSTANTIATE

}  // namespace plov::py
