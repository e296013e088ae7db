#include "kernels/build_binary_tree/gather_soa.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// Thread i writes sorted element i: component c to plane c, so consecutive
// threads write consecutive floats of every plane.
__global__ void __launch_bounds__(kDefaultBlock)
    gather_triangles_aos_to_soa_kernel(const float* soup, const std::uint32_t* sorted_indices, float* soa,
                                       std::uint32_t n) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const float* record = soup + 9ull * __ldg(sorted_indices + i);
    for (std::uint32_t c = 0; c < 9; ++c) soa[c * n + i] = __ldg(record + c);
}

__global__ void __launch_bounds__(kDefaultBlock)
    gather_point_normals_soa_kernel(const float* positions, const float* normals,
                                    const std::uint32_t* sorted_indices, float* soa, std::uint32_t n) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    const std::uint64_t s = __ldg(sorted_indices + i);
    for (std::uint32_t c = 0; c < 3; ++c) {
        soa[c * n + i] = __ldg(positions + 3 * s + c);
        soa[(c + 3) * n + i] = __ldg(normals + 3 * s + c);
    }
}

}  // namespace

cudaError_t gather_triangles_soa(const float* soup, const std::uint32_t* sorted_indices, float* soa, std::uint32_t n,
                                 cudaStream_t stream) {
    if (n == 0) return cudaSuccess;
    nolith_cuda::launch<gather_triangles_aos_to_soa_kernel>(nolith_cuda::grid_1d(n, kDefaultBlock), dim3(kDefaultBlock),
                                                            0, stream, soup, sorted_indices, soa, n);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

cudaError_t gather_point_normals_soa(const float* positions, const float* normals,
                                     const std::uint32_t* sorted_indices, float* soa, std::uint32_t n,
                                     cudaStream_t stream) {
    if (n == 0) return cudaSuccess;
    nolith_cuda::launch<gather_point_normals_soa_kernel>(nolith_cuda::grid_1d(n, kDefaultBlock), dim3(kDefaultBlock), 0,
                                                         stream, positions, normals, sorted_indices, soa, n);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
