#include "kernels/gradients/scatter_rows.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

__global__ void __launch_bounds__(kDefaultBlock)
    scatter_rows_kernel(const float* planes, std::uint32_t n, const std::uint32_t* sorted_indices,
                        std::uint32_t first_plane, std::uint32_t components, float* out) {
    const std::uint32_t k = blockIdx.x * blockDim.x + threadIdx.x;
    if (k >= n) return;
    const std::uint64_t row = static_cast<std::uint64_t>(__ldg(sorted_indices + k)) * components;
    for (std::uint32_t c = 0; c < components; ++c) out[row + c] = planes[(first_plane + c) * n + k];
}

// Shared vertices take their corners' gradients from many threads: atomic adds.
__global__ void __launch_bounds__(kDefaultBlock)
    add_corners_to_vertices_kernel(const float* corner_rows, const std::uint32_t* indices, std::uint32_t triangles,
                                   float* vertex_rows) {
    const std::uint32_t t = blockIdx.x * blockDim.x + threadIdx.x;
    if (t >= triangles) return;
    for (int k = 0; k < 3; ++k) {
        const std::uint64_t v = __ldg(indices + 3ull * t + k);
        for (int c = 0; c < 3; ++c) atomicAdd(vertex_rows + 3 * v + c, corner_rows[9ull * t + 3 * k + c]);
    }
}

}  // namespace

cudaError_t scatter_rows(const float* planes, std::uint32_t n, const std::uint32_t* sorted_indices,
                         std::uint32_t first_plane, std::uint32_t components, float* out, cudaStream_t stream) {
    if (n == 0) return cudaSuccess;
    nolith_cuda::launch<scatter_rows_kernel>(nolith_cuda::grid_1d(n, kDefaultBlock), dim3(kDefaultBlock), 0, stream,
                                             planes, n, sorted_indices, first_plane, components, out);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

cudaError_t add_corners_to_vertices(const float* corner_rows, const std::uint32_t* indices, std::uint32_t triangles,
                                    float* vertex_rows, cudaStream_t stream) {
    if (triangles == 0) return cudaSuccess;
    nolith_cuda::launch<add_corners_to_vertices_kernel>(nolith_cuda::grid_1d(triangles, kDefaultBlock),
                                                        dim3(kDefaultBlock), 0, stream, corner_rows, indices, triangles,
                                                        vertex_rows);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
