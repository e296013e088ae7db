#pragma once
// Fast winding numbers: the warp-cooperative BVH8 traversal with far-field
// expansions, or the single-leaf kernel when the geometry has at most 32
// elements.

#include "kernels/traversal/work_census.h"
#include "records.h"

// Queues the evaluation of params.num_queries queries (nothing for 0) on
// `stream`. params.beta and params.epsilon are the values after defaults;
// params.tree_levels is the depth of the BVH8 measured at build time.
// Returns the first failed status (already reported); a failed allocation
// of the deep-tree stack throws DeviceAllocationError.
template <typename Geometry>
cudaError_t compute_winding_numbers(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                    const cudaStream_t& stream);

// The same walk over a tree (more than 32 elements, at least one query),
// counting its work: census[b] receives the counts of the batch of queries
// 32 b .. 32 b + 31 (in Morton order), ceil(num_queries / 32) records in all,
// and packet_passes[p] (one per leaf packet) the exact passes over packet p.
// Results are written to params.out as by compute_winding_numbers. Returns
// cudaErrorInvalidValue without a tree or queries.
template <typename Geometry>
cudaError_t compute_work_census(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                const cudaStream_t& stream, WorkCensus* census, std::uint32_t* packet_passes);

// Where the gradient walk adds its terms, all zeroed before and in scene
// units: per BVH8 node and per leaf packet the 33 far-field adjoint sums
// (far_field_adjoint.h), per sorted element the derivatives of its exact
// terms (planes of stride num_elements, the layout of compute_brute_force_vjp).
struct GradientTargets {
    const float* grad_output;  // dL/dw per query, caller order
    float* node_adjoints;
    float* packet_adjoints;
    float* element_planes;
};

// The walk of compute (a tree, at least one query), adding each query's
// dL/dw times the derivatives of the terms it evaluates to `targets`.
template <typename Geometry>
cudaError_t compute_gradient_walk(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                  const cudaStream_t& stream, const GradientTargets& targets);
