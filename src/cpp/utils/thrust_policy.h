#pragma once
// The parallel-algorithms execution policy bound to a stream: with nvcc the
// CUDA system on that stream (each algorithm returns after the stream has
// drained); on the host flavour CCCL's sequential host system, run on the
// host once the stream's queued work has run (host_runtime/stream_policy.h).

#include "gpu.h"

#if defined(__CUDACC__)
#include <thrust/system/cuda/execution_policy.h>
#else
#include "host_runtime/stream_policy.h"
#endif

namespace nolith_cuda {

inline auto stream_policy(cudaStream_t stream) {
#if defined(__CUDACC__)
    return thrust::cuda::par.on(stream);
#else
    return nolith_host::StreamPolicy(stream);
#endif
}

}  // namespace nolith_cuda
