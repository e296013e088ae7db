#pragma once
// Node Taylor coefficients by translating children's coefficients to each
// node's centre (multipole to multipole), bottom-up in one launch.

#include "records.h"

#include <cstdint>

// One thread per leaf packet; `m2m_counters` (one per BVH8 node) must be zero
// before the call. From the packets' float moments each node gets its stored
// record (half and bfloat16, `node_coefficients`), the walk's trace-free
// float32 record (`node_far_field`) and its float moments
// (`node_coefficients_f32`, scratch for its parent). Coefficients are in
// scene units; centres (caller units) are scaled by `scene_scale` for the
// shifts. Returns the launch status (already reported).
cudaError_t compute_internal_tailor_coefficients_m2m(BVH8Node* nodes, const std::uint32_t* node_parents,
                                                     const AABB* leaf_aabbs, const TailorCoefficients* leaf_moments,
                                                     const std::uint32_t* leaf_parents,
                                                     const LeafPointers* leaf_pointers,
                                                     TailorCoefficientsF16* node_coefficients,
                                                     TailorCoefficientsTraceFree* node_far_field,
                                                     TailorCoefficients* node_coefficients_f32,
                                                     const std::uint32_t* child_counts, std::uint32_t leaf_count,
                                                     std::uint32_t* m2m_counters, float scene_scale,
                                                     cudaStream_t stream);
