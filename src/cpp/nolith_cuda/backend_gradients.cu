// The differentiable workflow: the stored scaled normals, and the gradients
// of a loss through the most recent query call with respect to the normals
// and the positions.

#include "gpu.h"
#include "kernels/gradients/brute_force_vjp.h"
#include "kernels/gradients/scatter_rows.h"
#include "kernels/gradients/tree_adjoint.h"
#include "kernels/traversal/far_field_adjoint.h"
#include "kernels/traversal/gradient_walk.h"
#include "nolith_cuda/nolith_backend.h"
#include "nolith_cuda/query_ordering.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/scoped_device.h"
#include "utils/stream_buffer.h"

#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

template <typename Geometry>
constexpr bool kPoints = std::is_same<Geometry, PointNormal>::value;

const char* method_name(bool fast) { return fast ? "compute" : "brute_force"; }

}  // namespace

template <typename Geometry>
void NolithBackend<Geometry>::remember_query(const float* queries, unsigned long n, float beta, float epsilon,
                                             bool fast, cudaStream_t caller) const {
    float* copy = nullptr;
    if (n > 0) {
        NOLITH_CUDA_REQUIRE_ALLOCATION(cudaMallocAsync(reinterpret_cast<void**>(&copy), 12 * std::size_t(n), caller));
        const cudaError_t copied = NOLITH_CUDA_CHECK(
            cudaMemcpyAsync(copy, queries, 12 * std::size_t(n), cudaMemcpyDeviceToDevice, caller));
        if (copied != cudaSuccess) {
            NOLITH_CUDA_CHECK(cudaFreeAsync(copy, caller));
            nolith_cuda::raise_reported(copied, __FILE__, __LINE__);
        }
    }
    const std::lock_guard<std::mutex> lock(query_order_lock);
    // Gradients of earlier calls may still read the old copy: the engine's
    // stream is ordered after them (order_after), so it frees it there.
    if (last_query.queries) NOLITH_CUDA_CHECK(cudaFreeAsync(last_query.queries, stream));
    last_query = LastQuery{true, fast, copy, n, beta, epsilon, caller};
}

template <typename Geometry>
typename NolithBackend<Geometry>::LastQuery NolithBackend<Geometry>::query_for_gradient(unsigned long n,
                                                                                       const char* what) const {
    LastQuery query;
    {
        const std::lock_guard<std::mutex> lock(query_order_lock);
        query = last_query;
    }
    if (!query.valid) {
        throw std::runtime_error(std::string(what) +
                                 " gives the gradient through the most recent compute or brute_force call on this "
                                 "engine, and there has been none: call one first.");
    }
    if (n != query.count) {
        throw std::runtime_error("grad_output has " + std::to_string(n) + " values, but the most recent " +
                                 method_name(query.fast) + " call on this engine had " + std::to_string(query.count) +
                                 " queries: pass one value per query of that call.");
    }
    return query;
}

template <typename Geometry>
nolith_cuda::StreamBuffer<float> NolithBackend<Geometry>::element_gradients(const LastQuery& query,
                                                                           const float* grad_output) const {
    constexpr std::size_t components = GeometryTraits<Geometry>::components;
    NOLITH_STREAM_BUFFER(float, planes, components * count, query.stream);
    if (query.fast && count > ELEMENTS_PER_LEAF) {
        // The transpose of compute's walk: its exact terms per element, its
        // far-field adjoints per node and packet, then down the tree.
        const std::uint32_t packets = packet_count;
        NOLITH_STREAM_BUFFER(float, node_adjoints, nolith_traversal::kAdjointSize * std::size_t(tree_nodes),
                             query.stream);
        NOLITH_STREAM_BUFFER(float, packet_adjoints, nolith_traversal::kAdjointSize * std::size_t(packets),
                             query.stream);
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(planes.get(), 0, 4 * components * count, query.stream));
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(node_adjoints.get(), 0,
                                            4 * nolith_traversal::kAdjointSize * std::size_t(tree_nodes),
                                            query.stream));
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(packet_adjoints.get(), 0,
                                            4 * nolith_traversal::kAdjointSize * std::size_t(packets), query.stream));
        const GradientTargets targets{grad_output, node_adjoints.get(), packet_adjoints.get(), planes.get()};
        walk(query.queries, query.count, query.beta, query.epsilon, query.stream,
             [&](const ComputeWindingNumbersParams<Geometry>& params, cudaStream_t caller) {
                 NOLITH_CUDA_RAISE_REPORTED(compute_gradient_walk<Geometry>(params, device, caller, targets));
                 const TreeAdjointParams<Geometry> tree{bvh8_nodes,
                                                        leaf_pointers,
                                                        node_far_field,
                                                        leaf_far_field,
                                                        params.leaf_aabbs,
                                                        params.packets,
                                                        params.num_packets,
                                                        params.geometry,
                                                        static_cast<std::uint32_t>(count),
                                                        tree_nodes,
                                                        tree_levels,
                                                        scene.scene_scale,
                                                        node_adjoints.get(),
                                                        packet_adjoints.get(),
                                                        planes.get()};
                 NOLITH_CUDA_RAISE_REPORTED(tree_adjoint_to_elements<Geometry>(tree, caller));
             },
             false);
        return planes;
    }
    NOLITH_CUDA_RAISE_REPORTED(compute_brute_force_vjp<Geometry>(
        reinterpret_cast<const Vec3*>(query.queries), grad_output, soa_geometry, static_cast<std::uint32_t>(query.count),
        static_cast<std::uint32_t>(count), query.epsilon, scene.scene_scale, planes.get(), query.stream));
    return planes;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::get_normals() const {
    if (!kPoints<Geometry>) throw std::runtime_error("Normals are not explicitly stored for triangle based geometry.");
    nolith_cuda::ScopedDevice scoped_device(device);
    // The legacy default stream follows the engine's (blocking) stream, so the
    // copy sees the finished build; the result outlives the engine there too.
    Result result = allocate_result(3 * count, nullptr);
    NOLITH_CUDA_RAISE_REPORTED(scatter_rows(soa_geometry, static_cast<std::uint32_t>(count), sorted_indices, 3, 3,
                                            result.get(), nullptr));
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::grad_normals(const float* grad_output,
                                                                              unsigned long n) const {
    if (!kPoints<Geometry>) {
        throw std::runtime_error(
            "grad_scaled_normals is for point clouds: the normals of a triangle engine follow from its vertices, "
            "use grad_points.");
    }
    const LastQuery query = query_for_gradient(n, "grad_scaled_normals");
    nolith_cuda::ScopedDevice scoped_device(device);
    Result result = allocate_result(3 * count, query.stream);
    if (count == 0) return result;
    const nolith_cuda::QueryOrdering<NolithBackend> ordering(*this, query.stream);
    if (query.count == 0) {
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(result.get(), 0, 12 * std::size_t(count), query.stream));
        return result;
    }
    auto planes = element_gradients(query, grad_output);
    NOLITH_CUDA_RAISE_REPORTED(scatter_rows(planes.get(), static_cast<std::uint32_t>(count), sorted_indices, 0, 3,
                                            result.get(), query.stream));
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::grad_points(const float* grad_output,
                                                                             unsigned long n) const {
    const LastQuery query = query_for_gradient(n, "grad_points");
    nolith_cuda::ScopedDevice scoped_device(device);
    const std::size_t row = kPoints<Geometry> || from_mesh ? 3 : 9;
    const std::size_t floats = row * gradient_rows();
    Result result = allocate_result(floats, query.stream);
    if (floats == 0) return result;
    const nolith_cuda::QueryOrdering<NolithBackend> ordering(*this, query.stream);
    if (query.count == 0 || count == 0) {
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(result.get(), 0, 4 * floats, query.stream));
        return result;
    }
    auto planes = element_gradients(query, grad_output);
    const std::uint32_t n_elements = static_cast<std::uint32_t>(count);
    if (kPoints<Geometry>) {
        NOLITH_CUDA_RAISE_REPORTED(
            scatter_rows(planes.get(), n_elements, sorted_indices, 3, 3, result.get(), query.stream));
    } else if (!from_mesh) {
        NOLITH_CUDA_RAISE_REPORTED(
            scatter_rows(planes.get(), n_elements, sorted_indices, 0, 9, result.get(), query.stream));
    } else {
        NOLITH_STREAM_BUFFER(float, corners, 9 * count, query.stream);
        NOLITH_CUDA_RAISE_REPORTED(
            scatter_rows(planes.get(), n_elements, sorted_indices, 0, 9, corners.get(), query.stream));
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(result.get(), 0, 4 * floats, query.stream));
        NOLITH_CUDA_RAISE_REPORTED(
            add_corners_to_vertices(corners.get(), mesh_indices, n_elements, result.get(), query.stream));
    }
    return result;
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
