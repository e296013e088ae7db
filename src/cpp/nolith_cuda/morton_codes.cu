#include "nolith_cuda/morton_codes.h"

#include "utils/cuda_check.h"
#include "utils/thrust_policy.h"

#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

#include <cmath>

namespace nolith_cuda {

// One block per device, written by every build on that device. Only this
// translation unit reads it, so builds and query ordering share one copy.
__constant__ SceneParams d_scene_params;

template <typename Element>
struct GeometryToAABB {
    __host__ __device__ AABB operator()(const Element& e) const { return e.get_aabb(); }
};

struct MergeAABB {
    __host__ __device__ AABB operator()(const AABB& a, const AABB& b) const { return AABB::merge(a, b, 1.0f, 1.0f); }
};

template <typename Element>
struct GeometryToMorton {
    __device__ std::uint64_t operator()(const Element& e) const {
        const Vec3 p = e.centroid();
        const Vec3 lower = Vec3::from_f16(d_scene_params.scene.min);
        const float s = d_scene_params.scale;
        const float coordinate[3] = {p.x - lower.x, p.y - lower.y, p.z - lower.z};
        unsigned int q[3];
        for (int a = 0; a < 3; ++a) {
            // fmaxf/fminf return the other operand for a NaN, so NaN quantises to 0.
            const float t = fminf(fmaxf(s * coordinate[a] * 2097151.0f, 0.0f), 2097151.0f);
            q[a] = static_cast<unsigned int>(t);
        }
        return morton3D_63bit(q[0], q[1], q[2]);
    }
};

SceneParams scene_params_for_box(const AABB& scene) {
    const Vec3 lo = Vec3::from_f16(scene.min);
    const Vec3 hi = Vec3::from_f16(scene.max);
    // Extents as a half-precision subtraction gives them.
    const Vec3 extent{__half2float(__float2half_rn(hi.x - lo.x)), __half2float(__float2half_rn(hi.y - lo.y)),
                      __half2float(__float2half_rn(hi.z - lo.z))};
    const float longest = std::fmax(std::fmax(extent.y, extent.z), extent.x);
    SceneParams params;
    params.scale = longest > 1e-9f ? 1.0f / longest : 0.0f;
    params.scene = scene;
    return params;
}

template <typename Element>
SceneParams initialize_morton_codes(const Element* elements, std::uint32_t n, std::uint64_t* codes,
                                    cudaStream_t stream) {
    const AABB scene = thrust::transform_reduce(stream_policy(stream), elements, elements + n,
                                                GeometryToAABB<Element>(), AABB::identity(), MergeAABB());
    const SceneParams params = scene_params_for_box(scene);
    NOLITH_CUDA_CHECK(cudaMemcpyToSymbolAsync(d_scene_params, &params, sizeof params, 0, cudaMemcpyHostToDevice,
                                              stream));
    thrust::transform(stream_policy(stream), elements, elements + n, codes, GeometryToMorton<Element>());
    return params;
}

void compute_point_codes(const Vec3* points, std::uint32_t n, std::uint64_t* codes, cudaStream_t stream) {
    thrust::transform(stream_policy(stream), points, points + n, codes, GeometryToMorton<Vec3>());
}

template SceneParams initialize_morton_codes<Triangle>(const Triangle*, std::uint32_t, std::uint64_t*, cudaStream_t);
template SceneParams initialize_morton_codes<Vec3>(const Vec3*, std::uint32_t, std::uint64_t*, cudaStream_t);

}  // namespace nolith_cuda
