// Pieces shared by the definitions of the extension modules built from this binding
// layer: each module's exec slot adds its function table and classes with these.
#pragma once

#include <span>

#include "capi.hpp"

namespace plov::py {

// Appends `name` to the module's __all__ (created on the first addition), then sets
// the attribute. Steals `value`; -1 with the error set on failure.
int add_to_module(PyObject* module, const char* name, PyObject* value);

// Adds every function of `table` to `module` (which must be a module object), in order.
int add_functions(PyObject* module, std::span<PyMethodDef> table);

}  // namespace plov::py

// A module function of the vectorcall-with-keywords form as a method-table entry.
#define PLOV_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
