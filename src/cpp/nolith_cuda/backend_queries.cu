// The queries: the common frame (device switch, result on the caller's
// stream, defaults) and the exact and fast evaluations.

#include "gpu.h"
#include "kernels/brute_force/brute_force.h"
#include "kernels/traversal/query_codes.h"
#include "kernels/traversal/traversal.h"
#include "nolith_cuda/morton_codes.h"
#include "nolith_cuda/nolith_backend.h"
#include "nolith_cuda/query_ordering.h"
#include "nolith_cuda/size_limits.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/scoped_device.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/sequence.h>
#include <thrust/sort.h>

#include <stdexcept>

namespace {

// The default smoothing length per unit of half the cloud's longest side.
constexpr float kDefaultEpsilon = 0.004f;

template <typename Geometry>
constexpr float default_beta() {
    return std::is_same<Geometry, PointNormal>::value ? 2.0f : 2.3f;
}

// Negative values select the defaults; -0.0 and NaN pass unchanged.
float with_default(float value, float fallback) { return value < 0.0f ? fallback : value; }

}  // namespace

// 0.004 times half the longest side of the scene box: a cloud spanning
// [-1, 1] gets 0.004, and the same cloud in other units the same winding
// numbers. A scene without extent (one point) keeps 0.004. Triangles ignore it.
template <typename Geometry>
float NolithBackend<Geometry>::default_epsilon() const {
    return scene.code_scale > 0.0f ? kDefaultEpsilon * (0.5f / scene.code_scale) : kDefaultEpsilon;
}

template <typename Geometry>
void NolithBackend<Geometry>::order_after(cudaStream_t caller) const noexcept {
    const std::lock_guard<std::mutex> lock(query_order_lock);
    if (NOLITH_CUDA_CHECK(cudaEventRecord(query_done_event, caller)) == cudaSuccess) {
        NOLITH_CUDA_CHECK(cudaStreamWaitEvent(stream, query_done_event, 0));
    }
}

template <typename Geometry>
void NolithBackend<Geometry>::evaluate_exactly(const float* queries, std::uint32_t n, float* out, float epsilon,
                                               cudaStream_t caller) const {
    if (count == 0) {
        NOLITH_CUDA_REQUIRE(cudaMemsetAsync(out, 0, 4 * std::size_t(n), caller));
        return;
    }
    NOLITH_CUDA_RAISE_REPORTED(compute_brute_force<Geometry>(reinterpret_cast<const Vec3*>(queries), soa_geometry, n,
                                                      static_cast<std::uint32_t>(count), out, epsilon,
                                                      scene.scene_scale, caller));
}

// The result buffer of n winding numbers, allocated on the caller's stream;
// its deleter frees it where it may outlive that stream if it can (see
// release_stream_for); null for n = 0. Checks the stream handle first.
template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::allocate_result(unsigned long n,
                                                                                  cudaStream_t caller) const {
    Result result(nullptr, nolith_cuda::CudaDeleter{nolith_cuda::release_stream_for(caller), device});
    if (n == 0) return result;
    float* out = nullptr;
    NOLITH_CUDA_REQUIRE_ALLOCATION(cudaMallocAsync(reinterpret_cast<void**>(&out), 4 * std::size_t(n), caller));
    result.reset(out);
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::brute_force(const float* queries, unsigned long n,
                                                                             float epsilon,
                                                                             cudaStream_t caller) const {
    nolith_cuda::check_query_count(n);
    nolith_cuda::ScopedDevice scoped_device(device);
    Result result = allocate_result(n, caller);
    epsilon = with_default(epsilon, default_epsilon());
    remember_query(queries, n, default_beta<Geometry>(), epsilon, false, caller);
    if (n == 0) return result;
    const nolith_cuda::QueryOrdering<NolithBackend> ordering(*this, caller);
    // brute_force reads only the sorted planes, complete when the factory returned.
    evaluate_exactly(queries, static_cast<std::uint32_t>(n), result.get(), epsilon, caller);
    return result;
}

// The fast path's frame: Morton order of the queries, the wait for the
// build, the walk's parameters; `launch` queues the walk itself.
template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::walk(const float* queries, unsigned long n,
                                                                      float beta, float epsilon,
                                                                      cudaStream_t caller,
                                                                      const WalkLaunch& launch, bool remember) const {
    nolith_cuda::check_query_count(n);
    nolith_cuda::ScopedDevice scoped_device(device);
    Result result = allocate_result(n, caller);
    epsilon = with_default(epsilon, default_epsilon());
    beta = with_default(beta, default_beta<Geometry>());
    if (remember) remember_query(queries, n, beta, epsilon, true, caller);
    if (n == 0) return result;
    const nolith_cuda::QueryOrdering<NolithBackend> ordering(*this, caller);
    const std::uint32_t q = static_cast<std::uint32_t>(n);
    if (count == 0) {
        evaluate_exactly(queries, q, result.get(), epsilon, caller);
        return result;
    }
    const Vec3* points = reinterpret_cast<const Vec3*>(queries);

    // Morton order of the queries within their own box, so that the 32
    // queries of a warp are close in space and share most of their walk.
    NOLITH_STREAM_BUFFER(std::uint32_t, query_order, q, caller);
    {
        NOLITH_STREAM_BUFFER(std::uint64_t, keys, q, caller);
        NOLITH_STREAM_BUFFER(std::uint32_t, box, 6, caller);
        NOLITH_CUDA_RAISE_REPORTED(compute_query_codes(points, q, keys.get(), box.get(), caller));
        const auto policy = nolith_cuda::queued_policy(caller);
        thrust::sequence(policy, query_order.get(), query_order.get() + q, 0u);
        thrust::stable_sort_by_key(policy, keys.get(), keys.get() + q, query_order.get());
    }

    // The tree was built on the backend's stream; the walk starts after it.
    NOLITH_CUDA_REQUIRE(cudaStreamWaitEvent(caller, build_done_event, 0));
    NOLITH_STREAM_BUFFER(std::uint32_t, work_counter, 1, caller);
    const std::uint32_t L = packet_count;
    const ComputeWindingNumbersParams<Geometry> params{points,
                                                       query_order.get(),
                                                       bvh8_nodes,
                                                       leaf_pointers,
                                                       node_far_field,
                                                       leaf_far_field,
                                                       node_aabbs + (L - 1),
                                                       packets,
                                                       L,
                                                       SoAView<Geometry>{soa_geometry, count},
                                                       q,
                                                       static_cast<std::uint32_t>(count),
                                                       result.get(),
                                                       work_counter.get(),
                                                       beta,
                                                       epsilon,
                                                       tree_levels,
                                                       scene.scene_scale};
    launch(params, caller);
    return result;
}

template <typename Geometry>
typename NolithBackend<Geometry>::Result NolithBackend<Geometry>::compute(const float* queries, unsigned long n,
                                                                         float beta, float epsilon,
                                                                         cudaStream_t caller) const {
    return walk(queries, n, beta, epsilon, caller,
                [this](const ComputeWindingNumbersParams<Geometry>& params, cudaStream_t caller) {
                    NOLITH_CUDA_RAISE_REPORTED(compute_winding_numbers<Geometry>(params, device, caller));
                },
                true);
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
