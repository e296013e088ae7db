#pragma once
// Fast winding numbers: the warp-cooperative BVH8 traversal with far-field
// expansions, or the single-leaf kernel when the geometry has at most 32
// elements.

#include "records.h"

// Queues the evaluation of params.num_queries queries (nothing for 0) on
// `stream`. params.beta and params.epsilon are the values after defaults;
// params.tree_levels is the depth of the BVH8 measured at build time.
// Returns the first failed status (already reported); a failed allocation
// of the deep-tree stack throws DeviceAllocationError.
template <typename Geometry>
cudaError_t compute_winding_numbers(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                    cudaStream_t stream);
