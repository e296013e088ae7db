#include "kernels/mesh/gather_triangles.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// One thread per face. The block's 3 x 256 indices are first staged in shared
// memory with unit-stride reads; every thread takes part in the staging and
// the barrier, including those past the last face.
__global__ void __launch_bounds__(kDefaultBlock)
    gather_triangles_kernel(const float* vertices, const std::uint32_t* face_indices, float* soup,
                            std::uint32_t face_count) {
    std::uint32_t* smem_indices = nolith_cuda::dynamic_shared_memory<std::uint32_t>();
    const unsigned t = threadIdx.x;
    const unsigned base = blockIdx.x * blockDim.x;
    for (unsigned r = 0; r < 3; ++r) {
        const unsigned long long q = 3ull * base + t + r * blockDim.x;
        if (q < 3ull * face_count) smem_indices[t + r * blockDim.x] = __ldg(face_indices + q);
    }
    __syncthreads();
    const unsigned face = base + t;
    if (face >= face_count) return;
    float* record = soup + 9ull * face;
    for (unsigned corner = 0; corner < 3; ++corner) {
        const std::uint64_t vertex = smem_indices[3 * t + corner];
        for (unsigned k = 0; k < 3; ++k) record[3 * corner + k] = __ldg(vertices + 3 * vertex + k);
    }
}

}  // namespace

cudaError_t gather_triangles(const float* vertices, const std::uint32_t* face_indices, std::uint32_t face_count,
                             float* soup, cudaStream_t stream) {
    if (face_count == 0) return cudaSuccess;
    nolith_cuda::launch<gather_triangles_kernel>(nolith_cuda::grid_1d(face_count, kDefaultBlock), dim3(kDefaultBlock),
                                                 3 * kDefaultBlock * sizeof(std::uint32_t), stream, vertices,
                                                 face_indices, soup, face_count);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
