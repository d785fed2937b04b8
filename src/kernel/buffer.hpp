// Owned, aligned heap buffers. Kernel results are allocated here and later adopted,
// without a copy, by the arrays handed to Python (see `release`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "errors.hpp"

namespace plov {

// Largest byte size any buffer may have (the address-space limit of a signed size).
inline constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 63;

// Bytes for `count` elements of `size` bytes, or "capacity overflow" when the product
// would exceed the signed address space less the alignment slack.
inline std::size_t checked_bytes(std::size_t count, std::size_t size, std::size_t align) {
    if (count != 0 && count > (kMaxBytes - align) / size) fail_capacity();
    return count * size;
}

inline constexpr std::size_t kHugePageBytes = std::size_t{1} << 21;
inline constexpr std::size_t kHugeBufferBytes = std::size_t{1} << 22;

// Asks the kernel (Linux) to back the whole huge pages inside [p, p + bytes) with
// transparent huge pages; a hint only, without effect elsewhere.
inline void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(p) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePageBytes - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// A heap buffer of trivially copyable `T`, aligned to `Align` bytes, freed with free().
template <class T, std::size_t Align = alignof(T) < 16 ? 16 : alignof(T)>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    explicit Buffer(std::size_t n) { allocate(n); }
    Buffer(std::size_t n, const T& fill) {
        allocate(n);
        for (std::size_t i = 0; i < n; ++i) data_[i] = fill;
    }
    static Buffer zeros(std::size_t n) {
        Buffer b(n);
        if (n) std::memset(static_cast<void*>(b.data_), 0, n * sizeof(T));
        return b;
    }
    Buffer(Buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Hands the memory over to the caller, who frees it with free().
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    void allocate(std::size_t n) {
        std::size_t bytes = checked_bytes(n, sizeof(T), Align);
        size_ = n;
        if (n == 0) return;
        // Large buffers start on a huge-page boundary and ask for huge pages: graph walks
        // touch them at scattered places, and small pages would cost a TLB miss on most
        // of those touches.
        const bool huge = bytes >= kHugeBufferBytes;
        void* p = nullptr;
        if (posix_memalign(&p, huge ? kHugePageBytes : Align, bytes) != 0) throw std::bad_alloc();
        if (huge) advise_huge_pages(p, bytes);
        data_ = static_cast<T*>(p);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// A growable array of trivially copyable `T` in aligned memory; used for scratch lists
// whose capacity is reserved once per call and reused for every query point.
template <class T, std::size_t Align = alignof(T) < 16 ? 16 : alignof(T)>
class Vec {
public:
    Vec() = default;
    explicit Vec(std::size_t capacity) { reserve(capacity); }

    void reserve(std::size_t capacity) {
        if (capacity <= buf_.size()) return;
        Buffer<T, Align> grown(capacity);
        if (len_) std::memcpy(static_cast<void*>(grown.data()), buf_.data(), len_ * sizeof(T));
        buf_ = std::move(grown);
    }
    void push_back(const T& v) {
        if (len_ == buf_.size()) grow();
        buf_[len_++] = v;
    }
    void pop_back() noexcept { --len_; }
    void clear() noexcept { len_ = 0; }
    // Grows the capacity at least twofold when it must grow, so that a list lengthened
    // a little at a time costs linear time.
    void resize_uninit(std::size_t n) {
        if (n > buf_.size()) reserve(n > 2 * buf_.size() ? n : 2 * buf_.size());
        len_ = n;
    }
    std::size_t size() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return buf_.size(); }
    bool empty() const noexcept { return len_ == 0; }
    T* data() noexcept { return buf_.data(); }
    const T* data() const noexcept { return buf_.data(); }
    T& operator[](std::size_t i) noexcept { return buf_[i]; }
    const T& operator[](std::size_t i) const noexcept { return buf_[i]; }
    T& back() noexcept { return buf_[len_ - 1]; }
    T* begin() noexcept { return buf_.data(); }
    T* end() noexcept { return buf_.data() + len_; }
    // The memory of the elements (its size is the capacity), leaving the list empty.
    Buffer<T, Align> take_buffer() noexcept {
        len_ = 0;
        return std::move(buf_);
    }

private:
    void grow() {
        std::size_t cap = buf_.size();
        std::size_t want = cap < 2 ? 4 : cap * 2;
        if (cap > std::numeric_limits<std::size_t>::max() / 2) fail_capacity();
        reserve(want);
    }

    Buffer<T, Align> buf_;
    std::size_t len_ = 0;
};

}  // namespace plov
