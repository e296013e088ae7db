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

// A leaf packet's range, read through the read-only path as one 8-byte load.
__device__ __forceinline__ PacketRange load_packet_range(const PacketRange* packets, std::uint32_t packet) {
    const uint2 words = __ldg(reinterpret_cast<const uint2*>(packets) + packet);
    return PacketRange{words.x, words.y};
}

// Exact sum of a leaf packet for every lane in `mask`: lane i holds the
// packet's element i (in scene units), and the warp adds up its
// contributions for one requesting lane at a time. Returns what this lane
// must add to its sum.
template <typename Geometry>
__device__ __forceinline__ float sum_packet_exactly(const SoAView<Geometry>& geometry, const PacketRange& packet,
                                                    unsigned mask, const Vec3& q, float inv_epsilon,
                                                    float scene_scale, unsigned lane) {
    const bool has_element = lane < packet.count;
    Geometry g{};
    if (has_element) g = Geometry::load(geometry, packet.first + lane, geometry.stride).scaled(scene_scale);
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
// component, the geometry's stride). Elements are shared by many warps:
// atomic adds.
template <typename Geometry>
__device__ __forceinline__ void add_packet_gradient_exactly(const SoAView<Geometry>& geometry,
                                                            const PacketRange& packet, unsigned mask, const Vec3& q,
                                                            float g, float inv_epsilon, float scene_scale,
                                                            unsigned lane, float* planes) {
    const std::uint32_t element = packet.first + lane;
    const bool has_element = lane < packet.count;
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
    for (int c = 0; c < components; ++c) atomicAdd(planes + c * geometry.stride + element, values[c]);
}

}  // namespace nolith_traversal
