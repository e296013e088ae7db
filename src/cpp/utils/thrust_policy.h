#pragma once
// The parallel-algorithms execution policy bound to a stream: with nvcc the
// CUDA system on that stream (each algorithm returns after the stream has
// drained); on the host flavour CCCL's sequential host system, which runs at
// once like every other piece of stream work there.

#include "gpu.h"

#if defined(__CUDACC__)
#include <thrust/system/cuda/execution_policy.h>
#else
#include <thrust/system/cpp/execution_policy.h>
#endif

namespace nolith_cuda {

inline auto stream_policy(cudaStream_t stream) {
#if defined(__CUDACC__)
    return thrust::cuda::par.on(stream);
#else
    (void)stream;
    return thrust::cpp::par;
#endif
}

}  // namespace nolith_cuda
