#pragma once
// Node Taylor coefficients by translating children's coefficients to each
// node's centre (multipole to multipole), bottom-up in one launch.

#include "records.h"

#include <cstdint>

// One thread per leaf packet; `m2m_counters` (one per BVH8 node) must be zero
// before the call. Coefficients are in scene units; centres (caller units)
// are scaled by `scene_scale` for the shifts. Returns the launch status
// (already reported).
cudaError_t compute_internal_tailor_coefficients_m2m(BVH8Node* nodes, const std::uint32_t* node_parents,
                                                     const AABB* leaf_aabbs,
                                                     const TailorCoefficientsF16* leaf_coefficients,
                                                     const std::uint32_t* leaf_parents,
                                                     const LeafPointers* leaf_pointers,
                                                     TailorCoefficientsF16* node_coefficients,
                                                     TailorCoefficients* node_coefficients_f32,
                                                     const std::uint32_t* child_counts, std::uint32_t leaf_count,
                                                     std::uint32_t* m2m_counters, float scene_scale,
                                                     cudaStream_t& stream);
