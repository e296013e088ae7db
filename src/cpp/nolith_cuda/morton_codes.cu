#include "nolith_cuda/morton_codes.h"

#include "utils/cuda_check.h"
#include "utils/finite_check.h"
#include "utils/finite_values.h"
#include "utils/thrust_policy.h"

#include <thrust/iterator/counting_iterator.h>
#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

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

// The scene box, and the first element with a non-finite coordinate (the
// box alone would not show it: fminf/fmaxf skip a NaN).
struct SceneScan {
    SceneBox box;
    std::uint32_t first_non_finite;
};

constexpr std::uint32_t kAllFinite = 0xffffffffu;

template <typename Element>
struct ElementToSceneScan {
    const Element* elements;
    __host__ __device__ SceneScan operator()(std::uint32_t i) const {
        const Element e = elements[i];
        const bool finite = all_finite(reinterpret_cast<const float*>(&e), sizeof(Element) / sizeof(float));
        return SceneScan{GeometryToSceneBox<Element>()(e), finite ? kAllFinite : i};
    }
};

struct MergeSceneScan {
    __host__ __device__ SceneScan operator()(const SceneScan& a, const SceneScan& b) const {
        return SceneScan{{{fminf(a.box.lower.x, b.box.lower.x), fminf(a.box.lower.y, b.box.lower.y),
                           fminf(a.box.lower.z, b.box.lower.z)},
                          {fmaxf(a.box.upper.x, b.box.upper.x), fmaxf(a.box.upper.y, b.box.upper.y),
                           fmaxf(a.box.upper.z, b.box.upper.z)}},
                         a.first_non_finite < b.first_non_finite ? a.first_non_finite : b.first_non_finite};
    }
};

template <typename Element>
constexpr const char* kArrayName = std::is_same<Element, Triangle>::value ? "triangles" : "points";

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
    const SceneScan empty{{{inf, inf, inf}, {-inf, -inf, -inf}}, kAllFinite};
    const SceneScan scan = thrust::transform_reduce(
        stream_policy(stream), thrust::counting_iterator<std::uint32_t>(0), thrust::counting_iterator<std::uint32_t>(n),
        ElementToSceneScan<Element>{elements}, empty, MergeSceneScan());
    if (scan.first_non_finite != kAllFinite) {
        refuse_device_row(kArrayName<Element>, scan.first_non_finite, reinterpret_cast<const float*>(elements),
                          sizeof(Element) / sizeof(float), stream);
    }
    const SceneParams params = scene_params_for_box(scan.box);
    thrust::transform(queued_policy(stream), elements, elements + n, codes, GeometryToMorton<Element>{params});
    return params;
}

template SceneParams initialize_morton_codes<Triangle>(const Triangle*, std::uint32_t, std::uint64_t*, cudaStream_t);
template SceneParams initialize_morton_codes<Vec3>(const Vec3*, std::uint32_t, std::uint64_t*, cudaStream_t);

}  // namespace nolith_cuda
