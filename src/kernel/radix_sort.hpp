// A stable least-significant-digit radix sort of 64-bit entries by the key in their top
// half: counting passes over digits of at most 8 bits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "buffer.hpp"

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

}  // namespace plov
