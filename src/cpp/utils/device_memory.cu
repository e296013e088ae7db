#include "utils/device_memory.h"

#include "gpu.h"
#include "utils/cuda_check.h"

#include <thrust/device_ptr.h>
#include <thrust/execution_policy.h>
#include <thrust/fill.h>

#include <stdexcept>
#include <string>

namespace nolith_cuda {

float* cuda_allocate(unsigned long bytes) {
    void* pointer = nullptr;
    if (NOLITH_CUDA_CHECK(cudaMalloc(&pointer, bytes)) != cudaSuccess) return nullptr;
    return static_cast<float*>(pointer);
}

void cuda_free(void* pointer) {
    if (pointer) NOLITH_CUDA_CHECK(cudaFree(pointer));
}

void cuda_free_async(void* pointer, cudaStream_t stream) {
    if (pointer) NOLITH_CUDA_CHECK(cudaFreeAsync(pointer, stream));
}

void CudaDeleter::operator()(void* pointer) const noexcept {
    if (!pointer) return;
    int previous = device;
    if (device >= 0) {
        (void)cudaGetDevice(&previous);
        if (previous != device) (void)cudaSetDevice(device);
    }
    (void)cudaFreeAsync(pointer, stream);
    if (previous != device) (void)cudaSetDevice(previous);
}

cudaStream_t release_stream_for(cudaStream_t caller) {
    if (caller == nullptr || caller == cudaStreamLegacy || caller == cudaStreamPerThread) return cudaStreamLegacy;
    unsigned int flags = 0;
    if (cudaStreamGetFlags(caller, &flags) != cudaSuccess) {
        (void)cudaGetLastError();
        throw std::invalid_argument("stream " + std::to_string(reinterpret_cast<unsigned long long>(caller)) +
                                    " is not a live CUDA stream: pass the cuda_stream of an existing stream, "
                                    "or 0 for the default stream");
    }
    return (flags & cudaStreamNonBlocking) ? caller : cudaStreamLegacy;
}

void thrust_fill_float(float* pointer, unsigned long n, float value) {
    thrust::fill_n(thrust::device, thrust::device_pointer_cast(pointer), n, value);
    // thrust::device runs on the legacy default stream; wait for it as a blocking fill.
    NOLITH_CUDA_CHECK(cudaStreamSynchronize(nullptr));
}

int get_cuda_device_from_ndarray(const void* pointer) {
    cudaPointerAttributes attributes{};
    if (NOLITH_CUDA_CHECK(cudaPointerGetAttributes(&attributes, pointer)) != cudaSuccess) return -1;
    return attributes.device;
}

}  // namespace nolith_cuda
