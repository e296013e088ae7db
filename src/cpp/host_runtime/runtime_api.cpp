// The CUDA runtime API for host execution, defined with the header's exact
// C signatures so that backend code is written once. Stream work runs at
// enqueue time, which keeps stream order and event semantics trivially.

#include "runtime_state.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

struct CUstream_st {
    int device;
    unsigned flags;
};

struct CUevent_st {
    int device;
    unsigned flags;
    bool recorded;
    std::chrono::steady_clock::time_point when;
};

namespace nolith_host {

namespace {

constexpr unsigned char kPoison = 0xFF;  // NaN floats, all-ones integers
constexpr std::size_t kDeviceMemory = std::size_t(16) << 30;

struct Allocation {
    std::size_t size;
    int device;
};

struct Faults {
    std::array<unsigned long, 3> calls{};
    std::array<unsigned long, 3> fail_at{};  // 0: none pending
    std::array<cudaError_t, 3> code{};
};

struct Runtime {
    std::mutex mutex;
    std::map<std::uintptr_t, Allocation> allocations;
    std::set<CUstream_st*> streams;
    std::set<CUevent_st*> events;
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

bool is_special_stream(cudaStream_t stream) {
    return stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread;
}

// The allocation that holds `address`, if any (caller holds the mutex).
const std::pair<const std::uintptr_t, Allocation>* find_allocation(Runtime& r, const void* address) {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    auto it = r.allocations.upper_bound(a);
    if (it == r.allocations.begin()) return nullptr;
    --it;
    if (a >= it->first + std::max<std::size_t>(it->second.size, 1)) return nullptr;
    return &*it;
}

// A range inside a device allocation must end inside it; memory the runtime
// did not allocate (caller arrays of the host flavour) is accepted as is.
bool range_ok(const void* address, std::size_t count) {
    if (count == 0) return true;
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto* allocation = find_allocation(r, address);
    // A range that starts exactly at the end of an allocation overruns it.
    if (!allocation) return find_allocation(r, static_cast<const char*>(address) - 1) == nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    return begin + count <= allocation->first + allocation->second.size;
}

cudaError_t allocate(void** pointer, std::size_t size) {
    if (!pointer) return record(cudaErrorInvalidValue);
    if (cudaError_t injected = injected_failure(testing::Operation::Allocation)) {
        *pointer = nullptr;
        return record(injected);
    }
    if (size == 0) {
        *pointer = nullptr;
        return cudaSuccess;
    }
    if (size > kDeviceMemory) {
        *pointer = nullptr;
        return record(cudaErrorMemoryAllocation);
    }
    void* memory = nullptr;
    if (posix_memalign(&memory, 256, size) != 0) {
        *pointer = nullptr;
        return record(cudaErrorMemoryAllocation);
    }
    std::memset(memory, kPoison, size);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.allocations[reinterpret_cast<std::uintptr_t>(memory)] = Allocation{size, tl_device};
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t release(void* pointer) {
    if (!pointer) return cudaSuccess;
    Runtime& r = runtime();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.allocations.find(reinterpret_cast<std::uintptr_t>(pointer));
        if (it == r.allocations.end()) return record(cudaErrorInvalidValue);
        r.allocations.erase(it);
    }
    std::free(pointer);
    return cudaSuccess;
}

cudaError_t copy(void* dst, const void* src, std::size_t count) {
    if (cudaError_t injected = injected_failure(testing::Operation::Copy)) return record(injected);
    if (count && (!dst || !src)) return record(cudaErrorInvalidValue);
    if (!range_ok(dst, count) || !range_ok(src, count)) return record(cudaErrorInvalidValue);
    if (count) std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t fill(void* dst, int value, std::size_t count) {
    if (cudaError_t injected = injected_failure(testing::Operation::Copy)) return record(injected);
    if (count && !dst) return record(cudaErrorInvalidValue);
    if (!range_ok(dst, count)) return record(cudaErrorInvalidValue);
    if (count) std::memset(dst, value, count);
    return cudaSuccess;
}

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

cudaError_t stream_device(cudaStream_t stream, int* device) {
    if (is_special_stream(stream)) {
        *device = tl_device;
        return cudaSuccess;
    }
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.streams.count(stream)) return cudaErrorInvalidResourceHandle;
    *device = stream->device;
    return cudaSuccess;
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

std::size_t live_allocations() {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.allocations.size();
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

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }

cudaError_t cudaRuntimeGetVersion(int* version) {
    if (!version) return record(cudaErrorInvalidValue);
    *version = CUDART_VERSION;
    return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) { return cudaRuntimeGetVersion(version); }

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
    if (!free_bytes || !total_bytes) return record(cudaErrorInvalidValue);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::size_t used = 0;
    for (const auto& a : r.allocations) used += a.second.device == tl_device ? a.second.size : 0;
    *total_bytes = kDeviceMemory;
    *free_bytes = kDeviceMemory - std::min(used, kDeviceMemory);
    return cudaSuccess;
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (!stream) return record(cudaErrorInvalidValue);
    auto* s = new CUstream_st{tl_device, flags};
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.streams.insert(s);
    *stream = s;
    return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamDefault); }

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (is_special_stream(stream)) return record(cudaErrorInvalidResourceHandle);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.streams.erase(stream)) return record(cudaErrorInvalidResourceHandle);
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    int device;
    return record(stream_device(stream, &device));
}

cudaError_t cudaStreamQuery(cudaStream_t stream) { return cudaStreamSynchronize(stream); }

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (!event) return record(cudaErrorInvalidValue);
    auto* e = new CUevent_st{tl_device, flags, false, {}};
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.events.insert(e);
    *event = e;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.events.erase(event)) return record(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

static bool live_event(cudaEvent_t event) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.events.count(event) != 0;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (!live_event(event)) return record(cudaErrorInvalidResourceHandle);
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    // An event belongs to the device it was created on; so must the stream.
    if (device != event->device) return record(cudaErrorInvalidResourceHandle);
    event->recorded = true;
    event->when = std::chrono::steady_clock::now();
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) {
    return record(live_event(event) ? cudaSuccess : cudaErrorInvalidResourceHandle);
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) { return cudaEventQuery(event); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (!ms) return record(cudaErrorInvalidValue);
    if (!live_event(start) || !live_event(end)) return record(cudaErrorInvalidResourceHandle);
    if (!start->recorded || !end->recorded) return record(cudaErrorInvalidResourceHandle);
    // As on a GPU, events created without timing cannot be timed.
    if ((start->flags | end->flags) & cudaEventDisableTiming) return record(cudaErrorInvalidResourceHandle);
    *ms = std::chrono::duration<float, std::milli>(end->when - start->when).count();
    return cudaSuccess;
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int) {
    if (!live_event(event)) return record(cudaErrorInvalidResourceHandle);
    int device;
    return record(stream_device(stream, &device));
}

cudaError_t cudaMalloc(void** pointer, size_t size) { return allocate(pointer, size); }

cudaError_t cudaFree(void* pointer) { return release(pointer); }

cudaError_t cudaMallocAsync(void** pointer, size_t size, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return allocate(pointer, size);
}

cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return release(pointer);
}

cudaError_t cudaMallocHost(void** pointer, size_t size) {
    if (!pointer) return record(cudaErrorInvalidValue);
    *pointer = std::malloc(size ? size : 1);
    return *pointer ? cudaSuccess : record(cudaErrorMemoryAllocation);
}

cudaError_t cudaFreeHost(void* pointer) {
    std::free(pointer);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind) { return copy(dst, src, count); }

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return copy(dst, src, count);
}

cudaError_t cudaMemset(void* dst, int value, size_t count) { return fill(dst, value, count); }

cudaError_t cudaMemsetAsync(void* dst, int value, size_t count, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return fill(dst, value, count);
}

cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t count, size_t offset, cudaMemcpyKind) {
    return copy(static_cast<char*>(const_cast<void*>(symbol)) + offset, src, count);
}

cudaError_t cudaMemcpyToSymbolAsync(const void* symbol, const void* src, size_t count, size_t offset,
                                    cudaMemcpyKind kind, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return cudaMemcpyToSymbol(symbol, src, count, offset, kind);
}

cudaError_t cudaMemcpyFromSymbol(void* dst, const void* symbol, size_t count, size_t offset, cudaMemcpyKind) {
    return copy(dst, static_cast<const char*>(symbol) + offset, count);
}

cudaError_t cudaMemcpyFromSymbolAsync(void* dst, const void* symbol, size_t count, size_t offset,
                                      cudaMemcpyKind kind, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    return cudaMemcpyFromSymbol(dst, symbol, count, offset, kind);
}

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

cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* pointer) {
    if (!attributes) return record(cudaErrorInvalidValue);
    *attributes = cudaPointerAttributes{};
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (const auto* allocation = find_allocation(r, pointer)) {
        attributes->type = cudaMemoryTypeDevice;
        attributes->device = allocation->second.device;
        attributes->devicePointer = const_cast<void*>(pointer);
    } else {
        attributes->type = cudaMemoryTypeUnregistered;
        attributes->device = -2;
        attributes->hostPointer = const_cast<void*>(pointer);
    }
    return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
    cudaError_t status = tl_last_error;
    tl_last_error = cudaSuccess;
    return status;
}

cudaError_t cudaPeekAtLastError(void) { return tl_last_error; }

}  // extern "C"
