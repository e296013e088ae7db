// Names and descriptions of runtime status codes, worded as the CUDA runtime
// words them, for the runtime-error report.

#include <cuda_runtime.h>

namespace {

struct ErrorText {
    cudaError_t code;
    const char* name;
    const char* description;
};

#define NOLITH_ERROR(code, text) {code, #code, text}
constexpr ErrorText kErrors[] = {
    NOLITH_ERROR(cudaSuccess, "no error"),
    NOLITH_ERROR(cudaErrorInvalidValue, "invalid argument"),
    NOLITH_ERROR(cudaErrorMemoryAllocation, "out of memory"),
    NOLITH_ERROR(cudaErrorInitializationError, "initialization error"),
    NOLITH_ERROR(cudaErrorLaunchFailure, "unspecified launch failure"),
    NOLITH_ERROR(cudaErrorLaunchTimeout, "the launch timed out and was terminated"),
    NOLITH_ERROR(cudaErrorLaunchOutOfResources, "too many resources requested for launch"),
    NOLITH_ERROR(cudaErrorInvalidDeviceFunction, "invalid device function"),
    NOLITH_ERROR(cudaErrorInvalidConfiguration, "invalid configuration argument"),
    NOLITH_ERROR(cudaErrorInvalidDevice, "invalid device ordinal"),
    NOLITH_ERROR(cudaErrorInvalidResourceHandle, "invalid resource handle"),
    NOLITH_ERROR(cudaErrorNotReady, "device not ready"),
    NOLITH_ERROR(cudaErrorIllegalAddress, "an illegal memory access was encountered"),
    NOLITH_ERROR(cudaErrorNoDevice, "no CUDA-capable device is detected"),
    NOLITH_ERROR(cudaErrorNotSupported, "operation not supported"),
    NOLITH_ERROR(cudaErrorCooperativeLaunchTooLarge, "too many blocks in cooperative launch"),
    NOLITH_ERROR(cudaErrorUnknown, "unknown error"),
};
#undef NOLITH_ERROR

const ErrorText* find(cudaError_t code) {
    for (const ErrorText& e : kErrors) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

}  // namespace

extern "C" {

const char* cudaGetErrorString(cudaError_t error) {
    const ErrorText* e = find(error);
    return e ? e->description : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
    const ErrorText* e = find(error);
    return e ? e->name : "cudaErrorUnknown";
}

}  // extern "C"
