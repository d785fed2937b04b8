// Z-order (Morton order) of a point set: every point gets a 63-bit code from its
// position inside the set's own bounding box, and the points are listed by code.
// Consecutive points of the order then form compact spatial clusters.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "buffer.hpp"

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
    morton_detail::Box3 box = morton_detail::bounds(pts, n);
    double extent[3];
    for (int a = 0; a < 3; ++a) {
        extent[a] = box.hi[a] - box.lo[a];
        if (extent[a] == 0.0) extent[a] = 1.0;  // a flat axis quantises to 0 everywhere
    }

    struct Pair {
        std::uint64_t code;
        std::uint64_t index;
    };
    Buffer<Pair> pairs(n);
    for (std::size_t i = 0; i < n; ++i) pairs[i] = {morton_code(pts[i], box.lo, extent), i};
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.code < b.code; });

    Buffer<std::uint64_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = pairs[k].index;
    return perm;
}

}  // namespace plov
