#pragma once
// The gradient walk: the values walk adding, weighted by each query's dL/dw,
// the adjoints of the far-field terms it evaluates (per node and per leaf
// packet) and the derivatives of its exact terms (per element).

#include "gpu.h"
#include "kernels/traversal/exact_sums.h"
#include "kernels/traversal/far_field_adjoint.h"
#include "kernels/traversal/gradient_walk.h"
#include "kernels/traversal/walk.h"
#include "records.h"

#include <cstdint>

namespace nolith_traversal {

// Rows of a warp's scratch for the transposition of the adjoints: one more
// than an adjoint holds, an odd count, so that a column's reads fall on
// distinct banks.
constexpr int kScratchStride = kAdjointSize + 1;

// Adds the far-field adjoints of the lanes in `approx`, summed over the warp,
// to one record's accumulators. The warp transposes them through its scratch
// rows (row i is lane i's adjoint), and lane k sums column k. Every lane of
// the warp takes part.
__device__ __forceinline__ void add_far_field_adjoint(bool approx, const Vec3& d, float distance2,
                                                      const TailorCoefficientsTraceFree& record, float g,
                                                      float* target, float* scratch, unsigned lane) {
    float adjoint[kAdjointSize] = {};
    if (approx) far_field_adjoint(d, distance2, record, g, adjoint);
    __syncwarp();  // the previous sums have read their columns
    for (int k = 0; k < kAdjointSize; ++k) scratch[kScratchStride * lane + k] = adjoint[k];
    __syncwarp();
    if (static_cast<int>(lane) < kAdjointSize) {
        float sum = 0.0f;
        for (int row = 0; row < 32; ++row) sum += scratch[kScratchStride * row + lane];
        if (sum != 0.0f) atomicAdd(target + lane, sum);
    }
}

struct GradientMode {
    using Extras = GradientTargets;
    struct Batch {
        float g;         // this lane's dL/dw, 0 without a query
        float* scratch;  // the warp's transposition rows
    };

    __device__ __forceinline__ static Batch begin(const Extras& targets, bool has_query, std::uint32_t query_index) {
        __shared__ float rows[kWarpsPerBlock][32 * kScratchStride];
        return Batch{has_query ? __ldg(targets.grad_output + query_index) : 0.0f, rows[threadIdx.x >> 5]};
    }
    template <typename... Ignored>
    __device__ __forceinline__ static void node_tested(Ignored&&...) {}
    __device__ __forceinline__ static void node_far_field(const Batch& batch, const Extras& targets, bool approx,
                                                          const Vec3& d, float distance2,
                                                          const TailorCoefficientsTraceFree& coefficients,
                                                          std::uint32_t node, unsigned lane) {
        add_far_field_adjoint(approx, d, distance2, coefficients, batch.g,
                              targets.node_adjoints + kAdjointSize * std::uint64_t(node), batch.scratch, lane);
    }
    template <typename... Ignored>
    __device__ __forceinline__ static void descended(Ignored&&...) {}
    __device__ __forceinline__ static void packet_far_field(const Batch& batch, const Extras& targets, bool approx,
                                                            const Vec3& d, float distance2,
                                                            const TailorCoefficientsTraceFree& coefficients,
                                                            std::uint32_t packet, unsigned lane) {
        add_far_field_adjoint(approx, d, distance2, coefficients, batch.g,
                              targets.packet_adjoints + kAdjointSize * std::uint64_t(packet), batch.scratch, lane);
    }
    template <typename... Ignored>
    __device__ __forceinline__ static void packet_tested(Ignored&&...) {}
    template <typename Geometry>
    __device__ __forceinline__ static void packet_exact(const Batch& batch, const Extras& targets,
                                                        const SoAView<Geometry>& geometry, std::uint32_t,
                                                        const PacketRange& range, unsigned near, const Vec3& q,
                                                        float inv_epsilon, float scene_scale, unsigned lane) {
        add_packet_gradient_exactly(geometry, range, near, q, batch.g, inv_epsilon, scene_scale, lane,
                                    targets.element_planes);
    }
    template <typename... Ignored>
    __device__ __forceinline__ static void end(Ignored&&...) {}
};

}  // namespace nolith_traversal
