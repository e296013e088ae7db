#pragma once
// Device memory helpers shared by the backend and the module: plain and
// stream-ordered frees, a float fill, the pointer-to-device query, and the
// deleter of every device array handed to Python.

#include <cuda_runtime.h>

#include <cstddef>

namespace nolith_cuda {

// cudaMallocAsync of `count` records of T on `stream` into `pointer`; the
// status is returned for the caller to check.
template <typename T>
cudaError_t malloc_async(T*& pointer, std::size_t count, cudaStream_t stream) {
    void* raw = nullptr;
    const cudaError_t status = cudaMallocAsync(&raw, sizeof(T) * count, stream);
    pointer = static_cast<T*>(raw);
    return status;
}

// cudaMalloc on the current device; on failure the runtime-error report is
// printed and null returned.
float* cuda_allocate(unsigned long bytes);

// cudaFree (waits for the device); null is ignored; failures are reported.
void cuda_free(void* pointer);

// cudaFreeAsync on `stream`; null is ignored; failures are reported.
void cuda_free_async(void* pointer, cudaStream_t stream);

// Writes `value` to pointer[0 .. n-1] on the legacy default stream and waits.
void thrust_fill_float(float* pointer, unsigned long n, float value);

// The device ordinal of a device pointer (reported failure: -1).
int get_cuda_device_from_ndarray(const void* pointer);

// Frees a result buffer asynchronously on `stream`, with `device` current
// (Python may drop the last reference while another device is current; -1
// keeps the current one). Never reports: it runs from Python's garbage
// collection.
struct CudaDeleter {
    cudaStream_t stream = nullptr;
    int device = -1;
    void operator()(void* pointer) const noexcept;
};

// The stream a result made on `caller` is freed on: the legacy default
// stream for the default streams and blocking streams (it follows all their
// work, so the result may outlive `caller`), `caller` itself when it is
// non-blocking. Throws std::invalid_argument naming the handle when `caller`
// is not a live stream.
cudaStream_t release_stream_for(cudaStream_t caller);

}  // namespace nolith_cuda
