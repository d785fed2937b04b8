// NumPy's C API, loaded lazily on first use. Built against the 2.x headers with the
// 1.15 feature level, so the same binary runs under NumPy 1.x and 2.x.
#pragma once

#include "capi.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL plov_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#ifndef PLOV_NUMPY_API_DEFINE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace plov::py {

// Loads the C API if needed; unwinds with the Python error set when it cannot.
void ensure_numpy();

}  // namespace plov::py
