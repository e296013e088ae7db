#pragma once
// The warp-cooperative walk of the BVH8, one skeleton for every mode. A mode
// (values_mode.h, census_mode.h, gradient_mode.h) is a type whose hooks the
// skeleton calls at each step; the values mode's hooks are empty, so the
// product's walk compiles to the skeleton alone. A mode provides:
//   Extras            kernel argument of the mode (where it writes);
//   Batch             what a lane keeps for its batch of 32 queries;
//   begin(extras, has_query, query_index)                    -> Batch
//   node_tested(batch, active, approx)                       after a pop's far-field test
//   node_far_field(batch, extras, approx, d, d2, coefficients, node, lane)
//                                                            some lane uses the node's expansion (warp-wide)
//   descended(batch)                                         some lane goes on into the children
//   packet_far_field(batch, extras, approx, d, d2, coefficients, packet, lane)
//                                                            some lane uses the packet's expansion (warp-wide)
//   packet_tested(batch, approx)                             after a leaf slot's far-field test
//   packet_exact(batch, extras, geometry, packet, range, near, q, inv_epsilon, scene_scale, lane)
//                                                            after the packet's exact sum (warp-wide)
//   end(batch, extras, batch_start, lane)                    after the results are written

#include "gpu.h"
#include "kernels/traversal/exact_sums.h"
#include "kernels/traversal/far_field.h"
#include "records.h"
#include "utils/cuda_check.h"

#include <cstdint>
#include <type_traits>

namespace nolith_traversal {

constexpr unsigned kTraversalBlock = 128;
constexpr unsigned kWarpsPerBlock = kTraversalBlock / 32;
// Entries of the static per-warp stack: enough for 10 levels (root included).
constexpr std::uint32_t kSharedStackEntries = 64;
constexpr int kMarkerActive = 2147483647;
constexpr int kMarkerNoQuery = -1;
// Static shared memory of the traversal block (stack and the three caches);
// dynamic shared memory for a deeper stack must fit beside it.
constexpr std::size_t kStaticSharedBytes =
    kWarpsPerBlock * (kSharedStackEntries * sizeof(std::uint32_t) + sizeof(BVH8Node) + sizeof(TailorCoefficientsTraceFree) +
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

// Persistent warps: each takes 32 Morton-ordered queries at a time and walks
// the BVH8 with them on one stack. Per lane, `marker` is -1 (no query),
// kMarkerActive, or the stack size below which the lane skips an approximated
// subtree. The stack lives in static shared memory when stack_capacity fits
// it, else in dynamic shared memory (global_stack null) or in global_stack
// (stack_capacity entries per warp of the grid). No push goes beyond
// stack_capacity. The walk works in scene units: queries, centres and
// elements are multiplied by scene_scale, and inv_epsilon is in scene units.
template <typename Geometry, typename Mode>
__global__ void __launch_bounds__(kTraversalBlock)
    compute_winding_numbers_kernel(const Vec3* queries, const std::uint32_t* query_order, const BVH8Node* nodes,
                                   const LeafPointers* leaf_pointers, const TailorCoefficientsTraceFree* node_far_field,
                                   const TailorCoefficientsTraceFree* leaf_far_field, const AABB* leaf_aabbs,
                                   const PacketRange* packets, SoAView<Geometry> geometry, std::uint32_t num_queries,
                                   float* out, std::uint32_t* work_counter, float beta_sq, float inv_epsilon,
                                   float scene_scale, std::uint32_t* global_stack, std::uint32_t stack_capacity,
                                   typename Mode::Extras extras) {
    constexpr unsigned kFullMask = 0xffffffffu;
    __shared__ std::uint32_t shared_stack[kWarpsPerBlock][kSharedStackEntries];
    const float near_field = std::is_same<Geometry, PointNormal>::value ? 2.0f / inv_epsilon : 0.0f;
    __shared__ BVH8Node current_node_cache[kWarpsPerBlock];
    __shared__ TailorCoefficientsTraceFree current_tailor_coefficients_cache[kWarpsPerBlock];
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
    TailorCoefficientsTraceFree& coefficients = current_tailor_coefficients_cache[warp];
    LeafPointers& leaves = shared_leaf_ptrs[warp];

    for (;;) {
        std::uint32_t batch_start = 0;
        if (lane == 0) batch_start = atomicAdd(work_counter, 32u);
        batch_start = __shfl_sync(kFullMask, batch_start, 0);
        if (batch_start >= num_queries) return;

        const std::uint32_t position = batch_start + lane;
        int marker = kMarkerNoQuery;
        std::uint32_t query_index = 0;
        Vec3 q{0.0f, 0.0f, 0.0f};
        if (position < num_queries) {
            query_index = __ldg(query_order + position);
            const float* p = &queries[query_index].x;
            q = Vec3{__ldg(p), __ldg(p + 1), __ldg(p + 2)} * scene_scale;
            marker = kMarkerActive;
        }
        auto batch = Mode::begin(extras, position < num_queries, query_index);
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
            const Vec3 to_node = node.com * scene_scale - q;
            const float node_distance2 = to_node.length2();
            const bool approx =
                active && should_node_be_approximated(node_distance2, node.max_dist, beta_sq, near_field);
            Mode::node_tested(batch, active, approx);
            if (__any_sync(kFullMask, approx)) {
                fill_warp_cache(&coefficients, node_far_field + v, lane);
                Mode::node_far_field(batch, extras, approx, to_node, node_distance2, coefficients, v, lane);
                if (approx) {
                    sum += compute_node_approximation(to_node, node_distance2, coefficients);
                    marker = static_cast<int>(s);
                }
            }
            const bool descend = marker >= static_cast<int>(s_pop);
            if (!__any_sync(kFullMask, descend)) continue;
            Mode::descended(batch);

            const bool my_slot_is_leaf = lane < 8 && node.getChildMeta(static_cast<int>(lane)) == Leaf;
            if (__any_sync(kFullMask, my_slot_is_leaf)) fill_warp_cache(&leaves, leaf_pointers + v, lane);

            const std::uint32_t first_child = node.first_child;
            std::uint32_t internal_rank = 0;
            // Slots past the last occupied one are not visited (nodes hold
            // 4.5 children on average, slots 0 .. c-1).
            const unsigned meta = node.child_meta;
            for (int slot = 0; (meta >> (2 * slot)) != 0; ++slot) {
                const ChildType kind = ChildType((meta >> (2 * slot)) & 3u);
                if (kind == Empty) continue;
                if (kind == Leaf) {
                    const std::uint32_t packet = leaves.leaf_index[slot];
                    const AABB* box = leaf_aabbs + packet;
                    const Vec3 to_packet =
                        Vec3{__ldg(&box->com.x), __ldg(&box->com.y), __ldg(&box->com.z)} * scene_scale - q;
                    const float packet_distance2 = to_packet.length2();
                    const bool leaf_approx =
                        descend &&
                        should_node_be_approximated(packet_distance2, __ldg(&box->max_dist), beta_sq, near_field);
                    if (__any_sync(kFullMask, leaf_approx)) {
                        fill_warp_cache(&coefficients, leaf_far_field + packet, lane);
                        if (leaf_approx) sum += compute_node_approximation(to_packet, packet_distance2, coefficients);
                        Mode::packet_far_field(batch, extras, leaf_approx, to_packet, packet_distance2, coefficients,
                                               packet, lane);
                    }
                    Mode::packet_tested(batch, leaf_approx);
                    const unsigned near = __ballot_sync(kFullMask, descend && !leaf_approx);
                    if (near != 0) {
                        const PacketRange range = load_packet_range(packets, packet);
                        sum += sum_packet_exactly(geometry, range, near, q, inv_epsilon, scene_scale, lane);
                        Mode::packet_exact(batch, extras, geometry, packet, range, near, q, inv_epsilon, scene_scale,
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
        Mode::end(batch, extras, batch_start, lane);
    }
}

// Stack entries a warp needs: a visit pops one node and pushes at most 8, so
// d levels need 7 (d - 1) + 1. Each node is pushed at most once per batch,
// so no more entries than nodes (at most L - 1) are ever needed either; with
// the depth unknown (0) that bound alone applies.
inline std::uint64_t stack_entries_needed(std::uint32_t tree_levels, std::uint32_t num_packets) {
    std::uint64_t entries = num_packets > 1 ? num_packets - 1 : 1;
    if (tree_levels > 0) {
        const std::uint64_t by_depth = 7ull * (tree_levels - 1) + 1;
        if (by_depth < entries) entries = by_depth;
    }
    return entries;
}

// The walk over a tree (more than 32 elements) in the given mode: one wave of
// persistent blocks, the stack where it fits.
template <typename Geometry, typename Mode>
cudaError_t launch_walk(const ComputeWindingNumbersParams<Geometry>& params, int device, cudaStream_t stream,
                        const typename Mode::Extras& extras) {
    // The kernels work in scene units, epsilon included.
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);
    // A fill, not a copy from the host: a copy from pageable memory may make
    // the host wait for the stream.
    if (cudaError_t status =
            NOLITH_CUDA_CHECK(cudaMemsetAsync(params.work_counter, 0, sizeof(std::uint32_t), stream))) {
        return status;
    }

    // Where the warps' stacks live: static shared memory for trees of up to
    // 10 levels, dynamic shared memory while it fits a block, else a global
    // scratch buffer allocated for this launch.
    const std::uint64_t stack_entries = stack_entries_needed(params.tree_levels, params.num_packets);
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

    const auto kernel = compute_winding_numbers_kernel<Geometry, Mode>;
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
        // Like every other device allocation, a failure stops the query as MemoryError.
        NOLITH_CUDA_REQUIRE_ALLOCATION(
            cudaMallocAsync(reinterpret_cast<void**>(&stack_buffer), static_cast<std::size_t>(bytes), stream));
    }

    nolith_cuda::launch<compute_winding_numbers_kernel<Geometry, Mode>>(
        dim3(blocks), dim3(kTraversalBlock), dynamic_bytes, stream, params.queries, params.query_order, params.nodes,
        params.leaf_pointers, params.node_far_field, params.leaf_far_field, params.leaf_aabbs, params.packets,
        params.geometry, params.num_queries, params.out, params.work_counter, params.beta * params.beta,
        inv_epsilon, params.scene_scale, stack_buffer, static_cast<std::uint32_t>(stack_entries), extras);
    const cudaError_t launch_status = NOLITH_CUDA_CHECK(cudaGetLastError());

    if (stack_buffer != nullptr) {
        const cudaError_t free_status = NOLITH_CUDA_CHECK(cudaFreeAsync(stack_buffer, stream));
        if (launch_status == cudaSuccess) return free_status;
    }
    return launch_status;
}

}  // namespace nolith_traversal
