#pragma once
// The census walk: the values walk counting its work per batch of 32
// queries (work_census.h). Every count is warp-uniform; lane 0 writes the
// batch's record, and each packet's exact passes are added up per packet.

#include "gpu.h"
#include "kernels/traversal/work_census.h"
#include "records.h"

#include <cstdint>

namespace nolith_traversal {

struct CensusMode {
    struct Extras {
        WorkCensus* census;            // one record per batch: census[batch_start / 32]
        std::uint32_t* packet_passes;  // exact passes per leaf packet
    };
    using Batch = WorkCensus;

    __device__ __forceinline__ static Batch begin(const Extras&, bool has_query, std::uint32_t) {
        WorkCensus count{};
        count.queries = __popc(__ballot_sync(0xffffffffu, has_query));
        return count;
    }
    __device__ __forceinline__ static void node_tested(Batch& count, bool active, bool approx) {
        const unsigned evaluating = __popc(__ballot_sync(0xffffffffu, approx));
        count.node_pops += 1;
        count.active_lane_pops += __popc(__ballot_sync(0xffffffffu, active));
        count.node_far_field_steps += evaluating != 0;
        count.node_far_field_evals += evaluating;
    }
    template <typename... Ignored>
    __device__ __forceinline__ static void node_far_field(Ignored&&...) {}
    __device__ __forceinline__ static void descended(Batch& count) { count.node_descents += 1; }
    template <typename... Ignored>
    __device__ __forceinline__ static void packet_far_field(Ignored&&...) {}
    __device__ __forceinline__ static void packet_tested(Batch& count, bool approx) {
        const unsigned evaluating = __popc(__ballot_sync(0xffffffffu, approx));
        count.leaf_slot_visits += 1;
        count.leaf_far_field_steps += evaluating != 0;
        count.leaf_far_field_evals += evaluating;
    }
    template <typename Geometry>
    __device__ __forceinline__ static void packet_exact(Batch& count, const Extras& extras,
                                                        const SoAView<Geometry>&, std::uint32_t packet,
                                                        const PacketRange& range, unsigned near, const Vec3&, float,
                                                        float, unsigned lane) {
        count.exact_packet_loads += 1;
        count.exact_passes += __popc(near);
        count.exact_element_evals += __popc(near) * range.count;
        if (lane == 0) atomicAdd(extras.packet_passes + packet, __popc(near));
    }
    __device__ __forceinline__ static void end(const Batch& count, const Extras& extras, std::uint32_t batch_start,
                                               unsigned lane) {
        if (lane == 0) extras.census[batch_start / 32] = count;
    }
};

}  // namespace nolith_traversal
