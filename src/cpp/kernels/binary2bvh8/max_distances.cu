#include "kernels/binary2bvh8/max_distances.h"

#include "gpu.h"
#include "utils/cuda_check.h"

namespace {

using nolith_cuda::kDefaultBlock;
constexpr unsigned kDistanceBlock = 128;  // four warps, one leaf packet each
constexpr unsigned kFullMask = 0xffffffffu;

// One warp per leaf packet, one lane per element of it, so the lanes climb
// the same path from the packet's BVH8 node to the root. At every node the
// warp's largest distance to the node's com goes in with one atomic maximum
// on the float's bit pattern (non-negative floats order like ints). Nodes
// 0 .. 127 sit on many climbs of a block and are merged in shared memory
// first, then flushed once per block. Distances are in scene units.
template <typename Geometry>
__global__ void __launch_bounds__(kDistanceBlock)
    compute_exact_max_distances_kernel(const BVH8Node* nodes, SoAView<Geometry> geometry, const PacketRange* packets,
                                       std::uint32_t packet_count, const std::uint32_t* leaf_parents,
                                       const std::uint32_t* node_parents, float* max_distances,
                                       std::uint32_t node_count, float scene_scale) {
    __shared__ int shared_max_dists[kDistanceBlock];
    shared_max_dists[threadIdx.x] = 0;
    __syncthreads();

    const std::uint32_t packet = blockIdx.x * (blockDim.x / 32u) + threadIdx.x / 32u;
    const std::uint32_t lane = threadIdx.x & 31u;
    Geometry element{};
    bool live = false;
    std::uint32_t v = INVALID_INDEX;  // the same for the whole warp
    if (packet < packet_count) {
        const PacketRange range = packets[packet];
        live = lane < range.count;
        if (live) element = Geometry::load(geometry, range.first + lane, geometry.stride).scaled(scene_scale);
        v = __ldg(leaf_parents + packet);
    }

    while (__any_sync(kFullMask, v != INVALID_INDEX)) {
        float d = live ? element.max_distance_to(nodes[v].com * scene_scale) : 0.0f;
        for (unsigned offset = 1; offset < 32; offset <<= 1) d = fmaxf(d, __shfl_down_sync(kFullMask, d, offset));
        if ((threadIdx.x & 31u) == 0 && v != INVALID_INDEX) {
            if (v < kDistanceBlock) {
                atomicMax(&shared_max_dists[v], __float_as_int(d));
            } else {
                atomicMax(reinterpret_cast<int*>(max_distances + v), __float_as_int(d));
            }
        }
        if (v != INVALID_INDEX) v = __ldcg(node_parents + v);
    }

    __syncthreads();
    if (threadIdx.x < node_count && shared_max_dists[threadIdx.x] >= 1) {
        atomicMax(reinterpret_cast<int*>(max_distances + threadIdx.x), shared_max_dists[threadIdx.x]);
    }
}

// Thread i rounds node i's radius to the nearest half.
__global__ void __launch_bounds__(kDefaultBlock)
    quantize_bvh8_distances_kernel(BVH8Node* nodes, const float* max_distances, std::uint32_t node_count) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < node_count) nodes[i].max_dist = __float2half_rn(max_distances[i]);
}

}  // namespace

template <typename Geometry>
cudaError_t compute_max_distances(BVH8Node* nodes, const float* soa_geometry, const PacketRange* packets,
                                  std::uint32_t packet_count, const std::uint32_t* leaf_parents,
                                  const std::uint32_t* node_parents, float* max_distances, std::uint32_t element_count,
                                  std::uint32_t node_count, float scene_scale, cudaStream_t stream) {
    if (node_count == 0) return cudaSuccess;
    const SoAView<Geometry> view{const_cast<float*>(soa_geometry), element_count};
    nolith_cuda::launch<compute_exact_max_distances_kernel<Geometry>>(
        nolith_cuda::grid_1d(32ull * packet_count, kDistanceBlock), dim3(kDistanceBlock), 0, stream, nodes, view,
        packets, packet_count, leaf_parents, node_parents, max_distances, node_count, scene_scale);
    const cudaError_t distances = NOLITH_CUDA_CHECK(cudaGetLastError());
    nolith_cuda::launch<quantize_bvh8_distances_kernel>(nolith_cuda::grid_1d(node_count, kDefaultBlock),
                                                        dim3(kDefaultBlock), 0, stream, nodes, max_distances,
                                                        node_count);
    const cudaError_t quantize = NOLITH_CUDA_CHECK(cudaGetLastError());
    return distances != cudaSuccess ? distances : quantize;
}

template cudaError_t compute_max_distances<Triangle>(BVH8Node*, const float*, const PacketRange*, std::uint32_t,
                                                     const std::uint32_t*, const std::uint32_t*, float*,
                                                     std::uint32_t, std::uint32_t, float, cudaStream_t);
template cudaError_t compute_max_distances<PointNormal>(BVH8Node*, const float*, const PacketRange*, std::uint32_t,
                                                        const std::uint32_t*, const std::uint32_t*, float*,
                                                        std::uint32_t, std::uint32_t, float, cudaStream_t);
