// The build: turns the caller's geometry into the finished tree on the
// backend's stream. Temporaries are stream-ordered and released as soon as
// their last consumer is queued (or when an exception leaves the build).

#include "gpu.h"
#include "kernels/binary2bvh8/collapse.h"
#include "kernels/binary2bvh8/max_distances.h"
#include "kernels/binary2bvh8/parent_tables.h"
#include "kernels/build_binary_tree/binary_topology.h"
#include "kernels/build_binary_tree/gather_soa.h"
#include "kernels/build_binary_tree/leaf_coefficients.h"
#include "kernels/build_binary_tree/packet_cut.h"
#include "kernels/bvh8_m2m/m2m.h"
#include "nolith_cuda/morton_codes.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/device_memory.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/fill.h>
#include <thrust/sequence.h>
#include <thrust/sort.h>
#include <thrust/transform.h>

#include <stdexcept>
#include <type_traits>

template <typename Geometry>
template <typename Element>
void NolithBackend<Geometry>::initializeMortonCodes(const Element* elements, unsigned long long* codes) {
    scene = nolith_cuda::initialize_morton_codes(elements, static_cast<std::uint32_t>(count),
                                                 reinterpret_cast<std::uint64_t*>(codes), stream);
}

namespace {

// Stage 3: indices 0..n-1 sorted stably by their codes.
void sort_by_codes(unsigned long long* codes, unsigned int* indices, unsigned long n, cudaStream_t stream) {
    const auto policy = nolith_cuda::queued_policy(stream);
    thrust::sequence(policy, indices, indices + n, 0u);
    thrust::stable_sort_by_key(policy, codes, codes + n, indices);
}

}  // namespace

template <typename Geometry>
void NolithBackend<Geometry>::initialize_triangle_data(const float* triangles) {
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_start_event, stream));
    if (count > 0) {
        NOLITH_STREAM_BUFFER(unsigned long long, morton_codes, count, stream);
        initializeMortonCodes(reinterpret_cast<const Triangle*>(triangles), morton_codes.get());
        sort_by_codes(morton_codes.get(), sorted_indices, count, stream);
        NOLITH_CUDA_RAISE_REPORTED(gather_triangles_soa(triangles, sorted_indices, soa_geometry,
                                                 static_cast<std::uint32_t>(count), stream));
        build_tree(morton_codes);
    }
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

template <typename Geometry>
void NolithBackend<Geometry>::initialize_point_data(const float* points, const float* normals) {
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_start_event, stream));
    if (count > 0) {
        NOLITH_STREAM_BUFFER(unsigned long long, morton_codes, count, stream);
        // Normals take no part in the order.
        initializeMortonCodes(reinterpret_cast<const Vec3*>(points), morton_codes.get());
        sort_by_codes(morton_codes.get(), sorted_indices, count, stream);
        NOLITH_CUDA_RAISE_REPORTED(gather_point_normals_soa(points, normals, sorted_indices, soa_geometry,
                                                     static_cast<std::uint32_t>(count), stream));
        build_tree(morton_codes);
    }
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

// The code of each leaf packet's first element.
struct FirstCodeOfPacket {
    const unsigned long long* codes;
    __host__ __device__ std::uint64_t operator()(const PacketRange& packet) const { return codes[packet.first]; }
};

template <typename Geometry>
std::uint32_t NolithBackend<Geometry>::cut_packets(const unsigned long long* sorted_codes) {
    const std::uint32_t n = static_cast<std::uint32_t>(count);
    if (n <= ELEMENTS_PER_LEAF) {
        // The whole geometry is one packet.
        NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(packets, 1, stream));
        thrust::fill_n(nolith_cuda::queued_policy(stream), packets, 1, PacketRange{0, n});
        return 1;
    }
    NOLITH_STREAM_BUFFER(std::uint8_t, starts, n, stream);
    NOLITH_CUDA_REQUIRE(cudaMemsetAsync(starts.get(), 0, n, stream));
    const auto* codes = reinterpret_cast<const std::uint64_t*>(sorted_codes);
    NOLITH_CUDA_RAISE_REPORTED(mark_packet_starts(codes, n, starts.get(), stream));
    const std::uint32_t L = count_packet_starts(starts.get(), n, stream);
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(packets, L, stream));
    fill_packet_table(starts.get(), n, packets, L, stream);
    return L;
}

// Stages after the sort: the packets, the topology over them, packet bounds
// and expansions, collapse into the BVH8, exact radii, node expansions.
template <typename Geometry>
void NolithBackend<Geometry>::build_tree(nolith_cuda::StreamBuffer<unsigned long long>& morton_codes) {
    const std::uint32_t n = static_cast<std::uint32_t>(count);
    const auto policy = nolith_cuda::queued_policy(stream);
    const std::uint32_t L = cut_packets(morton_codes.get());
    packet_count = L;
    allocate_tree(L);
    const std::uint32_t I = L - 1;

    NOLITH_STREAM_BUFFER(std::uint64_t, leaf_codes, L, stream);
    thrust::transform(policy, packets, packets + L, leaf_codes.get(), FirstCodeOfPacket{morton_codes.get()});
    morton_codes.release();

    NOLITH_STREAM_BUFFER(BinaryNode, binary_nodes, I, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, binary_parents, 2 * std::size_t(L) - 1, stream);
    NOLITH_CUDA_RAISE_REPORTED(build_binary_topology(leaf_codes.get(), binary_nodes.get(), binary_parents.get(), L, stream));
    leaf_codes.release();

    // The packets' float moments, from which the nodes' are translated.
    NOLITH_STREAM_BUFFER(TailorCoefficients, leaf_moments, L, stream);
    NOLITH_STREAM_BUFFER(float, subtree_weights, I, stream);
    thrust::fill_n(policy, subtree_weights.get(), I, 0.0f);
    NOLITH_CUDA_RAISE_REPORTED(populate_binary_tree_aabb_and_leaf_coefficients<Geometry>(
        soa_geometry, packets, leaf_coefficients, leaf_far_field, leaf_moments.get(), L, binary_nodes.get(),
        node_aabbs, binary_parents.get(), subtree_weights.get(), n, scene.scene_scale,
        nolith_cuda::corner_origin(scene), stream));
    binary_parents.release();
    subtree_weights.release();

    NOLITH_STREAM_BUFFER(std::uint32_t, queue_a, I, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, queue_b, I, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, node_parents, I, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, level_counter, 1, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, leaf_parents, L, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, child_counts, I, stream);
    const ConvertBinary2BVH8Params collapse{queue_a.get(),      queue_b.get(),   node_parents.get(),
                                            level_counter.get(), L,              node_aabbs,
                                            binary_nodes.get(),  child_counts.get(), leaf_parents.get(),
                                            bvh8_nodes,          leaf_pointers,  bvh8_node_count};
    NOLITH_CUDA_RAISE_REPORTED(convert_binary_tree_to_bvh8(collapse, device, stream));
    queue_a.release();
    queue_b.release();
    binary_nodes.release();

    // Reading back into pageable memory returns once the copy, and all work
    // before it on the stream, is done.
    std::uint32_t K = 0;
    NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(&K, bvh8_node_count, sizeof K, cudaMemcpyDeviceToHost, stream));
    tree_nodes = K;
    tree_levels = 0;
    if (L >= 2) {
        NOLITH_CUDA_REQUIRE(
            cudaMemcpyAsync(&tree_levels, level_counter.get(), sizeof tree_levels, cudaMemcpyDeviceToHost, stream));
    }
    level_counter.release();
    NOLITH_STREAM_BUFFER(float, max_distances, K, stream);
    thrust::fill_n(policy, max_distances.get(), K, 0.0f);
    NOLITH_CUDA_RAISE_REPORTED(compute_max_distances<Geometry>(bvh8_nodes, soa_geometry, packets, L,
                                                               leaf_parents.get(), node_parents.get(),
                                                               max_distances.get(), n, K, scene.scene_scale, stream));
    max_distances.release();

    NOLITH_STREAM_BUFFER(std::uint32_t, m2m_counters, I, stream);
    thrust::fill_n(policy, m2m_counters.get(), I, 0u);
    NOLITH_STREAM_BUFFER(TailorCoefficients, node_coefficients_f32, I, stream);
    NOLITH_CUDA_RAISE_REPORTED(compute_internal_tailor_coefficients_m2m(
        bvh8_nodes, node_parents.get(), node_aabbs + I, leaf_moments.get(), leaf_parents.get(), leaf_pointers,
        node_coefficients, node_far_field, node_coefficients_f32.get(), child_counts.get(), L, m2m_counters.get(),
        scene.scene_scale, stream));
}

// New scaled normals for the same points: the positions fix the order, the
// packets, the tree, the centres and the radii; only the expansions change.
// Rewrites the normal planes, the packets' expansions (the climb through the
// binary tree is not needed: its boxes and centres stand) and the nodes' (from
// parent tables recovered from the BVH8), all queued on the engine's stream.
template <typename Geometry>
void NolithBackend<Geometry>::refit_normals(const float* normal_planes) {
    if (!std::is_same<Geometry, PointNormal>::value) throw std::logic_error("only point clouds have normals to refit");
    if (count == 0) return;
    const std::uint32_t n = static_cast<std::uint32_t>(count);
    const std::uint32_t L = packet_count;
    const std::uint32_t I = L - 1;
    const std::uint32_t K = tree_nodes;
    NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(soa_geometry + 3 * std::size_t(n), normal_planes, 12 * std::size_t(n),
                                        cudaMemcpyDeviceToDevice, stream));
    NOLITH_STREAM_BUFFER(TailorCoefficients, leaf_moments, L, stream);
    {
        NOLITH_STREAM_BUFFER(std::uint32_t, no_parents, 2 * std::size_t(L) - 1, stream);
        NOLITH_STREAM_BUFFER(float, unused_weights, I > 0 ? I : 1, stream);
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(no_parents.get(), 0xFF, 4 * (2 * std::size_t(L) - 1), stream));
        NOLITH_CUDA_RAISE_REPORTED(populate_binary_tree_aabb_and_leaf_coefficients<Geometry>(
            soa_geometry, packets, leaf_coefficients, leaf_far_field, leaf_moments.get(), L, nullptr, node_aabbs,
            no_parents.get(), unused_weights.get(), n, scene.scene_scale, nolith_cuda::corner_origin(scene), stream));
    }
    if (K > 0) {
        NOLITH_STREAM_BUFFER(std::uint32_t, node_parents, K, stream);
        NOLITH_STREAM_BUFFER(std::uint32_t, leaf_parents, L, stream);
        NOLITH_STREAM_BUFFER(std::uint32_t, child_counts, K, stream);
        NOLITH_CUDA_RAISE_REPORTED(recover_parent_tables(bvh8_nodes, leaf_pointers, K, L, node_parents.get(),
                                                         leaf_parents.get(), child_counts.get(), stream));
        {
            // The radii do not change, but a node once marked unevaluable
            // (infinite radius) must get its radius back.
            NOLITH_STREAM_BUFFER(float, max_distances, K, stream);
            NOLITH_CUDA_REQUIRE(cudaMemsetAsync(max_distances.get(), 0, 4 * std::size_t(K), stream));
            NOLITH_CUDA_RAISE_REPORTED(compute_max_distances<Geometry>(
                bvh8_nodes, soa_geometry, packets, L, leaf_parents.get(), node_parents.get(), max_distances.get(), n,
                K, scene.scene_scale, stream));
        }
        NOLITH_STREAM_BUFFER(std::uint32_t, m2m_counters, K, stream);
        NOLITH_STREAM_BUFFER(TailorCoefficients, node_coefficients_f32, K, stream);
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(m2m_counters.get(), 0, 4 * std::size_t(K), stream));
        NOLITH_CUDA_RAISE_REPORTED(compute_internal_tailor_coefficients_m2m(
            bvh8_nodes, node_parents.get(), node_aabbs + I, leaf_moments.get(), leaf_parents.get(), leaf_pointers,
            node_coefficients, node_far_field, node_coefficients_f32.get(), child_counts.get(), L,
            m2m_counters.get(), scene.scene_scale, stream));
    }
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
