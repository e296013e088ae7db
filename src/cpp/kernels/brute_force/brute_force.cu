#include "kernels/brute_force/brute_force.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// One thread per query. The block stages 256 elements at a time in shared
// memory; every thread helps load and reaches both barriers, with or without
// a query. Sums are compensated (Kahan). Queries and elements are taken to
// scene units (times scene_scale), where every element's arithmetic stays
// far from float underflow and overflow whatever the caller's units.
template <typename Geometry>
__global__ void __launch_bounds__(kDefaultBlock)
    compute_winding_numbers_brute_force_kernel(const Vec3* queries, SoAView<Geometry> geometry,
                                               std::uint32_t num_queries, std::uint32_t num_elements, float* out,
                                               float inv_epsilon, float scene_scale) {
    Geometry* shared_mem = nolith_cuda::dynamic_shared_memory<Geometry>();
    const std::uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    const bool has_query = g < num_queries;
    const Vec3 q = has_query ? queries[g] * scene_scale : Vec3{0.0f, 0.0f, 0.0f};
    float sum = 0.0f;
    float compensation = 0.0f;
    for (std::uint32_t t = 0; t < num_elements; t += blockDim.x) {
        if (t + threadIdx.x < num_elements) {
            shared_mem[threadIdx.x] = Geometry::load(geometry, t + threadIdx.x, geometry.stride).scaled(scene_scale);
        }
        __syncthreads();
        if (has_query) {
            const std::uint32_t tile = min(blockDim.x, num_elements - t);
            for (std::uint32_t j = 0; j < tile; ++j) {
                const float y = shared_mem[j].contributionToQuery(q, inv_epsilon) - compensation;
                const float s = sum + y;
                compensation = (s - sum) - y;
                sum = s;
            }
        }
        __syncthreads();
    }
    if (has_query) out[g] = sum;
}

}  // namespace

template <typename Geometry>
cudaError_t compute_brute_force(const Vec3* queries, const float* geometry, std::uint32_t num_queries,
                                std::uint32_t num_elements, float* out, float epsilon, float scene_scale,
                                cudaStream_t stream) {
    if (num_queries == 0) return cudaSuccess;
    const SoAView<Geometry> view{const_cast<float*>(geometry), num_elements};
    nolith_cuda::launch<compute_winding_numbers_brute_force_kernel<Geometry>>(
        nolith_cuda::grid_1d(num_queries, kDefaultBlock), dim3(kDefaultBlock), kDefaultBlock * sizeof(Geometry), stream,
        queries, view, num_queries, num_elements, out, 1.0f / (epsilon * scene_scale), scene_scale);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template cudaError_t compute_brute_force<Triangle>(const Vec3*, const float*, std::uint32_t, std::uint32_t, float*,
                                                   float, float, cudaStream_t);
template cudaError_t compute_brute_force<PointNormal>(const Vec3*, const float*, std::uint32_t, std::uint32_t, float*,
                                                      float, float, cudaStream_t);
