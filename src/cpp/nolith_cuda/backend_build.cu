// The build: turns the caller's geometry into the finished tree on the
// backend's stream. Temporaries are stream-ordered and released as soon as
// their last consumer is queued (or when an exception leaves the build).

#include "gpu.h"
#include "kernels/build_binary_tree/gather_soa.h"
#include "nolith_cuda/morton_codes.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cooperative_launch.h"
#include "utils/cuda_check.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/sequence.h>
#include <thrust/sort.h>

template <typename Geometry>
template <typename Element>
void NolithBackend<Geometry>::initializeMortonCodes(const Element* elements, unsigned long long* codes) {
    nolith_cuda::initialize_morton_codes(elements, static_cast<std::uint32_t>(count),
                                         reinterpret_cast<std::uint64_t*>(codes), stream);
}

namespace {

// Stage 3: indices 0..n-1 sorted stably by their codes.
void sort_by_codes(unsigned long long* codes, unsigned int* indices, unsigned long n, cudaStream_t stream) {
    const auto policy = nolith_cuda::stream_policy(stream);
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
        NOLITH_CUDA_REQUIRE(gather_triangles_soa(triangles, sorted_indices, soa_geometry,
                                                 static_cast<std::uint32_t>(count), stream));
        build_tree(morton_codes.get());
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
        NOLITH_CUDA_REQUIRE(gather_point_normals_soa(points, normals, sorted_indices, soa_geometry,
                                                     static_cast<std::uint32_t>(count), stream));
        build_tree(morton_codes.get());
    }
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

template <typename Geometry>
void NolithBackend<Geometry>::build_tree(unsigned long long* morton_codes) {
    (void)morton_codes;
    const std::uint32_t leaves = static_cast<std::uint32_t>((count + 31) >> 5);
    if (leaves >= 2) nolith_cuda::require_cooperative_launch(device);
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
