#pragma once
// Ordering along the 63-bit Morton curve: the scene box, its per-device
// constant block, and one code per element or query point.

#include "records.h"

#include <cstdint>

namespace nolith_cuda {

// The constant block the code kernels read: one uniform scale and the scene box.
struct SceneParams {
    float scale;
    AABB scene;
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

// Scale from the scene box: 1 / longest extent (extents rounded to half),
// or 0 for a degenerate, infinite or undefined extent.
SceneParams scene_params_for_box(const AABB& scene);

// Reduces the element boxes of `elements` (Triangle or Vec3) into the scene
// box, uploads the constant block on `stream` and writes the n codes in input
// order. The host has waited for the stream when it returns.
template <typename Element>
SceneParams initialize_morton_codes(const Element* elements, std::uint32_t n, std::uint64_t* codes,
                                    cudaStream_t stream);

// Codes n points against the constant block as the last build on the current
// device left it (query ordering).
void compute_point_codes(const Vec3* points, std::uint32_t n, std::uint64_t* codes, cudaStream_t stream);

}  // namespace nolith_cuda
