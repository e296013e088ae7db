// Device memory for host execution: allocations, copies, fills and symbol
// copies, queued as stream work where CUDA queues them. Every allocation is
// poisoned when made and followed by a guard checked when it is freed. In
// deferred mode freed memory is poisoned and held back (quarantined) for a
// while instead of being reused, so that work still reading it sees poison
// (and AddressSanitizer reports the access in that build). A stream-ordered
// free takes effect as early as stream order allows; memory it released
// ahead of work queued before it on other streams is checked to still hold
// its poison once that work has run, so a late write shows too.

#include "options.h"
#include "runtime_state.h"
#include "sanitizers.h"
#include "streams.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace nolith_host {

namespace {

// Guard bytes (kGuardBytes) follow every allocation, so no other block can
// start where one ends and a kernel writing past its end is reported at free.
constexpr unsigned char kGuardByte = 0xA7;
constexpr std::size_t kQuarantineBytes = std::size_t(256) << 20;

struct Allocation {
    std::size_t size;
    int device;
};

struct Freed {
    std::size_t size;
    bool released;  // poisoned and in quarantine, not only retired
};

struct Memory {
    std::mutex mutex;
    std::map<std::uintptr_t, Allocation> live;
    // Freed in deferred mode and not yet given back: their frees may still
    // be queued, or they sit in quarantine. Copies into them are refused.
    std::map<std::uintptr_t, Freed> freed;
    std::deque<std::pair<void*, std::size_t>> quarantine;
    std::size_t quarantined = 0;
    std::map<std::uintptr_t, std::size_t> pinned;  // cudaMallocHost
};

Memory& memory() {
    static Memory* instance = new Memory();  // never destroyed: results may be freed during interpreter shutdown
    return *instance;
}

std::size_t size_of(const Allocation& a) { return a.size; }
std::size_t size_of(const Freed& f) { return f.size; }
std::size_t size_of(std::size_t size) { return size; }

// The entry of an address map whose range holds `a`, if any.
template <typename Map>
auto containing(Map& map, std::uintptr_t a) -> decltype(&*map.begin()) {
    auto it = map.upper_bound(a);
    if (it == map.begin()) return nullptr;
    --it;
    return a < it->first + std::max<std::size_t>(size_of(it->second), 1) ? &*it : nullptr;
}

// A range inside a device allocation must end inside it; memory the runtime
// did not allocate (caller arrays of the host flavour) is accepted as is, but
// not memory that was freed.
bool range_ok(const void* address, std::size_t count) {
    if (count == 0) return true;
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    const auto begin = reinterpret_cast<std::uintptr_t>(address);
    if (containing(m.freed, begin) || containing(m.freed, begin + count - 1)) return false;
    const auto* allocation = containing(m.live, begin);
    // A range that starts exactly at the end of an allocation overruns it
    // (the guard bytes keep any other block from starting there).
    if (!allocation) return !containing(m.live, begin - 1) && !containing(m.live, begin + count - 1);
    return begin + count <= allocation->first + allocation->second.size;
}

bool is_device(const void* address) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    return containing(m.live, reinterpret_cast<std::uintptr_t>(address)) != nullptr;
}

bool is_pinned(const void* address) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    return containing(m.pinned, reinterpret_cast<std::uintptr_t>(address)) != nullptr;
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
    void* block = nullptr;
    if (size > kDeviceMemory || posix_memalign(&block, 256, size + kGuardBytes) != 0) {
        *pointer = nullptr;
        return record(cudaErrorMemoryAllocation);
    }
    auto* bytes = static_cast<unsigned char*>(block);
    std::memset(bytes, options().poison, size);
    std::memset(bytes + size, kGuardByte, kGuardBytes);
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.live[reinterpret_cast<std::uintptr_t>(block)] = Allocation{size, current_device()};
    *pointer = block;
    return cudaSuccess;
}

// Gives back memory whose free has run: checks its guard, then frees it, or
// in deferred mode poisons it with `poison` and puts it in quarantine.
void give_back(void* block, std::size_t size, bool deferred, unsigned char poison) {
    auto* bytes = static_cast<unsigned char*>(block);
    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (bytes[size + i] != kGuardByte) {
            std::fprintf(stderr,
                         "nolith host runtime: a kernel wrote past the end of the %zu-byte device allocation at %p "
                         "(byte %zu after its end)\n",
                         size, block, i);
            std::fflush(stderr);
            std::abort();
        }
    }
    if (!deferred) {
        std::free(block);
        return;
    }
    std::memset(bytes, poison, size);
    asan_poison(bytes, size + kGuardBytes);
    std::vector<void*> released;
    {
        Memory& m = memory();
        std::lock_guard<std::mutex> lock(m.mutex);
        const auto it = m.freed.find(reinterpret_cast<std::uintptr_t>(block));
        if (it != m.freed.end()) it->second.released = true;
        m.quarantine.emplace_back(block, size);
        m.quarantined += size;
        while (m.quarantined > kQuarantineBytes && m.quarantine.size() > 1) {
            auto [old, old_size] = m.quarantine.front();
            m.quarantine.pop_front();
            m.quarantined -= old_size;
            m.freed.erase(reinterpret_cast<std::uintptr_t>(old));
            asan_unpoison(old, old_size + kGuardBytes);
            released.push_back(old);
        }
    }
    for (void* old : released) std::free(old);
}

// Aborts when memory released ahead of work queued before its free (on
// other streams) no longer holds its poison after that work ran: the work
// wrote to it after the free. Memory already handed back is not checked;
// under AddressSanitizer the write itself was reported.
void check_untouched(const void* block, std::size_t size, unsigned char poison) {
#if !defined(__SANITIZE_ADDRESS__)
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    const auto it = m.freed.find(reinterpret_cast<std::uintptr_t>(block));
    if (it == m.freed.end() || !it->second.released || it->second.size != size) return;
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] == poison) continue;
        std::fprintf(stderr,
                     "nolith host runtime: the %zu-byte device allocation at %p was written (byte %zu) after "
                     "cudaFreeAsync released it, by work queued before the free on another stream and not "
                     "ordered before it: free it on the stream that uses it, or make that stream wait for the "
                     "work first (AddressSanitizer names the writer)\n",
                     size, block, i);
        std::fflush(stderr);
        std::abort();
    }
#else
    (void)block;
    (void)size;
    (void)poison;
#endif
}

// Takes `pointer` out of the live allocations; the memory itself stays until
// the free runs. Returns its size, or 0 for a pointer that is not a live allocation.
std::size_t retire(void* pointer, int* device, bool deferred) {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.live.find(reinterpret_cast<std::uintptr_t>(pointer));
    if (it == m.live.end()) return 0;
    const Allocation a = it->second;
    m.live.erase(it);
    if (deferred) m.freed[reinterpret_cast<std::uintptr_t>(pointer)] = Freed{a.size, false};
    *device = a.device;
    return a.size;
}

// Where the host side of a copy is pageable host memory, CUDA makes the call
// wait for the copy; the other cases queue it.
enum class Side { Device, Pinned, Pageable };

Side side_of(const void* address, bool host_by_kind, bool device_by_kind) {
    if (device_by_kind) return Side::Device;
    if (!host_by_kind && is_device(address)) return Side::Device;
    return is_pinned(address) ? Side::Pinned : Side::Pageable;
}

cudaError_t check_copy(void* dst, const void* src, std::size_t count) {
    if (cudaError_t injected = injected_failure(testing::Operation::Copy)) return record(injected);
    if (count && (!dst || !src)) return record(cudaErrorInvalidValue);
    if (!range_ok(dst, count) || !range_ok(src, count)) return record(cudaErrorInvalidValue);
    return cudaSuccess;
}

// Queues (or runs) a copy. `blocking` says whether the call is cudaMemcpy
// rather than cudaMemcpyAsync.
cudaError_t copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream,
                 bool blocking) {
    if (cudaError_t status = check_copy(dst, src, count)) return status;
    if (count == 0) return cudaSuccess;
    const bool src_host = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyHostToHost;
    const bool dst_host = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyHostToHost;
    const bool src_device = kind == cudaMemcpyDeviceToDevice || kind == cudaMemcpyDeviceToHost;
    const bool dst_device = kind == cudaMemcpyDeviceToDevice || kind == cudaMemcpyHostToDevice;
    const Side from = side_of(src, src_host, src_device), to = side_of(dst, dst_host, dst_device);
    if (from == Side::Device && to == Side::Device) {
        // Device to device never makes the host wait, not even cudaMemcpy.
        enqueue(stream, [=] { std::memmove(dst, src, count); });
        return cudaSuccess;
    }
    if (blocking || to == Side::Pageable || (from != Side::Device && to != Side::Device)) {
        // The host waits for the copy (and the stream's earlier work).
        wait_for(enqueue(stream, [=] { std::memmove(dst, src, count); }));
        return cudaSuccess;
    }
    if (from == Side::Pageable) {
        // Staged at the call: the caller may reuse its buffer at once.
        auto staged = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char*>(src),
                                                                   static_cast<const unsigned char*>(src) + count);
        enqueue(stream, [=] { std::memcpy(dst, staged->data(), count); });
        return cudaSuccess;
    }
    enqueue(stream, [=] { std::memmove(dst, src, count); });
    return cudaSuccess;
}

cudaError_t fill(void* dst, int value, std::size_t count, cudaStream_t stream) {
    if (cudaError_t injected = injected_failure(testing::Operation::Copy)) return record(injected);
    if (count && !dst) return record(cudaErrorInvalidValue);
    if (!range_ok(dst, count)) return record(cudaErrorInvalidValue);
    if (count) enqueue(stream, [=] { std::memset(dst, value, count); });
    return cudaSuccess;
}

cudaError_t checked_stream(cudaStream_t stream) {
    int device;
    return record(stream_device(stream, &device));
}

}  // namespace

namespace testing {

std::size_t live_allocations() {
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.live.size();
}

}  // namespace testing

}  // namespace nolith_host

using namespace nolith_host;

extern "C" {

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
    if (!free_bytes || !total_bytes) return record(cudaErrorInvalidValue);
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    std::size_t used = 0;
    for (const auto& a : m.live) used += a.second.device == current_device() ? a.second.size : 0;
    *total_bytes = kDeviceMemory;
    *free_bytes = kDeviceMemory - std::min(used, kDeviceMemory);
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** pointer, size_t size) { return allocate(pointer, size); }

// cudaFree waits for the device before the memory goes.
cudaError_t cudaFree(void* pointer) {
    if (!pointer) return cudaSuccess;
    const bool deferred = options().streams == StreamMode::Deferred;
    int device = 0;
    const std::size_t size = retire(pointer, &device, deferred);
    if (!size) return record(cudaErrorInvalidValue);
    synchronize_device(device);
    give_back(pointer, size, deferred, options().poison);
    return cudaSuccess;
}

cudaError_t cudaMallocAsync(void** pointer, size_t size, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    return allocate(pointer, size);
}

cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    if (!pointer) return cudaSuccess;
    const bool deferred = options().streams == StreamMode::Deferred;
    int device = 0;
    const std::size_t size = retire(pointer, &device, deferred);
    if (!size) return record(cudaErrorInvalidValue);
    const unsigned char poison = options().poison;
    enqueue_release(
        stream, [=] { give_back(pointer, size, deferred, poison); },
        [=] { check_untouched(pointer, size, poison); });
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** pointer, size_t size) {
    if (!pointer) return record(cudaErrorInvalidValue);
    *pointer = std::malloc(size ? size : 1);
    if (!*pointer) return record(cudaErrorMemoryAllocation);
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.pinned[reinterpret_cast<std::uintptr_t>(*pointer)] = size ? size : 1;
    return cudaSuccess;
}

cudaError_t cudaFreeHost(void* pointer) {
    if (!pointer) return cudaSuccess;
    {
        Memory& m = memory();
        std::lock_guard<std::mutex> lock(m.mutex);
        if (!m.pinned.erase(reinterpret_cast<std::uintptr_t>(pointer))) return record(cudaErrorInvalidValue);
    }
    // Like cudaFree, it waits for the device: queued copies may still use the buffer.
    synchronize_device(current_device());
    std::free(pointer);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    return copy(dst, src, count, kind, nullptr, true);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    return copy(dst, src, count, kind, stream, false);
}

// The synchronous memset does not make the host wait for device memory.
cudaError_t cudaMemset(void* dst, int value, size_t count) { return fill(dst, value, count, nullptr); }

cudaError_t cudaMemsetAsync(void* dst, int value, size_t count, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    return fill(dst, value, count, stream);
}

// Symbols are device memory; a host-side kind names the other end.
cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t count, size_t offset, cudaMemcpyKind kind) {
    return copy(static_cast<char*>(const_cast<void*>(symbol)) + offset, src, count,
                kind == cudaMemcpyDeviceToDevice ? kind : cudaMemcpyHostToDevice, nullptr, true);
}

cudaError_t cudaMemcpyToSymbolAsync(const void* symbol, const void* src, size_t count, size_t offset,
                                    cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    return copy(static_cast<char*>(const_cast<void*>(symbol)) + offset, src, count,
                kind == cudaMemcpyDeviceToDevice ? kind : cudaMemcpyHostToDevice, stream, false);
}

cudaError_t cudaMemcpyFromSymbol(void* dst, const void* symbol, size_t count, size_t offset, cudaMemcpyKind kind) {
    return copy(dst, static_cast<const char*>(symbol) + offset, count,
                kind == cudaMemcpyDeviceToDevice ? kind : cudaMemcpyDeviceToHost, nullptr, true);
}

cudaError_t cudaMemcpyFromSymbolAsync(void* dst, const void* symbol, size_t count, size_t offset,
                                      cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t status = checked_stream(stream)) return status;
    return copy(dst, static_cast<const char*>(symbol) + offset, count,
                kind == cudaMemcpyDeviceToDevice ? kind : cudaMemcpyDeviceToHost, stream, false);
}

cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* pointer) {
    if (!attributes) return record(cudaErrorInvalidValue);
    *attributes = cudaPointerAttributes{};
    Memory& m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (const auto* allocation = containing(m.live, reinterpret_cast<std::uintptr_t>(pointer))) {
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

}  // extern "C"
