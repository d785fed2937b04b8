#define PLOV_NUMPY_API_DEFINE
#include "numpy_api.hpp"

#include <cstdio>

namespace plov::py {

namespace {

// Imports numpy's multiarray module by its layout (numpy._core in 2.x, numpy.core in
// 1.x) and takes the "_ARRAY_API" capsule; sets the Python error on failure.
bool load_capsule() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    const char* v = PyUnicode_AsUTF8(version.get());
    if (!v) return false;
    const char* module = (v[0] >= '2' || v[1] != '.') ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::steal(PyImport_ImportModule(module));
    if (!multiarray) return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    void* api = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!api) return false;
    PyArray_API = static_cast<void**>(api);
    return true;
}

}  // namespace

void ensure_numpy() {
    if (PyArray_API) return;
    if (!load_capsule()) {
        PyArray_API = nullptr;
        std::string detail = "unknown error";
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (value) {
            Ref text = Ref::steal(PyObject_Str(value));
            if (text) {
                if (const char* s = PyUnicode_AsUTF8(text.get())) detail = s;
            }
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Clear();
        raise_panic("Failed to access NumPy array API capsule: " + detail);
    }
    unsigned abi = PyArray_GetNDArrayCVersion();
    if (abi > 0x2000000u) {
        PyArray_API = nullptr;
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x2000000 but this version of numpy is 0x%x", abi);
        throw_error();
    }
    unsigned feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < 0xcu) {
        PyArray_API = nullptr;
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has "
                     "C-API version 0x%x",
                     feature);
        throw_error();
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        PyArray_API = nullptr;
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at runtime");
        throw_error();
    }
#if NPY_ABI_VERSION >= 0x02000000
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
#endif
}

}  // namespace plov::py
