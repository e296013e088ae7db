#include "utils/cuda_check.h"

#include "utils/console.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace nolith_cuda {

namespace {

// The path from "src/" on, so reports do not depend on where the tree lives.
const char* project_relative_path(const char* file) noexcept {
    const char* found = std::strstr(file, "src/cpp/");
    return found ? found : file;
}

// The report line without its newline, cut to the buffer.
void format_report(char (&buffer)[512], cudaError_t status, const char* file, int line) noexcept {
    std::snprintf(buffer, sizeof buffer, "CUDA Runtime Error: %s:%i:%d = %s", project_relative_path(file), line,
                  static_cast<int>(status), cudaGetErrorString(status));
}

}  // namespace

std::string cuda_error_text(cudaError_t status, const char* file, int line) {
    char buffer[512];
    format_report(buffer, status, file, line);
    return buffer;
}

cudaError_t report_cuda_error(cudaError_t status, const char* file, int line) noexcept {
    if (status != cudaSuccess) {
        char buffer[512];
        format_report(buffer, status, file, line);
        console_line(ConsoleStream::Err, buffer);
    }
    return status;
}

void require_allocation(cudaError_t status, const char* file, int line) {
    if (report_cuda_error(status, file, line) != cudaSuccess) {
        throw DeviceAllocationError(cuda_error_text(status, file, line));
    }
}

void require_success(cudaError_t status, const char* file, int line) {
    if (report_cuda_error(status, file, line) != cudaSuccess) {
        throw std::runtime_error(cuda_error_text(status, file, line));
    }
}

void raise_reported(cudaError_t status, const char* file, int line) {
    if (status != cudaSuccess) throw std::runtime_error(cuda_error_text(status, file, line));
}

}  // namespace nolith_cuda
