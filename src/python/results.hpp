// Result arrays over kernel buffers: NumPy adopts the memory without a copy and a
// small owner object frees it when the array dies.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <memory>

#include "binder.hpp"
#include "kernel/buffer.hpp"

namespace plov::py {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using OwnedMemory = std::unique_ptr<void, FreeDeleter>;

// A new C-ordered, writeable ndarray of `typenum` with the given shape over `mem`,
// which it adopts (a fresh empty array when `mem` is null). On failure the memory is
// freed and the Python error is set.
Ref adopt_array(OwnedMemory mem, int typenum, std::initializer_list<npy_intp> shape);

template <class T, std::size_t A>
Ref make_array(Buffer<T, A>&& buf, std::initializer_list<npy_intp> shape) {
    return adopt_array(OwnedMemory(buf.release()), npy_type_of<T>(), shape);
}

template <class T, std::size_t A>
Ref make_array(Buffer<T, A>&& buf) {
    npy_intp n = static_cast<npy_intp>(buf.size());
    return make_array(std::move(buf), {n});
}

// A read-only 1-D ndarray of `typenum` over `len` elements at `data`, memory that
// `owner` keeps alive and never changes; the array holds a reference to `owner`.
Ref view_array(const void* data, int typenum, npy_intp len, PyObject* owner);

Ref make_tuple(Ref a, Ref b);

}  // namespace plov::py
