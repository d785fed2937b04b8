// RAII over the CPython C API: owned references, the interpreter-lock guard, the
// exception used to unwind while a Python error is set, and the call guard that
// turns kernel failures into PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "kernel/errors.hpp"

namespace plov::py {

// Thrown after a Python exception has been set; the call guard returns NULL for it.
struct PyErrSet {};

[[noreturn]] inline void throw_error() { throw PyErrSet{}; }

// Raises `type(message)` and unwinds.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrSet{};
}

// A move-only owned (strong) reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Steals `o`, unwinding if it is NULL (a Python error is then set).
    static Ref check(PyObject* o) {
        if (!o) throw_error();
        return Ref(o);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime and takes it back on every exit
// path, exceptions included.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Runs `f` with the interpreter lock released. `f` must not touch Python objects.
template <class F>
decltype(auto) without_gil(F&& f) {
    GilRelease released;
    return std::forward<F>(f)();
}

// The exception type of internal failures (derived from BaseException), created once.
PyObject* panic_exception_type();

[[noreturn]] void raise_panic(const std::string& message);

// `__qualname__` of an object's type, for error messages.
std::string type_qualname(PyObject* o);

// The guard around every Python-visible operation: returns the operation's result, or
// NULL with the Python error set (argument errors, kernel failures as PanicException,
// MemoryError for exhausted memory). No C++ exception crosses into CPython.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return std::forward<F>(f)().release();
    } catch (const PyErrSet&) {
    } catch (const Failure& e) {
        try {
            raise_panic(e.message());
        } catch (...) {
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        try {
            raise_panic(e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            raise_panic("unknown internal failure");
        } catch (...) {
        }
    }
    return nullptr;
}

}  // namespace plov::py
