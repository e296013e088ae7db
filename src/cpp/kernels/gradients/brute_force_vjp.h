#pragma once
// The exact vector-Jacobian product: for every element, the gradient of
// sum_q g_q w_q over all queries, with every element's contribution to every
// query differentiated exactly (the transpose of the brute force).

#include "records.h"

#include <cstdint>

// Writes per sorted element, in caller units, component planes of stride
// num_elements: for points dL/dn (planes 0-2) and dL/dp (planes 3-5); for
// triangles dL/dv0, dL/dv1, dL/dv2 (planes 0-8). The evaluation runs in scene
// units (times scene_scale) like the brute force. Returns the launch status
// (already reported).
template <typename Geometry>
cudaError_t compute_brute_force_vjp(const Vec3* queries, const float* grad_output, const float* geometry,
                                    std::uint32_t num_queries, std::uint32_t num_elements, float epsilon,
                                    float scene_scale, float* planes, cudaStream_t stream);
