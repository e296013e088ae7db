#include "kernels/bvh8_m2m/m2m.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// Adds `child` (expanded about its own centre) to `sum` (expanded about a
// centre at child centre - t):
//   n' = n,  M'[r][c] = M[r][c] + t[r] n[c],
//   T'(j,k;i) = T(j,k;i) + (t[j] M[k][i] + t[k] M[j][i]) / 2 + t[j] t[k] n[i] / 2.
__device__ __forceinline__ void add_translated(TailorCoefficients& sum, const TailorCoefficients& child,
                                               const Vec3& shift) {
    const float t[3] = {shift.x, shift.y, shift.z};
    const float n[3] = {child.zero_order.x, child.zero_order.y, child.zero_order.z};
    const float* m = child.first_order.m;

    sum.zero_order += child.zero_order;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) sum.first_order.m[3 * r + c] += m[3 * r + c] + t[r] * n[c];
    }
    // Pairs in stored order xx, xy, xz, yy, yz, zz.
    const int pair_j[6] = {0, 0, 0, 1, 1, 2};
    const int pair_k[6] = {0, 1, 2, 1, 2, 2};
    for (int s = 0; s < 6; ++s) {
        const int j = pair_j[s];
        const int k = pair_k[s];
        const float half_tjtk = 0.5f * t[j] * t[k];
        for (int i = 0; i < 3; ++i) {
            sum.second_order.t[3 * s + i] +=
                child.second_order.t[3 * s + i] + 0.5f * (t[j] * m[3 * k + i] + t[k] * m[3 * j + i]) + half_tjtk * n[i];
        }
    }
}

// A float record written during this launch by another thread: read past the
// multiprocessor's cache, which may hold a line of it from before the write.
__device__ __forceinline__ TailorCoefficients load_fresh(const TailorCoefficients* record) {
    TailorCoefficients r;
    const float* src = reinterpret_cast<const float*>(record);
    float* dst = reinterpret_cast<float*>(&r);
    for (int i = 0; i < 30; ++i) dst[i] = __ldcg(src + i);
    return r;
}

// One thread per leaf packet climbs from the packet's node towards the root.
// At every node the thread whose arrival completes the node's child count
// computes it from all its children's float moments and climbs on; the others
// retire. Coefficients are in scene units, so are the shifts between centres.
__global__ void __launch_bounds__(kDefaultBlock) compute_internal_tailor_coefficients_m2m_kernel(
    BVH8Node* nodes, const std::uint32_t* node_parents, const AABB* leaf_aabbs, const TailorCoefficients* leaf_moments,
    const std::uint32_t* leaf_parents, const LeafPointers* leaf_pointers, TailorCoefficientsF16* node_coefficients,
    TailorCoefficientsTraceFree* node_far_field, TailorCoefficients* node_coefficients_f32,
    const std::uint32_t* child_counts, std::uint32_t leaf_count, std::uint32_t* m2m_counters, float scene_scale) {
    const std::uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
    if (g >= leaf_count) return;
    std::uint32_t v = leaf_parents[g];
    while (v != INVALID_INDEX) {
        const BVH8Node node = nodes[v];
        const std::uint32_t count = child_counts[v];
        if (atomicAdd(m2m_counters + v, 1u) < count - 1) return;
        // Pairs with the fence each child's writer issued before its increment.
        __threadfence();

        TailorCoefficients sum{};
        std::uint32_t internal_seen = 0;
        for (int slot = 0; slot < 8; ++slot) {
            const ChildType type = node.getChildMeta(slot);
            if (type == Leaf) {
                const std::uint32_t p = leaf_pointers[v].leaf_index[slot];
                add_translated(sum, leaf_moments[p], (leaf_aabbs[p].com - node.com) * scene_scale);
            } else if (type == Internal) {
                const std::uint32_t u = node.first_child + internal_seen++;
                add_translated(sum, load_fresh(node_coefficients_f32 + u), (nodes[u].com - node.com) * scene_scale);
            }
        }
        TailorCoefficientsF16::from_float(sum).store(node_coefficients + v);
        const TailorCoefficientsTraceFree far_field = TailorCoefficientsTraceFree::from_moments(sum);
        node_far_field[v] = far_field;
        // A node whose expansion is not finite is always opened.
        if (!far_field.finite()) nodes[v].max_dist = __ushort_as_half(0x7C00);
        node_coefficients_f32[v] = sum;
        __threadfence();
        v = __ldcg(node_parents + v);
    }
}

}  // namespace

cudaError_t compute_internal_tailor_coefficients_m2m(BVH8Node* nodes, const std::uint32_t* node_parents,
                                                     const AABB* leaf_aabbs, const TailorCoefficients* leaf_moments,
                                                     const std::uint32_t* leaf_parents,
                                                     const LeafPointers* leaf_pointers,
                                                     TailorCoefficientsF16* node_coefficients,
                                                     TailorCoefficientsTraceFree* node_far_field,
                                                     TailorCoefficients* node_coefficients_f32,
                                                     const std::uint32_t* child_counts, std::uint32_t leaf_count,
                                                     std::uint32_t* m2m_counters, float scene_scale,
                                                     cudaStream_t stream) {
    nolith_cuda::launch<compute_internal_tailor_coefficients_m2m_kernel>(
        nolith_cuda::grid_1d(leaf_count, kDefaultBlock), dim3(kDefaultBlock), 0, stream, nodes, node_parents,
        leaf_aabbs, leaf_moments, leaf_parents, leaf_pointers, node_coefficients, node_far_field, node_coefficients_f32,
        child_counts, leaf_count, m2m_counters, scene_scale);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
