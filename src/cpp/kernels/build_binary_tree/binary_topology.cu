#include "kernels/build_binary_tree/binary_topology.h"

#include "gpu.h"
#include "kernels/build_binary_tree/radix_node.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;

// One thread per internal node: the node's leaf range, its split, and the
// children's parent links. Threads never share an output location.
__global__ void __launch_bounds__(kDefaultBlock)
    build_binary_topology_kernel(const std::uint64_t* codes, BinaryNode* nodes, std::uint32_t* parents,
                                 std::uint32_t L) {
    const std::uint32_t thread = blockIdx.x * blockDim.x + threadIdx.x;
    if (thread >= L - 1) return;
    const nolith_radix::RadixNode node = nolith_radix::radix_node(static_cast<int>(thread), codes, L);
    const std::uint32_t left = node.first == node.split ? node.split + L - 1 : node.split;
    const std::uint32_t right = node.last == node.split + 1 ? node.split + L : node.split + 1;
    nodes[thread] = BinaryNode{left, right};
    parents[left] = thread;
    parents[right] = thread;
}

}  // namespace

cudaError_t build_binary_topology(const std::uint64_t* leaf_codes, BinaryNode* nodes, std::uint32_t* parents,
                                  std::uint32_t leaf_count, cudaStream_t stream) {
    if (leaf_count == 0) return cudaSuccess;
    if (leaf_count >= 2) {
        nolith_cuda::launch<build_binary_topology_kernel>(nolith_cuda::grid_1d(leaf_count - 1, kDefaultBlock),
                                                          dim3(kDefaultBlock), 0, stream, leaf_codes, nodes, parents,
                                                          leaf_count);
        if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    }
    // The root is nobody's child: its parent entry marks the end of every upward walk.
    return NOLITH_CUDA_CHECK(cudaMemsetAsync(parents, 0xFF, sizeof(std::uint32_t), stream));
}
