#include "kernels/build_binary_tree/packet_cut.h"

#include "gpu.h"
#include "kernels/build_binary_tree/radix_node.h"
#include "utils/cuda_check.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/copy.h>
#include <thrust/count.h>
#include <thrust/functional.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/transform.h>

namespace {

using nolith_cuda::kDefaultBlock;

__global__ void __launch_bounds__(kDefaultBlock)
    mark_packet_starts_kernel(const std::uint64_t* codes, std::uint32_t n, std::uint8_t* starts) {
    const std::uint32_t thread = blockIdx.x * blockDim.x + threadIdx.x;
    if (thread >= n - 1) return;
    const nolith_radix::RadixNode node = nolith_radix::radix_node(static_cast<int>(thread), codes, n);
    if (node.last - node.first + 1 <= static_cast<int>(ELEMENTS_PER_LEAF)) return;
    if (node.split - node.first + 1 <= static_cast<int>(ELEMENTS_PER_LEAF)) starts[node.first] = 1;
    if (node.last - node.split <= static_cast<int>(ELEMENTS_PER_LEAF)) starts[node.split + 1] = 1;
}

struct IsMarked {
    __host__ __device__ bool operator()(std::uint8_t mark) const { return mark != 0; }
};

// Packet k runs from its start to the next one (or to the end).
struct PacketFromStarts {
    const std::uint32_t* firsts;
    std::uint32_t packet_count;
    std::uint32_t n;
    __host__ __device__ PacketRange operator()(std::uint32_t k) const {
        const std::uint32_t next = k + 1 < packet_count ? firsts[k + 1] : n;
        return PacketRange{firsts[k], next - firsts[k]};
    }
};

}  // namespace

cudaError_t mark_packet_starts(const std::uint64_t* codes, std::uint32_t n, std::uint8_t* starts,
                               cudaStream_t stream) {
    if (n <= ELEMENTS_PER_LEAF) return cudaSuccess;
    nolith_cuda::launch<mark_packet_starts_kernel>(nolith_cuda::grid_1d(n - 1, kDefaultBlock), dim3(kDefaultBlock), 0,
                                                   stream, codes, n, starts);
    return NOLITH_CUDA_CHECK(cudaGetLastError());
}

std::uint32_t count_packet_starts(const std::uint8_t* starts, std::uint32_t n, cudaStream_t stream) {
    return static_cast<std::uint32_t>(thrust::count_if(nolith_cuda::stream_policy(stream), starts, starts + n,
                                                       IsMarked{}));
}

void fill_packet_table(const std::uint8_t* starts, std::uint32_t n, PacketRange* packets,
                       std::uint32_t packet_count, cudaStream_t stream) {
    NOLITH_STREAM_BUFFER(std::uint32_t, firsts, packet_count, stream);
    const auto policy = nolith_cuda::stream_policy(stream);
    thrust::copy_if(policy, thrust::counting_iterator<std::uint32_t>(0), thrust::counting_iterator<std::uint32_t>(n),
                    starts, firsts.get(), IsMarked{});
    thrust::transform(policy, thrust::counting_iterator<std::uint32_t>(0),
                      thrust::counting_iterator<std::uint32_t>(packet_count), packets,
                      PacketFromStarts{firsts.get(), packet_count, n});
}
