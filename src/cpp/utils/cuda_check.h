#pragma once
// The runtime-error report: after a CUDA runtime call (or a launch), a
// failure is printed as one line on standard error, naming the source file
// and line, and the status is handed back to the caller.

#include <cuda_runtime.h>

namespace nolith_cuda {

// Prints "CUDA Runtime Error: file:line:code = description" when `status` is
// a failure; returns `status` unchanged. Never throws.
cudaError_t report_cuda_error(cudaError_t status, const char* file, int line) noexcept;

// The source path as printed: from "src/" on, so reports do not depend on
// where the tree was checked out.
const char* project_relative_path(const char* file) noexcept;

}  // namespace nolith_cuda

#define NOLITH_CUDA_CHECK(call) ::nolith_cuda::report_cuda_error((call), __FILE__, __LINE__)
