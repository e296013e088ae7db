#pragma once
// The adjoint of one far-field evaluation: how g * F, with F the value of an
// expansion about centre c at a query q (d = c - q, compute_node_approximation),
// changes with the expansion's coefficients and with its centre. The walk of
// the gradient adds these per node; the tree's adjoint pass carries them down
// to the elements. Computed in float from the stored coefficients; a
// derivative of the half and bfloat16 evaluation, whose rounding steps carry
// no gradient.

#include "gpu.h"
#include "records.h"

namespace nolith_traversal {

// The 33 numbers of an adjoint: dF/dZ (3), dF/dM (9, row-major), dF/dT (18,
// the stored order), and dF/dc (3), all times g.
constexpr int kAdjointZ = 0, kAdjointM = 3, kAdjointT = 12, kAdjointC = 30, kAdjointSize = 33;

NOLITH_HD void far_field_adjoint(const Vec3& d, float distance2, const TailorCoefficients& c, float g, float* out) {
    constexpr float kInvFourPi = 0.07957747f;
    const float rho = rsqrtf(distance2);
    const float n[3] = {d.x * rho, d.y * rho, d.z * rho};
    const float rho2 = rho * rho, rho3 = rho2 * rho, rho4 = rho3 * rho, rho5 = rho4 * rho;
    const float a2 = g * rho2 * kInvFourPi, a3 = g * rho3 * kInvFourPi, a4 = g * rho4 * kInvFourPi;

    for (int i = 0; i < 3; ++i) out[kAdjointZ + i] = a2 * n[i];
    for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col) out[kAdjointM + 3 * r + col] = a3 * ((r == col) - 3.0f * n[r] * n[col]);
    }
    // The full symmetric tensor T[i][j][l] from its stored pairs.
    float t[3][3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int l = 0; l < 3; ++l) t[i][j][l] = c.second_order.t[3 * symmetric_pair_index(i, j) + l];
        }
    }
    const int pair_j[6] = {0, 0, 0, 1, 1, 2};
    const int pair_k[6] = {0, 1, 2, 1, 2, 2};
    for (int s = 0; s < 6; ++s) {
        const int j = pair_j[s], k = pair_k[s];
        const float multiplicity = j == k ? 1.0f : 2.0f;
        for (int l = 0; l < 3; ++l) {
            const float b_term = (l == k ? n[j] : 0.0f) + (j != k && l == j ? n[k] : 0.0f);
            const float a_term = j == k ? n[l] : 0.0f;
            out[kAdjointT + 3 * s + l] =
                a4 * (15.0f * multiplicity * n[j] * n[k] * n[l] - 6.0f * b_term - 3.0f * a_term);
        }
    }

    // dF/dc = dF/dd, written with the unit vector:
    // rho^3 (Z - 3 (Z.n) n)
    // + rho^4 (-3 tr(M) n - 3 (M + M^T) n + 15 (n.M.n) n)
    // + rho^5 (15 grad C(n) - 105 C(n) n - 6 b + 30 (b.n) n - 3 a + 15 (a.n) n).
    const float* z = &c.zero_order.x;
    const float* m = c.first_order.m;
    float z_n = 0.0f, trace = m[0] + m[4] + m[8], n_m_n = 0.0f, cubic = 0.0f, b_n = 0.0f, a_n = 0.0f;
    float m_sym_n[3] = {0.0f, 0.0f, 0.0f}, grad_c[3] = {0.0f, 0.0f, 0.0f}, b[3] = {0.0f, 0.0f, 0.0f},
          a[3] = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 3; ++i) {
        z_n += z[i] * n[i];
        for (int j = 0; j < 3; ++j) {
            n_m_n += n[i] * m[3 * i + j] * n[j];
            m_sym_n[i] += (m[3 * i + j] + m[3 * j + i]) * n[j];
            b[i] += t[i][j][j];
            a[i] += t[j][j][i];
            for (int l = 0; l < 3; ++l) {
                cubic += t[i][j][l] * n[i] * n[j] * n[l];
                grad_c[i] += 2.0f * t[i][j][l] * n[j] * n[l] + t[j][l][i] * n[j] * n[l];
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        b_n += b[i] * n[i];
        a_n += a[i] * n[i];
    }
    for (int i = 0; i < 3; ++i) {
        const float order0 = rho3 * (z[i] - 3.0f * z_n * n[i]);
        const float order1 = rho4 * (-3.0f * trace * n[i] - 3.0f * m_sym_n[i] + 15.0f * n_m_n * n[i]);
        const float order2 = rho5 * (15.0f * grad_c[i] - 105.0f * cubic * n[i] - 6.0f * b[i] + 30.0f * b_n * n[i] -
                                     3.0f * a[i] + 15.0f * a_n * n[i]);
        out[kAdjointC + i] = g * kInvFourPi * (order0 + order1 + order2);
    }
}

}  // namespace nolith_traversal
