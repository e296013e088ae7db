#pragma once
// One internal node of a binary radix tree over sorted codes, found from the
// codes alone: the range of leaves it covers and where that range splits.
// Shared by the tree's topology and by the cut of the elements into packets.

#include "gpu.h"

#include <cstdint>

namespace nolith_radix {

// Common prefix length of the 96-bit keys (code, leaf index) of leaves i and
// j; -1 when j lies outside 0 .. L-1, so every search stops there.
__device__ __forceinline__ int delta_with_tiebreaker(int i, int j, const std::uint64_t* codes, std::uint32_t L) {
    if (j < 0 || j >= static_cast<int>(L)) return -1;
    const std::uint64_t a = __ldg(codes + i), b = __ldg(codes + j);
    if (a != b) return __clzll(static_cast<long long>(a ^ b));
    return 64 + __clz(i ^ j);
}

// Internal node i covers leaves first .. last; its left child covers
// first .. split, its right child split + 1 .. last.
struct RadixNode {
    int first;
    int last;
    int split;
};

__device__ __forceinline__ RadixNode radix_node(int i, const std::uint64_t* codes, std::uint32_t L) {
    const int d = delta_with_tiebreaker(i, i + 1, codes, L) < delta_with_tiebreaker(i, i - 1, codes, L) ? -1 : 1;
    const int delta_min = delta_with_tiebreaker(i, i - d, codes, L);
    int l_max = 2;
    while (delta_with_tiebreaker(i, i + l_max * d, codes, L) > delta_min) l_max *= 2;
    int l = 0;
    for (int t = l_max / 2; t >= 1; t /= 2) {
        if (delta_with_tiebreaker(i, i + (l + t) * d, codes, L) > delta_min) l += t;
    }
    const int j = i + l * d;
    const int delta_node = delta_with_tiebreaker(i, j, codes, L);
    int s = 0;
    for (unsigned t = 0x80000000u >> __clz(l); t >= 1; t /= 2) {
        if (s + static_cast<int>(t) < l &&
            delta_with_tiebreaker(i, i + (s + static_cast<int>(t)) * d, codes, L) > delta_node) {
            s += static_cast<int>(t);
        }
    }
    return RadixNode{min(i, j), max(i, j), i + s * d + min(d, 0)};
}

}  // namespace nolith_radix
