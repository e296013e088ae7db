#include "nolith_cuda/backend_census.h"

#include "gpu.h"
#include "kernels/traversal/traversal.h"
#include "kernels/traversal/work_census.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/stream_buffer.h"

#include <stdexcept>

template <typename Geometry>
typename NolithBackend<Geometry>::Result work_census(const NolithBackend<Geometry>& backend, const float* queries,
                                                     unsigned long n, float beta, float epsilon,
                                                     cudaStream_t stream, std::vector<WorkCensus>& census,
                                                     std::vector<std::uint32_t>& packet_passes) {
    const unsigned long count = backend.point_count();
    if (count <= ELEMENTS_PER_LEAF || n == 0) throw std::invalid_argument("the work census needs a tree and queries");
    census.assign((n + 31) / 32, WorkCensus{});
    packet_passes.assign(backend.packets_count(), 0u);
    const int device = backend.device_id();
    return backend.walk(
        queries, n, beta, epsilon, stream,
        [&](const ComputeWindingNumbersParams<Geometry>& params, cudaStream_t caller) {
            NOLITH_STREAM_BUFFER(WorkCensus, counts, census.size(), caller);
            NOLITH_STREAM_BUFFER(std::uint32_t, passes, packet_passes.size(), caller);
            NOLITH_CUDA_RAISE_REPORTED(
                compute_work_census<Geometry>(params, device, caller, counts.get(), passes.get()));
            NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(census.data(), counts.get(), census.size() * sizeof(WorkCensus),
                                                cudaMemcpyDeviceToHost, caller));
            NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(packet_passes.data(), passes.get(),
                                                packet_passes.size() * sizeof(std::uint32_t), cudaMemcpyDeviceToHost,
                                                caller));
            NOLITH_CUDA_REQUIRE(cudaStreamSynchronize(caller));
        },
        true);
}

template <typename Geometry>
std::vector<double> walk_kernel_seconds(const NolithBackend<Geometry>& backend, const float* queries, unsigned long n,
                                        float beta, float epsilon, int repeats) {
    if (backend.point_count() <= ELEMENTS_PER_LEAF || n == 0) {
        throw std::invalid_argument("timing the walk needs a tree and queries");
    }
    cudaEvent_t start = nullptr, stop = nullptr;
    NOLITH_CUDA_REQUIRE(cudaEventCreate(&start));
    NOLITH_CUDA_REQUIRE(cudaEventCreate(&stop));
    std::vector<double> seconds;
    try {
        for (int r = 0; r <= repeats; ++r) {
            backend.walk(
                queries, n, beta, epsilon, 0,
                [&](const ComputeWindingNumbersParams<Geometry>& params, cudaStream_t caller) {
                    NOLITH_CUDA_REQUIRE(cudaEventRecord(start, caller));
                    NOLITH_CUDA_RAISE_REPORTED(compute_winding_numbers<Geometry>(params, backend.device_id(), caller));
                    NOLITH_CUDA_REQUIRE(cudaEventRecord(stop, caller));
                },
                false);
            NOLITH_CUDA_REQUIRE(cudaEventSynchronize(stop));
            float ms = 0.0f;
            NOLITH_CUDA_REQUIRE(cudaEventElapsedTime(&ms, start, stop));
            if (r > 0) seconds.push_back(1e-3 * ms);
        }
    } catch (...) {
        cudaEventDestroy(start);
        cudaEventDestroy(stop);
        throw;
    }
    NOLITH_CUDA_CHECK(cudaEventDestroy(start));
    NOLITH_CUDA_CHECK(cudaEventDestroy(stop));
    return seconds;
}

template std::vector<double> walk_kernel_seconds<Triangle>(const NolithBackend<Triangle>&, const float*, unsigned long,
                                                           float, float, int);
template std::vector<double> walk_kernel_seconds<PointNormal>(const NolithBackend<PointNormal>&, const float*,
                                                              unsigned long, float, float, int);

template NolithBackend<Triangle>::Result work_census<Triangle>(const NolithBackend<Triangle>&, const float*,
                                                               unsigned long, float, float, cudaStream_t,
                                                               std::vector<WorkCensus>&, std::vector<std::uint32_t>&);
template NolithBackend<PointNormal>::Result work_census<PointNormal>(const NolithBackend<PointNormal>&, const float*,
                                                                     unsigned long, float, float, cudaStream_t,
                                                                     std::vector<WorkCensus>&,
                                                                     std::vector<std::uint32_t>&);
