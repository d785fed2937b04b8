// A spatially coherent order of a point set for walking queries: Morton order on a grid
// over the set's bounding box, just fine enough to hold a few points per cell (at
// most 1024^3 cells). Coarser than `morton_perm` (points in one grid cell keep their
// input order), and several times faster to compute: it only has to make consecutive
// points close.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "morton.hpp"

namespace plov {

// Sorts `entries` (key << 32 | payload, keys below 2^bits, bits <= 32) stably by key,
// in counting passes over digits of at most 8 bits: few enough buckets that the
// scattered writes stay in the first-level cache. With `strip`, the last pass leaves
// the bare payloads.
inline void sort_by_key(Buffer<std::uint64_t>& entries, int bits, bool strip) {
    const std::size_t n = entries.size();
    const int passes = std::max(1, (bits + 7) / 8);
    const int digit = (bits + passes - 1) / passes;
    Buffer<std::uint64_t> scratch(n);
    Buffer<std::uint64_t>* from = &entries;
    Buffer<std::uint64_t>* to = &scratch;
    const std::size_t buckets = std::size_t{1} << digit;
    Buffer<std::uint32_t> count(buckets);
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = 32 + digit * pass;
        const bool last = pass + 1 == passes;
        for (auto& c : count) c = 0;
        for (std::size_t i = 0; i < n; ++i) ++count[((*from)[i] >> shift) & (buckets - 1)];
        std::uint32_t sum = 0;
        for (auto& c : count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        const std::uint64_t keep = last && strip ? 0xffffffffu : ~std::uint64_t{0};
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t e = (*from)[i];
            (*to)[count[(e >> shift) & (buckets - 1)]++] = e & keep;
        }
        std::swap(from, to);
    }
    if (from != &entries) entries = std::move(*from);
}

// Sorts `rows` (row numbers below 2^32) of the points `point(row)` (a Triple) into the
// order and returns them; `rows` must hold at least one row.
template <class Point>
Buffer<std::uint64_t> coherent_sort(Buffer<std::uint64_t> rows, const Point& point) {
    const std::size_t n = rows.size();
    // levels per axis: a few points per cell
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
    // the bits of every cell number up to 1023 spread three apart
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
