#pragma once
// Per-element results in sorted order (component planes) back to the
// caller's order, and per-corner triangle gradients summed onto the shared
// vertices of an indexed mesh.

#include <cuda_runtime.h>

#include <cstdint>

// out[sorted_indices[k] * components + c] = planes[(first_plane + c) * n + k]
// for c < components.
cudaError_t scatter_rows(const float* planes, std::uint32_t n, const std::uint32_t* sorted_indices,
                         std::uint32_t first_plane, std::uint32_t components, float* out, cudaStream_t stream);

// vertex_rows[indices[3 t + k]] += corner_rows[t][k] (3 floats each), for the
// `triangles` triangles in caller order. vertex_rows must be zeroed first.
cudaError_t add_corners_to_vertices(const float* corner_rows, const std::uint32_t* indices, std::uint32_t triangles,
                                    float* vertex_rows, cudaStream_t stream);
