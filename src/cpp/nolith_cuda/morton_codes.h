#pragma once
// Ordering along the 63-bit Morton curve: the scene box in float, the scene's
// scales, and one code per element or query point.

#include "nolith_cuda/scene_params.h"
#include "records.h"

#include <cstdint>

namespace nolith_cuda {

// A box with float corners: holds any finite scene, however large or small.
struct SceneBox {
    Vec3 lower;
    Vec3 upper;
};

// Bits 0..20 of v spread to bits 0, 3, 6, ..., 60.
NOLITH_HD std::uint64_t splitBy3(unsigned int v) {
    std::uint64_t x = v & 0x1fffffu;
    x = (x | x << 32) & 0x1f00000000ffffull;
    x = (x | x << 16) & 0x1f0000ff0000ffull;
    x = (x | x << 8) & 0x100f00f00f00f00full;
    x = (x | x << 4) & 0x10c30c30c30c30c3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

NOLITH_HD std::uint64_t morton3D_63bit(unsigned int x, unsigned int y, unsigned int z) {
    return splitBy3(x) | (splitBy3(y) << 1) | (splitBy3(z) << 2);
}

// The code of point p: its position in the scene box quantised to 21 bits
// per axis. Points outside the box clamp to its faces; a NaN coordinate
// quantises to 0.
NOLITH_HD std::uint64_t point_code(const Vec3& p, const SceneParams& scene) {
    const float coordinate[3] = {p.x - scene.lower[0], p.y - scene.lower[1], p.z - scene.lower[2]};
    unsigned int q[3];
    for (int a = 0; a < 3; ++a) {
        // fmaxf/fminf return the other operand for a NaN.
        const float t = fminf(fmaxf(scene.code_scale * coordinate[a] * 2097151.0f, 0.0f), 2097151.0f);
        q[a] = static_cast<unsigned int>(t);
    }
    return morton3D_63bit(q[0], q[1], q[2]);
}

// The point, in scene units, from which the tree's half-precision box corners
// are measured: the scene box's lower corner. Corners then lie in [0, 1)
// wherever the scene is, and keep the same precision.
inline Vec3 corner_origin(const SceneParams& scene) {
    return Vec3{scene.lower[0], scene.lower[1], scene.lower[2]} * scene.scene_scale;
}

// What the codes of a box need: its lower corner, and the code scale, 1 / its
// longest extent (0 for a box without a finite, positive extent: every code is
// then 0). The scene scale is left at 1.
NOLITH_HD SceneParams code_params_for_box(const SceneBox& box) {
    const float longest = fmaxf(fmaxf(box.upper.y - box.lower.y, box.upper.z - box.lower.z), box.upper.x - box.lower.x);
    SceneParams params;
    params.lower[0] = box.lower.x;
    params.lower[1] = box.lower.y;
    params.lower[2] = box.lower.z;
    const float inverse = 1.0f / longest;
    if (longest > 0.0f && longest <= 3.4e38f && inverse <= 3.4e38f) params.code_scale = inverse;
    return params;
}

// The scales of a scene box: the code scale from its longest extent, and the
// scene scale, the power of two that brings that extent into [0.5, 1). A box
// without a finite, positive extent gets code scale 0 and scene scale 1.
SceneParams scene_params_for_box(const SceneBox& scene);

// Reduces the vertices (Triangle) or points (Vec3) of `elements` into the
// scene box and writes the n codes in input order. The host has waited for
// the stream when it returns. An element with a NaN or infinite coordinate
// is refused (NonFiniteInput, utils/finite_check.h) before any code is written.
template <typename Element>
SceneParams initialize_morton_codes(const Element* elements, std::uint32_t n, std::uint64_t* codes,
                                    cudaStream_t stream);


}  // namespace nolith_cuda
