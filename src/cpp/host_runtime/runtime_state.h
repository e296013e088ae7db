#pragma once
// State shared by the runtime API sources and the launch code: devices, the
// calling thread's current device and last error, stream validation and
// fault injection.

#include "testing.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace nolith_host {

constexpr int kDeviceCount = 2;
constexpr std::size_t kDeviceMemory = std::size_t(16) << 30;

// Records `status` as the calling thread's last error when it is a failure,
// and returns it.
cudaError_t record(cudaError_t status);

int current_device();
const cudaDeviceProp& device_properties(int device);

// Resident blocks per multiprocessor that the emulated devices report for
// any kernel: few, so that cooperative grids (one OS thread per block) stay small.
int resident_blocks_per_multiprocessor(int block_size, std::size_t dynamic_shared_bytes);

// Checks that `stream` is a live stream or a special handle; on success
// `device` receives the device the stream belongs to.
cudaError_t stream_device(cudaStream_t stream, int* device);

// Counts a call of the given kind; returns the failure to inject, or success.
cudaError_t injected_failure(testing::Operation operation);

}  // namespace nolith_host
