#include "kernels/build_binary_tree/binary_topology.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

constexpr unsigned kBlock = 256;

// Common prefix length of the 96-bit keys (code, leaf index) of leaves i and
// j; -1 when j lies outside 0 .. L-1, so every search stops there.
__device__ __forceinline__ int delta_with_tiebreaker(int i, int j, const std::uint64_t* codes, std::uint32_t L) {
    if (j < 0 || j >= static_cast<int>(L)) return -1;
    const std::uint64_t a = __ldg(codes + i), b = __ldg(codes + j);
    if (a != b) return __clzll(static_cast<long long>(a ^ b));
    return 64 + __clz(i ^ j);
}

// One thread per internal node: the node's leaf range, its split, and the
// children's parent links. Threads never share an output location.
__global__ void __launch_bounds__(kBlock)
    build_binary_topology_kernel(const std::uint64_t* codes, BinaryNode* nodes, std::uint32_t* parents,
                                 std::uint32_t L) {
    const std::uint32_t thread = blockIdx.x * blockDim.x + threadIdx.x;
    if (thread >= L - 1) return;
    const int i = static_cast<int>(thread);
    const int d = delta_with_tiebreaker(i, i + 1, codes, L) < delta_with_tiebreaker(i, i - 1, codes, L) ? -1 : 1;
    const int delta_min = delta_with_tiebreaker(i, i - d, codes, L);
    int l_max = 2;
    while (delta_with_tiebreaker(i, i + l_max * d, codes, L) > delta_min) l_max *= 2;
    int l = 0;
    for (int t = l_max / 2; t >= 1; t /= 2) {
        if (delta_with_tiebreaker(i, i + (l + t) * d, codes, L) > delta_min) l += t;
    }
    const int j = i + l * d;
    const int delta_node = delta_with_tiebreaker(i, j, codes, L);
    int s = 0;
    for (unsigned t = 0x80000000u >> __clz(l); t >= 1; t /= 2) {
        if (s + static_cast<int>(t) < l && delta_with_tiebreaker(i, i + (s + static_cast<int>(t)) * d, codes, L) > delta_node) {
            s += static_cast<int>(t);
        }
    }
    const int gamma = i + s * d + min(d, 0);
    const std::uint32_t left = min(i, j) == gamma ? gamma + L - 1 : gamma;
    const std::uint32_t right = max(i, j) == gamma + 1 ? gamma + L : gamma + 1;
    nodes[i] = BinaryNode{left, right};
    parents[left] = thread;
    parents[right] = thread;
}

}  // namespace

cudaError_t build_binary_topology(const std::uint64_t* leaf_codes, BinaryNode* nodes, std::uint32_t* parents,
                                  std::uint32_t leaf_count, cudaStream_t& stream) {
    if (leaf_count == 0) return cudaSuccess;
    if (leaf_count >= 2) {
        nolith_cuda::launch<build_binary_topology_kernel>(dim3((leaf_count + 254) / kBlock), dim3(kBlock), 0, stream,
                                                          leaf_codes, nodes, parents, leaf_count);
        if (cudaError_t status = NOLITH_CUDA_CHECK(cudaGetLastError())) return status;
    }
    // The root is nobody's child: its parent entry marks the end of every upward walk.
    return NOLITH_CUDA_CHECK(cudaMemsetAsync(parents, 0xFF, sizeof(std::uint32_t), stream));
}
