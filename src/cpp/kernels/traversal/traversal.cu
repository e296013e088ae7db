#include "kernels/traversal/traversal.h"

#include "gpu.h"

#include <type_traits>
#include "utils/cuda_check.h"

#include <cstdint>

namespace {

constexpr unsigned kFullMask = 0xffffffffu;
constexpr unsigned kTraversalBlock = 128;
constexpr unsigned kWarpsPerBlock = kTraversalBlock / 32;
constexpr unsigned kSingleLeafBlock = 256;
// Entries of the static per-warp stack: enough for 10 levels (root included).
constexpr std::uint32_t kSharedStackEntries = 64;
constexpr int kMarkerActive = 2147483647;
constexpr int kMarkerNoQuery = -1;
constexpr float kInvFourPi = 0.07957747f;
// Static shared memory of the traversal block (stack and the three caches);
// dynamic shared memory for a deeper stack must fit beside it.
constexpr std::size_t kStaticSharedBytes =
    kWarpsPerBlock * (kSharedStackEntries * sizeof(std::uint32_t) + sizeof(BVH8Node) + sizeof(TailorCoefficientsF16) +
                      sizeof(LeafPointers));

// Copies one record into a warp's cache, one 32-bit word per lane; lanes
// beyond the record's size do nothing.
template <typename T>
__device__ __forceinline__ void load_shared_cooperative(T* destination, const T* source, unsigned lane) {
    static_assert(sizeof(T) % sizeof(std::uint32_t) == 0, "records are copied in whole words");
    constexpr unsigned kWords = sizeof(T) / sizeof(std::uint32_t);
    if (lane < kWords) {
        reinterpret_cast<std::uint32_t*>(destination)[lane] =
            __ldg(reinterpret_cast<const std::uint32_t*>(source) + lane);
    }
}

// Refills a warp cache. The leading sync keeps lanes that still read the
// previous record from seeing it overwritten; the trailing one publishes the
// new record to the whole warp.
template <typename T>
__device__ __forceinline__ void fill_warp_cache(T* destination, const T* source, unsigned lane) {
    __syncwarp();
    load_shared_cooperative(destination, source, lane);
    __syncwarp();
}

__device__ __forceinline__ float warp_reduce_add_xor(float value) {
    for (int distance = 16; distance > 0; distance >>= 1) value += __shfl_xor_sync(kFullMask, value, distance);
    return value;
}

// Far enough to use the expansion: |q - c|^2 > beta^2 R^2. An infinite or
// NaN radius never passes, and neither does a query at the centre. The
// expansion is the unregularised far field, so for points it is also only
// used when every point of the node lies beyond the regularisation distance
// (`near_field` = 2 epsilon; 0 for triangles, which are not regularised).
// beta = 0 keeps its meaning of the coarsest walk: the root alone. A radius
// of 0 (coincident elements, or one rounded below half precision) is never
// approximated: summing such a packet exactly costs one pass and keeps a
// huge beta exact.
__device__ __forceinline__ bool should_node_be_approximated(const Vec3& q, const Vec3& com, __half max_dist,
                                                            float beta_sq, float near_field) {
    const float radius = __half2float(max_dist);
    const float distance2 = (q - com).length2();
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

// The node's expansion about `com`, evaluated at q (q != com): the
// second-order Taylor expansion of the summed dipole kernel.
__device__ __forceinline__ float compute_node_approximation(const Vec3& q, const Vec3& com,
                                                            const TailorCoefficientsF16& c) {
    const Vec3 d = com - q;
    const float rho = d.inv_length();
    const Vec3_f16 n = Vec3_f16::from_float(d * rho);
    const float rho2 = rho * rho;
    const float rho3 = rho * rho2;
    const float rho4 = rho * rho3;
    const float a2 = rho2 * kInvFourPi, a3 = rho3 * kInvFourPi, a4 = rho4 * kInvFourPi;
    const float w0 = computeZeroOrderContribution(c.zero_order, n);
    const float w1 = computeFirstOrderContribution(c.first_order, n);
    const float w2 = computeSecondOrderContribution(c.second_order, Vec3_bf16::from_f16(n));
    return fmaf(a4, w2, fmaf(a3, w1, fmaf(a2, w0, 0.0f)));
}

// Exact sum of leaf packet `packet` for every lane in `mask`: lane i holds
// element 32 packet + i (in scene units), and the warp adds up its 32
// contributions for one requesting lane at a time. Returns what this lane
// must add to its sum.
template <typename Geometry>
__device__ __forceinline__ float sum_packet_exactly(const SoAView<Geometry>& geometry, std::uint32_t packet,
                                                    std::uint32_t num_elements, unsigned mask, const Vec3& q,
                                                    float inv_epsilon, float scene_scale, unsigned lane) {
    const std::uint32_t element = packet * ELEMENTS_PER_LEAF + lane;
    const bool has_element = element < num_elements;
    Geometry g{};
    if (has_element) g = Geometry::load(geometry, element, geometry.stride).scaled(scene_scale);
    float mine = 0.0f;
    while (mask != 0) {
        const int t = __ffs(static_cast<int>(mask)) - 1;
        mask &= mask - 1;
        const Vec3 qt{__shfl_sync(kFullMask, q.x, t), __shfl_sync(kFullMask, q.y, t),
                      __shfl_sync(kFullMask, q.z, t)};
        const float value = has_element ? g.contributionToQuery(qt, inv_epsilon) : 0.0f;
        const float total = warp_reduce_add_xor(value);
        if (static_cast<int>(lane) == t) mine += total;
    }
    return mine;
}

// Persistent warps: each takes 32 Morton-ordered queries at a time and walks
// the BVH8 with them on one stack. Per lane, `marker` is -1 (no query),
// kMarkerActive, or the stack size below which the lane skips an approximated
// subtree. The stack lives in static shared memory when stack_capacity fits
// it, else in dynamic shared memory (global_stack null) or in global_stack
// (stack_capacity entries per warp of the grid). No push goes beyond
// stack_capacity. The walk works in scene units: queries, centres and
// elements are multiplied by scene_scale, and inv_epsilon is in scene units.
template <typename Geometry>
__global__ void __launch_bounds__(kTraversalBlock)
    compute_winding_numbers_kernel(const Vec3* queries, const std::uint32_t* query_order, const BVH8Node* nodes,
                                   const LeafPointers* leaf_pointers, const TailorCoefficientsF16* node_coefficients,
                                   const TailorCoefficientsF16* leaf_coefficients, const AABB* leaf_aabbs,
                                   SoAView<Geometry> geometry, std::uint32_t num_queries, std::uint32_t num_elements,
                                   float* out, std::uint32_t* work_counter, float beta_sq, float inv_epsilon,
                                   float scene_scale, std::uint32_t* global_stack, std::uint32_t stack_capacity) {
    __shared__ std::uint32_t shared_stack[kWarpsPerBlock][kSharedStackEntries];
    const float near_field = std::is_same<Geometry, PointNormal>::value ? 2.0f / inv_epsilon : 0.0f;
    __shared__ BVH8Node current_node_cache[kWarpsPerBlock];
    __shared__ TailorCoefficientsF16 current_tailor_coefficients_cache[kWarpsPerBlock];
    __shared__ LeafPointers shared_leaf_ptrs[kWarpsPerBlock];

    const unsigned lane = threadIdx.x & 31u;
    const unsigned warp = threadIdx.x >> 5;
    std::uint32_t* stack;
    if (stack_capacity <= kSharedStackEntries) {
        stack = shared_stack[warp];
    } else if (global_stack == nullptr) {
        stack = nolith_cuda::dynamic_shared_memory<std::uint32_t>() + warp * stack_capacity;
    } else {
        stack = global_stack + (static_cast<std::uint64_t>(blockIdx.x) * kWarpsPerBlock + warp) * stack_capacity;
    }
    BVH8Node& node = current_node_cache[warp];
    TailorCoefficientsF16& coefficients = current_tailor_coefficients_cache[warp];
    LeafPointers& leaves = shared_leaf_ptrs[warp];

    for (;;) {
        std::uint32_t batch = 0;
        if (lane == 0) batch = atomicAdd(work_counter, 32u);
        batch = __shfl_sync(kFullMask, batch, 0);
        if (batch >= num_queries) return;

        const std::uint32_t position = batch + lane;
        int marker = kMarkerNoQuery;
        std::uint32_t query_index = 0;
        Vec3 q{0.0f, 0.0f, 0.0f};
        if (position < num_queries) {
            query_index = __ldg(query_order + position);
            const float* p = &queries[query_index].x;
            q = Vec3{__ldg(p), __ldg(p + 1), __ldg(p + 2)} * scene_scale;
            marker = kMarkerActive;
        }
        float sum = 0.0f;
        if (lane == 0) stack[0] = 0;
        std::uint32_t s = 1;

        while (s > 0) {
            const std::uint32_t s_pop = s;
            --s;
            std::uint32_t v = 0;
            if (lane == 0) v = stack[s];
            v = __shfl_sync(kFullMask, v, 0);
            fill_warp_cache(&node, nodes + v, lane);

            const bool active = !(static_cast<int>(s_pop) > marker);
            if (active) marker = kMarkerActive;
            const Vec3 node_com = node.com * scene_scale;
            const bool approx = active && should_node_be_approximated(q, node_com, node.max_dist, beta_sq, near_field);
            if (__any_sync(kFullMask, approx)) {
                fill_warp_cache(&coefficients, node_coefficients + v, lane);
                if (approx) {
                    sum += compute_node_approximation(q, node_com, coefficients);
                    marker = static_cast<int>(s);
                }
            }
            const bool descend = marker >= static_cast<int>(s_pop);
            if (!__any_sync(kFullMask, descend)) continue;

            const bool my_slot_is_leaf = lane < 8 && node.getChildMeta(static_cast<int>(lane)) == Leaf;
            if (__any_sync(kFullMask, my_slot_is_leaf)) fill_warp_cache(&leaves, leaf_pointers + v, lane);

            const std::uint32_t first_child = node.first_child;
            std::uint32_t internal_rank = 0;
            for (int slot = 0; slot < 8; ++slot) {
                const ChildType kind = node.getChildMeta(slot);
                if (kind == Empty) continue;
                if (kind == Leaf) {
                    const std::uint32_t packet = leaves.leaf_index[slot];
                    const AABB* box = leaf_aabbs + packet;
                    const Vec3 com = Vec3{__ldg(&box->com.x), __ldg(&box->com.y), __ldg(&box->com.z)} * scene_scale;
                    const bool leaf_approx =
                        descend && should_node_be_approximated(q, com, __ldg(&box->max_dist), beta_sq, near_field);
                    if (__any_sync(kFullMask, leaf_approx)) {
                        fill_warp_cache(&coefficients, leaf_coefficients + packet, lane);
                        if (leaf_approx) sum += compute_node_approximation(q, com, coefficients);
                    }
                    const unsigned near = __ballot_sync(kFullMask, descend && !leaf_approx);
                    if (near != 0) {
                        sum += sum_packet_exactly(geometry, packet, num_elements, near, q, inv_epsilon, scene_scale,
                                                  lane);
                    }
                } else {
                    // Children are tested when popped. A full stack drops the
                    // push rather than write past it; with the capacity sized
                    // from the tree's depth this never happens.
                    if (s < stack_capacity) {
                        if (lane == 0) stack[s] = first_child + internal_rank;
                        ++s;
                    }
                    ++internal_rank;
                }
            }
        }
        if (marker >= 0) out[query_index] = sum;
    }
}

// At most 32 elements: the block stages them in shared memory (in scene
// units) and every thread sums them exactly for its query.
template <typename Geometry>
__global__ void __launch_bounds__(kSingleLeafBlock)
    compute_winding_numbers_single_leaf_kernel(const Vec3* queries, const std::uint32_t* query_order,
                                               SoAView<Geometry> geometry, std::uint32_t num_queries,
                                               std::uint32_t num_elements, float* out, float inv_epsilon,
                                               float scene_scale) {
    __shared__ Geometry shared_geometry[ELEMENTS_PER_LEAF];
    const std::uint32_t t = threadIdx.x;
    if (t < num_elements) shared_geometry[t] = Geometry::load(geometry, t, geometry.stride).scaled(scene_scale);
    __syncthreads();
    const std::uint32_t g = blockIdx.x * kSingleLeafBlock + t;
    if (g >= num_queries) return;
    const std::uint32_t query_index = __ldg(query_order + g);
    const float* p = &queries[query_index].x;
    const Vec3 q = Vec3{__ldg(p), __ldg(p + 1), __ldg(p + 2)} * scene_scale;
    float sum = 0.0f;
    for (std::uint32_t j = 0; j < num_elements; ++j) sum += shared_geometry[j].contributionToQuery(q, inv_epsilon);
    out[query_index] = sum;
}

// Stack entries a warp needs: a visit pops one node and pushes at most 8, so
// d levels need 7 (d - 1) + 1. Each node is pushed at most once per batch,
// so no more entries than nodes (at most L - 1) are ever needed either; with
// the depth unknown (0) that bound alone applies.
std::uint64_t stack_entries_needed(std::uint32_t tree_levels, std::uint32_t num_elements) {
    const std::uint64_t leaves = (static_cast<std::uint64_t>(num_elements) + ELEMENTS_PER_LEAF - 1) / ELEMENTS_PER_LEAF;
    std::uint64_t entries = leaves > 1 ? leaves - 1 : 1;
    if (tree_levels > 0) {
        const std::uint64_t by_depth = 7ull * (tree_levels - 1) + 1;
        if (by_depth < entries) entries = by_depth;
    }
    return entries;
}

}  // namespace

template <typename Geometry>
cudaError_t compute_winding_numbers(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                    const cudaStream_t& stream) {
    if (params.num_queries == 0) return cudaSuccess;
    // The kernels work in scene units, epsilon included.
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);

    if (params.num_elements <= ELEMENTS_PER_LEAF) {
        nolith_cuda::launch<compute_winding_numbers_single_leaf_kernel<Geometry>>(
            dim3((params.num_queries + 255) >> 8), dim3(kSingleLeafBlock), 0, stream, params.queries,
            params.query_order, params.geometry, params.num_queries, params.num_elements, params.out, inv_epsilon,
            params.scene_scale);
        return NOLITH_CUDA_CHECK(cudaGetLastError());
    }

    static const std::uint32_t kZero = 0;
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaMemcpyAsync(params.work_counter, &kZero, sizeof(kZero),
                                                               cudaMemcpyHostToDevice, stream))) {
        return status;
    }

    // Where the warps' stacks live: static shared memory for trees of up to
    // 10 levels, dynamic shared memory while it fits a block, else a global
    // scratch buffer allocated for this launch.
    const std::uint64_t stack_entries = stack_entries_needed(params.tree_levels, params.num_elements);
    std::size_t dynamic_bytes = 0;
    bool global_stack = false;
    if (stack_entries > kSharedStackEntries) {
        int max_shared = 0;
        if (cudaError_t status = NOLITH_CUDA_CHECK(
                cudaDeviceGetAttribute(&max_shared, cudaDevAttrMaxSharedMemoryPerBlock, device))) {
            return status;
        }
        const std::uint64_t bytes = stack_entries * sizeof(std::uint32_t) * kWarpsPerBlock;
        if (bytes + kStaticSharedBytes <= static_cast<std::uint64_t>(max_shared)) {
            dynamic_bytes = static_cast<std::size_t>(bytes);
        } else {
            global_stack = true;
        }
    }

    const auto kernel = compute_winding_numbers_kernel<Geometry>;
    int blocks_per_multiprocessor = 0;
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
            &blocks_per_multiprocessor, reinterpret_cast<const void*>(kernel), kTraversalBlock, dynamic_bytes,
            cudaOccupancyDefault))) {
        return status;
    }
    if (blocks_per_multiprocessor == 0 && dynamic_bytes != 0) {
        // The deeper stack does not fit beside the block's other shared data.
        dynamic_bytes = 0;
        global_stack = true;
        if (cudaError_t status = NOLITH_CUDA_CHECK(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
                &blocks_per_multiprocessor, reinterpret_cast<const void*>(kernel), kTraversalBlock, 0,
                cudaOccupancyDefault))) {
            return status;
        }
    }
    int multiprocessors = 0;
    if (cudaError_t status =
            NOLITH_CUDA_CHECK(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, device))) {
        return status;
    }
    const unsigned blocks = static_cast<unsigned>(multiprocessors) *
                            static_cast<unsigned>(blocks_per_multiprocessor > 0 ? blocks_per_multiprocessor : 1);

    std::uint32_t* stack_buffer = nullptr;
    if (global_stack) {
        const std::uint64_t bytes = stack_entries * sizeof(std::uint32_t) * kWarpsPerBlock * blocks;
        if (cudaError_t status = NOLITH_CUDA_CHECK(
                cudaMallocAsync(reinterpret_cast<void**>(&stack_buffer), static_cast<std::size_t>(bytes), stream))) {
            return status;
        }
    }

    nolith_cuda::launch<compute_winding_numbers_kernel<Geometry>>(
        dim3(blocks), dim3(kTraversalBlock), dynamic_bytes, stream, params.queries, params.query_order, params.nodes,
        params.leaf_pointers, params.node_coefficients, params.leaf_coefficients, params.leaf_aabbs, params.geometry,
        params.num_queries, params.num_elements, params.out, params.work_counter, params.beta * params.beta,
        inv_epsilon, params.scene_scale, stack_buffer, static_cast<std::uint32_t>(stack_entries));
    const cudaError_t launch_status = NOLITH_CUDA_CHECK(cudaGetLastError());

    if (stack_buffer != nullptr) {
        const cudaError_t free_status = NOLITH_CUDA_CHECK(cudaFreeAsync(stack_buffer, stream));
        if (launch_status == cudaSuccess) return free_status;
    }
    return launch_status;
}

template cudaError_t compute_winding_numbers<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                       const cudaStream_t&);
template cudaError_t compute_winding_numbers<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                          const cudaStream_t&);
