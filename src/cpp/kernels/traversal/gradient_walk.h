#pragma once
// The transpose of compute's walk: each query's dL/dw times the derivatives
// of the terms the walk evaluates for it.

#include "records.h"

// Where the gradient walk adds its terms, all zeroed before and in scene
// units: per BVH8 node and per leaf packet the far-field adjoint sums
// (far_field_adjoint.h), per sorted element the derivatives of its exact
// terms (planes of stride num_elements, the layout of compute_brute_force_vjp).
struct GradientTargets {
    const float* grad_output;  // dL/dw per query, caller order
    float* node_adjoints;
    float* packet_adjoints;
    float* element_planes;
};

// The walk of compute (a tree, at least one query), adding each query's
// dL/dw times the derivatives of the terms it evaluates to `targets`.
template <typename Geometry>
cudaError_t compute_gradient_walk(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                  cudaStream_t stream, const GradientTargets& targets);
