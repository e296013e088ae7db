#pragma once
// Kernel launches for host execution: every CUDA thread of a block runs as a
// fiber on one OS thread; blocks of an ordinary launch spread over a worker
// pool, blocks of a cooperative launch each get an OS thread of their own so
// that the whole grid is co-resident for grid syncs.

#include <cuda_runtime.h>

#include <cstddef>
#include <functional>

namespace nolith_host {

// Runs `body` once per CUDA thread of the grid. Returns the launch status
// (also recorded as the last error); the kernel has finished when it returns,
// because stream work runs at enqueue time.
cudaError_t launch_kernel(const char* kernel_name, dim3 grid, dim3 block, std::size_t dynamic_shared_bytes,
                          cudaStream_t stream, bool cooperative, const std::function<void()>& body);

}  // namespace nolith_host
