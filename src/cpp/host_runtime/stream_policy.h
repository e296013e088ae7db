#pragma once
// The thrust execution policy bound to a stream on the host flavour. thrust
// runs on CCCL's sequential CPP system, on the host, at the call; on a GPU the
// algorithm is queued on the stream and the call returns once the stream has
// drained. So each algorithm first waits for the stream's queued work, which
// matters in deferred mode. Other algorithms reach the listed ones through
// thrust's generic implementations, which end in them.

#include <thrust/execution_policy.h>
#include <thrust/fill.h>
#include <thrust/for_each.h>
#include <thrust/copy.h>
#include <thrust/count.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>
#include <thrust/sequence.h>
#include <thrust/sort.h>
#include <thrust/system/cpp/execution_policy.h>
#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

#include "streams.h"

#include <cuda_runtime.h>

#include <utility>

namespace nolith_host {

struct StreamPolicy : thrust::execution_policy<StreamPolicy> {
    explicit StreamPolicy(cudaStream_t s) : stream(s) {}
    void drain() const { (void)cudaStreamSynchronize(stream); }
    cudaStream_t stream;
};

// Found by argument-dependent lookup from thrust's entry points.
#define NOLITH_HOST_STREAM_ALGORITHM(name)                                                       \
    template <typename... Args>                                                                  \
    auto name(const StreamPolicy& policy, Args&&... args)                                        \
        ->decltype(thrust::name(thrust::cpp::par, std::forward<Args>(args)...)) {                \
        policy.drain();                                                                          \
        return thrust::name(thrust::cpp::par, std::forward<Args>(args)...);                      \
    }

NOLITH_HOST_STREAM_ALGORITHM(copy)
NOLITH_HOST_STREAM_ALGORITHM(copy_if)
NOLITH_HOST_STREAM_ALGORITHM(copy_n)
NOLITH_HOST_STREAM_ALGORITHM(count_if)
NOLITH_HOST_STREAM_ALGORITHM(exclusive_scan)
NOLITH_HOST_STREAM_ALGORITHM(fill)
NOLITH_HOST_STREAM_ALGORITHM(fill_n)
NOLITH_HOST_STREAM_ALGORITHM(for_each)
NOLITH_HOST_STREAM_ALGORITHM(for_each_n)
NOLITH_HOST_STREAM_ALGORITHM(inclusive_scan)
NOLITH_HOST_STREAM_ALGORITHM(reduce)
NOLITH_HOST_STREAM_ALGORITHM(sequence)
NOLITH_HOST_STREAM_ALGORITHM(sort)
NOLITH_HOST_STREAM_ALGORITHM(sort_by_key)
NOLITH_HOST_STREAM_ALGORITHM(stable_sort)
NOLITH_HOST_STREAM_ALGORITHM(stable_sort_by_key)
NOLITH_HOST_STREAM_ALGORITHM(transform)
NOLITH_HOST_STREAM_ALGORITHM(transform_reduce)

#undef NOLITH_HOST_STREAM_ALGORITHM

// The policy of algorithms whose results stay on the device: on a GPU they
// are queued on the stream and the call returns at once (par_nosync), so
// here they are queued as stream work with their arguments copied. Only the
// algorithms that return nothing the host must wait for are offered.
struct QueuedPolicy : thrust::execution_policy<QueuedPolicy> {
    explicit QueuedPolicy(cudaStream_t s) : stream(s) {}
    cudaStream_t stream;
};

template <typename ForwardIt, typename T>
void sequence(const QueuedPolicy& policy, ForwardIt first, ForwardIt last, T init) {
    enqueue(policy.stream, [=] { thrust::sequence(thrust::cpp::par, first, last, init); });
}

template <typename KeyIt, typename ValueIt>
void stable_sort_by_key(const QueuedPolicy& policy, KeyIt keys_first, KeyIt keys_last, ValueIt values_first) {
    enqueue(policy.stream,
                      [=] { thrust::stable_sort_by_key(thrust::cpp::par, keys_first, keys_last, values_first); });
}

template <typename OutputIt, typename Size, typename T>
OutputIt fill_n(const QueuedPolicy& policy, OutputIt first, Size n, const T& value) {
    enqueue(policy.stream, [=] { thrust::fill_n(thrust::cpp::par, first, n, value); });
    return first + n;
}

template <typename InputIt, typename OutputIt, typename UnaryFunction>
OutputIt transform(const QueuedPolicy& policy, InputIt first, InputIt last, OutputIt result, UnaryFunction op) {
    enqueue(policy.stream, [=] { thrust::transform(thrust::cpp::par, first, last, result, op); });
    return result + (last - first);
}

}  // namespace nolith_host
