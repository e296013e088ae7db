#pragma once
// The far field of a node or leaf packet: when a query is far enough to use
// the expansion, and the expansion's value there, from the record of its
// trace-free moments in float32. Everything is in scene units.

#include "gpu.h"
#include "records.h"

namespace nolith_traversal {

// Far enough to use the expansion: |q - c|^2 > beta^2 R^2, given the
// squared distance from the query to the centre. An infinite or NaN radius
// never passes, and neither does a query at the centre. The expansion is the
// unregularised far field, so for points it is also only used when every
// point of the node lies beyond the regularisation distance (`near_field` =
// 2 epsilon; 0 for triangles, which are not regularised). beta = 0 keeps its
// meaning of the coarsest walk: the root alone. A radius of 0 (coincident
// elements, or one rounded below half precision) is never approximated:
// summing such a packet exactly costs one pass and keeps a huge beta exact.
__device__ __forceinline__ bool should_node_be_approximated(float distance2, __half max_dist, float beta_sq,
                                                            float near_field) {
    const float radius = __half2float(max_dist);
    const float reach = radius + near_field;
    return radius > 0.0f && distance2 > beta_sq * (radius * radius) &&
           (near_field == 0.0f || beta_sq == 0.0f || distance2 > reach * reach);
}

// The polynomials of the record's first- and second-order terms at the unit
// vector n (TailorCoefficientsTraceFree): q(n) and c(n).
struct FarFieldBasis {
    float q[5];
    float c[7];
};

NOLITH_HD FarFieldBasis far_field_basis(float x, float y, float z) {
    const float xx = x * x, yy = y * y, zz = z * z;
    const float a = xx - zz, b = yy - zz, zz3 = 3.0f * zz;
    FarFieldBasis basis;
    basis.q[0] = a;
    basis.q[1] = b;
    basis.q[2] = x * y;
    basis.q[3] = x * z;
    basis.q[4] = y * z;
    basis.c[0] = x * (xx - zz3);
    basis.c[1] = y * a;
    basis.c[2] = z * fmaf(3.0f, xx, -zz);
    basis.c[3] = x * b;
    basis.c[4] = x * basis.q[4];
    basis.c[5] = y * (yy - zz3);
    basis.c[6] = z * fmaf(3.0f, yy, -zz);
    return basis;
}

// The record's expansion about its centre c, evaluated at q != c, given
// d = c - q and |d|^2 (which the acceptance test has computed already): the
// second-order Taylor expansion of the summed dipole kernel, in float32.
__device__ __forceinline__ float compute_node_approximation(const Vec3& d, float distance2,
                                                            const TailorCoefficientsTraceFree& c) {
    const float rho = rsqrtf(distance2);
    const Vec3 n = d * rho;
    const FarFieldBasis basis = far_field_basis(n.x, n.y, n.z);
    const float w0 = c.zero_order[0] * n.x + c.zero_order[1] * n.y + c.zero_order[2] * n.z;
    float w1 = c.first_order[0] * basis.q[0];
    for (int k = 1; k < 5; ++k) w1 = fmaf(c.first_order[k], basis.q[k], w1);
    float w2 = c.second_order[0] * basis.c[0];
    for (int k = 1; k < 7; ++k) w2 = fmaf(c.second_order[k], basis.c[k], w2);
    return rho * rho * fmaf(rho, fmaf(rho, w2, w1), w0);
}

}  // namespace nolith_traversal
