// Z-order (Morton order) of a point set: every point gets a 63-bit code from its
// position inside the set's own bounding box, and the points are listed by code.
// Consecutive points of the order then form compact spatial clusters.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "buffer.hpp"
#include "radix_sort.hpp"

namespace plov {

using Triple = std::array<double, 3>;

namespace morton_detail {

// IEEE minNum / maxNum written as selects so that the box pass vectorises: a NaN
// operand yields the other one.
inline double min_num(double a, double b) noexcept { return (b < a || a != a) ? b : a; }
inline double max_num(double a, double b) noexcept { return (b > a || a != a) ? b : a; }

// Truncation toward zero with saturation. A plain conversion is undefined for NaN,
// negative and too large values, so those are handled first.
inline std::uint64_t saturate_u64(double t) noexcept {
    if (!(t > 0.0)) return 0;                                   // negative, zero or NaN
    if (t >= 18446744073709551616.0) return ~std::uint64_t{0};  // 2^64 and above
    return static_cast<std::uint64_t>(t);
}

// Moves bit j of a 21-bit value to bit 3j.
inline std::uint64_t spread21(std::uint64_t v) noexcept {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffULL;
    v = (v | v << 16) & 0x1f0000ff0000ffULL;
    v = (v | v << 8) & 0x100f00f00f00f00fULL;
    v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
    v = (v | v << 2) & 0x1249249249249249ULL;
    return v;
}

struct Box3 {
    double lo[3];
    double hi[3];
};

// Per-axis minNum / maxNum over all points, from +inf / -inf. Four independent
// running boxes are folded in per step and combined at the end.
inline Box3 bounds(const Triple* pts, std::size_t n) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr std::size_t W = 4;
    double lo[W][3], hi[W][3];
    for (std::size_t w = 0; w < W; ++w)
        for (int a = 0; a < 3; ++a) {
            lo[w][a] = inf;
            hi[w][a] = -inf;
        }
    std::size_t i = 0;
    for (; i + W <= n; i += W)
        for (std::size_t w = 0; w < W; ++w)
            for (int a = 0; a < 3; ++a) {
                lo[w][a] = min_num(lo[w][a], pts[i + w][a]);
                hi[w][a] = max_num(hi[w][a], pts[i + w][a]);
            }
    for (; i < n; ++i)
        for (int a = 0; a < 3; ++a) {
            lo[0][a] = min_num(lo[0][a], pts[i][a]);
            hi[0][a] = max_num(hi[0][a], pts[i][a]);
        }
    Box3 b;
    for (int a = 0; a < 3; ++a) {
        b.lo[a] = lo[0][a];
        b.hi[a] = hi[0][a];
        for (std::size_t w = 1; w < W; ++w) {
            b.lo[a] = min_num(b.lo[a], lo[w][a]);
            b.hi[a] = max_num(b.hi[a], hi[w][a]);
        }
    }
    return b;
}

// The corner and the extents of a box, an axis of extent exactly 0 taken as 1: every
// point then quantises to 0 on it.
struct Frame {
    double lo[3];
    double extent[3];
};

inline Frame frame_of(const Box3& box) noexcept {
    Frame f;
    for (int a = 0; a < 3; ++a) {
        f.lo[a] = box.lo[a];
        f.extent[a] = box.hi[a] - box.lo[a];
        if (f.extent[a] == 0.0) f.extent[a] = 1.0;
    }
    return f;
}

}  // namespace morton_detail

// The 63-bit code of `p` in the box [lo, lo + extent]: x bits at 3j, y at 3j + 1,
// z at 3j + 2, 21 bits per axis.
inline std::uint64_t morton_code(const Triple& p, const double* lo, const double* extent) noexcept {
    using namespace morton_detail;
    std::uint64_t code = 0;
    for (int a = 0; a < 3; ++a) {
        double t = ((p[a] - lo[a]) / extent[a]) * 2097151.0;
        code |= spread21(saturate_u64(t)) << a;
    }
    return code;
}

// The permutation that lists `pts` by ascending Morton code: perm[k] is the input
// index of the point at sorted position k. Equal codes come in no particular order.
// `n` must be at least 1.
inline Buffer<std::uint64_t> morton_perm(const Triple* pts, std::size_t n) {
    const morton_detail::Frame f = morton_detail::frame_of(morton_detail::bounds(pts, n));

    struct Pair {
        std::uint64_t code;
        std::uint64_t index;
    };
    Buffer<Pair> pairs(n);
    for (std::size_t i = 0; i < n; ++i) pairs[i] = {morton_code(pts[i], f.lo, f.extent), i};
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.code < b.code; });

    Buffer<std::uint64_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = pairs[k].index;
    return perm;
}

// A coarser Morton order, for walking queries: `rows` (row numbers below 2^32, at least
// one) of the points `point(row)` (Triples) sorted stably by their cell of a grid over
// their box, in Morton order of the cells; the grid is just fine enough to hold a few
// points per cell (at most 1024^3 cells). Several times faster than `morton_perm`: a
// multiplication and a table look-up per coordinate, and a radix sort.
template <class Point>
Buffer<std::uint64_t> coarse_morton_rows(Buffer<std::uint64_t> rows, const Point& point) {
    const std::size_t n = rows.size();
    const int levels = std::min(10, std::max(1, static_cast<int>(std::bit_width(n - 1) - 1) / 3));
    const double cells = static_cast<double>((1u << levels) - 1);
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) lo[a] = hi[a] = point(rows[0])[a];
    for (std::size_t i = 1; i < n; ++i) {
        const Triple p = point(rows[i]);
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    }
    double scale[3];
    for (int a = 0; a < 3; ++a) {
        const double extent = hi[a] - lo[a];
        scale[a] = extent > 0.0 ? cells / extent : 0.0;
    }
    // spread21 of every cell number up to 1023
    static const auto spread = [] {
        std::array<std::uint32_t, 1024> t{};
        for (std::uint32_t v = 0; v < 1024; ++v) t[v] = static_cast<std::uint32_t>(morton_detail::spread21(v));
        return t;
    }();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = rows[i];
        const Triple p = point(r);
        std::uint64_t code = 0;
        for (int a = 0; a < 3; ++a) {
            // a cell number in [0, cells]; NaN lands in cell 0
            const double t = std::max(0.0, std::min((p[a] - lo[a]) * scale[a], cells));
            code |= std::uint64_t{spread[static_cast<std::uint32_t>(t)]} << a;
        }
        rows[i] = code << 32 | r;
    }
    sort_by_key(rows, 3 * levels, true);
    return rows;
}

}  // namespace plov
