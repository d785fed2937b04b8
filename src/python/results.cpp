#include "results.hpp"

#include <cstdint>
#include <cstdlib>

namespace plov::py {

namespace {

constexpr const char* kOwnerName = "plov.buffer";

void free_owned(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kOwnerName)); }

}  // namespace

Ref adopt_array(OwnedMemory mem, int typenum, std::initializer_list<npy_intp> shape) {
    ensure_numpy();
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (!descr) throw_error();
    npy_intp dims[2] = {0, 0};
    int nd = 0;
    for (npy_intp d : shape) dims[nd++] = d;
    void* data = mem.get();
    // NewFromDescr takes the descriptor reference, also when it fails.
    Ref arr = Ref::check(
        PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, data, data ? NPY_ARRAY_WRITEABLE : 0, nullptr));
    if (!data) return arr;
    PyObject* owner = PyCapsule_New(data, kOwnerName, free_owned);
    if (!owner) throw_error();
    mem.release();  // the capsule owns the memory now
    // SetBaseObject consumes the owner even when it fails, and the owner frees the memory.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner) < 0) throw_error();
    return arr;
}

Ref view_array(const void* data, int typenum, npy_intp len, PyObject* owner) {
    static const std::uint64_t nothing = 0;
    if (!data) data = &nothing;  // an empty buffer has no memory; NumPy would allocate some
    ensure_numpy();
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);
    if (!descr) throw_error();
    npy_intp dims[1] = {len};
    Ref arr =
        Ref::check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, const_cast<void*>(data), 0, nullptr));
    Py_INCREF(owner);  // consumed by SetBaseObject, also when it fails
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner) < 0) throw_error();
    return arr;
}

Ref make_tuple(Ref a, Ref b) {
    PyObject* t = PyTuple_New(2);
    if (!t) throw_error();
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    return Ref::steal(t);
}

}  // namespace plov::py
