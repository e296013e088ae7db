#include "utils/cuda_check.h"

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

}  // namespace

std::string cuda_error_text(cudaError_t status, const char* file, int line) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "CUDA Runtime Error: %s:%i:%d = %s", project_relative_path(file), line,
                  static_cast<int>(status), cudaGetErrorString(status));
    return buffer;
}

cudaError_t report_cuda_error(cudaError_t status, const char* file, int line) noexcept {
    if (status != cudaSuccess) {
        std::fprintf(stderr, "CUDA Runtime Error: %s:%i:%d = %s\n", project_relative_path(file), line,
                     static_cast<int>(status), cudaGetErrorString(status));
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
