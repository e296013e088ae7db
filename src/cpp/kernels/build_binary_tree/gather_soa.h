#pragma once
// Copies the caller's elements, in Morton order, into component planes.

#include <cuda_runtime.h>

#include <cstdint>

// Each queues one kernel on `stream` (n = 0 queues nothing) and returns the
// launch status, already reported on failure.
cudaError_t gather_triangles_soa(const float* soup, const std::uint32_t* sorted_indices, float* soa, std::uint32_t n,
                                 cudaStream_t stream);
cudaError_t gather_point_normals_soa(const float* positions, const float* normals,
                                     const std::uint32_t* sorted_indices, float* soa, std::uint32_t n,
                                     cudaStream_t stream);
