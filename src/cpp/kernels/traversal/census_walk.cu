// The census instantiation of the walk (benchmarks and tests only).

#include "kernels/traversal/census_mode.h"
#include "kernels/traversal/walk.h"
#include "kernels/traversal/work_census.h"
#include "utils/cuda_check.h"

template <typename Geometry>
cudaError_t compute_work_census(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                cudaStream_t stream, WorkCensus* census, std::uint32_t* packet_passes) {
    if (params.num_queries == 0 || params.num_elements <= ELEMENTS_PER_LEAF) return cudaErrorInvalidValue;
    if (cudaError_t status =
            NOLITH_CUDA_CHECK(cudaMemsetAsync(packet_passes, 0, 4 * std::size_t(params.num_packets), stream))) {
        return status;
    }
    using nolith_traversal::CensusMode;
    return nolith_traversal::launch_walk<Geometry, CensusMode>(params, device, stream,
                                                               CensusMode::Extras{census, packet_passes});
}

template cudaError_t compute_work_census<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                   cudaStream_t, WorkCensus*, std::uint32_t*);
template cudaError_t compute_work_census<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                      cudaStream_t, WorkCensus*, std::uint32_t*);
