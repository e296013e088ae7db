// The CUDA runtime API for host execution, defined with the header's exact
// C signatures so that backend code is written once: devices, their
// properties, error state and occupancy. Streams and events live in
// streams.cpp, memory in memory.cpp.

#include "runtime_state.h"

#include <array>
#include <cstdio>
#include <mutex>

namespace nolith_host {

namespace {

struct Faults {
    std::array<unsigned long, 3> calls{};
    std::array<unsigned long, 3> fail_at{};  // 0: none pending
    std::array<cudaError_t, 3> code{};
};

struct Runtime {
    std::mutex mutex;
    std::array<cudaDeviceProp, kDeviceCount> properties{};
    Faults faults;
};

cudaDeviceProp default_properties(int device) {
    cudaDeviceProp p{};
    std::snprintf(p.name, sizeof p.name, "nolith host device %d", device);
    p.totalGlobalMem = kDeviceMemory;
    p.sharedMemPerBlock = 48 * 1024;
    p.sharedMemPerMultiprocessor = 228 * 1024;
    p.sharedMemPerBlockOptin = 227 * 1024;
    p.regsPerBlock = 65536;
    p.regsPerMultiprocessor = 65536;
    p.warpSize = 32;
    p.maxThreadsPerBlock = 1024;
    p.maxThreadsDim[0] = 1024;
    p.maxThreadsDim[1] = 1024;
    p.maxThreadsDim[2] = 64;
    p.maxGridSize[0] = 0x7fffffff;
    p.maxGridSize[1] = 65535;
    p.maxGridSize[2] = 65535;
    p.totalConstMem = 64 * 1024;
    p.major = 9;
    p.minor = 0;
    p.multiProcessorCount = 4;
    p.maxThreadsPerMultiProcessor = 2048;
    p.maxBlocksPerMultiProcessor = 32;
    p.concurrentKernels = 1;
    p.unifiedAddressing = 1;
    p.managedMemory = 1;
    p.cooperativeLaunch = 1;
    p.memoryPoolsSupported = 1;
    p.pciDeviceID = device;
    return p;
}

Runtime& runtime() {
    static Runtime* instance = [] {
        auto* r = new Runtime();  // never destroyed: results may be freed during interpreter shutdown
        for (int d = 0; d < kDeviceCount; ++d) r->properties[d] = default_properties(d);
        return r;
    }();
    return *instance;
}

thread_local int tl_device = 0;
thread_local cudaError_t tl_last_error = cudaSuccess;

bool valid_device(int device) { return device >= 0 && device < kDeviceCount; }

}  // namespace

cudaError_t record(cudaError_t status) {
    if (status != cudaSuccess) tl_last_error = status;
    return status;
}

int current_device() { return tl_device; }

const cudaDeviceProp& device_properties(int device) { return runtime().properties[device]; }

int resident_blocks_per_multiprocessor(int block_size, std::size_t dynamic_shared_bytes) {
    if (block_size <= 0 || block_size > 1024 || dynamic_shared_bytes > 48 * 1024) return 0;
    return 2;
}

cudaError_t injected_failure(testing::Operation operation) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto i = static_cast<std::size_t>(operation);
    const unsigned long call = ++r.faults.calls[i];
    if (r.faults.fail_at[i] != 0 && call == r.faults.fail_at[i]) {
        r.faults.fail_at[i] = 0;
        return r.faults.code[i];
    }
    return cudaSuccess;
}

namespace testing {

void fail_nth(Operation operation, unsigned long k, cudaError_t code) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto i = static_cast<std::size_t>(operation);
    r.faults.fail_at[i] = k == 0 ? 0 : r.faults.calls[i] + k;
    r.faults.code[i] = code;
}

void clear_failures() {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.faults = Faults{};
}

unsigned long calls(Operation operation) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.faults.calls[static_cast<std::size_t>(operation)];
}

int device_count() { return kDeviceCount; }

void set_multiprocessor_count(int device, int count) { runtime().properties.at(device).multiProcessorCount = count; }

void set_cooperative_launch(int device, bool supported) {
    runtime().properties.at(device).cooperativeLaunch = supported ? 1 : 0;
}

void reset_device_properties() {
    for (int d = 0; d < kDeviceCount; ++d) runtime().properties[d] = default_properties(d);
}

}  // namespace testing

}  // namespace nolith_host

using namespace nolith_host;

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = kDeviceCount;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return record(cudaErrorInvalidValue);
    *device = tl_device;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (!valid_device(device)) return record(cudaErrorInvalidDevice);
    tl_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (!prop) return record(cudaErrorInvalidValue);
    if (!valid_device(device)) return record(cudaErrorInvalidDevice);
    *prop = device_properties(device);
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    if (!value) return record(cudaErrorInvalidValue);
    if (!valid_device(device)) return record(cudaErrorInvalidDevice);
    const cudaDeviceProp& p = device_properties(device);
    switch (attr) {
        case cudaDevAttrMultiProcessorCount: *value = p.multiProcessorCount; break;
        case cudaDevAttrCooperativeLaunch: *value = p.cooperativeLaunch; break;
        case cudaDevAttrWarpSize: *value = p.warpSize; break;
        case cudaDevAttrMaxThreadsPerBlock: *value = p.maxThreadsPerBlock; break;
        case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(p.sharedMemPerBlock); break;
        case cudaDevAttrComputeCapabilityMajor: *value = p.major; break;
        case cudaDevAttrComputeCapabilityMinor: *value = p.minor; break;
        case cudaDevAttrMemoryPoolsSupported: *value = p.memoryPoolsSupported; break;
        case cudaDevAttrMaxGridDimX: *value = p.maxGridSize[0]; break;
        case cudaDevAttrMaxGridDimY: *value = p.maxGridSize[1]; break;
        case cudaDevAttrMaxGridDimZ: *value = p.maxGridSize[2]; break;
        default: return record(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
    if (!version) return record(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) { return cudaRuntimeGetVersion(version); }

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* blocks, const void* func, int block_size,
                                                                   size_t dynamic_shared, unsigned int) {
    if (!blocks || !func) return record(cudaErrorInvalidValue);
    *blocks = resident_blocks_per_multiprocessor(block_size, dynamic_shared);
    return cudaSuccess;
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, const void* func, int block_size,
                                                          size_t dynamic_shared) {
    return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(blocks, func, block_size, dynamic_shared, 0);
}

cudaError_t cudaGetLastError(void) {
    cudaError_t status = tl_last_error;
    tl_last_error = cudaSuccess;
    return status;
}

cudaError_t cudaPeekAtLastError(void) { return tl_last_error; }

}  // extern "C"
