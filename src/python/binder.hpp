// Argument binding and conversion, the one mechanism every function, method and
// constructor uses: a parameter table per operation, a generic binder that produces
// the binding messages, and one converter per argument kind. A failed conversion
// keeps its exception and gets the note "while processing '{param}'".
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "capi.hpp"
#include "kernel/graph.hpp"
#include "numpy_api.hpp"

namespace plov::py {

struct Param {
    const char* name;
    bool required;
};

// One operation's parameters. `owner` is the class name for methods and constructors
// (nullptr for module functions); `op` is the method name ("__new__" for constructors).
struct Signature {
    const char* owner;
    const char* op;
    std::span<const Param> params;

    std::string display() const;  // "PreparedF32.query()", "graph_from_simplices()"
};

// The most parameters an operation may have (checked when its arguments are bound).
inline constexpr std::size_t kMaxParams = 12;

// Arguments bound to parameters (borrowed references; nullptr for an omitted one).
class Args {
public:
    // Vectorcall form: positional arguments, then the values of `kwnames`.
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
    // Tuple-and-dict form (constructors).
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);

    PyObject* get(std::size_t i) const noexcept { return slots_[i]; }
    bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }

    // Converts parameter `i` with `conv`; a failure gets the note naming the parameter.
    template <class F>
    auto convert(std::size_t i, F&& conv) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        try {
            return conv(slots_[i]);
        } catch (const PyErrSet&) {
            add_note(sig_.params[i].name);
            throw;
        }
    }

    static void add_note(const char* param);

private:
    void assign_positional(Py_ssize_t nargs, PyObject* const* args);
    void assign_keyword(PyObject* name, PyObject* value);
    void check_missing() const;

    const Signature& sig_;
    std::array<PyObject*, kMaxParams> slots_{};
};

// ---- argument kinds -------------------------------------------------------------

// A NumPy array held for the duration of a call and read in place.
struct ArrayBorrow {
    Ref array;
    const unsigned char* data = nullptr;
    std::size_t shape[2] = {0, 0};
    std::ptrdiff_t strides[2] = {0, 0};
};

// An ndarray (or subclass) with exactly `ndim` dimensions and a dtype equivalent to
// `typenum`; anything else is refused with "'{type}' object is not an instance of 'ndarray'".
ArrayBorrow array_arg(PyObject* o, int typenum, int ndim);

template <class T>
constexpr int npy_type_of() {
    if constexpr (std::is_same_v<T, float>)
        return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, double>)
        return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, std::uint32_t>)
        return NPY_UINT32;
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        return NPY_UINT64;
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return NPY_INT64;
}

// Two-dimensional array of `T` (points, simplices).
template <class T>
struct Array2D {
    ArrayBorrow borrow;
    View2D<T> view;
};

template <class T>
Array2D<T> array2d_arg(PyObject* o) {
    Array2D<T> r{array_arg(o, npy_type_of<T>(), 2), {}};
    r.view = {r.borrow.data, r.borrow.shape[0], r.borrow.shape[1], r.borrow.strides[0], r.borrow.strides[1]};
    return r;
}

// One-dimensional uint32 array (CSR offsets and neighbour lists).
struct GraphArray {
    ArrayBorrow borrow;
    U32View view;
};
GraphArray graph_arg(PyObject* o);

// A cloud given as three arrays: (n, 3) points of `T` and its CSR graph (offsets,
// neighbour lists).
template <class T>
struct CloudArgs {
    Array2D<T> points;
    GraphArray indptr;
    GraphArray indices;
};

// One-dimensional int64 array or None (permutations).
struct PermArray {
    ArrayBorrow borrow;
    std::size_t len() const noexcept { return borrow.shape[0]; }
    bool contiguous() const noexcept { return len() < 2 || borrow.strides[0] == sizeof(std::int64_t); }
    const std::int64_t* data() const noexcept { return reinterpret_cast<const std::int64_t*>(borrow.data); }
};
std::optional<PermArray> perm_arg(PyObject* o);

// An int from 0 to 2^64 - 1, or an object with __index__ giving one.
std::uint64_t u64_arg(PyObject* o);

// None (or omitted) for no value, otherwise the interpreter's float conversion.
std::optional<double> real_arg(PyObject* o);

// True/False or a NumPy boolean scalar.
bool bool_arg(PyObject* o);

// Type test of the instance kind; raises the instance error naming `class_name`.
void check_instance(PyObject* o, PyTypeObject* type, const char* class_name);

// A sequence that is not a str; items converted one by one by `elem`.
void check_sequence(PyObject* o);

// Clears the pending error if it is an Exception; anything else (KeyboardInterrupt,
// SystemExit) is left set and unwinds.
void clear_ordinary_error();

template <class F>
auto sequence_arg(PyObject* o, F&& elem) -> std::vector<decltype(elem(o))> {
    check_sequence(o);
    std::vector<decltype(elem(o))> out;
    // The length only sizes the result: a hint is trusted up to a modest size, and
    // the items themselves are read by iteration. An ordinary error of `__len__` is
    // ignored; KeyboardInterrupt, SystemExit and the like propagate.
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0)
        clear_ordinary_error();
    else
        out.reserve(std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 16));
    Ref it = Ref::check(PyObject_GetIter(o));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(elem(item.get()));
    if (PyErr_Occurred()) throw_error();
    return out;
}

// The cloud in the parameters first, first + 1 and first + 2, converted in that order;
// a failure gets the note naming its own parameter.
template <class T>
CloudArgs<T> cloud_args(const Args& a, std::size_t first) {
    auto points = a.convert(first, array2d_arg<T>);
    auto indptr = a.convert(first + 1, graph_arg);
    auto indices = a.convert(first + 2, graph_arg);
    return {std::move(points), std::move(indptr), std::move(indices)};
}

}  // namespace plov::py
