// Construction, destruction and the factories of NolithBackend, and the
// members that exist in the interface but are not implemented.

#include "nolith_cuda/nolith_backend.h"

#include "gpu.h"
#include "kernels/mesh/gather_triangles.h"
#include "nolith_cuda/size_limits.h"
#include "records.h"
#include "utils/console.h"
#include "utils/cuda_check.h"
#include "utils/finite_check.h"
#include "utils/finite_values.h"
#include "utils/scoped_device.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/iterator/counting_iterator.h>
#include <thrust/transform_reduce.h>

#include <stdexcept>
#include <string>

namespace {

// What one reduction over a mesh's corners finds: the largest index, and the
// smallest index of a vertex that a corner uses and that is not finite.
struct CornerScan {
    std::uint32_t max_index;
    std::uint32_t first_non_finite_vertex;
};

constexpr std::uint32_t kNoVertex = 0xffffffffu;

struct ScanCorner {
    const unsigned int* indices;
    const Vec3* vertices;
    unsigned long vertex_count;
    __host__ __device__ CornerScan operator()(std::size_t corner) const {
        const std::uint32_t index = indices[corner];
        // An index out of range is refused by its own message; its vertex is not read.
        const bool bad = index < vertex_count && !nolith_cuda::all_finite(&vertices[index].x, 3);
        return CornerScan{index, bad ? index : kNoVertex};
    }
};

struct MergeCornerScan {
    __host__ __device__ CornerScan operator()(const CornerScan& a, const CornerScan& b) const {
        return CornerScan{a.max_index > b.max_index ? a.max_index : b.max_index,
                          a.first_non_finite_vertex < b.first_non_finite_vertex ? a.first_non_finite_vertex
                                                                                : b.first_non_finite_vertex};
    }
};

std::string index_message(unsigned long vertex_count, std::uint32_t max_index) {
    return "The triangle indices are not allowed to exceed the number of vertices. Vertex count is " +
           std::to_string(vertex_count) + ", max index is " + std::to_string(max_index) + ".";
}

}  // namespace

template <typename Geometry>
void NolithBackend<Geometry>::note_failure(cudaError_t status, int line, bool allocation) noexcept {
    if (nolith_cuda::report_cuda_error(status, __FILE__, line) == cudaSuccess || !construction_failure.empty()) return;
    try {
        construction_failure = nolith_cuda::cuda_error_text(status, __FILE__, line);
        construction_failure_is_allocation = allocation;
    } catch (...) {
        construction_failure = "CUDA Runtime Error";
    }
}

template <typename Geometry>
void NolithBackend<Geometry>::raise_construction_failure() const {
    if (construction_failure.empty()) return;
    if (construction_failure_is_allocation) throw nolith_cuda::DeviceAllocationError(construction_failure);
    throw std::runtime_error(construction_failure);
}

template <typename Geometry>
std::size_t NolithBackend<Geometry>::tree_bytes() const {
    if (packet_count == 0) return 0;
    const std::size_t leaves = packet_count, internal = leaves - 1;
    return sizeof(AABB) * (2 * leaves - 1) + sizeof(std::uint32_t) +
           (sizeof(BVH8Node) + sizeof(TailorCoefficientsF16) + sizeof(TailorCoefficientsTraceFree) +
            sizeof(LeafPointers)) *
               internal +
           (sizeof(TailorCoefficientsF16) + sizeof(TailorCoefficientsTraceFree) + sizeof(PacketRange)) * leaves;
}

template <typename Geometry>
void NolithBackend<Geometry>::allocate_tree(std::uint32_t leaves) {
    const std::size_t internal = leaves - 1;
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(node_aabbs, 2 * std::size_t(leaves) - 1, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(bvh8_nodes, internal, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(node_coefficients, internal, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(leaf_coefficients, leaves, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(leaf_pointers, internal, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(node_far_field, internal, stream));
    NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(leaf_far_field, leaves, stream));
}

template <typename Geometry>
NolithBackend<Geometry>::NolithBackend(unsigned long count, int device) : device(device), count(count) {
    note_failure(cudaStreamCreate(&stream), __LINE__, false);
    note_failure(cudaEventCreate(&build_start_event), __LINE__, false);
    note_failure(cudaEventCreate(&build_done_event), __LINE__, false);
    note_failure(cudaEventCreateWithFlags(&query_done_event, cudaEventDisableTiming), __LINE__, false);
    // An empty geometry has no tree: nothing is sized. The tree's own
    // buffers follow the packet count, which the build finds (allocate_tree).
    if (count == 0 || !construction_failure.empty()) return;
    const std::size_t n = count;
    note_failure(nolith_cuda::malloc_async(sorted_indices, n, stream), __LINE__, true);
    note_failure(nolith_cuda::malloc_async(soa_geometry, GeometryTraits<Geometry>::components * n, stream), __LINE__,
                 true);
    note_failure(nolith_cuda::malloc_async(bvh8_node_count, 1, stream), __LINE__, true);
}

template <typename Geometry>
NolithBackend<Geometry>::~NolithBackend() {
    if (stream) NOLITH_CUDA_CHECK(cudaStreamSynchronize(stream));
    if (build_start_event) NOLITH_CUDA_CHECK(cudaEventDestroy(build_start_event));
    if (build_done_event) NOLITH_CUDA_CHECK(cudaEventDestroy(build_done_event));
    if (query_done_event) NOLITH_CUDA_CHECK(cudaEventDestroy(query_done_event));
    void* buffers[] = {sorted_indices,    soa_geometry,      packets,       node_aabbs,     bvh8_node_count,
                       bvh8_nodes,        node_coefficients, leaf_coefficients, leaf_pointers, node_far_field,
                       leaf_far_field,    mesh_indices,      last_query.queries};
    for (void* buffer : buffers) {
        if (buffer) NOLITH_CUDA_CHECK(cudaFreeAsync(buffer, stream));
    }
    if (stream) {
        NOLITH_CUDA_CHECK(cudaStreamSynchronize(stream));
        NOLITH_CUDA_CHECK(cudaStreamDestroy(stream));
    }
}

// The frame of every factory: device switch (restored on every exit), banner,
// construction (owned at once, so any exception releases it), the factory's
// own steps ending with the build.
template <typename Geometry>
template <typename Steps>
std::unique_ptr<NolithBackend<Geometry>> NolithBackend<Geometry>::create(const char* banner, unsigned long count,
                                                                         int device, Steps&& steps) {
    nolith_cuda::ScopedDevice scoped_device(device);
    if (banner) nolith_cuda::console_line(nolith_cuda::ConsoleStream::Out, banner);
    std::unique_ptr<NolithBackend> backend(new NolithBackend(count, device));
    backend->raise_construction_failure();
    steps(*backend);
    return backend;
}

template <typename Geometry>
std::unique_ptr<NolithBackend<Triangle>> NolithBackend<Geometry>::CreateFromTriangles(const float* triangles,
                                                                                      unsigned long count,
                                                                                      int device) {
    nolith_cuda::check_count(count, 9, "triangles");
    return NolithBackend<Triangle>::create("CreateFromTriangles!", count, device,
                                           [&](NolithBackend<Triangle>& b) { b.initialize_triangle_data(triangles); });
}

template <typename Geometry>
std::unique_ptr<NolithBackend<Triangle>> NolithBackend<Geometry>::CreateFromMesh(const float* vertices,
                                                                                 unsigned long vertex_count,
                                                                                 const unsigned int* indices,
                                                                                 unsigned long count, int device) {
    nolith_cuda::check_count(count, 9, "triangles");
    return NolithBackend<Triangle>::create("CreateFromMesh!", count, device, [&](NolithBackend<Triangle>& b) {
        // Largest index over all corners, and the first used vertex that is
        // not finite, on the legacy default stream; blocks until known.
        const CornerScan scan = thrust::transform_reduce(
            nolith_cuda::stream_policy(nullptr), thrust::counting_iterator<std::size_t>(0),
            thrust::counting_iterator<std::size_t>(3 * count),
            ScanCorner{indices, reinterpret_cast<const Vec3*>(vertices), vertex_count}, CornerScan{0u, kNoVertex},
            MergeCornerScan());
        if (scan.max_index >= vertex_count) throw std::runtime_error(index_message(vertex_count, scan.max_index));
        if (scan.first_non_finite_vertex != kNoVertex) {
            nolith_cuda::refuse_device_row("vertices", scan.first_non_finite_vertex, vertices, 3, nullptr);
        }
        // The indices stay with the engine: gradients are summed onto shared vertices.
        NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(b.mesh_indices, 3 * std::size_t(count), b.stream));
        NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(b.mesh_indices, indices, 12 * std::size_t(count),
                                            cudaMemcpyDeviceToDevice, b.stream));
        b.mesh_vertex_count = vertex_count;
        b.from_mesh = true;
        float* soup = nullptr;
        NOLITH_CUDA_REQUIRE_ALLOCATION(nolith_cuda::malloc_async(soup, 9 * std::size_t(count), b.stream));
        try {
            NOLITH_CUDA_RAISE_REPORTED(
                gather_triangles(vertices, indices, static_cast<std::uint32_t>(count), soup, b.stream));
            b.initialize_triangle_data(soup);
        } catch (...) {
            NOLITH_CUDA_CHECK(cudaFreeAsync(soup, b.stream));
            throw;
        }
        // Stream order puts the free after every use of the soup by the build.
        NOLITH_CUDA_CHECK(cudaFreeAsync(soup, b.stream));
    });
}

template <typename Geometry>
std::unique_ptr<NolithBackend<PointNormal>> NolithBackend<Geometry>::CreateFromPoints(const float* points,
                                                                                      const float* normals,
                                                                                      unsigned long count,
                                                                                      int device) {
    nolith_cuda::check_count(count, 6, "points");
    return NolithBackend<PointNormal>::create("CreateFromPoints!", count, device, [&](NolithBackend<PointNormal>& b) {
        // The build refuses non-finite points itself (with the scene box).
        nolith_cuda::require_finite("normals", normals, count, 3, b.stream);
        b.initialize_point_data(points, normals);
    });
}

template <typename Geometry>
std::unique_ptr<NolithBackend<PointNormal>> NolithBackend<Geometry>::CreateForSolver(const float* points,
                                                                                     unsigned long count, int device) {
    nolith_cuda::check_count(count, 6, "points");
    return NolithBackend<PointNormal>::create(nullptr, count, device, [&](NolithBackend<PointNormal>& b) {
        if (count == 0) {
            b.initialize_point_data(points, nullptr);
            return;
        }
        // One zero scaled normal per point, released in stream order after the build read it.
        NOLITH_STREAM_BUFFER(float, zeros, 3 * std::size_t(count), b.stream);
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(zeros.get(), 0, 12 * std::size_t(count), b.stream));
        b.initialize_point_data(points, zeros.get());
    });
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
