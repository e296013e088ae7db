// The gradient instantiation of the walk.

#include "kernels/traversal/gradient_walk.h"

#include "kernels/traversal/gradient_mode.h"
#include "kernels/traversal/walk.h"

template <typename Geometry>
cudaError_t compute_gradient_walk(const ComputeWindingNumbersParams<Geometry>& params, int device,
                                  cudaStream_t stream, const GradientTargets& targets) {
    if (params.num_queries == 0 || params.num_elements <= ELEMENTS_PER_LEAF) return cudaErrorInvalidValue;
    return nolith_traversal::launch_walk<Geometry, nolith_traversal::GradientMode>(params, device, stream, targets);
}

template cudaError_t compute_gradient_walk<Triangle>(const ComputeWindingNumbersParams<Triangle>&, int,
                                                     cudaStream_t, const GradientTargets&);
template cudaError_t compute_gradient_walk<PointNormal>(const ComputeWindingNumbersParams<PointNormal>&, int,
                                                        cudaStream_t, const GradientTargets&);
