#pragma once
// A device array for host-driven sequences of thrust algorithms and kernels
// (the normal solver): allocated and released in stream order, so that its
// release never overtakes a kernel queued earlier that still reads it. (A
// thrust::device_vector frees at once on the host flavour, and with a
// device-wide wait on a GPU.) Iterable by thrust through device pointers.

#include "utils/stream_buffer.h"

#include <thrust/device_ptr.h>

#include <cstddef>

namespace nolith_cuda {

template <typename T>
class StreamVector {
public:
    StreamVector(std::size_t size, cudaStream_t stream, const char* file, int line)
        : buffer_(size, stream, file, line), size_(size) {}

    T* data() const { return buffer_.get(); }
    std::size_t size() const { return size_; }
    thrust::device_ptr<T> begin() const { return thrust::device_pointer_cast(buffer_.get()); }
    thrust::device_ptr<T> end() const { return begin() + size_; }

private:
    StreamBuffer<T> buffer_;
    std::size_t size_;
};

}  // namespace nolith_cuda
