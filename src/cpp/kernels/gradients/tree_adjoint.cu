#include "kernels/gradients/tree_adjoint.h"

#include "gpu.h"
#include "kernels/gradients/element_gradients.h"
#include "kernels/traversal/far_field_adjoint.h"
#include "utils/cuda_check.h"
#include "utils/stream_buffer.h"

#include <type_traits>

namespace {

// A record's adjoint in terms of its full moments about its centre: dF/dZ
// (3), dF/dM (9, row-major), dF/dT (18, the stored order) and dF/dc (3).
constexpr int kMomentZ = 0, kMomentM = 3, kMomentT = 12, kMomentC = 30, kMomentAdjointSize = 33;

using nolith_cuda::kDefaultBlock;
constexpr unsigned kLevelGrid = 64;  // blocks of the per-level passes, grid-striding over the level
// The index pair (a, b), a <= b, of the s-th of the six symmetric second
// moments: (0,0) (0,1) (0,2) (1,1) (1,2) (2,2). Functions, not tables, so
// that device code can read them.
constexpr int pair_a(int s) { return s < 3 ? 0 : (s < 5 ? 1 : 2); }
constexpr int pair_b(int s) { return s < 3 ? s : (s < 5 ? s - 2 : 2); }

// Per record (nodes 0 .. K-1, then packets): the weight below it and the
// centre's adjoint per unit weight U with V = U . centre.
constexpr int kChainU = 0, kChainV = 3, kChainSize = 4;

// The levels' node ranges: level l holds nodes offsets[l] .. offsets[l+1]-1.
// Level l+1 is exactly the internal children of level l, stored in order.
__global__ void level_offsets_kernel(const BVH8Node* nodes, std::uint32_t levels, std::uint32_t* offsets) {
    offsets[0] = 0;
    offsets[1] = 1;
    for (std::uint32_t l = 1; l < levels; ++l) {
        std::uint32_t next = offsets[l];
        for (std::uint32_t v = offsets[l - 1]; v < offsets[l]; ++v) {
            for (int slot = 0; slot < 8; ++slot) next += nodes[v].getChildMeta(slot) == Internal;
        }
        offsets[l + 1] = next;
    }
}

NOLITH_HD float element_weight(const Triangle& t) { return t.get_weight(); }
NOLITH_HD float element_weight(const PointNormal&) { return 1.0f; }

template <typename Geometry>
__global__ void __launch_bounds__(kDefaultBlock)
    packet_weights_kernel(SoAView<Geometry> geometry, const PacketRange* packets, float scene_scale,
                          std::uint32_t packet_count, float* weights) {
    const std::uint32_t p = blockIdx.x * blockDim.x + threadIdx.x;
    if (p >= packet_count) return;
    const PacketRange range = packets[p];
    float w = 0.0f;
    for (std::uint32_t e = range.first; e < range.first + range.count; ++e) {
        w += element_weight(Geometry::load(geometry, e, geometry.stride).scaled(scene_scale));
    }
    weights[p] = w;
}

// Node weights of one level from its children's (deeper levels first).
__global__ void __launch_bounds__(kDefaultBlock)
    node_weights_kernel(const BVH8Node* nodes, const LeafPointers* leaf_pointers, const std::uint32_t* offsets,
                        std::uint32_t level, std::uint32_t node_count, float* weights) {
    for (std::uint32_t v = offsets[level] + blockIdx.x * blockDim.x + threadIdx.x; v < offsets[level + 1];
         v += gridDim.x * blockDim.x) {
        const BVH8Node node = nodes[v];
        float w = 0.0f;
        std::uint32_t rank = 0;
        for (int slot = 0; slot < 8; ++slot) {
            const ChildType kind = node.getChildMeta(slot);
            if (kind == Leaf) w += weights[node_count + leaf_pointers[v].leaf_index[slot]];
            if (kind == Internal) w += weights[node.first_child + rank++];
        }
        weights[v] = w;
    }
}

// The walk's adjoint of a record's 15 values, in terms of its full moments:
// the record is a linear projection P of them, so their adjoint is P^T times
// the record's. P's columns are the records of single unit moments.
__global__ void __launch_bounds__(kDefaultBlock)
    moment_adjoints_kernel(const float* node_adjoints, const float* packet_adjoints, std::uint32_t node_count,
                           std::uint32_t records, float* moments) {
    constexpr int kWalkSize = nolith_traversal::kAdjointSize;
    const std::uint32_t r = blockIdx.x * blockDim.x + threadIdx.x;
    if (r >= records) return;
    const float* g = r < node_count ? node_adjoints + kWalkSize * std::uint64_t(r)
                                    : packet_adjoints + kWalkSize * std::uint64_t(r - node_count);
    float* out = moments + kMomentAdjointSize * std::uint64_t(r);
    for (int j = 0; j < 30; ++j) {
        TailorCoefficients unit{};
        reinterpret_cast<float*>(&unit)[j] = 1.0f;
        const TailorCoefficientsTraceFree column = TailorCoefficientsTraceFree::from_moments(unit);
        float values[TailorCoefficientsTraceFree::kValues];
        column.values(values);
        float sum = 0.0f;
        for (int k = 0; k < TailorCoefficientsTraceFree::kValues; ++k) sum += g[k] * values[k];
        out[j] = sum;
    }
    for (int i = 0; i < 3; ++i) out[kMomentC + i] = g[nolith_traversal::kAdjointC + i];
}

// A record's own centre adjoint: the walk's direct dF/dc, plus what the
// moments owe to the centre (each element's offset is taken from it):
// - (G_M Z) - sum_s,i G_T[s][i] / 2 (e_a M[b][i] + M[a][i] e_b). G_M and G_T
// see only the trace-free parts of the moments, which the record holds.
// Divided by the record's weight; V = U . centre.
__global__ void __launch_bounds__(kDefaultBlock)
    own_chain_kernel(const BVH8Node* nodes, const AABB* leaf_aabbs, const TailorCoefficientsTraceFree* node_far_field,
                     const TailorCoefficientsTraceFree* leaf_far_field, const float* adjoints, const float* weights,
                     std::uint32_t node_count, std::uint32_t records, float scene_scale, float* chain) {
    const std::uint32_t r = blockIdx.x * blockDim.x + threadIdx.x;
    if (r >= records) return;
    const bool is_node = r < node_count;
    const std::uint32_t index = is_node ? r : r - node_count;
    const float* g = adjoints + kMomentAdjointSize * std::uint64_t(r);
    const TailorCoefficients c = (is_node ? node_far_field[index] : leaf_far_field[index]).moments();
    const Vec3 centre = (is_node ? nodes[index].com : leaf_aabbs[index].com) * scene_scale;
    const float* z = &c.zero_order.x;
    const float* m = c.first_order.m;
    float a[3];
    for (int i = 0; i < 3; ++i) a[i] = g[kMomentC + i];
    for (int row = 0; row < 3; ++row) {
        for (int i = 0; i < 3; ++i) a[row] -= g[kMomentM + 3 * row + i] * z[i];
    }
    for (int s = 0; s < 6; ++s) {
        for (int i = 0; i < 3; ++i) {
            const float half_t = 0.5f * g[kMomentT + 3 * s + i];
            a[pair_a(s)] -= half_t * m[3 * pair_b(s) + i];
            a[pair_b(s)] -= half_t * m[3 * pair_a(s) + i];
        }
    }
    const float w = weights[r];
    const Vec3 u = w > 0.0f ? Vec3{a[0], a[1], a[2]} * (1.0f / w) : Vec3{0.0f, 0.0f, 0.0f};
    float* out = chain + kChainSize * std::uint64_t(r);
    out[kChainU + 0] = u.x;
    out[kChainU + 1] = u.y;
    out[kChainU + 2] = u.z;
    out[kChainV] = u.dot(centre);
}

// child += parent's polynomial re-expanded about the child's centre
// (x = y + t, t = child centre - parent centre): the transpose of M2M.
NOLITH_HD void add_shifted(float* child, const float* parent, const Vec3& shift) {
    const float t[3] = {shift.x, shift.y, shift.z};
    for (int i = 0; i < 3; ++i) {
        float z = parent[kMomentZ + i];
        for (int r = 0; r < 3; ++r) z += parent[kMomentM + 3 * r + i] * t[r];
        for (int s = 0; s < 6; ++s) z += 0.5f * parent[kMomentT + 3 * s + i] * t[pair_a(s)] * t[pair_b(s)];
        child[kMomentZ + i] += z;
    }
    for (int k = 0; k < 9; ++k) child[kMomentM + k] += parent[kMomentM + k];
    for (int s = 0; s < 6; ++s) {
        for (int i = 0; i < 3; ++i) {
            const float half_t = 0.5f * parent[kMomentT + 3 * s + i];
            child[kMomentM + 3 * pair_a(s) + i] += half_t * t[pair_b(s)];
            child[kMomentM + 3 * pair_b(s) + i] += half_t * t[pair_a(s)];
        }
    }
    for (int k = 0; k < 18; ++k) child[kMomentT + k] += parent[kMomentT + k];
}

// The nodes of one level hand their totals to their children (each child
// has one parent: no races).
__global__ void __launch_bounds__(kDefaultBlock)
    push_down_kernel(const BVH8Node* nodes, const LeafPointers* leaf_pointers, const AABB* leaf_aabbs,
                     const std::uint32_t* offsets, std::uint32_t level, std::uint32_t node_count, float scene_scale,
                     float* adjoints, float* chain) {
    for (std::uint32_t v = offsets[level] + blockIdx.x * blockDim.x + threadIdx.x; v < offsets[level + 1];
         v += gridDim.x * blockDim.x) {
        const BVH8Node node = nodes[v];
        const float* parent = adjoints + kMomentAdjointSize * std::uint64_t(v);
        const float* parent_chain = chain + kChainSize * std::uint64_t(v);
        const Vec3 centre = node.com * scene_scale;
        std::uint32_t rank = 0;
        for (int slot = 0; slot < 8; ++slot) {
            const ChildType kind = node.getChildMeta(slot);
            if (kind == Empty) continue;
            std::uint32_t record;
            float* child;
            Vec3 child_centre;
            if (kind == Leaf) {
                const std::uint32_t p = leaf_pointers[v].leaf_index[slot];
                record = node_count + p;
                child_centre = leaf_aabbs[p].com * scene_scale;
            } else {
                const std::uint32_t u = node.first_child + rank++;
                record = u;
                child_centre = nodes[u].com * scene_scale;
            }
            child = adjoints + kMomentAdjointSize * std::uint64_t(record);
            add_shifted(child, parent, child_centre - centre);
            float* to = chain + kChainSize * std::uint64_t(record);
            for (int k = 0; k < kChainSize; ++k) to[k] += parent_chain[k];
        }
    }
}

// The polynomial's value lambda (dF/dn per element) and its two moments'
// adjoints: dPsi/d(offset) = G_M n and dPsi/d(second moment pair s) = sigma_s.
struct ElementAdjoint {
    Vec3 lambda;
    Vec3 d_offset;
    float sigma[6];
};

NOLITH_HD ElementAdjoint evaluate_adjoint(const float* g, const Vec3& offset, const float* moment, const Vec3& n) {
    const float d[3] = {offset.x, offset.y, offset.z};
    const float normal[3] = {n.x, n.y, n.z};
    ElementAdjoint out{};
    float lambda[3], d_offset[3] = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 3; ++i) {
        float v = g[kMomentZ + i];
        for (int r = 0; r < 3; ++r) v += g[kMomentM + 3 * r + i] * d[r];
        for (int s = 0; s < 6; ++s) v += 0.5f * g[kMomentT + 3 * s + i] * moment[s];
        lambda[i] = v;
    }
    for (int r = 0; r < 3; ++r) {
        for (int i = 0; i < 3; ++i) d_offset[r] += g[kMomentM + 3 * r + i] * normal[i];
    }
    for (int s = 0; s < 6; ++s) {
        float v = 0.0f;
        for (int i = 0; i < 3; ++i) v += 0.5f * g[kMomentT + 3 * s + i] * normal[i];
        out.sigma[s] = v;
    }
    out.lambda = Vec3{lambda[0], lambda[1], lambda[2]};
    out.d_offset = Vec3{d_offset[0], d_offset[1], d_offset[2]};
    return out;
}

// d(sum_s sigma_s x_a x_b)/dx for a point at offset x from the centre.
NOLITH_HD Vec3 moment_gradient(const float* sigma, const Vec3& x) {
    const float v[3] = {x.x, x.y, x.z};
    float out[3] = {0.0f, 0.0f, 0.0f};
    for (int s = 0; s < 6; ++s) {
        out[pair_a(s)] += sigma[s] * v[pair_b(s)];
        out[pair_b(s)] += sigma[s] * v[pair_a(s)];
    }
    return Vec3{out[0], out[1], out[2]};
}

// A point: dF/dn = lambda; dF/dp through its offset, its second moment and
// its packets' centres (weight 1: U).
NOLITH_HD void element_terms(const PointNormal& e, const Vec3& centre, const float* g, const float* chain,
                             float* out) {
    const Vec3 x = e.p - centre;
    const float moment[6] = {x.x * x.x, x.x * x.y, x.x * x.z, x.y * x.y, x.y * x.z, x.z * x.z};
    const ElementAdjoint a = evaluate_adjoint(g, x, moment, e.n);
    const Vec3 dp = a.d_offset + moment_gradient(a.sigma, x) + Vec3{chain[0], chain[1], chain[2]};
    const float values[6] = {a.lambda.x, a.lambda.y, a.lambda.z, dp.x, dp.y, dp.z};
    for (int c = 0; c < 6; ++c) out[c] += values[c];
}

// A triangle: its scaled normal n = (v1 - v0) x (v2 - v0) / 2, its centroid's
// offset, its second moment from the edge midpoints, and, through its
// packets' centres, its centroid and its area (the centre's weight).
NOLITH_HD void element_terms(const Triangle& t, const Vec3& centre, const float* g, const float* chain,
                             float* out) {
    const Vec3 n = t.get_scaled_normal();
    const Vec3 centroid = t.centroid();
    const Vec3 x = centroid - centre;
    const Vec3 mids[3] = {(t.v0 + t.v1) * 0.5f - centre, (t.v1 + t.v2) * 0.5f - centre, (t.v0 + t.v2) * 0.5f - centre};
    float moment[6];
    for (int s = 0; s < 6; ++s) {
        float v = 0.0f;
        for (const Vec3& m : mids) v += m[pair_a(s)] * m[pair_b(s)];
        moment[s] = v * 0.33333334f;
    }
    const ElementAdjoint a = evaluate_adjoint(g, x, moment, n);
    const Vec3 e1 = t.v1 - t.v0, e2 = t.v2 - t.v0;
    // lambda . n, n = (e1 x e2) / 2: d/dv1 = (e2 x lambda) / 2, d/dv2 = (lambda x e1) / 2.
    const auto through_normal = [&](const Vec3& w, Vec3 (&dv)[3]) {
        const Vec3 g1 = Vec3::cross(e2, w) * 0.5f, g2 = Vec3::cross(w, e1) * 0.5f;
        dv[0] += (g1 + g2) * -1.0f;
        dv[1] += g1;
        dv[2] += g2;
    };
    Vec3 dv[3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    through_normal(a.lambda, dv);
    const Vec3 u{chain[0], chain[1], chain[2]};
    const float area = n.length();
    // The centroid: the offset's adjoint and the centre chain's w U, a third to each vertex.
    const Vec3 through_centroid = (a.d_offset + u * area) * 0.33333334f;
    for (Vec3& d : dv) d += through_centroid;
    // The second moment: each midpoint's share, half to each of its two vertices.
    const Vec3 dm[3] = {moment_gradient(a.sigma, mids[0]) * 0.33333334f,
                        moment_gradient(a.sigma, mids[1]) * 0.33333334f,
                        moment_gradient(a.sigma, mids[2]) * 0.33333334f};
    dv[0] += (dm[0] + dm[2]) * 0.5f;
    dv[1] += (dm[0] + dm[1]) * 0.5f;
    dv[2] += (dm[1] + dm[2]) * 0.5f;
    // The area: the centre chain's (U . centroid - V) times d|n|.
    if (area > 0.0f) through_normal(n * ((u.dot(centroid) - chain[kChainV]) / area), dv);
    for (int k = 0; k < 3; ++k) {
        out[3 * k + 0] += dv[k].x;
        out[3 * k + 1] += dv[k].y;
        out[3 * k + 2] += dv[k].z;
    }
}

// One warp per leaf packet, one lane per element of it: the packet's total
// polynomial and chain, plus the walk's exact terms, to caller units.
template <typename Geometry>
__global__ void __launch_bounds__(kDefaultBlock)
    element_gradients_kernel(SoAView<Geometry> geometry, const PacketRange* packets, std::uint32_t packet_count,
                             const AABB* leaf_aabbs, const float* adjoints, const float* chain,
                             std::uint32_t node_count, float scene_scale, float* planes) {
    const std::uint32_t p = blockIdx.x * (blockDim.x / 32u) + threadIdx.x / 32u;
    const std::uint32_t lane = threadIdx.x & 31u;
    if (p >= packet_count) return;
    const PacketRange range = packets[p];
    if (lane >= range.count) return;
    const std::uint32_t i = range.first + lane;
    constexpr int components = GeometryTraits<Geometry>::components;
    const Geometry e = Geometry::load(geometry, i, geometry.stride).scaled(scene_scale);
    float values[components];
    for (int c = 0; c < components; ++c) values[c] = planes[c * geometry.stride + i];
    element_terms(e, leaf_aabbs[p].com * scene_scale, adjoints + kMomentAdjointSize * std::uint64_t(node_count + p),
                  chain + kChainSize * std::uint64_t(node_count + p), values);
    for (int c = 0; c < components; ++c) {
        planes[c * geometry.stride + i] = values[c] * nolith_gradients::caller_unit_factor(e, c, scene_scale);
    }
}

}  // namespace

template <typename Geometry>
cudaError_t tree_adjoint_to_elements(const TreeAdjointParams<Geometry>& p, cudaStream_t stream) {
    const std::uint32_t packets = p.num_packets;
    const std::uint32_t records = p.node_count + packets;
    NOLITH_STREAM_BUFFER(std::uint32_t, offsets, p.levels + 1, stream);
    NOLITH_STREAM_BUFFER(float, weights, records, stream);
    NOLITH_STREAM_BUFFER(float, chain, kChainSize * std::size_t(records), stream);
    NOLITH_STREAM_BUFFER(float, adjoints, kMomentAdjointSize * std::size_t(records), stream);  // nodes, then packets

    nolith_cuda::launch<moment_adjoints_kernel>(nolith_cuda::grid_1d(records, kDefaultBlock), dim3(kDefaultBlock), 0,
                                                stream, p.node_adjoints, p.packet_adjoints, p.node_count, records,
                                                adjoints.get());
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    nolith_cuda::launch<level_offsets_kernel>(dim3(1), dim3(1), 0, stream, p.nodes, p.levels, offsets.get());
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    nolith_cuda::launch<packet_weights_kernel<Geometry>>(nolith_cuda::grid_1d(packets, kDefaultBlock),
                                                         dim3(kDefaultBlock), 0, stream, p.geometry, p.packets,
                                                         p.scene_scale, packets, weights.get() + p.node_count);
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    for (std::uint32_t level = p.levels; level-- > 0;) {
        nolith_cuda::launch<node_weights_kernel>(dim3(kLevelGrid), dim3(kDefaultBlock), 0, stream, p.nodes,
                                                 p.leaf_pointers, offsets.get(), level, p.node_count, weights.get());
        if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    }
    nolith_cuda::launch<own_chain_kernel>(nolith_cuda::grid_1d(records, kDefaultBlock), dim3(kDefaultBlock), 0, stream,
                                          p.nodes, p.leaf_aabbs, p.node_far_field, p.leaf_far_field, adjoints.get(),
                                          weights.get(), p.node_count, records, p.scene_scale, chain.get());
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    for (std::uint32_t level = 0; level < p.levels; ++level) {
        nolith_cuda::launch<push_down_kernel>(dim3(kLevelGrid), dim3(kDefaultBlock), 0, stream, p.nodes,
                                              p.leaf_pointers, p.leaf_aabbs, offsets.get(), level, p.node_count,
                                              p.scene_scale, adjoints.get(), chain.get());
        if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    }
    nolith_cuda::launch<element_gradients_kernel<Geometry>>(
        nolith_cuda::grid_1d(32ull * packets, kDefaultBlock), dim3(kDefaultBlock), 0, stream, p.geometry, p.packets,
        packets, p.leaf_aabbs, adjoints.get(), chain.get(), p.node_count, p.scene_scale, p.element_planes);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template cudaError_t tree_adjoint_to_elements<Triangle>(const TreeAdjointParams<Triangle>&, cudaStream_t);
template cudaError_t tree_adjoint_to_elements<PointNormal>(const TreeAdjointParams<PointNormal>&, cudaStream_t);
