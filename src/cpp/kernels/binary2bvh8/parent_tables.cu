#include "kernels/binary2bvh8/parent_tables.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// Node v writes itself as the parent of each of its children: every child
// has exactly one parent, so no two threads write the same entry.
__global__ void __launch_bounds__(kDefaultBlock)
    recover_parent_tables_kernel(const BVH8Node* nodes, const LeafPointers* leaf_pointers, std::uint32_t node_count,
                                 std::uint32_t* node_parents, std::uint32_t* leaf_parents,
                                 std::uint32_t* child_counts) {
    const std::uint32_t v = blockIdx.x * blockDim.x + threadIdx.x;
    if (v >= node_count) return;
    const BVH8Node node = nodes[v];
    std::uint32_t children = 0, rank = 0;
    for (int slot = 0; slot < 8; ++slot) {
        const ChildType kind = node.getChildMeta(slot);
        if (kind == Empty) continue;
        ++children;
        if (kind == Leaf) {
            leaf_parents[leaf_pointers[v].leaf_index[slot]] = v;
        } else {
            node_parents[node.first_child + rank++] = v;
        }
    }
    child_counts[v] = children;
    if (v == 0) node_parents[0] = INVALID_INDEX;
}

}  // namespace

cudaError_t recover_parent_tables(const BVH8Node* nodes, const LeafPointers* leaf_pointers, std::uint32_t node_count,
                                  std::uint32_t leaves, std::uint32_t* node_parents, std::uint32_t* leaf_parents,
                                  std::uint32_t* child_counts, cudaStream_t stream) {
    if (node_count == 0) {
        return leaves > 0 ? NOLITH_CUDA_CHECK(cudaMemsetAsync(leaf_parents, 0xFF, 4 * std::size_t(leaves), stream))
                          : cudaSuccess;
    }
    nolith_cuda::launch<recover_parent_tables_kernel>(nolith_cuda::grid_1d(node_count, kDefaultBlock),
                                                      dim3(kDefaultBlock), 0, stream, nodes, leaf_pointers, node_count,
                                                      node_parents, leaf_parents, child_counts);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}
