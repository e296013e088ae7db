#include "kernels/gradients/brute_force_vjp.h"

#include "gpu.h"
#include "kernels/gradients/element_gradients.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

struct WeightedQuery {
    Vec3 q;
    float g;
};

// One thread per sorted element. The block stages 256 queries with their
// output gradients at a time; every thread helps load and reaches both
// barriers, with or without an element. Elements and queries in scene units.
template <typename Geometry>
__global__ void __launch_bounds__(kDefaultBlock)
    brute_force_vjp_kernel(const Vec3* queries, const float* grad_output, SoAView<Geometry> geometry,
                           std::uint32_t num_queries, std::uint32_t num_elements, float inv_epsilon,
                           float scene_scale, float* planes) {
    WeightedQuery* tile = nolith_cuda::dynamic_shared_memory<WeightedQuery>();
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    const bool has_element = i < num_elements;
    Geometry element{};
    if (has_element) element = Geometry::load(geometry, i, geometry.stride).scaled(scene_scale);
    nolith_gradients::GradientOf<Geometry> sum{};
    for (std::uint32_t t = 0; t < num_queries; t += blockDim.x) {
        if (t + threadIdx.x < num_queries) {
            tile[threadIdx.x] = WeightedQuery{queries[t + threadIdx.x] * scene_scale, grad_output[t + threadIdx.x]};
        }
        __syncthreads();
        if (has_element) {
            const std::uint32_t count = min(blockDim.x, num_queries - t);
            for (std::uint32_t j = 0; j < count; ++j) {
                nolith_gradients::add_scaled(sum, nolith_gradients::element_gradient(element, tile[j].q, inv_epsilon),
                                             tile[j].g);
            }
        }
        __syncthreads();
    }
    if (has_element) {
        constexpr int components = GeometryTraits<Geometry>::components;
        float values[components];
        nolith_gradients::gradient_components(sum, values);
        for (int c = 0; c < components; ++c) {
            planes[c * num_elements + i] = values[c] * nolith_gradients::caller_unit_factor(element, c, scene_scale);
        }
    }
}

}  // namespace

template <typename Geometry>
cudaError_t compute_brute_force_vjp(const Vec3* queries, const float* grad_output, const float* geometry,
                                    std::uint32_t num_queries, std::uint32_t num_elements, float epsilon,
                                    float scene_scale, float* planes, cudaStream_t stream) {
    if (num_elements == 0) return cudaSuccess;
    const SoAView<Geometry> view{const_cast<float*>(geometry), num_elements};
    nolith_cuda::launch<brute_force_vjp_kernel<Geometry>>(nolith_cuda::grid_1d(num_elements, kDefaultBlock),
                                                          dim3(kDefaultBlock), kDefaultBlock * sizeof(WeightedQuery),
                                                          stream, queries, grad_output, view, num_queries, num_elements,
                                                          1.0f / (epsilon * scene_scale), scene_scale, planes);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template cudaError_t compute_brute_force_vjp<Triangle>(const Vec3*, const float*, const float*, std::uint32_t,
                                                       std::uint32_t, float, float, float*, cudaStream_t);
template cudaError_t compute_brute_force_vjp<PointNormal>(const Vec3*, const float*, const float*, std::uint32_t,
                                                          std::uint32_t, float, float, float*, cudaStream_t);
