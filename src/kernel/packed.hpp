// Packed point records and boxes: every search works on points widened to four lanes
// [x, y, z, pad] (pad = +0) in buffers aligned to the record size.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "buffer.hpp"

namespace plov {

template <class T>
struct alignas(4 * sizeof(T)) PackedPoint {
    T x, y, z, pad;
};
static_assert(sizeof(PackedPoint<float>) == 16 && alignof(PackedPoint<float>) == 16);
static_assert(sizeof(PackedPoint<double>) == 32 && alignof(PackedPoint<double>) == 32);

template <class T>
using PackedBuffer = Buffer<PackedPoint<T>, sizeof(PackedPoint<T>)>;

// A read-only two-dimensional view of `T` with strides in bytes (any sign), so that
// transposed, sliced and reversed arrays are read in place.
template <class T>
struct View2D {
    const unsigned char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    T at(std::size_t i, std::size_t j) const noexcept {
        T v;
        std::memcpy(&v,
                    data + static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride,
                    sizeof(T));
        return v;
    }
};

// Squared Euclidean distance of two packed points, (dx*dx + dy*dy) + dz*dz in `T`
// with every operation rounded on its own; the zero pad lanes add nothing.
template <class T>
inline T dist2(const PackedPoint<T>& a, const PackedPoint<T>& b) noexcept {
    T dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return (dx * dx + dy * dy) + dz * dz;
}

#if defined(__SSE2__)
// The same sums on whole records (aligned vector loads), rounded identically: lane
// differences, lane squares, then (x + y) + z.
template <>
inline float dist2(const PackedPoint<float>& a, const PackedPoint<float>& b) noexcept {
    __m128 d = _mm_sub_ps(_mm_load_ps(&a.x), _mm_load_ps(&b.x));
    __m128 sq = _mm_mul_ps(d, d);
    __m128 xy = _mm_add_ss(sq, _mm_shuffle_ps(sq, sq, _MM_SHUFFLE(1, 1, 1, 1)));
    return _mm_cvtss_f32(_mm_add_ss(xy, _mm_movehl_ps(sq, sq)));
}

template <>
inline double dist2(const PackedPoint<double>& a, const PackedPoint<double>& b) noexcept {
    __m128d dxy = _mm_sub_pd(_mm_load_pd(&a.x), _mm_load_pd(&b.x));
    __m128d dz = _mm_sub_sd(_mm_load_sd(&a.z), _mm_load_sd(&b.z));
    __m128d sq = _mm_mul_pd(dxy, dxy);
    __m128d xy = _mm_add_sd(sq, _mm_unpackhi_pd(sq, sq));
    return _mm_cvtsd_f64(_mm_add_sd(xy, _mm_mul_sd(dz, dz)));
}
#endif

// IEEE minNum / maxNum: a NaN operand yields the other one.
template <class T>
inline T min_num(T a, T b) noexcept {
    return std::fmin(a, b);
}
template <class T>
inline T max_num(T a, T b) noexcept {
    return std::fmax(a, b);
}

template <class T>
inline T sum_lanes(T x, T y, T z, T pad) noexcept {
    return ((x + y) + z) + pad;
}

// Squared distance of a point to the box [lo, hi], over all four lanes.
template <class T>
inline T box_point_dist2(const PackedPoint<T>& lo, const PackedPoint<T>& hi, const PackedPoint<T>& p) noexcept {
    auto g = [](T l, T h, T v) {
        T a = max_num<T>(l - v, T(0)) + max_num<T>(v - h, T(0));
        return a * a;
    };
    return sum_lanes(g(lo.x, hi.x, p.x), g(lo.y, hi.y, p.y), g(lo.z, hi.z, p.z), g(lo.pad, hi.pad, p.pad));
}

// Squared gap between the query box [qlo, qhi] and the target box [tlo, thi].
template <class T>
inline T box_box_dist2(const PackedPoint<T>& qlo, const PackedPoint<T>& qhi, const PackedPoint<T>& tlo,
                       const PackedPoint<T>& thi) noexcept {
    auto g = [](T ql, T qh, T tl, T th) {
        T a = max_num<T>(max_num<T>(tl - qh, ql - th), T(0));
        return a * a;
    };
    return sum_lanes(g(qlo.x, qhi.x, tlo.x, thi.x), g(qlo.y, qhi.y, tlo.y, thi.y), g(qlo.z, qhi.z, tlo.z, thi.z),
                     g(qlo.pad, qhi.pad, tlo.pad, thi.pad));
}

template <class T>
struct Box {
    PackedPoint<T> lo;
    PackedPoint<T> hi;
};

// Lane-wise minNum/maxNum fold over `n` records, starting at record 0. An empty set
// gives lo = +inf and hi = -inf in every lane.
template <class T>
inline Box<T> bounding_box(const PackedPoint<T>* pts, std::size_t n) noexcept {
    constexpr T inf = std::numeric_limits<T>::infinity();
    if (n == 0) return {{inf, inf, inf, inf}, {-inf, -inf, -inf, -inf}};
    Box<T> b{pts[0], pts[0]};
    for (std::size_t i = 1; i < n; ++i) {
        const PackedPoint<T>& p = pts[i];
        b.lo = {min_num(b.lo.x, p.x), min_num(b.lo.y, p.y), min_num(b.lo.z, p.z), min_num(b.lo.pad, p.pad)};
        b.hi = {max_num(b.hi.x, p.x), max_num(b.hi.y, p.y), max_num(b.hi.z, p.z), max_num(b.hi.pad, p.pad)};
    }
    return b;
}

// Packs the first three columns of every row into aligned records with a zero pad lane.
template <class T>
PackedBuffer<T> pack_points(const View2D<T>& v) {
    PackedBuffer<T> out(v.rows);
    if (v.rows == 0) return out;
    if (v.cols < 3) fail("ndarray: index out of bounds");
    for (std::size_t i = 0; i < v.rows; ++i) out[i] = {v.at(i, 0), v.at(i, 1), v.at(i, 2), T(0)};
    return out;
}

// The rows of a view, read in the order of a walk (`rows[q]`, or row q without `rows`),
// as packed points: `(*this)(q)` for q ascending. They are packed a block at a time into
// a buffer that stays in cache: gathering a block in one loop overlaps its cache misses,
// and the whole set is never copied.
template <class T>
class RowGather {
public:
    RowGather(const View2D<T>& v, const std::int64_t* rows, std::size_t n)
        : v_(v), rows_(rows), n_(n), block_(n < kBlock ? n : kBlock) {}

    PackedPoint<T> operator()(std::size_t q) const {
        if (q < from_ || q >= from_ + filled_) {
            from_ = q;
            filled_ = n_ - q < kBlock ? n_ - q : kBlock;
            for (std::size_t j = 0; j < filled_; ++j) {
                const std::size_t i = rows_ ? static_cast<std::size_t>(rows_[q + j]) : q + j;
                block_[j] = {v_.at(i, 0), v_.at(i, 1), v_.at(i, 2), T(0)};
            }
        }
        return block_[q - from_];
    }

private:
    static constexpr std::size_t kBlock = 256;
    View2D<T> v_;
    const std::int64_t* rows_;
    std::size_t n_;
    // The block last packed: rows [from_, from_ + filled_) of the walk. A cache, so
    // refilled from a const read.
    mutable PackedBuffer<T> block_;
    mutable std::size_t from_ = 0, filled_ = 0;
};

}  // namespace plov
