#pragma once
// Counts that the kernels' 32-bit index arithmetic can hold. Larger inputs
// are refused before anything is allocated, instead of wrapping silently.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nolith_cuda {

// Component planes are indexed as component * count + element in 32 bits.
constexpr std::uint64_t kMaxPlaneFloats = 0xFFFFFFFFull;
// Query batches are handed out by a 32-bit counter that runs past the last
// query by up to one batch per resident warp.
constexpr std::uint64_t kMaxQueries = 0x7FFFFFFFull;

inline void check_count(std::uint64_t count, std::uint64_t per_element, const char* what) {
    const std::uint64_t limit = kMaxPlaneFloats / per_element;
    if (count > limit) {
        throw std::length_error("Too many " + std::string(what) + ": " + std::to_string(count) +
                                " exceeds the limit of " + std::to_string(limit) + " for one engine.");
    }
}

inline void check_query_count(std::uint64_t count) {
    if (count > kMaxQueries) {
        throw std::length_error("Too many queries: " + std::to_string(count) + " exceeds the limit of " +
                                std::to_string(kMaxQueries) + " per call.");
    }
}

}  // namespace nolith_cuda
