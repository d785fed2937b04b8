// RAII over the CPython C API: owned references, the interpreter-lock guard, the
// exception used to unwind while a Python error is set, and the call guard that
// turns kernel failures into PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
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

// True on a thread that the interpreter is ending: a daemon thread that tried to take
// the interpreter lock back while the interpreter was finalizing. CPython ends such a
// thread by unwinding its stack (abi::__forced_unwind); the unwind must pass through
// every frame, and without the lock nothing may touch a Python object on its way.
inline thread_local bool thread_ending = false;

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
    ~Ref() {
        // A thread being ended does not hold the lock: the reference is left behind.
        if (p_ && !thread_ending) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Takes the interpreter lock back. At interpreter exit CPython may end this thread
// right here by a forced unwind (the only exception C code can raise), which is marked
// and passed on.
inline void retake_gil(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        thread_ending = true;
        throw;
    }
}

// Inside a catch-all handler: true for an exception that is not a C++ one, such as the
// forced unwind, which must be rethrown. (`catch (abi::__forced_unwind&)` would do, but
// binds a reference to the null object that such an exception has.)
inline bool foreign_exception() noexcept { return !std::current_exception(); }

// Runs `f(poll)` with the interpreter lock released and returns its result; an
// exception of `f` is rethrown once the lock is held again. `f` must not touch Python
// objects. `poll()` takes the lock back for a moment to run the interpreter's signal
// handlers (in the main thread) and returns false when one of them raised, leaving
// that error set: long work calls it now and then and stops when told, so that Ctrl-C
// interrupts it. The lock is not taken back in a destructor: a forced unwind starting
// there, or while another exception unwinds, would end the process.
template <class F>
auto without_gil_polled(F&& f) {
    PyThreadState* state = PyEval_SaveThread();
    auto poll = [&state]() -> bool {
        retake_gil(state);
        const bool ok = PyErr_CheckSignals() == 0;
        state = PyEval_SaveThread();
        return ok;
    };
    using R = decltype(std::forward<F>(f)(poll));
    std::optional<R> result;
    std::exception_ptr failure;
    try {
        result.emplace(std::forward<F>(f)(poll));
    } catch (...) {
        if (foreign_exception()) throw;
        failure = std::current_exception();
    }
    retake_gil(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Runs `f()` with the interpreter lock released (see `without_gil_polled`).
template <class F>
auto without_gil(F&& f) {
    return without_gil_polled([&f](auto&) { return std::forward<F>(f)(); });
}

// The exception type of internal failures (derived from BaseException), created once.
PyObject* panic_exception_type();

[[noreturn]] void raise_panic(const std::string& message);

// `__qualname__` of an object's type, for error messages.
std::string type_qualname(PyObject* o);

// Sets PanicException(message), or the error met while making it.
inline void set_panic(const char* message) {
    try {
        raise_panic(message);
    } catch (const PyErrSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

// The guard around every Python-visible operation: returns the operation's result, or
// NULL with the Python error set (argument errors, kernel failures as PanicException,
// MemoryError for exhausted memory). No C++ exception crosses into CPython, except the
// forced unwind by which CPython ends a thread at interpreter exit: that one passes
// through (the guard is not noexcept for that reason).
template <class F>
PyObject* guarded(F&& f) {
    try {
        return std::forward<F>(f)().release();
    } catch (const PyErrSet&) {
    } catch (const Failure& e) {
        set_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        if (foreign_exception()) throw;
        set_panic("unknown internal failure");
    }
    return nullptr;
}

}  // namespace plov::py
