#pragma once
// Kernel launches for host execution: every CUDA thread of a block runs as a
// fiber on one OS thread; blocks of an ordinary launch spread over a worker
// pool, blocks of a cooperative launch each get an OS thread of their own so
// that the whole grid is co-resident for grid syncs. A launch is stream work
// (streams.h): it runs when its stream gets to it.

#include <cuda_runtime.h>

#include <cstddef>
#include <functional>

namespace nolith_host {

// Queues a launch that runs `body` once per CUDA thread of the grid, and
// returns the launch status (also recorded as the last error). The body is
// copied: the kernel may run after the caller's arguments are gone.
cudaError_t launch_kernel(const char* kernel_name, dim3 grid, dim3 block, std::size_t dynamic_shared_bytes,
                          cudaStream_t stream, bool cooperative, const std::function<void()>& body);

}  // namespace nolith_host
