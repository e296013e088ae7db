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
#include <thrust/reduce.h>
#include <thrust/scan.h>
#include <thrust/sequence.h>
#include <thrust/sort.h>
#include <thrust/system/cpp/execution_policy.h>
#include <thrust/transform.h>
#include <thrust/transform_reduce.h>

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
NOLITH_HOST_STREAM_ALGORITHM(copy_n)
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

}  // namespace nolith_host
