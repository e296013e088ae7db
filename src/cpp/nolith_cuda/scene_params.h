#pragma once
// What a build learns about its scene and every later stage needs: where the
// scene lies (for the Morton codes of elements and queries) and its scale
// (the unit in which half and bfloat16 quantities are stored). Plain floats,
// so that host-only code can hold it.

namespace nolith_cuda {

struct SceneParams {
    // 1 / the longest extent of the scene box: maps the scene onto the unit
    // cube of the codes. 0 for a scene without a finite, positive extent
    // (every code is then 0).
    float code_scale = 0.0f;
    // The scene box's lower corner.
    float lower[3] = {0.0f, 0.0f, 0.0f};
    // The power of two that brings the longest extent into [0.5, 1): caller
    // units times scene_scale are scene units. 1 for a degenerate scene.
    float scene_scale = 1.0f;
};

}  // namespace nolith_cuda
