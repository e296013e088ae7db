#pragma once
// The cooperative-launch capability that grid-synchronising kernels need.

#include <cuda_runtime.h>

#include <stdexcept>

namespace nolith_cuda {

// Throws "Device does not support Cooperative Launch" when `device` cannot
// launch cooperatively.
inline void require_cooperative_launch(int device) {
    cudaDeviceProp properties{};
    (void)cudaGetDeviceProperties(&properties, device);
    if (!properties.cooperativeLaunch) throw std::runtime_error("Device does not support Cooperative Launch");
}

}  // namespace nolith_cuda
