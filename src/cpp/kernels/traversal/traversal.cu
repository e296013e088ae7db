#include "kernels/traversal/traversal.h"

#include "gpu.h"
#include "kernels/traversal/exact_sums.h"
#include "kernels/traversal/far_field.h"
#include "kernels/traversal/far_field_adjoint.h"
#include "kernels/traversal/work_census.h"
#include "utils/cuda_check.h"

#include <cstdint>
#include <type_traits>

namespace {

using nolith_traversal::compute_node_approximation;
using nolith_traversal::should_node_be_approximated;
using nolith_traversal::sum_packet_exactly;

constexpr unsigned kFullMask = 0xffffffffu;
constexpr unsigned kTraversalBlock = 128;
constexpr unsigned kWarpsPerBlock = kTraversalBlock / 32;
constexpr unsigned kSingleLeafBlock = 256;
// Entries of the static per-warp stack: enough for 10 levels (root included).
constexpr std::uint32_t kSharedStackEntries = 64;
constexpr int kMarkerActive = 2147483647;
constexpr int kMarkerNoQuery = -1;
// Static shared memory of the traversal block (stack and the three caches);
// dynamic shared memory for a deeper stack must fit beside it.
constexpr std::size_t kStaticSharedBytes =
    kWarpsPerBlock * (kSharedStackEntries * sizeof(std::uint32_t) + sizeof(BVH8Node) + sizeof(TailorCoefficientsF16) +
                      sizeof(LeafPointers));

// What a walk does beside its values: nothing (compute), count its work
// (the census), or add up the adjoints of its terms (the gradient).
enum class WalkMode { Values, Census, Gradient };

struct WalkExtras {
    WorkCensus* census;
    std::uint32_t* packet_passes;
    GradientTargets gradient;
};

// Adds the far-field adjoints of the lanes in `approx`, summed over the warp,
// to one record's 33 accumulators. The warp transposes them through its
// scratch rows (32 rows of 33 floats: row i is lane i's adjoint; the odd
// stride keeps a column's reads on distinct banks), and lane k sums column k
// (lane 0 also the last one). Every lane of the warp takes part.
__device__ __forceinline__ void add_far_field_adjoint(bool approx, const Vec3& d, float distance2,
                                                      const TailorCoefficientsF16& stored, float g, float* target,
                                                      float* scratch, unsigned lane) {
    constexpr int kSize = nolith_traversal::kAdjointSize;
    float adjoint[kSize] = {};
    if (approx) {
        nolith_traversal::far_field_adjoint(d, distance2, TailorCoefficients::from_f16(stored), g, adjoint);
    }
    __syncwarp();  // the previous sums have read their columns
    for (int k = 0; k < kSize; ++k) scratch[kSize * lane + k] = adjoint[k];
    __syncwarp();
    for (int k = static_cast<int>(lane); k < kSize; k += 32) {
        float sum = 0.0f;
        for (int row = 0; row < 32; ++row) sum += scratch[kSize * row + k];
        if (sum != 0.0f) atomicAdd(target + k, sum);
    }
}

// The gradient walk's per-warp scratch rows; the other walks have none.
template <bool kGradient>
__device__ __forceinline__ float* adjoint_scratch(unsigned warp) {
    if constexpr (kGradient) {
        __shared__ float rows[kWarpsPerBlock][32 * nolith_traversal::kAdjointSize];
        return rows[warp];
    } else {
        return nullptr;
    }
}

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
// The census walk also writes, per batch, the counts of WorkCensus to
// census[batch / 32] (every count is warp-uniform), and adds each packet's
// exact passes to packet_passes[packet]. The gradient walk adds, weighted by
// each query's dL/dw, the adjoints of its far-field terms per node and
// packet and the derivatives of its exact terms per element.
template <typename Geometry, WalkMode kMode>
__global__ void __launch_bounds__(kTraversalBlock)
    compute_winding_numbers_kernel(const Vec3* queries, const std::uint32_t* query_order, const BVH8Node* nodes,
                                   const LeafPointers* leaf_pointers, const TailorCoefficientsF16* node_coefficients,
                                   const TailorCoefficientsF16* leaf_coefficients, const AABB* leaf_aabbs,
                                   SoAView<Geometry> geometry, std::uint32_t num_queries, std::uint32_t num_elements,
                                   float* out, std::uint32_t* work_counter, float beta_sq, float inv_epsilon,
                                   float scene_scale, std::uint32_t* global_stack, std::uint32_t stack_capacity,
                                   WalkExtras extras) {
    constexpr bool kCensus = kMode == WalkMode::Census;
    constexpr bool kGradient = kMode == WalkMode::Gradient;
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
    float* scratch = adjoint_scratch<kGradient>(warp);
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
        float g = 0.0f;
        if constexpr (kGradient) {
            if (position < num_queries) g = __ldg(extras.gradient.grad_output + query_index);
        }
        float sum = 0.0f;
        if (lane == 0) stack[0] = 0;
        std::uint32_t s = 1;
        WorkCensus count{};
        if constexpr (kCensus) count.queries = __popc(__ballot_sync(kFullMask, marker >= 0));

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
            if constexpr (kCensus) {
                const unsigned evaluating = __popc(__ballot_sync(kFullMask, approx));
                count.node_pops += 1;
                count.active_lane_pops += __popc(__ballot_sync(kFullMask, active));
                count.node_far_field_steps += evaluating != 0;
                count.node_far_field_evals += evaluating;
            }
            if (__any_sync(kFullMask, approx)) {
                fill_warp_cache(&coefficients, node_coefficients + v, lane);
                if constexpr (kGradient) {
                    add_far_field_adjoint(approx, to_node, node_distance2, coefficients, g,
                                          extras.gradient.node_adjoints + nolith_traversal::kAdjointSize * v, scratch,
                                          lane);
                }
                if (approx) {
                    sum += compute_node_approximation(to_node, node_distance2, coefficients);
                    marker = static_cast<int>(s);
                }
            }
            const bool descend = marker >= static_cast<int>(s_pop);
            if (!__any_sync(kFullMask, descend)) continue;
            if constexpr (kCensus) count.node_descents += 1;

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
                        fill_warp_cache(&coefficients, leaf_coefficients + packet, lane);
                        if (leaf_approx) sum += compute_node_approximation(to_packet, packet_distance2, coefficients);
                        if constexpr (kGradient) {
                            add_far_field_adjoint(
                                leaf_approx, to_packet, packet_distance2, coefficients, g,
                                extras.gradient.packet_adjoints + nolith_traversal::kAdjointSize * packet, scratch,
                                lane);
                        }
                    }
                    const unsigned near = __ballot_sync(kFullMask, descend && !leaf_approx);
                    if constexpr (kCensus) {
                        const unsigned evaluating = __popc(__ballot_sync(kFullMask, leaf_approx));
                        const std::uint32_t first = packet * ELEMENTS_PER_LEAF;
                        const std::uint32_t elements = min(num_elements - first, ELEMENTS_PER_LEAF);
                        count.leaf_slot_visits += 1;
                        count.leaf_far_field_steps += evaluating != 0;
                        count.leaf_far_field_evals += evaluating;
                        count.exact_packet_loads += near != 0;
                        count.exact_passes += __popc(near);
                        count.exact_element_evals += __popc(near) * elements;
                        if (lane == 0 && near != 0) atomicAdd(extras.packet_passes + packet, __popc(near));
                    }
                    if (near != 0) {
                        sum += sum_packet_exactly(geometry, packet, num_elements, near, q, inv_epsilon, scene_scale,
                                                  lane);
                        if constexpr (kGradient) {
                            nolith_traversal::add_packet_gradient_exactly(geometry, packet, num_elements, near, q, g,
                                                                          inv_epsilon, scene_scale, lane,
                                                                          extras.gradient.element_planes);
                        }
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
        if constexpr (kCensus) {
            if (lane == 0) extras.census[batch / 32] = count;
        }
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

namespace {

// The walk over a tree (more than 32 elements): one wave of persistent
// blocks, the stack where it fits.
template <typename Geometry, WalkMode kMode>
cudaError_t launch_traversal(const ComputeWindingNumbersParams<Geometry>& params, int device,
                             const cudaStream_t& stream, float inv_epsilon, const WalkExtras& extras) {
    // A fill, not a copy from the host: a copy from pageable memory may make
    // the host wait for the stream.
    if (cudaError_t status =
            NOLITH_CUDA_CHECK(cudaMemsetAsync(params.work_counter, 0, sizeof(std::uint32_t), stream))) {
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

    const auto kernel = compute_winding_numbers_kernel<Geometry, kMode>;
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

    nolith_cuda::launch<compute_winding_numbers_kernel<Geometry, kMode>>(
        dim3(blocks), dim3(kTraversalBlock), dynamic_bytes, stream, params.queries, params.query_order, params.nodes,
        params.leaf_pointers, params.node_coefficients, params.leaf_coefficients, params.leaf_aabbs, params.geometry,
        params.num_queries, params.num_elements, params.out, params.work_counter, params.beta * params.beta,
        inv_epsilon, params.scene_scale, stack_buffer, static_cast<std::uint32_t>(stack_entries), extras);
    const cudaError_t launch_status = NOLITH_CUDA_CHECK(cudaGetLastError());

    if (stack_buffer != nullptr) {
        const cudaError_t free_status = NOLITH_CUDA_CHECK(cudaFreeAsync(stack_buffer, stream));
        if (launch_status == cudaSuccess) return free_status;
    }
    return launch_status;
}

}  // namespace

template <typename Geometry>
cudaError_t compute_winding_numbers(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                    const cudaStream_t& stream) {
    if (params.num_queries == 0) return cudaSuccess;
    // The kernels work in scene units, epsilon included.
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);
    if (params.num_elements > ELEMENTS_PER_LEAF) {
        return launch_traversal<Geometry, WalkMode::Values>(params, device, stream, inv_epsilon, WalkExtras{});
    }
    nolith_cuda::launch<compute_winding_numbers_single_leaf_kernel<Geometry>>(
        dim3((params.num_queries + 255) >> 8), dim3(kSingleLeafBlock), 0, stream, params.queries, params.query_order,
        params.geometry, params.num_queries, params.num_elements, params.out, inv_epsilon, params.scene_scale);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

template <typename Geometry>
cudaError_t compute_work_census(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                const cudaStream_t& stream, WorkCensus* census, std::uint32_t* packet_passes) {
    if (params.num_queries == 0 || params.num_elements <= ELEMENTS_PER_LEAF) return cudaErrorInvalidValue;
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);
    const std::uint32_t packets = (params.num_elements + ELEMENTS_PER_LEAF - 1) / ELEMENTS_PER_LEAF;
    if (cudaError_t status = NOLITH_CUDA_CHECK(cudaMemsetAsync(packet_passes, 0, 4 * std::size_t(packets), stream))) {
        return status;
    }
    return launch_traversal<Geometry, WalkMode::Census>(params, device, stream, inv_epsilon,
                                                        WalkExtras{census, packet_passes, {}});
}

template <typename Geometry>
cudaError_t compute_gradient_walk(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                  const cudaStream_t& stream, const GradientTargets& targets) {
    if (params.num_queries == 0 || params.num_elements <= ELEMENTS_PER_LEAF) return cudaErrorInvalidValue;
    const float inv_epsilon = 1.0f / (params.epsilon * params.scene_scale);
    return launch_traversal<Geometry, WalkMode::Gradient>(params, device, stream, inv_epsilon,
                                                          WalkExtras{nullptr, nullptr, targets});
}

template cudaError_t compute_gradient_walk<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                     const cudaStream_t&, const GradientTargets&);
template cudaError_t compute_gradient_walk<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                        const cudaStream_t&, const GradientTargets&);

template cudaError_t compute_work_census<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                   const cudaStream_t&, WorkCensus*, std::uint32_t*);
template cudaError_t compute_work_census<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                      const cudaStream_t&, WorkCensus*, std::uint32_t*);
template cudaError_t compute_winding_numbers<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                       const cudaStream_t&);
template cudaError_t compute_winding_numbers<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                          const cudaStream_t&);
