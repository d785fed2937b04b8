#include "capi.hpp"

namespace plov::py {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_plov.PanicException",
            "Reports an internal failure of native code (an inconsistency met during the work).\n\n"
            "It derives from BaseException, not Exception, so that it propagates through\n"
            "ordinary `except Exception` handlers.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (!type) throw_error();
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (!text) throw_error();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    throw_error();
}

std::string type_qualname(PyObject* o) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        const char* s = PyUnicode_AsUTF8(name.get());
        if (s) return s;
    }
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
}

}  // namespace plov::py
