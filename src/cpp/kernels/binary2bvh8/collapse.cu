#include "kernels/binary2bvh8/collapse.h"

#include "gpu.h"
#include "utils/cooperative_launch.h"
#include "utils/cuda_check.h"

#include <cstdint>

namespace {

using nolith_cuda::kDefaultBlock;
constexpr int kWidth = 8;

using BlockScan = cub::BlockScan<std::uint32_t, kDefaultBlock>;

// Opens internal binary node x into up to eight slots: its two children
// first, then, while a slot is free, the internal slot with the largest box
// (strictly largest, so ties go to the lower slot and NaN sizes never win)
// is replaced by its left child and its right child is appended. Returns the
// number of occupied slots.
__device__ __forceinline__ int open_binary_node(const ConvertBinary2BVH8Params& p, std::uint32_t x,
                                                std::uint32_t (&slots)[kWidth]) {
    const std::uint32_t internal_count = p.num_leaves - 1;
    const BinaryNode root = p.binary_nodes[x];
    slots[0] = root.left;
    slots[1] = root.right;
    int c = 2;
    while (c < kWidth) {
        float best = -1.0f;
        int best_slot = -1;
        for (int i = 0; i < c; ++i) {
            if (slots[i] >= internal_count) continue;
            const float size = p.aabbs[slots[i]].radius_sq();
            if (size > best) {
                best = size;
                best_slot = i;
            }
        }
        if (best_slot < 0) break;
        const BinaryNode opened = p.binary_nodes[slots[best_slot]];
        slots[best_slot] = opened.left;
        slots[c++] = opened.right;
    }
    return c;
}

// Builds the 8-wide tree top-down, one level per pass. A pass takes the
// current level's binary nodes from one queue, opens each into a BVH8 node
// and appends its internal children to the other queue; the children's
// positions come from a block scan plus one atomic per block on
// level_counter. Grid syncs separate the passes. Afterwards rank 0 leaves the
// node count in node_count and the number of levels in level_counter.
__global__ void __launch_bounds__(kDefaultBlock) convert_binary_tree_to_bvh8_kernel(ConvertBinary2BVH8Params p) {
    __shared__ BlockScan::TempStorage temp_storage;
    __shared__ std::uint32_t global_base;

    cg::grid_group grid = cg::this_grid();
    const unsigned long long rank = grid.thread_rank();
    const unsigned long long threads = grid.size();
    const std::uint32_t internal_count = p.num_leaves - 1;

    if (rank == 0) {
        p.queue_a[0] = 0;
        p.node_parents[0] = INVALID_INDEX;
        *p.level_counter = 0;
    }
    grid.sync();

    std::uint32_t level_start = 0;  // s: BVH8 index of the level's first node
    std::uint32_t level_size = 1;   // m
    std::uint32_t levels = 0;
    for (std::uint32_t pass = 0; level_size != 0; ++pass) {
        grid.sync();
        const std::uint32_t* current = (pass & 1) ? p.queue_b : p.queue_a;
        std::uint32_t* next = (pass & 1) ? p.queue_a : p.queue_b;
        const std::uint32_t next_start = level_start + level_size;
        // Rounded to whole blocks, so all threads of a block take the same
        // number of turns and meet at the same barriers.
        const unsigned long long rounded = (level_size + kDefaultBlock - 1ull) / kDefaultBlock * kDefaultBlock;

        for (unsigned long long k = rank; k < rounded; k += threads) {
            const bool active = k < level_size;
            std::uint32_t slots[kWidth];
            int count = 0;
            std::uint32_t x = 0;
            std::uint32_t internal_children = 0;
            if (active) {
                x = current[k];
                count = open_binary_node(p, x, slots);
                for (int i = 0; i < count; ++i) internal_children += slots[i] < internal_count ? 1u : 0u;
            }

            std::uint32_t offset, block_total;
            BlockScan(temp_storage).ExclusiveSum(internal_children, offset, block_total);
            if (threadIdx.x == 0) global_base = atomicAdd(p.level_counter, block_total);
            __syncthreads();
            const std::uint32_t base = global_base;
            // Every thread has read the base and left the scan before the
            // next turn writes either again.
            __syncthreads();
            if (!active) break;

            const std::uint32_t v = level_start + static_cast<std::uint32_t>(k);
            const std::uint32_t first = base + offset;
            BVH8Node node;
            node.first_child = next_start + first;
            const AABB box = p.aabbs[x];
            node.min = box.min;
            node.max = box.max;
            node.com = box.com;
            node.max_dist = box.max_dist;
            node.child_meta = 0;
            LeafPointers pointers;
            std::uint32_t t = 0;
            for (int i = 0; i < kWidth; ++i) {
                if (i >= count) {
                    pointers.leaf_index[i] = INVALID_INDEX;
                    node.setChildMeta(i, Empty);
                } else if (slots[i] >= internal_count) {
                    const std::uint32_t packet = slots[i] - internal_count;
                    p.leaf_parents[packet] = v;
                    pointers.leaf_index[i] = packet;
                    node.setChildMeta(i, Leaf);
                } else {
                    next[first + t] = slots[i];
                    p.node_parents[next_start + first + t] = v;
                    ++t;
                    pointers.leaf_index[i] = INVALID_INDEX;
                    node.setChildMeta(i, Internal);
                }
            }
            p.leaf_pointers[v] = pointers;
            p.child_counts[v] = static_cast<std::uint32_t>(count);
            p.nodes[v] = node;
        }

        grid.sync();
        const std::uint32_t next_size = __ldcg(p.level_counter);
        level_start = next_start;
        ++levels;
        grid.sync();
        if (rank == 0) *p.level_counter = 0;
        grid.sync();
        level_size = next_size;
    }

    if (rank == 0) {
        *p.node_count = level_start;
        *p.level_counter = levels;
    }
}

}  // namespace

cudaError_t convert_binary_tree_to_bvh8(const ConvertBinary2BVH8Params& params, int device, cudaStream_t stream) {
    if (params.num_leaves == 0) return cudaSuccess;
    if (params.num_leaves == 1) {
        // The single packet is the whole tree: no node holds it.
        const cudaError_t parents =
            NOLITH_CUDA_CHECK(cudaMemsetAsync(params.leaf_parents, 0xFF, sizeof(std::uint32_t), stream));
        const cudaError_t count =
            NOLITH_CUDA_CHECK(cudaMemsetAsync(params.node_count, 0, sizeof(std::uint32_t), stream));
        return parents != cudaSuccess ? parents : count;
    }

    int blocks_per_multiprocessor = 0;
    const cudaError_t occupancy = NOLITH_CUDA_CHECK(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
        &blocks_per_multiprocessor, convert_binary_tree_to_bvh8_kernel, kDefaultBlock, 0, cudaOccupancyDefault));
    nolith_cuda::require_cooperative_launch(device);
    int multiprocessors = 0;
    const cudaError_t attribute =
        NOLITH_CUDA_CHECK(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, device));
    if (occupancy != cudaSuccess) return occupancy;
    if (attribute != cudaSuccess) return attribute;

    nolith_cuda::launch_cooperative<convert_binary_tree_to_bvh8_kernel>(
        dim3(static_cast<unsigned>(blocks_per_multiprocessor * multiprocessors)), dim3(kDefaultBlock), 0, stream,
        params);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
