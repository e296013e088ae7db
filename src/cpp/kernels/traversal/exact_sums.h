#pragma once
// The near field of the walk: a leaf packet summed exactly, element by
// element, for the lanes of a warp that are too close to use its expansion.

#include "gpu.h"
#include "kernels/gradients/element_gradients.h"
#include "records.h"

#include <cstdint>

namespace nolith_traversal {

constexpr unsigned kFullWarp = 0xffffffffu;

__device__ __forceinline__ float warp_reduce_add_xor(float value) {
    for (int distance = 16; distance > 0; distance >>= 1) value += __shfl_xor_sync(kFullWarp, value, distance);
    return value;
}

// Exact sum of leaf packet `packet` for every lane in `mask`: lane i holds
// element 32 packet + i (in scene units), and the warp adds up its 32
// contributions for one requesting lane at a time. Returns what this lane
// must add to its sum.
template <typename Geometry>
__device__ __forceinline__ float sum_packet_exactly(const SoAView<Geometry>& geometry, std::uint32_t packet,
                                                    std::uint32_t num_elements, unsigned mask, const Vec3& q,
                                                    float inv_epsilon, float scene_scale, unsigned lane) {
    const std::uint32_t element = packet * ELEMENTS_PER_LEAF + lane;
    const bool has_element = element < num_elements;
    Geometry g{};
    if (has_element) g = Geometry::load(geometry, element, geometry.stride).scaled(scene_scale);
    float mine = 0.0f;
    while (mask != 0) {
        const int t = __ffs(static_cast<int>(mask)) - 1;
        mask &= mask - 1;
        const Vec3 qt{__shfl_sync(kFullWarp, q.x, t), __shfl_sync(kFullWarp, q.y, t),
                      __shfl_sync(kFullWarp, q.z, t)};
        const float value = has_element ? g.contributionToQuery(qt, inv_epsilon) : 0.0f;
        const float total = warp_reduce_add_xor(value);
        if (static_cast<int>(lane) == t) mine += total;
    }
    return mine;
}

// The gradient side of sum_packet_exactly: lane i takes, for every lane t in
// `mask`, g_t times the derivative of its element's contribution to q_t, and
// adds the sum to its element's gradient planes (scene units; one plane per
// component, stride num_elements). Elements are shared by many warps: atomic
// adds.
template <typename Geometry>
__device__ __forceinline__ void add_packet_gradient_exactly(const SoAView<Geometry>& geometry, std::uint32_t packet,
                                                            std::uint32_t num_elements, unsigned mask, const Vec3& q,
                                                            float g, float inv_epsilon, float scene_scale,
                                                            unsigned lane, float* planes) {
    const std::uint32_t element = packet * ELEMENTS_PER_LEAF + lane;
    const bool has_element = element < num_elements;
    Geometry e{};
    if (has_element) e = Geometry::load(geometry, element, geometry.stride).scaled(scene_scale);
    nolith_gradients::GradientOf<Geometry> sum{};
    for (; mask != 0;) {
        const int t = __ffs(static_cast<int>(mask)) - 1;
        mask &= mask - 1;
        const Vec3 qt{__shfl_sync(kFullWarp, q.x, t), __shfl_sync(kFullWarp, q.y, t),
                      __shfl_sync(kFullWarp, q.z, t)};
        const float gt = __shfl_sync(kFullWarp, g, t);
        if (has_element) nolith_gradients::add_scaled(sum, nolith_gradients::element_gradient(e, qt, inv_epsilon), gt);
    }
    if (!has_element) return;
    constexpr int components = GeometryTraits<Geometry>::components;
    float values[components];
    nolith_gradients::gradient_components(sum, values);
    for (int c = 0; c < components; ++c) atomicAdd(planes + c * num_elements + element, values[c]);
}

}  // namespace nolith_traversal
