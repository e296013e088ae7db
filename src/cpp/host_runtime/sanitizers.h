#pragma once
// What the runtime tells the sanitizers it may be built with. AddressSanitizer:
// regions kernels must not touch (quarantined device memory, guard bytes).
// ThreadSanitizer (NOLITH_HOST_TSAN, the race-check build): every CUDA thread
// is a TSan fiber, switches between fibers order nothing, and happens-before
// edges exist only where CUDA gives them, as release/acquire on tokens.
// Everything is a no-op in other builds. Only runtime sources include this;
// they are never instrumented themselves.

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#if defined(NOLITH_HOST_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace nolith_host {

// Bytes kept after a region kernels may write (device allocations, a block's
// dynamic shared memory), checked when the region is released. Under
// AddressSanitizer the allocation's own redzone reports at the write instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kGuardBytes = 0;
#else
constexpr std::size_t kGuardBytes = 64;
#endif

inline void asan_poison(const void* address, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    __asan_poison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

inline void asan_unpoison(const void* address, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    __asan_unpoison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

namespace race {

#if defined(NOLITH_HOST_TSAN)
constexpr bool kEnabled = true;
inline void* current() { return __tsan_get_current_fiber(); }
inline void* create_fiber() { return __tsan_create_fiber(0); }
inline void destroy_fiber(void* fiber) { __tsan_destroy_fiber(fiber); }
inline void switch_to(void* fiber) { __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync); }
inline void release(const void* token) { __tsan_release(const_cast<void*>(token)); }
inline void acquire(const void* token) { __tsan_acquire(const_cast<void*>(token)); }
#else
constexpr bool kEnabled = false;
inline void* current() { return nullptr; }
inline void* create_fiber() { return nullptr; }
inline void destroy_fiber(void*) {}
inline void switch_to(void*) {}
inline void release(const void*) {}
inline void acquire(const void*) {}
#endif

}  // namespace race

}  // namespace nolith_host
