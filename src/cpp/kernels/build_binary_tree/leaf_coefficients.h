#pragma once
// Leaf-packet bounds, centres, radii and Taylor coefficients, and the
// bottom-up merge of bounds and centres through the binary tree.

#include "records.h"

#include <cstdint>

// One warp per leaf packet (`packets`: L records); nothing is launched when
// element_count is 0. Each packet's expansion is written three ways: rounded
// to half and bfloat16 (`leaf_coefficients`, the stored record), as the
// walk's trace-free float32 record (`leaf_far_field`) and as the full float32
// moments (`leaf_moments`, for the nodes' translations).
// `subtree_weights` (L-1 floats) must be zero before the call. Box corners,
// radii and coefficients are written in scene units (caller units times
// `scene_scale`), the corners relative to `origin` (scene units), centres in
// caller units. Returns the launch status
// (already reported).
template <typename Geometry>
cudaError_t populate_binary_tree_aabb_and_leaf_coefficients(const float* soa_geometry, const PacketRange* packets,
                                                            TailorCoefficientsF16* leaf_coefficients,
                                                            TailorCoefficientsTraceFree* leaf_far_field,
                                                            TailorCoefficients* leaf_moments,
                                                            std::uint32_t leaf_count, const BinaryNode* binary_nodes,
                                                            AABB* node_aabbs, const std::uint32_t* binary_parents,
                                                            float* subtree_weights, std::uint32_t element_count,
                                                            float scene_scale, const Vec3& origin,
                                                            cudaStream_t stream);
