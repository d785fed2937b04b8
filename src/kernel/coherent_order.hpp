// A spatially coherent order of a point set for walking queries: Morton order on a
// 1024^3 grid over the set's bounding box, sorted by two 15-bit radix passes. Coarser
// than `morton_perm` (points in one grid cell keep their input order), and several
// times faster to compute: it only has to make consecutive points close.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morton.hpp"

namespace plov {

// The permutation (sorted position -> input index) of the order; `n` must be at least
// 1 and below 2^32.
inline Buffer<std::uint64_t> coherent_perm(const Triple* pts, std::size_t n) {
    morton_detail::Box3 box = morton_detail::bounds(pts, n);
    double extent[3];
    for (int a = 0; a < 3; ++a) {
        extent[a] = box.hi[a] - box.lo[a];
        if (extent[a] == 0.0) extent[a] = 1.0;
    }
    Buffer<std::uint32_t> keys(n), idx(n), keys2(n), idx2(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t code = 0;
        for (int a = 0; a < 3; ++a) {
            const double t = ((pts[i][a] - box.lo[a]) / extent[a]) * 1023.0;
            code |= morton_detail::spread21(morton_detail::saturate_u64(t) & 1023) << a;
        }
        keys[i] = static_cast<std::uint32_t>(code);
        idx[i] = static_cast<std::uint32_t>(i);
    }
    // Two stable counting passes: the low 15 bits, then the high 15.
    constexpr std::size_t kBuckets = std::size_t{1} << 15;
    Buffer<std::uint32_t> count(kBuckets);
    for (int pass = 0; pass < 2; ++pass) {
        const int shift = 15 * pass;
        for (auto& c : count) c = 0;
        for (std::size_t i = 0; i < n; ++i) ++count[(keys[i] >> shift) & (kBuckets - 1)];
        std::uint32_t sum = 0;
        for (auto& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t slot = count[(keys[i] >> shift) & (kBuckets - 1)]++;
            keys2[slot] = keys[i];
            idx2[slot] = idx[i];
        }
        std::swap(keys, keys2);
        std::swap(idx, idx2);
    }
    Buffer<std::uint64_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = idx[k];
    return perm;
}

}  // namespace plov
