#pragma once
// The product's walk: values only. Every hook is empty, so the walk compiles
// to the skeleton of walk.h alone.

#include "gpu.h"

#include <cstdint>

namespace nolith_traversal {

struct ValuesMode {
    struct Extras {};
    struct Batch {};

    __device__ __forceinline__ static Batch begin(const Extras&, bool, std::uint32_t) { return {}; }
    template <typename... Ignored>
    __device__ __forceinline__ static void node_tested(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void node_far_field(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void descended(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void packet_far_field(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void packet_tested(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void packet_exact(Ignored&&...) {}
    template <typename... Ignored>
    __device__ __forceinline__ static void end(Ignored&&...) {}
};

}  // namespace nolith_traversal
