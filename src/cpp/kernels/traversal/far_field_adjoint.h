#pragma once
// The adjoint of one far-field evaluation: how g * F, with F the value of a
// record's expansion about centre c at a query q (d = c - q,
// compute_node_approximation), changes with the record's 15 values and with
// its centre. The walk of the gradient adds these per node and packet; the
// tree's adjoint pass carries them down to the elements.

#include "gpu.h"
#include "kernels/traversal/far_field.h"
#include "records.h"

namespace nolith_traversal {

// The 18 numbers of an adjoint: dF/dz (3), dF/ds (5), dF/du (7) for the
// record's stored values, and dF/dc (3), all times g.
constexpr int kAdjointZ = 0, kAdjointS = 3, kAdjointU = 8, kAdjointC = 15, kAdjointSize = 18;

NOLITH_HD void far_field_adjoint(const Vec3& d, float distance2, const TailorCoefficientsTraceFree& c, float g,
                                 float* out) {
    const float rho = rsqrtf(distance2);
    const float x = d.x * rho, y = d.y * rho, z = d.z * rho;
    const float n[3] = {x, y, z};
    const FarFieldBasis basis = far_field_basis(x, y, z);
    const float rho2 = rho * rho, rho3 = rho2 * rho, rho4 = rho3 * rho;
    for (int i = 0; i < 3; ++i) out[kAdjointZ + i] = g * rho2 * n[i];
    for (int k = 0; k < 5; ++k) out[kAdjointS + k] = g * rho3 * basis.q[k];
    for (int k = 0; k < 7; ++k) out[kAdjointU + k] = g * rho4 * basis.c[k];

    // F = z.d rho^3 + s.q(d) rho^5 + u.c(d) rho^7 with q, c homogeneous of
    // degree 2 and 3, so dF/dd = rho^3 (z - 3 w0 n) + rho^4 (grad s.q(n) -
    // 5 w1 n) + rho^5 (grad u.c(n) - 7 w2 n), w0..w2 the three orders' sums.
    const float* s = c.first_order;
    const float* u = c.second_order;
    float w0 = 0.0f, w1 = 0.0f, w2 = 0.0f;
    for (int i = 0; i < 3; ++i) w0 += c.zero_order[i] * n[i];
    for (int k = 0; k < 5; ++k) w1 += s[k] * basis.q[k];
    for (int k = 0; k < 7; ++k) w2 += u[k] * basis.c[k];
    const float xx = x * x, yy = y * y, zz = z * z;
    const float grad_q[3] = {2.0f * s[0] * x + s[2] * y + s[3] * z, 2.0f * s[1] * y + s[2] * x + s[4] * z,
                             -2.0f * (s[0] + s[1]) * z + s[3] * x + s[4] * y};
    const float grad_c[3] = {
        u[0] * (3.0f * xx - 3.0f * zz) + u[1] * (2.0f * x * y) + u[2] * (6.0f * x * z) + u[3] * (yy - zz) + u[4] * y * z,
        u[1] * (xx - zz) + u[3] * (2.0f * x * y) + u[4] * x * z + u[5] * (3.0f * yy - 3.0f * zz) + u[6] * (6.0f * y * z),
        u[0] * (-6.0f * x * z) + u[1] * (-2.0f * y * z) + u[2] * (3.0f * xx - 3.0f * zz) + u[3] * (-2.0f * x * z) +
            u[4] * x * y + u[5] * (-6.0f * y * z) + u[6] * (3.0f * yy - 3.0f * zz)};
    for (int i = 0; i < 3; ++i) {
        const float order0 = rho3 * (c.zero_order[i] - 3.0f * w0 * n[i]);
        const float order1 = rho4 * (grad_q[i] - 5.0f * w1 * n[i]);
        const float order2 = rho4 * rho * (grad_c[i] - 7.0f * w2 * n[i]);
        out[kAdjointC + i] = g * (order0 + order1 + order2);
    }
}

}  // namespace nolith_traversal
