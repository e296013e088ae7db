#include "utils/cuda_check.h"

#include <cstdio>
#include <cstring>

namespace nolith_cuda {

const char* project_relative_path(const char* file) noexcept {
    const char* found = std::strstr(file, "src/cpp/");
    return found ? found : file;
}

cudaError_t report_cuda_error(cudaError_t status, const char* file, int line) noexcept {
    if (status != cudaSuccess) {
        std::fprintf(stderr, "CUDA Runtime Error: %s:%i:%d = %s\n", project_relative_path(file), line,
                     static_cast<int>(status), cudaGetErrorString(status));
    }
    return status;
}

}  // namespace nolith_cuda
