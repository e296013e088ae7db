#pragma once
// Makes a device current for a scope and restores the caller's device on
// every exit path, exceptions included. Statuses of the two calls are ignored.

#include <cuda_runtime.h>

namespace nolith_cuda {

class ScopedDevice {
public:
    explicit ScopedDevice(int device) {
        (void)cudaGetDevice(&previous_);
        (void)cudaSetDevice(device);
    }
    ~ScopedDevice() { (void)cudaSetDevice(previous_); }
    ScopedDevice(const ScopedDevice&) = delete;
    ScopedDevice& operator=(const ScopedDevice&) = delete;

private:
    int previous_ = 0;
};

}  // namespace nolith_cuda
