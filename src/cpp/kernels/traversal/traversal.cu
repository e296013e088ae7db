#include "kernels/traversal/traversal.h"

#include "gpu.h"
#include "kernels/traversal/values_mode.h"
#include "kernels/traversal/walk.h"
#include "utils/cuda_check.h"

#include <cstdint>

namespace {

constexpr unsigned kSingleLeafBlock = 256;

// At most 32 elements: the block stages them in shared memory (in scene
// units) and every thread sums them exactly for its query.
template <typename Geometry>
__global__ void __launch_bounds__(kSingleLeafBlock)
    compute_winding_numbers_single_leaf_kernel(const Vec3* queries, const std::uint32_t* query_order,
                                               SoAView<Geometry> geometry, std::uint32_t num_queries,
                                               std::uint32_t num_elements, float* out, float inv_epsilon,
                                               float scene_scale) {
    __shared__ Geometry shared_geometry[ELEMENTS_PER_LEAF];
    const std::uint32_t t = threadIdx.x;
    if (t < num_elements) shared_geometry[t] = Geometry::load(geometry, t, geometry.stride).scaled(scene_scale);
    __syncthreads();
    const std::uint32_t g = blockIdx.x * kSingleLeafBlock + t;
    if (g >= num_queries) return;
    const std::uint32_t query_index = __ldg(query_order + g);
    const float* p = &queries[query_index].x;
    const Vec3 q = Vec3{__ldg(p), __ldg(p + 1), __ldg(p + 2)} * scene_scale;
    float sum = 0.0f;
    for (std::uint32_t j = 0; j < num_elements; ++j) sum += shared_geometry[j].contributionToQuery(q, inv_epsilon);
    out[query_index] = sum;
}

}  // namespace

template <typename Geometry>
cudaError_t compute_winding_numbers(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                    cudaStream_t stream) {
    if (params.num_queries == 0) return cudaSuccess;
    if (params.num_elements > ELEMENTS_PER_LEAF) {
        return nolith_traversal::launch_walk<Geometry, nolith_traversal::ValuesMode>(params, device, stream, {});
    }
    // The kernel works in scene units, epsilon included.
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);
    nolith_cuda::launch<compute_winding_numbers_single_leaf_kernel<Geometry>>(
        nolith_cuda::grid_1d(params.num_queries, kSingleLeafBlock), dim3(kSingleLeafBlock), 0, stream, params.queries,
        params.query_order, params.geometry, params.num_queries, params.num_elements, params.out, inv_epsilon,
        params.scene_scale);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template cudaError_t compute_winding_numbers<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                       cudaStream_t);
template cudaError_t compute_winding_numbers<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                          cudaStream_t);
