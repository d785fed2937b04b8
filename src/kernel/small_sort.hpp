// Sorting of short lists of distinct ids (neighbour lists).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plov {

// Sorts `count` distinct values. Short lists (nearly all) are sorted without a
// branch on the data: each value goes to its rank, the number of smaller values,
// counted four lanes at a time (a coin-toss comparison per step would mispredict).
inline void sort_distinct(std::uint32_t* x, std::size_t count) {
    constexpr std::size_t kShort = 64;
    if (count > kShort) {
        std::sort(x, x + count);
        return;
    }
    using I4 = std::int32_t __attribute__((vector_size(16)));
    // biased by 2^31 for a signed comparison; the padding compares above everything
    alignas(16) std::int32_t key[kShort + 4];
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t i = 0; i < count; ++i) key[i] = static_cast<std::int32_t>(x[i] ^ 0x80000000u);
    for (std::size_t i = count; i < padded; ++i) key[i] = 0x7fffffff;
    for (std::size_t i = 0; i < count; ++i) {
        const I4 mine = I4{} + key[i];
        I4 smaller = {};
        for (std::size_t j = 0; j < padded; j += 4) {
            I4 other;
            std::memcpy(&other, key + j, sizeof other);
            smaller += other < mine;  // -1 per smaller value
        }
        x[-(smaller[0] + smaller[1] + smaller[2] + smaller[3])] = static_cast<std::uint32_t>(key[i]) ^ 0x80000000u;
    }
}

}  // namespace plov
