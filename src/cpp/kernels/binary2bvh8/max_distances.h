#pragma once
// Exact node radii: the largest distance from each BVH8 node's centre to any
// vertex or point below it, then rounded to half into the nodes.

#include "records.h"

#include <cstdint>

// One warp per leaf packet (`packets`: packet_count records); `leaf_parents`
// gives each packet's BVH8 node. `max_distances` (node_count floats) must be
// zero before the call. Radii are measured in scene units (caller units times
// `scene_scale`). Nothing is launched when node_count is 0. Returns the first
// failed status (reported).
template <typename Geometry>
cudaError_t compute_max_distances(BVH8Node* nodes, const float* soa_geometry, const PacketRange* packets,
                                  std::uint32_t packet_count, const std::uint32_t* leaf_parents,
                                  const std::uint32_t* node_parents, float* max_distances,
                                  std::uint32_t element_count, std::uint32_t node_count, float scene_scale,
                                  cudaStream_t stream);
