#include "kernels/build_binary_tree/leaf_coefficients.h"

#include "gpu.h"
#include "utils/cuda_check.h"

#include <cstring>

namespace {

using nolith_cuda::kDefaultBlock;
constexpr unsigned kFullMask = 0xffffffffu;
// The expansion's terms per element, and the odd stride of the rows that
// gather them (a column's reads fall on distinct banks).
constexpr int kTerms = sizeof(TailorCoefficients) / sizeof(float);
constexpr int kTermStride = kTerms + 1;

// Stands in, per element, for a packet weight of exactly zero (degenerate
// triangles), so that every weight added in the bottom-up pass is positive and
// a first arrival is always told apart from a second one, and so that nodes
// made only of such packets are centred by element count. Weights are areas
// in scene units, so this is far below any real triangle's.
constexpr float ZERO_WEIGHT_EPSILON = 1e-10f;

// ------------------------------------------------------- per-element terms

// Bounds corners of one element relative to `origin`, each rounded to the
// nearest half.
NOLITH_HD void element_bounds(const Triangle& t, const Vec3& origin, Vec3_f16& lo, Vec3_f16& hi) {
    lo = Vec3_f16::from_float(Vec3{fminf(t.v0.x, fminf(t.v1.x, t.v2.x)), fminf(t.v0.y, fminf(t.v1.y, t.v2.y)),
                                   fminf(t.v0.z, fminf(t.v1.z, t.v2.z))} -
                              origin);
    hi = Vec3_f16::from_float(Vec3{fmaxf(t.v0.x, fmaxf(t.v1.x, t.v2.x)), fmaxf(t.v0.y, fmaxf(t.v1.y, t.v2.y)),
                                   fmaxf(t.v0.z, fmaxf(t.v1.z, t.v2.z))} -
                              origin);
}

NOLITH_HD void element_bounds(const PointNormal& e, const Vec3& origin, Vec3_f16& lo, Vec3_f16& hi) {
    lo = Vec3_f16::from_float(e.p - origin);
    hi = lo;
}

// Centre-of-mass weight: a triangle weighs its area, a point weighs 1.
NOLITH_HD float element_weight(const Triangle& t) { return t.get_weight(); }
NOLITH_HD float element_weight(const PointNormal&) { return 1.0f; }

// The element's position times its weight.
NOLITH_HD Vec3 element_weighted_position(const Triangle& t, float w) { return t.centroid() * w; }
NOLITH_HD Vec3 element_weighted_position(const PointNormal& e, float) { return e.p; }

// Order 2 from the symmetric second moment S about the centre and the
// scaled normal n: 0.5 * S[j][k] * n[i] at 3s + i.
NOLITH_HD Tensor3_compressed second_order_terms(const SymMat3x3& s, const Vec3& n) {
    Tensor3_compressed r;
    for (int pair = 0; pair < 6; ++pair) {
        const float h = 0.5f * s[pair];
        r.t[3 * pair + 0] = h * n.x;
        r.t[3 * pair + 1] = h * n.y;
        r.t[3 * pair + 2] = h * n.z;
    }
    return r;
}

// Expansion terms of one triangle about c. The second moment uses the three
// edge midpoints, which integrate a quadratic over a triangle exactly.
NOLITH_HD TailorCoefficients get_tailor_terms(const Triangle& t, const Vec3& c) {
    const Vec3 n = t.get_scaled_normal();
    const Vec3 d = t.centroid() - c;
    const Vec3 a = (t.v0 + t.v1) * 0.5f - c;
    const Vec3 b = (t.v1 + t.v2) * 0.5f - c;
    const Vec3 e = (t.v0 + t.v2) * 0.5f - c;
    const float third = 0.33333334f;
    const SymMat3x3 s{(a.x * a.x + b.x * b.x + e.x * e.x) * third, (a.x * a.y + b.x * b.y + e.x * e.y) * third,
                      (a.x * a.z + b.x * b.z + e.x * e.z) * third, (a.y * a.y + b.y * b.y + e.y * e.y) * third,
                      (a.y * a.z + b.y * b.z + e.y * e.z) * third, (a.z * a.z + b.z * b.z + e.z * e.z) * third};
    return TailorCoefficients{n, outer_product(d, n), second_order_terms(s, n)};
}

// Expansion terms of one oriented point about c: its scaled normal
// concentrated at p.
NOLITH_HD TailorCoefficients get_tailor_terms(const PointNormal& e, const Vec3& c) {
    const Vec3 d = e.p - c;
    const SymMat3x3 s{d.x * d.x, d.x * d.y, d.x * d.z, d.y * d.y, d.y * d.z, d.z * d.z};
    return TailorCoefficients{e.n, outer_product(d, e.n), second_order_terms(s, e.n)};
}

// Union of two boxes with the centre weighted by wa and wb; equal shares when
// both weights are zero. max_dist is left as the first argument's.
NOLITH_HD AABB merge_weighted(const AABB& a, const AABB& b, float wa, float wb) {
    const float total = wa + wb;
    const float fa = total > 0.0f ? wa / total : 0.5f;
    const float fb = total > 0.0f ? wb / total : 0.5f;
    AABB r;
    r.min = Vec3_f16{__hmin(a.min.x, b.min.x), __hmin(a.min.y, b.min.y), __hmin(a.min.z, b.min.z)};
    r.max = Vec3_f16{__hmax(a.max.x, b.max.x), __hmax(a.max.y, b.max.y), __hmax(a.max.z, b.max.z)};
    r.com = a.com * fa + b.com * fb;
    r.max_dist = a.max_dist;
    return r;
}

// ------------------------------------------------------------ warp helpers

__device__ __forceinline__ unsigned pack_halves(__half lo, __half hi) {
    return unsigned(__half_as_ushort(lo)) | (unsigned(__half_as_ushort(hi)) << 16);
}
__device__ __forceinline__ __half low_half(unsigned v) { return __ushort_as_half(static_cast<unsigned short>(v)); }
__device__ __forceinline__ __half high_half(unsigned v) {
    return __ushort_as_half(static_cast<unsigned short>(v >> 16));
}

// Butterfly reduction: every lane ends with the packet's box (six halves
// moved as three 32-bit words).
__device__ __forceinline__ void warp_box(Vec3_f16& lo, Vec3_f16& hi) {
    for (int offset = 16; offset > 0; offset >>= 1) {
        const unsigned w0 = __shfl_xor_sync(kFullMask, pack_halves(lo.x, lo.y), offset);
        const unsigned w1 = __shfl_xor_sync(kFullMask, pack_halves(lo.z, hi.x), offset);
        const unsigned w2 = __shfl_xor_sync(kFullMask, pack_halves(hi.y, hi.z), offset);
        lo.x = __hmin(lo.x, low_half(w0));
        lo.y = __hmin(lo.y, high_half(w0));
        lo.z = __hmin(lo.z, low_half(w1));
        hi.x = __hmax(hi.x, high_half(w1));
        hi.y = __hmax(hi.y, low_half(w2));
        hi.z = __hmax(hi.z, high_half(w2));
    }
}

__device__ __forceinline__ float warp_all_sum(float v) {
    for (int offset = 16; offset > 0; offset >>= 1) v += __shfl_xor_sync(kFullMask, v, offset);
    return v;
}

__device__ __forceinline__ float warp_all_max(float v) {
    for (int offset = 16; offset > 0; offset >>= 1) v = fmaxf(v, __shfl_xor_sync(kFullMask, v, offset));
    return v;
}

// A child's record as written by another thread of the grid: read past the
// incoherent L1.
__device__ __forceinline__ AABB load_written_bounds(const AABB* record) {
    AABB r;
    r.min = Vec3_f16{__ldcg(&record->min.x), __ldcg(&record->min.y), __ldcg(&record->min.z)};
    r.max = Vec3_f16{__ldcg(&record->max.x), __ldcg(&record->max.y), __ldcg(&record->max.z)};
    r.com = Vec3{__ldcg(&record->com.x), __ldcg(&record->com.y), __ldcg(&record->com.z)};
    r.max_dist = __ushort_as_half(0);
    return r;
}

// ------------------------------------------------------------------ kernel

// One warp per leaf packet; lane l handles the packet's element l, lanes
// past its last element take part with neutral values. Everything is computed
// in scene units (the elements scaled by `scene_scale`), box corners relative
// to `origin` (the scene's lower corner in scene units, so that their half
// precision does not depend on where the scene lies); centres are stored in
// caller units. Lane 0 writes the packet's record and coefficients, then
// climbs the binary tree: of the two threads that reach a node, the second
// (its atomic add returns a non-zero weight) merges the children and goes on;
// the first stops.
template <typename Geometry>
__global__ void __launch_bounds__(kDefaultBlock)
    populate_binary_tree_aabb_and_leaf_coefficients_kernel(SoAView<Geometry> geometry, const PacketRange* packets,
                                                           TailorCoefficientsF16* leaf_coefficients,
                                                           TailorCoefficientsTraceFree* leaf_far_field,
                                                           TailorCoefficients* leaf_moments,
                                                           std::uint32_t leaf_count, const BinaryNode* binary_nodes,
                                                           AABB* node_aabbs, const std::uint32_t* binary_parents,
                                                           float* subtree_weights, std::uint32_t element_count,
                                                           float scene_scale, Vec3 origin) {
    const std::uint32_t packet = blockIdx.x * (blockDim.x / 32u) + threadIdx.x / 32u;
    const std::uint32_t lane = threadIdx.x % 32u;
    if (packet >= leaf_count) return;  // whole warps only
    const PacketRange range = packets[packet];
    const bool live = lane < range.count;
    const std::uint32_t live_count = range.count;

    Geometry element{};
    const __half pos_inf = __float2half_rn(1e38f), neg_inf = __float2half_rn(-1e38f);
    Vec3_f16 lo{pos_inf, pos_inf, pos_inf}, hi{neg_inf, neg_inf, neg_inf};
    float weight = 0.0f;
    Vec3 weighted{0.0f, 0.0f, 0.0f};
    if (live) {
        element = Geometry::load(geometry, range.first + lane, geometry.stride).scaled(scene_scale);
        element_bounds(element, origin, lo, hi);
        weight = element_weight(element);
        weighted = element_weighted_position(element, weight);
    }

    warp_box(lo, hi);
    const float packet_weight = warp_all_sum(weight);
    Vec3 com;
    if (packet_weight > 0.0f) {
        const Vec3 weighted_sum{warp_all_sum(weighted.x), warp_all_sum(weighted.y), warp_all_sum(weighted.z)};
        com = weighted_sum * (1.0f / packet_weight);
    } else {
        // No area at all: the plain centroid of the elements.
        const Vec3 c = live ? element_weighted_position(element, 1.0f) : Vec3{0.0f, 0.0f, 0.0f};
        com = Vec3{warp_all_sum(c.x), warp_all_sum(c.y), warp_all_sum(c.z)} * (1.0f / float(live_count));
    }
    const float radius = warp_all_max(live ? element.max_distance_to(com) : 0.0f);

    // The packet's 30 sums, through the warp's rows in shared memory: lane l
    // writes its terms to row l, lanes 0 .. 29 add up a column each, and lane
    // 0 reads the totals. (One exchange instead of a shuffle reduction per term.)
    __shared__ float rows[kDefaultBlock / 32][32][kTermStride];
    __shared__ TailorCoefficients totals[kDefaultBlock / 32];
    float(&mine)[kTermStride] = rows[threadIdx.x / 32u][lane];
    TailorCoefficients terms{};
    if (live) terms = get_tailor_terms(element, com);
    memcpy(mine, &terms, sizeof terms);
    __syncwarp();
    if (lane < kTerms) {
        float total = 0.0f;
        for (int row = 0; row < 32; ++row) total += rows[threadIdx.x / 32u][row][lane];
        reinterpret_cast<float*>(&totals[threadIdx.x / 32u])[lane] = total;
    }
    __syncwarp();
    if (lane != 0) return;
    const TailorCoefficients sums = totals[threadIdx.x / 32u];

    std::uint32_t x = leaf_count - 1 + packet;
    const TailorCoefficientsTraceFree far_field = TailorCoefficientsTraceFree::from_moments(sums);
    node_aabbs[x] = AABB{lo, hi, com * (1.0f / scene_scale), expansion_radius(radius, far_field)};
    TailorCoefficientsF16::from_float(sums).store(leaf_coefficients + packet);
    leaf_far_field[packet] = far_field;
    leaf_moments[packet] = sums;

    float w = packet_weight > 0.0f ? packet_weight : ZERO_WEIGHT_EPSILON * float(live_count);
    std::uint32_t parent = binary_parents[x];
    if (parent == INVALID_INDEX) return;  // a single packet is the whole tree
    __threadfence();
    float old = atomicAdd(&subtree_weights[parent], w);
    while (old != 0.0f) {
        // Second arrival: the sibling's record is final. The fence pairs with
        // the one the sibling's thread issued before its own add.
        __threadfence();
        const BinaryNode node = binary_nodes[parent];
        const bool from_left = node.left == x;
        const float wl = from_left ? w : old;
        const float wr = from_left ? old : w;
        const AABB merged = merge_weighted(load_written_bounds(node_aabbs + node.left),
                                           load_written_bounds(node_aabbs + node.right), wl, wr);
        AABB& out = node_aabbs[parent];
        out.min = merged.min;
        out.max = merged.max;
        out.com = merged.com;
        __threadfence();

        x = parent;
        w = wl + wr;
        parent = binary_parents[x];
        if (parent == INVALID_INDEX) return;  // the root is done
        old = atomicAdd(&subtree_weights[parent], w);
    }
}

}  // namespace

template <typename Geometry>
cudaError_t populate_binary_tree_aabb_and_leaf_coefficients(const float* soa_geometry, const PacketRange* packets,
                                                            TailorCoefficientsF16* leaf_coefficients,
                                                            TailorCoefficientsTraceFree* leaf_far_field,
                                                            TailorCoefficients* leaf_moments,
                                                            std::uint32_t leaf_count, const BinaryNode* binary_nodes,
                                                            AABB* node_aabbs, const std::uint32_t* binary_parents,
                                                            float* subtree_weights, std::uint32_t element_count,
                                                            float scene_scale, const Vec3& origin,
                                                            cudaStream_t stream) {
    if (element_count == 0) return cudaSuccess;
    const SoAView<Geometry> view{const_cast<float*>(soa_geometry), element_count};
    nolith_cuda::launch<populate_binary_tree_aabb_and_leaf_coefficients_kernel<Geometry>>(
        nolith_cuda::grid_1d(32ull * leaf_count, kDefaultBlock), dim3(kDefaultBlock), 0, stream, view, packets,
        leaf_coefficients, leaf_far_field, leaf_moments, leaf_count, binary_nodes, node_aabbs, binary_parents,
        subtree_weights, element_count, scene_scale, origin);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template cudaError_t populate_binary_tree_aabb_and_leaf_coefficients<Triangle>(
    const float*, const PacketRange*, TailorCoefficientsF16*, TailorCoefficientsTraceFree*, TailorCoefficients*,
    std::uint32_t, const BinaryNode*, AABB*,
    const std::uint32_t*, float*, std::uint32_t, float, const Vec3&, cudaStream_t);
template cudaError_t populate_binary_tree_aabb_and_leaf_coefficients<PointNormal>(
    const float*, const PacketRange*, TailorCoefficientsF16*, TailorCoefficientsTraceFree*, TailorCoefficients*,
    std::uint32_t, const BinaryNode*, AABB*,
    const std::uint32_t*, float*, std::uint32_t, float, const Vec3&, cudaStream_t);
