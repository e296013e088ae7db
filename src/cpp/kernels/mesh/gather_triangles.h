#pragma once
// Expands an indexed mesh into a triangle soup (9 floats per face).

#include <cuda_runtime.h>

#include <cstdint>

// Queues the gather of F faces on `stream`; F = 0 queues nothing. Returns the
// launch status (already reported on failure).
cudaError_t gather_triangles(const float* vertices, const std::uint32_t* face_indices, std::uint32_t face_count,
                             float* soup, cudaStream_t stream);
