// The queries: the common frame (device switch, result on the caller's
// stream, defaults) and the exact and fast evaluations.

#include "gpu.h"
#include "kernels/brute_force/brute_force.h"
#include "nolith_cuda/nolith_backend.h"
#include "nolith_cuda/size_limits.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/scoped_device.h"

namespace {

constexpr float kDefaultEpsilon = 0.004f;

template <typename Geometry>
constexpr float default_beta() {
    return std::is_same<Geometry, PointNormal>::value ? 2.0f : 2.3f;
}

// Negative values select the defaults; -0.0 and NaN pass unchanged.
float with_default(float value, float fallback) { return value < 0.0f ? fallback : value; }

}  // namespace

template <typename Geometry>
void NolithBackend<Geometry>::evaluate_exactly(const float* queries, std::uint32_t n, float* out, float epsilon,
                                               cudaStream_t caller) const {
    if (count == 0) {
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(out, 0, 4 * std::size_t(n), caller));
        return;
    }
    NOLITH_CUDA_REQUIRE(compute_brute_force<Geometry>(reinterpret_cast<const Vec3*>(queries), soa_geometry, n,
                                                      static_cast<std::uint32_t>(count), out, epsilon, caller));
}

// The result buffer of n winding numbers, allocated on the caller's stream
// and freed there by its deleter; null for n = 0.
template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::allocate_result(unsigned long n,
                                                                                  cudaStream_t caller) const {
    Result result(nullptr, nolith_cuda::CudaDeleter{caller});
    if (n == 0) return result;
    float* out = nullptr;
    NOLITH_CUDA_REQUIRE_ALLOCATION(cudaMallocAsync(reinterpret_cast<void**>(&out), 4 * std::size_t(n), caller));
    result.reset(out);
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::brute_force(const float* queries, unsigned long n,
                                                                             float epsilon,
                                                                             unsigned long long stream_handle) const {
    nolith_cuda::check_query_count(n);
    nolith_cuda::ScopedDevice scoped_device(device);
    cudaStream_t caller = reinterpret_cast<cudaStream_t>(stream_handle);
    Result result = allocate_result(n, caller);
    if (n == 0) return result;
    // brute_force reads only the sorted planes, complete when the factory returned.
    evaluate_exactly(queries, static_cast<std::uint32_t>(n), result.get(), with_default(epsilon, kDefaultEpsilon),
                     caller);
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::compute(const float* queries, unsigned long n,
                                                                         float beta, float epsilon,
                                                                         unsigned long long stream_handle) const {
    nolith_cuda::check_query_count(n);
    nolith_cuda::ScopedDevice scoped_device(device);
    cudaStream_t caller = reinterpret_cast<cudaStream_t>(stream_handle);
    Result result = allocate_result(n, caller);
    if (n == 0) return result;
    NOLITH_CUDA_REQUIRE(cudaStreamWaitEvent(caller, build_done_event, 0));
    beta = with_default(beta, default_beta<Geometry>());
    (void)beta;
    // Exact evaluation stands in for the tree traversal, which needs the full tree build.
    evaluate_exactly(queries, static_cast<std::uint32_t>(n), result.get(), with_default(epsilon, kDefaultEpsilon),
                     caller);
    return result;
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
