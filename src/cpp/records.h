#pragma once
// Fixed-layout records shared by host and device code: vectors and small
// tensors in float, half and bfloat16, the bounds record, the binary and
// 8-wide tree nodes, the expansion coefficients and the parameter records.
// Field order and widths are the layout kernels index by; the static_asserts
// at the end pin it.

#include "gpu.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define NOLITH_HD __host__ __device__ __forceinline__
#else
#define NOLITH_HD inline
#endif

// A leaf packet holds at most this many consecutive Morton-sorted elements:
// one element per lane of the warp that sums or builds it.
constexpr unsigned ELEMENTS_PER_LEAF = 32;

// Scene units. Everything stored in half or bfloat16 precision (box corners,
// radii, expansion coefficients) is kept in scene units: caller units times
// the engine's scene scale, a power of two that brings the scene's longest
// extent into [0.5, 1). Scaling by a power of two is exact in float, so a
// scene and its copy scaled by 2^k build identical records, and no stored
// quantity under- or overflows because of the units the caller happens to
// use. Centres of mass (float) stay in caller units.
constexpr std::uint32_t INVALID_INDEX = 0xFFFFFFFFu;

struct AABB;

// ---------------------------------------------------------------- vectors

struct Vec3_f16;

struct Vec3 {
    float x, y, z;

    NOLITH_HD Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    NOLITH_HD Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    NOLITH_HD Vec3 operator*(float s) const { return {x * s, y * s, z * s}; }
    NOLITH_HD Vec3 operator/(float s) const { return {x / s, y / s, z / s}; }
    NOLITH_HD Vec3& operator+=(const Vec3& o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
    NOLITH_HD float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    NOLITH_HD float dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
    NOLITH_HD static Vec3 cross(const Vec3& a, const Vec3& b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    NOLITH_HD float length2() const { return dot(*this); }
    NOLITH_HD float length() const { return sqrtf(length2()); }
    NOLITH_HD float inv_length() const { return rsqrtf(length2()); }
    NOLITH_HD static Vec3 from_f16(const Vec3_f16& h);
    // A point is its own centroid; its box is degenerate (see AABB below).
    NOLITH_HD Vec3 centroid() const { return *this; }
    NOLITH_HD AABB get_aabb() const;
};

struct Vec3_f16 {
    __half x, y, z;

    // Rounds each component to the nearest half, ties to even.
    NOLITH_HD static Vec3_f16 from_float(const Vec3& v) {
        return {__float2half_rn(v.x), __float2half_rn(v.y), __float2half_rn(v.z)};
    }
    NOLITH_HD Vec3_f16& operator=(const Vec3& v) {
        *this = from_float(v);
        return *this;
    }
    NOLITH_HD Vec3_f16 operator-(const Vec3_f16& o) const { return {__hsub(x, o.x), __hsub(y, o.y), __hsub(z, o.z)}; }
    NOLITH_HD __half length2() const { return __hadd(__hadd(__hmul(x, x), __hmul(y, y)), __hmul(z, z)); }
};

NOLITH_HD Vec3 Vec3::from_f16(const Vec3_f16& h) { return {__half2float(h.x), __half2float(h.y), __half2float(h.z)}; }

struct Vec3_bf16 {
    __nv_bfloat16 x, y, z;

    NOLITH_HD static Vec3_bf16 from_f16(const Vec3_f16& h) {
        return {__float2bfloat16_rn(__half2float(h.x)), __float2bfloat16_rn(__half2float(h.y)),
                __float2bfloat16_rn(__half2float(h.z))};
    }
};

// ------------------------------------------------------- small tensors

struct Mat3x3_f16;

// Row-major: entry [r][c] at 3r + c.
struct Mat3x3 {
    float m[9];

    NOLITH_HD Mat3x3 operator+(const Mat3x3& o) const {
        Mat3x3 r;
        for (int i = 0; i < 9; ++i) r.m[i] = m[i] + o.m[i];
        return r;
    }
    NOLITH_HD Mat3x3& operator+=(const Mat3x3& o) {
        for (int i = 0; i < 9; ++i) m[i] += o.m[i];
        return *this;
    }
    NOLITH_HD static Mat3x3 from_f16(const Mat3x3_f16& h);
};

NOLITH_HD Mat3x3 outer_product(const Vec3& a, const Vec3& b) {
    return {{a.x * b.x, a.x * b.y, a.x * b.z, a.y * b.x, a.y * b.y, a.y * b.z, a.z * b.x, a.z * b.y, a.z * b.z}};
}

struct Mat3x3_f16 {
    __half m[9];

    NOLITH_HD Mat3x3_f16& operator=(const Mat3x3& f) {
        for (int i = 0; i < 9; ++i) m[i] = __float2half_rn(f.m[i]);
        return *this;
    }
};

NOLITH_HD Mat3x3 Mat3x3::from_f16(const Mat3x3_f16& h) {
    Mat3x3 r;
    for (int i = 0; i < 9; ++i) r.m[i] = __half2float(h.m[i]);
    return r;
}

// The six distinct entries of a symmetric matrix: xx, xy, xz, yy, yz, zz.
struct SymMat3x3 {
    float xx, xy, xz, yy, yz, zz;

    NOLITH_HD SymMat3x3 operator+(const SymMat3x3& o) const {
        return {xx + o.xx, xy + o.xy, xz + o.xz, yy + o.yy, yz + o.yz, zz + o.zz};
    }
    NOLITH_HD SymMat3x3 operator*(float s) const { return {xx * s, xy * s, xz * s, yy * s, yz * s, zz * s}; }
    NOLITH_HD float operator[](int pair) const {
        return pair == 0 ? xx : pair == 1 ? xy : pair == 2 ? xz : pair == 3 ? yy : pair == 4 ? yz : zz;
    }
};

struct Tensor3_bf16_compressed;

// T[j][k][i], symmetric in (j, k): pair s in the order xx, xy, xz, yy, yz, zz,
// component i at 3s + i.
struct Tensor3_compressed {
    float t[18];

    NOLITH_HD static Tensor3_compressed from_f16(const Tensor3_bf16_compressed& h);
};

struct Tensor3_bf16_compressed {
    __nv_bfloat16 t[18];

    NOLITH_HD Tensor3_bf16_compressed& operator=(const Tensor3_compressed& f) {
        for (int i = 0; i < 18; ++i) t[i] = __float2bfloat16_rn(f.t[i]);
        return *this;
    }
};

NOLITH_HD Tensor3_compressed Tensor3_compressed::from_f16(const Tensor3_bf16_compressed& h) {
    Tensor3_compressed r;
    for (int i = 0; i < 18; ++i) r.t[i] = __bfloat162float(h.t[i]);
    return r;
}

// Index of the stored pair (min(a, b), max(a, b)) among xx, xy, xz, yy, yz, zz.
NOLITH_HD int symmetric_pair_index(int a, int b) {
    const int lo = a < b ? a : b;
    const int hi = a < b ? b : a;
    return lo == 0 ? hi : (lo == 1 ? 2 + hi : 5);
}

// ------------------------------------------------------------------ bounds

struct AABB {
    Vec3_f16 min;
    Vec3_f16 max;
    Vec3 com;
    __half max_dist;

    NOLITH_HD Vec3_f16 diagonal() const { return max - min; }
    // 0.25 |max - min|^2, every step in half precision.
    NOLITH_HD float radius_sq() const { return __half2float(__hmul(__float2half_rn(0.25f), diagonal().length2())); }

    // The box that contains nothing: the start of a union.
    NOLITH_HD static AABB identity() {
        const __half inf = __ushort_as_half(0x7C00), neg_inf = __ushort_as_half(0xFC00);
        return AABB{{inf, inf, inf}, {neg_inf, neg_inf, neg_inf}, {0.0f, 0.0f, 0.0f}, __ushort_as_half(0)};
    }

    // Union with centre weights 1 / (na + nb); corners combine in half
    // precision without rounding; max_dist is the first argument's.
    NOLITH_HD static AABB merge(const AABB& a, const AABB& b, float na, float nb) {
        const float w = 1.0f / (na + nb);
        AABB r;
        r.min = Vec3_f16{__hmin(a.min.x, b.min.x), __hmin(a.min.y, b.min.y), __hmin(a.min.z, b.min.z)};
        r.max = Vec3_f16{__hmax(a.max.x, b.max.x), __hmax(a.max.y, b.max.y), __hmax(a.max.z, b.max.z)};
        const Vec3 wb = b.com * w;
        r.com = {fmaf(a.com.x, w, wb.x), fmaf(a.com.y, w, wb.y), fmaf(a.com.z, w, wb.z)};
        r.max_dist = a.max_dist;
        return r;
    }
};

NOLITH_HD AABB Vec3::get_aabb() const {
    const Vec3_f16 h = Vec3_f16::from_float(*this);
    return AABB{h, h, *this, __ushort_as_half(0)};
}

// ------------------------------------------------------------ tree nodes

struct BinaryNode {
    std::uint32_t left;
    std::uint32_t right;

    NOLITH_HD static bool is_leaf(std::uint32_t index, std::uint32_t leaf_count) { return index >= leaf_count - 1; }
};

enum ChildType : std::uint32_t { Empty = 0, Internal = 1, Leaf = 2 };

struct alignas(32) BVH8Node {
    std::uint32_t first_child;
    Vec3_f16 min;
    Vec3_f16 max;
    Vec3 com;
    __half max_dist;
    std::uint16_t child_meta;

    NOLITH_HD ChildType getChildMeta(int slot) const { return ChildType((child_meta >> (2 * slot)) & 3u); }
    NOLITH_HD void setChildMeta(int slot, ChildType type) {
        child_meta = static_cast<std::uint16_t>((child_meta & ~(3u << (2 * slot))) | (unsigned(type) << (2 * slot)));
    }
    NOLITH_HD AABB getAABB() const { return AABB{min, max, com, max_dist}; }
};

struct LeafPointers {
    std::uint32_t leaf_index[8];
};

// Leaf packet k: sorted elements first .. first + count - 1 (1 <= count <= 32).
// Packets are cut where the Morton curve jumps, so their sizes vary; the
// packet table replaces fixed arithmetic wherever packets are read.
struct PacketRange {
    std::uint32_t first;
    std::uint32_t count;
};

// --------------------------------------------------- expansion coefficients

struct TailorCoefficientsF16;

struct TailorCoefficients {
    Vec3 zero_order;
    Mat3x3 first_order;
    Tensor3_compressed second_order;

    NOLITH_HD static TailorCoefficients from_f16(const TailorCoefficientsF16& h);
};

struct alignas(64) TailorCoefficientsF16 {
    Vec3_f16 zero_order;
    Mat3x3_f16 first_order;
    Tensor3_bf16_compressed second_order;

    // Orders 0 and 1 round to half, order 2 to bfloat16 (nearest, ties to even).
    NOLITH_HD static TailorCoefficientsF16 from_float(const TailorCoefficients& f) {
        TailorCoefficientsF16 r;
        r.zero_order = Vec3_f16::from_float(f.zero_order);
        r.first_order = f.first_order;
        r.second_order = f.second_order;
        return r;
    }

    // Writes the record as sixteen whole words with its four bytes of padding
    // zeroed: readers copy records word by word, padding included, and must
    // not see uninitialised memory.
    NOLITH_HD void store(TailorCoefficientsF16* destination) const {
        std::uint32_t words[16] = {};
        memcpy(words, this, kDataBytes);
        uint4* out = reinterpret_cast<uint4*>(destination);
        for (int i = 0; i < 4; ++i) out[i] = make_uint4(words[4 * i], words[4 * i + 1], words[4 * i + 2], words[4 * i + 3]);
    }
    static constexpr unsigned kDataBytes = 60;  // 12 halves, 18 bfloat16
};

NOLITH_HD TailorCoefficients TailorCoefficients::from_f16(const TailorCoefficientsF16& h) {
    return {Vec3::from_f16(h.zero_order), Mat3x3::from_f16(h.first_order),
            Tensor3_compressed::from_f16(h.second_order)};
}

// The far field as the walk evaluates it, in float32. The expansion sums the
// moments against derivatives of 1/r, which away from the source are
// symmetric and trace-free: the antisymmetric parts and the traces of the
// moments contribute nothing. What is left are the order-0 vector Z (3), the
// symmetric trace-free part S of the first moment (5 of 9) and the fully
// symmetric trace-free part U of the second (7 of 18), 15 numbers in one
// 64-byte record. They are stored pre-scaled, so that for the unit vector n
// from the query towards the centre and rho = 1 / distance the value is
//   rho^2 (z . n + rho (s . q(n) + rho (u . c(n))))
// with q(n) = (xx - zz, yy - zz, xy, xz, yz) and c(n) = (x (xx - 3 zz),
// y (xx - zz), z (3 xx - zz), x (yy - zz), xyz, y (yy - 3 zz), z (3 yy - zz)):
//   z = Z / 4 pi,
//   s = -3 / 4 pi (S_xx, S_yy, 2 S_xy, 2 S_xz, 2 S_yz),
//   u = 15 / 4 pi (U_xxx, 3 U_xxy, U_xxz, 3 U_xyy, 6 U_xyz, U_yyy, U_yyz).
struct alignas(64) TailorCoefficientsTraceFree {
    float zero_order[3];
    float first_order[5];
    float second_order[7];
    std::uint32_t unused;

    static constexpr float kInvFourPi = 0.07957747f;

    // The record of full moments (about the same centre).
    NOLITH_HD static TailorCoefficientsTraceFree from_moments(const TailorCoefficients& c) {
        TailorCoefficientsTraceFree r{};
        const float k = kInvFourPi;
        r.zero_order[0] = c.zero_order.x * k;
        r.zero_order[1] = c.zero_order.y * k;
        r.zero_order[2] = c.zero_order.z * k;
        const float* m = c.first_order.m;
        const float third_trace = (m[0] + m[4] + m[8]) * (1.0f / 3.0f);
        r.first_order[0] = -3.0f * k * (m[0] - third_trace);
        r.first_order[1] = -3.0f * k * (m[4] - third_trace);
        r.first_order[2] = -3.0f * k * (m[1] + m[3]);
        r.first_order[3] = -3.0f * k * (m[2] + m[6]);
        r.first_order[4] = -3.0f * k * (m[5] + m[7]);
        // V: T symmetrised over its three indices (T[jk][i] is symmetric in
        // j, k); v its traces; U = V less its traces.
        const float* t = c.second_order.t;
        const auto T = [t](int j, int k2, int i) { return t[3 * symmetric_pair_index(j, k2) + i]; };
        const auto V = [&T](int i, int j, int k2) { return (T(j, k2, i) + T(k2, i, j) + T(i, j, k2)) * (1.0f / 3.0f); };
        float v[3];
        for (int a = 0; a < 3; ++a) v[a] = V(0, 0, a) + V(1, 1, a) + V(2, 2, a);
        const float u_xxx = V(0, 0, 0) - 0.6f * v[0], u_xxy = V(0, 0, 1) - 0.2f * v[1];
        const float u_xxz = V(0, 0, 2) - 0.2f * v[2], u_xyy = V(0, 1, 1) - 0.2f * v[0];
        const float u_xyz = V(0, 1, 2), u_yyy = V(1, 1, 1) - 0.6f * v[1], u_yyz = V(1, 1, 2) - 0.2f * v[2];
        const float w = 15.0f * k;
        r.second_order[0] = w * u_xxx;
        r.second_order[1] = 3.0f * w * u_xxy;
        r.second_order[2] = w * u_xxz;
        r.second_order[3] = 3.0f * w * u_xyy;
        r.second_order[4] = 6.0f * w * u_xyz;
        r.second_order[5] = w * u_yyy;
        r.second_order[6] = w * u_yyz;
        return r;
    }

    // Full moments that this record represents: Z, the symmetric trace-free
    // S as the first moment and U as the second (their expansion has the
    // same value as the record's).
    NOLITH_HD TailorCoefficients moments() const {
        const float k = 1.0f / kInvFourPi;
        TailorCoefficients c{};
        c.zero_order = Vec3{zero_order[0] * k, zero_order[1] * k, zero_order[2] * k};
        const float s_xx = first_order[0] * (k / -3.0f), s_yy = first_order[1] * (k / -3.0f);
        const float s_xy = first_order[2] * (k / -6.0f), s_xz = first_order[3] * (k / -6.0f);
        const float s_yz = first_order[4] * (k / -6.0f);
        c.first_order = Mat3x3{{s_xx, s_xy, s_xz, s_xy, s_yy, s_yz, s_xz, s_yz, -s_xx - s_yy}};
        const float w = k / 15.0f;
        const float u_xxx = second_order[0] * w, u_xxy = second_order[1] * (w / 3.0f), u_xxz = second_order[2] * w;
        const float u_xyy = second_order[3] * (w / 3.0f), u_xyz = second_order[4] * (w / 6.0f);
        const float u_yyy = second_order[5] * w, u_yyz = second_order[6] * w;
        const float u_xzz = -u_xxx - u_xyy, u_yzz = -u_xxy - u_yyy, u_zzz = -u_xxz - u_yyz;
        // U[jk][i] for the stored pairs xx, xy, xz, yy, yz, zz.
        const float u[18] = {u_xxx, u_xxy, u_xxz, u_xxy, u_xyy, u_xyz, u_xxz, u_xyz, u_xzz,
                             u_xyy, u_yyy, u_yyz, u_xyz, u_yyz, u_yzz, u_xzz, u_yzz, u_zzz};
        for (int i = 0; i < 18; ++i) c.second_order.t[i] = u[i];
        return c;
    }

    // The 15 values in their stored order: z, s, u.
    static constexpr int kValues = 15;
    NOLITH_HD void values(float out[kValues]) const { memcpy(out, this, sizeof(float) * kValues); }

    NOLITH_HD bool finite() const {
        float sum = 0.0f;
        for (float x : zero_order) sum += fabsf(x);
        for (float x : first_order) sum += fabsf(x);
        for (float x : second_order) sum += fabsf(x);
        return sum <= 3.4e38f;
    }
};

// The radius stored with an expansion: an infinite radius keeps the walk
// from ever evaluating an expansion that is not finite.
NOLITH_HD __half expansion_radius(float radius, const TailorCoefficientsTraceFree& far_field) {
    return far_field.finite() ? __float2half_rn(radius) : __ushort_as_half(0x7C00);
}

// ---------------------------------------------------------- geometry kinds

template <typename Geometry>
struct SoAView;

// The four-quadrant arc tangent without a correctly rounded division (about
// 3 ulp): the reduced argument min(|x|, |y|) / max(|x|, |y|) by the fast
// approximate division, then a degree-8 polynomial in its square for
// atan(a) / a on [0, 1] (coefficients fitted here for minimal relative error).
NOLITH_HD float atan2_fast(float y, float x) {
    const float ax = fabsf(x), ay = fabsf(y);
    const float hi = fmaxf(ax, ay), lo = fminf(ax, ay);
#if defined(__CUDACC__) && !defined(__CUDA_ARCH__)
    // nvcc's host pass has no __fdividef (a device intrinsic).
    const float a = hi > 0.0f ? lo / hi : 0.0f;
#else
    const float a = hi > 0.0f ? __fdividef(lo, hi) : 0.0f;
#endif
    const float s = a * a;
    float p = 0.0028499095f;
    p = fmaf(p, s, -0.016068710f);
    p = fmaf(p, s, 0.042691652f);
    p = fmaf(p, s, -0.075043060f);
    p = fmaf(p, s, 0.10640939f);
    p = fmaf(p, s, -0.14203645f);
    p = fmaf(p, s, 0.19992620f);
    p = fmaf(p, s, -0.33333072f);
    p = fmaf(p, s, 1.0f);
    float r = a * p;
    if (ay > ax) r = 1.5707964f - r;
    if (x < 0.0f) r = 3.1415927f - r;
    return copysignf(r, y);
}

struct Triangle {
    Vec3 v0, v1, v2;

    // Points to the front (counter-clockwise side); its length is the area.
    NOLITH_HD Vec3 get_scaled_normal() const { return Vec3::cross(v1 - v0, v2 - v0) * 0.5f; }
    NOLITH_HD float get_weight() const { return 0.5f * sqrtf(Vec3::cross(v1 - v0, v2 - v0).length2()); }
    NOLITH_HD Vec3 centroid() const { return ((v0 + v1) + v2) * 0.33333334f; }
    NOLITH_HD float max_distance_to(const Vec3& p) const {
        return sqrtf(fmaxf((v0 - p).length2(), fmaxf((v1 - p).length2(), (v2 - p).length2())));
    }
    NOLITH_HD AABB get_aabb() const {
        const Vec3 lo{fminf(v0.x, fminf(v1.x, v2.x)), fminf(v0.y, fminf(v1.y, v2.y)), fminf(v0.z, fminf(v1.z, v2.z))};
        const Vec3 hi{fmaxf(v0.x, fmaxf(v1.x, v2.x)), fmaxf(v0.y, fmaxf(v1.y, v2.y)), fmaxf(v0.z, fmaxf(v1.z, v2.z))};
        const Vec3 c = centroid();
        return AABB{Vec3_f16::from_float(lo), Vec3_f16::from_float(hi), c, __float2half_rn(max_distance_to(c))};
    }
    NOLITH_HD static Triangle load(const SoAView<Triangle>& view, std::uint32_t i, std::uint64_t stride);

    // The triangle with every vertex multiplied by s (scene units).
    NOLITH_HD Triangle scaled(float s) const { return Triangle{v0 * s, v1 * s, v2 * s}; }

    // Signed solid angle seen from q, over 4 pi: positive behind the
    // triangle (opposite to its scaled normal). The float argument keeps the
    // signature uniform with points and is ignored.
    //
    // A query in the triangle's plane, on it or beside it, sees no solid
    // angle: the triangle contributes 0, so that a surface queried on itself
    // gives the principal value (0.5 on a face, 0.25 on a cube edge). The
    // test is relative to the triangle's own distances: den <= la lb lc holds
    // only when the query is close to the triangle (for a distant one den is
    // about 4 la lb lc), and then |det| <= 2^-18 la lb lc says that the
    // query's height above the plane is below what float rounding of det
    // can tell from zero.
    NOLITH_HD float contributionToQuery(const Vec3& q, float) const {
        const Vec3 a = v0 - q, b = v1 - q, c = v2 - q;
        const float la = a.length(), lb = b.length(), lc = c.length();
        const float det = a.dot(Vec3::cross(b, c));
        const float product = la * lb * lc;
        const float den = product + a.dot(b) * lc + a.dot(c) * lb + b.dot(c) * la;
        if (den <= product && fabsf(det) <= 3.8146973e-06f * product) return 0.0f;  // 2^-18
        return atan2_fast(det, den) * 0.15915494f;
    }
};
// erf(x) - 2/sqrt(pi) x exp(-x^2): the smoothing of a regularised dipole.
NOLITH_HD float S_regularization(float x) { return erff(x) - 1.1283792f * x * exp2f(-x * x * 1.442695f); }

struct PointNormal {
    Vec3 p;
    Vec3 n;

    NOLITH_HD AABB get_aabb() const { return p.get_aabb(); }
    NOLITH_HD float max_distance_to(const Vec3& q) const { return (p - q).length(); }
    NOLITH_HD static PointNormal load(const SoAView<PointNormal>& view, std::uint32_t i, std::uint64_t stride);

    // The point in scene units: position times s, and the scaled normal (an
    // area) times s^2, multiplied in two steps so that it cannot underflow
    // on the way.
    NOLITH_HD PointNormal scaled(float s) const { return PointNormal{p * s, (n * s) * s}; }

    // Dipole potential of the scaled normal at q, regularised below a
    // distance of 2 epsilon; positive behind the point. Evaluated in scene
    // units (inv_epsilon likewise), a query on the point, or closer than
    // 2^-40 of the scene's extent, sees nothing of it.
    NOLITH_HD float contributionToQuery(const Vec3& q, float inv_epsilon) const {
        const Vec3 d = p - q;
        const float r2 = d.length2();
        if (r2 < 8.2718061e-25f) return 0.0f;  // 2^-80
        const float r = sqrtf(r2);
        const float x = inv_epsilon * r;
        float k;
        if (!(x < 2.0f)) {
            k = 1.0f / (r2 * r);
        } else if (x < 0.1f) {
            k = (inv_epsilon * (inv_epsilon * inv_epsilon)) * 0.75225276f;
        } else {
            k = S_regularization(x) / (r2 * r);
        }
        return k * (d.dot(n) * 0.07957747f);
    }
};

template <typename Geometry>
struct GeometryTraits;
template <>
struct GeometryTraits<Triangle> {
    static constexpr unsigned components = 9;
};
template <>
struct GeometryTraits<PointNormal> {
    static constexpr unsigned components = 6;
};

// The sorted geometry as component planes: component k of element i is
// data[k * stride + i].
template <typename Geometry>
struct SoAView {
    float* data;
    std::uint64_t stride;
};

NOLITH_HD Triangle Triangle::load(const SoAView<Triangle>& view, std::uint32_t i, std::uint64_t stride) {
    const float* d = view.data + i;
    return Triangle{{d[0], d[stride], d[2 * stride]},
                    {d[3 * stride], d[4 * stride], d[5 * stride]},
                    {d[6 * stride], d[7 * stride], d[8 * stride]}};
}

NOLITH_HD PointNormal PointNormal::load(const SoAView<PointNormal>& view, std::uint32_t i, std::uint64_t stride) {
    const float* d = view.data + i;
    return PointNormal{{d[0], d[stride], d[2 * stride]}, {d[3 * stride], d[4 * stride], d[5 * stride]}};
}

// ------------------------------------------------------ parameter records

struct ConvertBinary2BVH8Params {
    std::uint32_t* queue_a;
    std::uint32_t* queue_b;
    std::uint32_t* node_parents;
    std::uint32_t* level_counter;
    std::uint32_t num_leaves;
    const AABB* aabbs;
    const BinaryNode* binary_nodes;
    std::uint32_t* child_counts;
    std::uint32_t* leaf_parents;
    BVH8Node* nodes;
    LeafPointers* leaf_pointers;
    std::uint32_t* node_count;
};

template <typename Geometry>
struct ComputeWindingNumbersParams {
    const Vec3* queries;
    const std::uint32_t* query_order;
    const BVH8Node* nodes;
    const LeafPointers* leaf_pointers;
    const TailorCoefficientsTraceFree* node_far_field;  // the walk's records, per BVH8 node
    const TailorCoefficientsTraceFree* leaf_far_field;  // and per leaf packet
    const AABB* leaf_aabbs;
    const PacketRange* packets;
    std::uint32_t num_packets;
    SoAView<Geometry> geometry;
    std::uint32_t num_queries;
    std::uint32_t num_elements;
    float* out;
    std::uint32_t* work_counter;
    float beta;
    float epsilon;
    // Levels of the BVH8 (root level included), measured by the collapse:
    // bounds the traversal stack of 7 * (levels - 1) + 1 entries.
    std::uint32_t tree_levels;
    // Caller units times scene_scale are the scene units of the tree's
    // half-precision records; the walk computes in them.
    float scene_scale;
};

static_assert(sizeof(Vec3) == 12, "Vec3 is three packed floats");
static_assert(sizeof(Vec3_f16) == 6 && sizeof(Vec3_bf16) == 6, "half vectors are three packed halves");
static_assert(sizeof(AABB) == 28 && alignof(AABB) == 4, "AABB is a 28-byte record");
static_assert(sizeof(BinaryNode) == 8, "BinaryNode is two u32");
static_assert(sizeof(BVH8Node) == 32 && alignof(BVH8Node) == 32, "BVH8Node is a 32-byte record");
static_assert(sizeof(LeafPointers) == 32, "LeafPointers is eight u32");
static_assert(sizeof(PacketRange) == 8, "PacketRange is two u32");
static_assert(sizeof(TailorCoefficients) == 120, "TailorCoefficients is 30 floats");
static_assert(sizeof(TailorCoefficientsF16) == 64 && alignof(TailorCoefficientsF16) == 64,
              "TailorCoefficientsF16 has a 64-byte stride");
static_assert(offsetof(TailorCoefficientsF16, second_order) + sizeof(Tensor3_bf16_compressed) ==
                  TailorCoefficientsF16::kDataBytes,
              "TailorCoefficientsF16 holds its values in its first 60 bytes");
static_assert(sizeof(TailorCoefficientsTraceFree) == 64 && alignof(TailorCoefficientsTraceFree) == 64,
              "TailorCoefficientsTraceFree is one 64-byte record");
static_assert(sizeof(SoAView<Triangle>) == 16, "SoAView is a pointer and a stride");
