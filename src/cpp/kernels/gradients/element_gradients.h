#pragma once
// Derivatives of one element's contribution to one query, differentiated as
// contributionToQuery evaluates it (records.h): the same branches, the same
// in-plane rule, so that a gradient check against the evaluation passes.
// Everything is in scene units, like the evaluation.

#include "gpu.h"
#include "records.h"

namespace nolith_gradients {

constexpr float kInvTwoPi = 0.15915494f;
constexpr float kInvFourPi = 0.07957747f;

// d(contribution)/d(vertex) for the three vertices of a triangle.
struct TriangleGradient {
    Vec3 d0, d1, d2;
};

// The solid angle over 4 pi is atan2(det, den) / (2 pi), with a = v0 - q,
// b = v1 - q, c = v2 - q, det = a . (b x c) and
// den = la lb lc + (a.b) lc + (a.c) lb + (b.c) la. A query in the plane
// next to the triangle gets 0, and so does its gradient.
NOLITH_HD TriangleGradient triangle_gradient(const Triangle& t, const Vec3& q) {
    const Vec3 a = t.v0 - q, b = t.v1 - q, c = t.v2 - q;
    const float la = a.length(), lb = b.length(), lc = c.length();
    const Vec3 bxc = Vec3::cross(b, c), cxa = Vec3::cross(c, a), axb = Vec3::cross(a, b);
    const float det = a.dot(bxc);
    const float ab = a.dot(b), ac = a.dot(c), bc = b.dot(c);
    const float product = la * lb * lc;
    const float den = product + ab * lc + ac * lb + bc * la;
    if (den <= product && fabsf(det) <= 3.8146973e-06f * product) return TriangleGradient{};  // 2^-18
    // d atan2(det, den) = (den d det - det d den) / (det^2 + den^2)
    const float scale = kInvTwoPi / (det * det + den * den);
    const float wy = den * scale, wx = -det * scale;
    const Vec3 dden_a = a * ((lb * lc + bc) / la) + b * lc + c * lb;
    const Vec3 dden_b = b * ((la * lc + ac) / lb) + a * lc + c * la;
    const Vec3 dden_c = c * ((la * lb + ab) / lc) + a * lb + b * la;
    return TriangleGradient{bxc * wy + dden_a * wx, cxa * wy + dden_b * wx, axb * wy + dden_c * wx};
}

// d(contribution)/d(scaled normal) and d(contribution)/d(position).
struct PointGradient {
    Vec3 normal, position;
};

// contribution = k(r) (d . n) / (4 pi), d = p - q, with the three branches of
// the regularised kernel k: 1 / r^3 beyond 2 epsilon, S(x) / r^3 between,
// and the constant centre value below 0.1 epsilon. Coincident points give 0.
NOLITH_HD PointGradient point_gradient(const PointNormal& e, const Vec3& q, float inv_epsilon) {
    const Vec3 d = e.p - q;
    const float r2 = d.length2();
    if (r2 < 8.2718061e-25f) return PointGradient{};  // 2^-80, as the evaluation
    const float r = sqrtf(r2);
    const float x = inv_epsilon * r;
    const float r3 = r2 * r;
    float k, dk_dr;
    if (!(x < 2.0f)) {
        k = 1.0f / r3;
        dk_dr = -3.0f * k / r;
    } else if (x < 0.1f) {
        k = (inv_epsilon * (inv_epsilon * inv_epsilon)) * 0.75225276f;
        dk_dr = 0.0f;
    } else {
        const float s = S_regularization(x);
        // S'(x) = 4 / sqrt(pi) x^2 exp(-x^2)
        const float ds = 2.2567583f * x * x * exp2f(-x * x * 1.442695f);
        k = s / r3;
        dk_dr = (ds * inv_epsilon - 3.0f * s / r) / r3;
    }
    const float dn = d.dot(e.n);
    return PointGradient{d * (k * kInvFourPi), (d * (dk_dr * dn / r) + e.n * k) * kInvFourPi};
}

// Uniform names for both kinds, for the kernels that serve either.
NOLITH_HD PointGradient element_gradient(const PointNormal& e, const Vec3& q, float inv_epsilon) {
    return point_gradient(e, q, inv_epsilon);
}
NOLITH_HD TriangleGradient element_gradient(const Triangle& t, const Vec3& q, float) {
    return triangle_gradient(t, q);
}

template <typename Geometry>
using GradientOf = decltype(element_gradient(Geometry{}, Vec3{}, 0.0f));

NOLITH_HD void add_scaled(PointGradient& sum, const PointGradient& g, float w) {
    sum.normal += g.normal * w;
    sum.position += g.position * w;
}
NOLITH_HD void add_scaled(TriangleGradient& sum, const TriangleGradient& g, float w) {
    sum.d0 += g.d0 * w;
    sum.d1 += g.d1 * w;
    sum.d2 += g.d2 * w;
}

// The gradient's components in the order of the gradient planes: points
// dL/dn then dL/dp (6), triangles dL/dv0, dL/dv1, dL/dv2 (9).
NOLITH_HD void gradient_components(const PointGradient& g, float* out) {
    const float values[6] = {g.normal.x, g.normal.y, g.normal.z, g.position.x, g.position.y, g.position.z};
    for (int c = 0; c < 6; ++c) out[c] = values[c];
}
NOLITH_HD void gradient_components(const TriangleGradient& g, float* out) {
    const float values[9] = {g.d0.x, g.d0.y, g.d0.z, g.d1.x, g.d1.y, g.d1.z, g.d2.x, g.d2.y, g.d2.z};
    for (int c = 0; c < 9; ++c) out[c] = values[c];
}

// Scene units back to the caller's: a position derivative times the scene
// scale s, a normal (area) derivative times s^2.
NOLITH_HD float caller_unit_factor(const PointNormal&, int component, float s) { return component < 3 ? s * s : s; }
NOLITH_HD float caller_unit_factor(const Triangle&, int, float s) { return s; }

}  // namespace nolith_gradients
