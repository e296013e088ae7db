#pragma once
// The runtime-error report: after a CUDA runtime call (or a launch), a
// failure is printed as one line on standard error, naming the source file
// and line. NOLITH_CUDA_CHECK only reports; the REQUIRE forms report and
// then stop the operation with an exception carrying the same text, for the
// calls whose failure would leave later steps without their buffers.

#include <cuda_runtime.h>

#include <new>
#include <string>

namespace nolith_cuda {

// "CUDA Runtime Error: file:line:code = description" (no newline).
std::string cuda_error_text(cudaError_t status, const char* file, int line);

// Prints the report line when `status` is a failure; returns `status`.
cudaError_t report_cuda_error(cudaError_t status, const char* file, int line) noexcept;

// A device allocation that failed; Python sees MemoryError with the report text.
class DeviceAllocationError : public std::bad_alloc {
public:
    explicit DeviceAllocationError(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// Report, then throw DeviceAllocationError (allocations) or
// std::runtime_error (anything else) when `status` is a failure.
void require_allocation(cudaError_t status, const char* file, int line);
void require_success(cudaError_t status, const char* file, int line);
// Throws std::runtime_error for a failure that the callee has reported
// already (a launch wrapper's status), so that it is printed only once.
void raise_reported(cudaError_t status, const char* file, int line);

}  // namespace nolith_cuda

#define NOLITH_CUDA_CHECK(call) ::nolith_cuda::report_cuda_error((call), __FILE__, __LINE__)
#define NOLITH_CUDA_REQUIRE_ALLOCATION(call) ::nolith_cuda::require_allocation((call), __FILE__, __LINE__)
#define NOLITH_CUDA_REQUIRE(call) ::nolith_cuda::require_success((call), __FILE__, __LINE__)
#define NOLITH_CUDA_RAISE_REPORTED(call) ::nolith_cuda::raise_reported((call), __FILE__, __LINE__)
