#pragma once
// The work census of the traversal: what one warp did for one batch of 32
// queries, counted in the steps that cost the GPU instructions. Only the
// census instantiation of the kernel counts; the product's kernel has no
// trace of it.

#include <cuda_runtime.h>

#include <cstdint>

struct WorkCensus {
    std::uint32_t queries;               // lanes of the batch with a query
    std::uint32_t node_pops;             // nodes popped by the warp
    std::uint32_t active_lane_pops;      // over the pops, lanes walking that node
    std::uint32_t node_far_field_steps;  // pops where some lane evaluated the node's expansion
    std::uint32_t node_far_field_evals;  // lanes evaluating a node's expansion, summed
    std::uint32_t node_descents;         // pops where some lane went on into the node's children
    std::uint32_t leaf_slot_visits;      // leaf slots the warp tested
    std::uint32_t leaf_far_field_steps;  // leaf slots where some lane evaluated the packet's expansion
    std::uint32_t leaf_far_field_evals;  // lanes evaluating a packet's expansion, summed
    std::uint32_t exact_packet_loads;    // packets loaded for an exact sum
    std::uint32_t exact_passes;          // warp passes over a packet, one per requesting lane
    std::uint32_t exact_element_evals;   // element contributions of those passes (existing elements)
};

static_assert(sizeof(WorkCensus) == 12 * sizeof(std::uint32_t), "WorkCensus is twelve u32");

template <typename Geometry>
struct ComputeWindingNumbersParams;

// compute's walk over a tree (more than 32 elements, at least one query),
// counting its work: census[b] receives the counts of the batch of queries
// 32 b .. 32 b + 31 (in Morton order), ceil(num_queries / 32) records in all,
// and packet_passes[p] (one per leaf packet) the exact passes over packet p.
// Results are written to params.out as compute does. Returns
// cudaErrorInvalidValue without a tree or queries.
template <typename Geometry>
cudaError_t compute_work_census(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                cudaStream_t stream, WorkCensus* census, std::uint32_t* packet_passes);
