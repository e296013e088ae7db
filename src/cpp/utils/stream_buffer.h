#pragma once
// A temporary device buffer allocated and released in stream order. It is
// released when the stage that owns it is done (release()) or, at the latest,
// when an exception leaves that stage, so a failed build leaks nothing.

#include "utils/cuda_check.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace nolith_cuda {

template <typename T>
class StreamBuffer {
public:
    // `file`/`line` name the allocating site in the report of a failure,
    // which stops the operation (DeviceAllocationError).
    StreamBuffer(std::size_t count, cudaStream_t stream, const char* file, int line) : stream_(stream) {
        void* raw = nullptr;
        require_allocation(cudaMallocAsync(&raw, count * sizeof(T), stream), file, line);
        data_ = static_cast<T*>(raw);
    }
    ~StreamBuffer() { release(); }
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;
    StreamBuffer(StreamBuffer&& other) noexcept : data_(other.data_), stream_(other.stream_) { other.data_ = nullptr; }

    T* get() const { return data_; }

    void release() noexcept {
        if (data_) NOLITH_CUDA_CHECK(cudaFreeAsync(data_, stream_));
        data_ = nullptr;
    }

private:
    T* data_ = nullptr;
    cudaStream_t stream_;
};

}  // namespace nolith_cuda

#define NOLITH_STREAM_BUFFER(T, name, count, stream) ::nolith_cuda::StreamBuffer<T> name((count), (stream), __FILE__, __LINE__)
