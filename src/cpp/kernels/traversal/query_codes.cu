#include "kernels/traversal/query_codes.h"

#include "gpu.h"
#include "nolith_cuda/morton_codes.h"
#include "utils/cuda_check.h"
#include "utils/finite_values.h"

namespace {

using nolith_cuda::kDefaultBlock;
constexpr unsigned kMaxBoxBlocks = 1024;  // the box's blocks stride over the points
constexpr unsigned kFullMask = 0xffffffffu;

// Floats as unsigned integers in the same order, for the atomic minimum
// and maximum: negative floats reversed below the positive ones.
__device__ __forceinline__ std::uint32_t ordered_bits(float f) {
    const std::uint32_t bits = __float_as_uint(f);
    return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}
__device__ __forceinline__ float from_ordered_bits(std::uint32_t u) {
    return __uint_as_float((u & 0x80000000u) ? u & 0x7fffffffu : ~u);
}

// box[0..2]: the lower corner's ordered bits (all ones before), box[3..5]:
// the upper corner's (zero before).
__global__ void __launch_bounds__(kDefaultBlock)
    query_box_kernel(const Vec3* points, std::uint32_t n, std::uint32_t* box) {
    float lower[3] = {INFINITY, INFINITY, INFINITY}, upper[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += gridDim.x * blockDim.x) {
        const Vec3 p = points[i];
        const float c[3] = {p.x, p.y, p.z};
        for (int a = 0; a < 3; ++a) {
            // Only finite coordinates: one infinite query would otherwise
            // make the box infinite and give every query the same code.
            if (!nolith_cuda::is_finite_value(c[a])) continue;
            lower[a] = fminf(lower[a], c[a]);
            upper[a] = fmaxf(upper[a], c[a]);
        }
    }
    for (int a = 0; a < 3; ++a) {
        for (int offset = 16; offset > 0; offset >>= 1) {
            lower[a] = fminf(lower[a], __shfl_xor_sync(kFullMask, lower[a], offset));
            upper[a] = fmaxf(upper[a], __shfl_xor_sync(kFullMask, upper[a], offset));
        }
    }
    if ((threadIdx.x & 31u) != 0) return;
    for (int a = 0; a < 3; ++a) {
        if (!(lower[a] <= upper[a])) continue;  // no finite coordinate in this warp
        atomicMin(box + a, ordered_bits(lower[a]));
        atomicMax(box + 3 + a, ordered_bits(upper[a]));
    }
}

__global__ void __launch_bounds__(kDefaultBlock)
    query_codes_kernel(const Vec3* points, std::uint32_t n, const std::uint32_t* box, std::uint64_t* codes) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    nolith_cuda::SceneBox extent;
    extent.lower = Vec3{from_ordered_bits(box[0]), from_ordered_bits(box[1]), from_ordered_bits(box[2])};
    extent.upper = Vec3{from_ordered_bits(box[3]), from_ordered_bits(box[4]), from_ordered_bits(box[5])};
    codes[i] = nolith_cuda::point_code(points[i], nolith_cuda::code_params_for_box(extent));
}

}  // namespace

cudaError_t compute_query_codes(const Vec3* points, std::uint32_t n, std::uint64_t* codes, std::uint32_t* box,
                                cudaStream_t stream) {
    if (n == 0) return cudaSuccess;
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaMemsetAsync(box, 0xFF, 3 * sizeof(std::uint32_t), stream))) {
        return status;
    }
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaMemsetAsync(box + 3, 0, 3 * sizeof(std::uint32_t), stream))) {
        return status;
    }
    const unsigned blocks = nolith_cuda::grid_1d(n, kDefaultBlock).x;
    nolith_cuda::launch<query_box_kernel>(dim3(blocks < kMaxBoxBlocks ? blocks : kMaxBoxBlocks), dim3(kDefaultBlock), 0,
                                          stream, points, n, box);
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    nolith_cuda::launch<query_codes_kernel>(nolith_cuda::grid_1d(n, kDefaultBlock), dim3(kDefaultBlock), 0, stream,
                                            points, n, box, codes);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
