#pragma once
// Exact winding numbers: every element's contribution for every query.

#include "records.h"

#include <cstdint>

// Queues the exact evaluation of num_queries queries against the sorted
// geometry planes on `stream`, computed in scene units (caller units times
// `scene_scale`, a power of two); returns the launch status (reported on
// failure).
template <typename Geometry>
cudaError_t compute_brute_force(const Vec3* queries, const float* geometry, std::uint32_t num_queries,
                                std::uint32_t num_elements, float* out, float epsilon, float scene_scale,
                                cudaStream_t stream);
