#pragma once
// The parallel-algorithms execution policies bound to a stream.
// stream_policy: with nvcc the CUDA system on that stream (each algorithm
// returns after the stream has drained; temporary storage in stream order);
// on the host flavour CCCL's
// sequential host system, run on the host once the stream's queued work has
// run (host_runtime/stream_policy.h). For the build and anything whose
// result the host reads.
// queued_policy: algorithms queued on the stream that return at once, their
// temporary storage allocated and freed in stream order; for the query path,
// which must not make the host wait.

#include "gpu.h"

#if defined(__CUDACC__)
#include <thrust/system/cuda/execution_policy.h>

#include <cstddef>
#include <new>
#else
#include "host_runtime/stream_policy.h"
#endif

namespace nolith_cuda {

#if defined(__CUDACC__)
// thrust's temporary storage from the stream-ordered pool of `stream`: the
// default allocator's cudaFree would wait for the whole device.
struct StreamOrderedAllocator {
    using value_type = char;
    cudaStream_t stream;
    char* allocate(std::ptrdiff_t bytes) {
        void* pointer = nullptr;
        if (cudaMallocAsync(&pointer, static_cast<std::size_t>(bytes), stream) != cudaSuccess) {
            (void)cudaGetLastError();
            throw std::bad_alloc();
        }
        return static_cast<char*>(pointer);
    }
    void deallocate(char* pointer, std::size_t) noexcept { (void)cudaFreeAsync(pointer, stream); }
};
#endif

inline auto stream_policy(cudaStream_t stream) {
#if defined(__CUDACC__)
    return thrust::cuda::par(StreamOrderedAllocator{stream}).on(stream);
#else
    return nolith_host::StreamPolicy(stream);
#endif
}

inline auto queued_policy(cudaStream_t stream) {
#if defined(__CUDACC__)
    return thrust::cuda::par_nosync(StreamOrderedAllocator{stream}).on(stream);
#else
    return nolith_host::QueuedPolicy(stream);
#endif
}

}  // namespace nolith_cuda
