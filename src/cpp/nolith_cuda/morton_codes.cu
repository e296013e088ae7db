#include "nolith_cuda/morton_codes.h"

#include "utils/cuda_check.h"
#include "utils/thrust_policy.h"

#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

#include <algorithm>
#include <cmath>

namespace nolith_cuda {

namespace {

// The float box of an element's vertices or of a point.
template <typename Element>
struct GeometryToSceneBox;

template <>
struct GeometryToSceneBox<Triangle> {
    __host__ __device__ SceneBox operator()(const Triangle& t) const {
        return SceneBox{{fminf(t.v0.x, fminf(t.v1.x, t.v2.x)), fminf(t.v0.y, fminf(t.v1.y, t.v2.y)),
                         fminf(t.v0.z, fminf(t.v1.z, t.v2.z))},
                        {fmaxf(t.v0.x, fmaxf(t.v1.x, t.v2.x)), fmaxf(t.v0.y, fmaxf(t.v1.y, t.v2.y)),
                         fmaxf(t.v0.z, fmaxf(t.v1.z, t.v2.z))}};
    }
};

template <>
struct GeometryToSceneBox<Vec3> {
    __host__ __device__ SceneBox operator()(const Vec3& p) const { return SceneBox{p, p}; }
};

// Union of two boxes; fminf/fmaxf skip a NaN coordinate.
struct MergeSceneBox {
    __host__ __device__ SceneBox operator()(const SceneBox& a, const SceneBox& b) const {
        return SceneBox{{fminf(a.lower.x, b.lower.x), fminf(a.lower.y, b.lower.y), fminf(a.lower.z, b.lower.z)},
                        {fmaxf(a.upper.x, b.upper.x), fmaxf(a.upper.y, b.upper.y), fmaxf(a.upper.z, b.upper.z)}};
    }
};

template <typename Element>
struct GeometryToMorton {
    SceneParams scene;
    __host__ __device__ std::uint64_t operator()(const Element& e) const { return point_code(e.centroid(), scene); }
};

}  // namespace

SceneParams scene_params_for_box(const SceneBox& scene) {
    SceneParams params = code_params_for_box(scene);
    if (params.code_scale > 0.0f) {
        // longest = m 2^e with m in [0.5, 1); keep the scale a normal float.
        const float longest = std::fmax(std::fmax(scene.upper.y - scene.lower.y, scene.upper.z - scene.lower.z),
                                        scene.upper.x - scene.lower.x);
        int exponent = 0;
        std::frexp(longest, &exponent);
        params.scene_scale = std::ldexp(1.0f, std::min(126, std::max(-126, -exponent)));
    }
    return params;
}

template <typename Element>
SceneParams initialize_morton_codes(const Element* elements, std::uint32_t n, std::uint64_t* codes,
                                    cudaStream_t stream) {
    const float inf = INFINITY;
    const SceneBox empty{{inf, inf, inf}, {-inf, -inf, -inf}};
    const SceneBox scene = thrust::transform_reduce(stream_policy(stream), elements, elements + n,
                                                    GeometryToSceneBox<Element>(), empty, MergeSceneBox());
    const SceneParams params = scene_params_for_box(scene);
    thrust::transform(queued_policy(stream), elements, elements + n, codes, GeometryToMorton<Element>{params});
    return params;
}

template SceneParams initialize_morton_codes<Triangle>(const Triangle*, std::uint32_t, std::uint64_t*, cudaStream_t);
template SceneParams initialize_morton_codes<Vec3>(const Vec3*, std::uint32_t, std::uint64_t*, cudaStream_t);

}  // namespace nolith_cuda
