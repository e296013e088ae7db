#pragma once
// The far field of a node or leaf packet: when a query is far enough to use
// the expansion, and the expansion's value there. Orders 0 and 1 are
// evaluated in half-precision pairs, order 2 in bfloat16 pairs, the scaling
// and the sum in float. Everything is in scene units.

#include "gpu.h"
#include "records.h"

namespace nolith_traversal {

constexpr float kInvFourPi = 0.07957747f;

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

// Z . n in half pairs: (Zx nx, Zy ny), then (Zz, 0) (nz, 0) fused onto it.
__device__ __forceinline__ float computeZeroOrderContribution(const Vec3_f16& z, const Vec3_f16& n) {
    const __half zero = __float2half_rn(0.0f);
    __half2 acc = __hmul2(__halves2half2(z.x, z.y), __halves2half2(n.x, n.y));
    acc = __hfma2(__halves2half2(z.z, zero), __halves2half2(n.z, zero), acc);
    return __half2float(__hadd(__low2half(acc), __high2half(acc)));
}

// tr(M) - 3 n^T M n in half precision; the quadratic form uses the
// symmetric sums of the off-diagonal entries.
__device__ __forceinline__ float computeFirstOrderContribution(const Mat3x3_f16& mat, const Vec3_f16& n) {
    const __half* m = mat.m;
    const __half trace = __hadd(__hadd(m[0], m[4]), m[8]);
    const __half s01 = __hadd(m[1], m[3]);
    const __half s02 = __hadd(m[2], m[6]);
    const __half s12 = __hadd(m[5], m[7]);
    const __half2 squares_xy = __hmul2(__halves2half2(n.x, n.y), __halves2half2(n.x, n.y));
    const __half2 zz_xy = __hmul2(__halves2half2(n.z, n.x), __halves2half2(n.z, n.y));
    const __half2 xz_yz = __hmul2(__halves2half2(n.x, n.y), __halves2half2(n.z, n.z));
    __half2 acc = __hmul2(__halves2half2(m[0], m[4]), squares_xy);
    acc = __hfma2(__halves2half2(m[8], s01), zz_xy, acc);
    acc = __hfma2(__halves2half2(s02, s12), xz_yz, acc);
    const __half quadratic = __hadd(__low2half(acc), __high2half(acc));
    return __half2float(__hsub(trace, __hmul(__float2half_rn(3.0f), quadratic)));
}

// bfloat16 fused multiply-adds. Before sm_80 there are none: the float fma
// is rounded to bfloat16 instead (a double rounding in rare ties).
__device__ __forceinline__ __nv_bfloat16 bf16_fma(__nv_bfloat16 a, __nv_bfloat16 b, __nv_bfloat16 c) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 800
    return __float2bfloat16_rn(fmaf(__bfloat162float(a), __bfloat162float(b), __bfloat162float(c)));
#else
    return __hfma(a, b, c);
#endif
}

__device__ __forceinline__ __nv_bfloat162 bf16_fma2(__nv_bfloat162 a, __nv_bfloat162 b, __nv_bfloat162 c) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 800
    return __halves2bfloat162(bf16_fma(__low2bfloat16(a), __low2bfloat16(b), __low2bfloat16(c)),
                              bf16_fma(__high2bfloat16(a), __high2bfloat16(b), __high2bfloat16(c)));
#else
    return __hfma2(a, b, c);
#endif
}

// 15 T:nnn - 6 b.n - 3 a.n in bfloat16 pairs, with b_i = sum_j T[ij][j] and
// a_l = T[xx][l] + T[yy][l] + T[zz][l]. T[s][i] sits at 3s + i for the pairs
// s = xx, xy, xz, yy, yz, zz.
__device__ __forceinline__ float computeSecondOrderContribution(const Tensor3_bf16_compressed& tensor,
                                                                const Vec3_bf16& n) {
    const __nv_bfloat16* t = tensor.t;
    const __nv_bfloat16 two = __float2bfloat16_rn(2.0f);
    const __nv_bfloat16 xx = __hmul(n.x, n.x), yy = __hmul(n.y, n.y), zz = __hmul(n.z, n.z);
    const __nv_bfloat16 xy = __hmul(n.x, n.y), xz = __hmul(n.x, n.z), yz = __hmul(n.y, n.z);
    const auto pair = [](__nv_bfloat16 a, __nv_bfloat16 b) { return __halves2bfloat162(a, b); };
    const auto twice = [two](__nv_bfloat16 a, __nv_bfloat16 b) { return __hmul(__hmul(a, b), two); };

    __nv_bfloat162 acc = __hmul2(pair(t[0], t[1]), pair(__hmul(xx, n.x), __hmul(xx, n.y)));
    acc = bf16_fma2(pair(t[2], t[3]), pair(__hmul(xx, n.z), twice(xy, n.x)), acc);
    acc = bf16_fma2(pair(t[4], t[5]), pair(twice(xy, n.y), twice(xz, n.y)), acc);
    acc = bf16_fma2(pair(t[6], t[7]), pair(twice(xz, n.x), twice(yz, n.x)), acc);
    acc = bf16_fma2(pair(t[8], t[9]), pair(twice(xz, n.z), __hmul(yy, n.x)), acc);
    acc = bf16_fma2(pair(t[10], t[11]), pair(__hmul(yy, n.y), __hmul(yy, n.z)), acc);
    acc = bf16_fma2(pair(t[12], t[13]), pair(twice(yz, n.x), twice(yz, n.y)), acc);
    acc = bf16_fma2(pair(t[14], t[15]), pair(twice(yz, n.z), __hmul(zz, n.x)), acc);
    acc = bf16_fma2(pair(t[16], t[17]), pair(__hmul(zz, n.y), __hmul(zz, n.z)), acc);
    const __nv_bfloat16 cubic = __hadd(__low2bfloat16(acc), __high2bfloat16(acc));

    const __nv_bfloat16 bx = __hadd(__hadd(t[0], t[4]), t[8]);
    const __nv_bfloat16 by = __hadd(__hadd(t[3], t[10]), t[14]);
    const __nv_bfloat16 bz = __hadd(__hadd(t[6], t[13]), t[17]);
    const __nv_bfloat16 b_dot_n = __hadd(__hadd(__hmul(bx, n.x), __hmul(by, n.y)), __hmul(bz, n.z));
    const __nv_bfloat16 ax = __hadd(__hadd(t[0], t[9]), t[15]);
    const __nv_bfloat16 ay = __hadd(__hadd(t[1], t[10]), t[16]);
    const __nv_bfloat16 az = __hadd(__hadd(t[2], t[11]), t[17]);
    const __nv_bfloat16 a_dot_n = __hadd(__hadd(__hmul(ax, n.x), __hmul(ay, n.y)), __hmul(az, n.z));

    const __nv_bfloat16 bracket =
        bf16_fma(b_dot_n, __float2bfloat16_rn(6.0f), __hmul(a_dot_n, __float2bfloat16_rn(3.0f)));
    return __bfloat162float(__hsub(__hmul(cubic, __float2bfloat16_rn(15.0f)), bracket));
}

// The node's expansion about its centre c, evaluated at q != c, given
// d = c - q and |d|^2 (which the acceptance test has computed already): the
// second-order Taylor expansion of the summed dipole kernel. The direction
// goes to half precision for orders 0 and 1 and straight from float to
// bfloat16 for order 2 (one rounding, not two).
__device__ __forceinline__ float compute_node_approximation(const Vec3& d, float distance2,
                                                            const TailorCoefficientsF16& c) {
    const float rho = rsqrtf(distance2);
    const Vec3 unit = d * rho;
    const Vec3_f16 n = Vec3_f16::from_float(unit);
    const Vec3_bf16 n_bf16{__float2bfloat16_rn(unit.x), __float2bfloat16_rn(unit.y), __float2bfloat16_rn(unit.z)};
    const float rho2 = rho * rho;
    const float rho3 = rho * rho2;
    const float rho4 = rho * rho3;
    const float a2 = rho2 * kInvFourPi, a3 = rho3 * kInvFourPi, a4 = rho4 * kInvFourPi;
    const float w0 = computeZeroOrderContribution(c.zero_order, n);
    const float w1 = computeFirstOrderContribution(c.first_order, n);
    const float w2 = computeSecondOrderContribution(c.second_order, n_bf16);
    return fmaf(a4, w2, fmaf(a3, w1, fmaf(a2, w0, 0.0f)));
}

}  // namespace nolith_traversal
