#include "fiber_stack.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define NOLITH_HOST_ASAN 1
#endif

namespace nolith_host {

namespace {

#if defined(NOLITH_HOST_ASAN)
// Instrumented frames are several times larger.
constexpr std::size_t kStackBytes = 1u << 20;
#else
constexpr std::size_t kStackBytes = 256u << 10;
#endif

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Stacks that finished fibers gave back, ready for the next block on this
// OS thread; unmapped when the thread ends.
struct StackPool {
    std::vector<void*> free_stacks;  // each the base of a mapping, guard page first
    ~StackPool() {
        for (void* base : free_stacks) munmap(base, kStackBytes + page_size());
    }
};

thread_local StackPool tl_pool;

}  // namespace

boost::context::stack_context PooledStackAllocator::allocate() {
    void* base;
    if (!tl_pool.free_stacks.empty()) {
        base = tl_pool.free_stacks.back();
        tl_pool.free_stacks.pop_back();
    } else {
        base = mmap(nullptr, kStackBytes + page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                    -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        // A stack overflow faults on the guard page instead of corrupting memory.
        mprotect(base, page_size(), PROT_NONE);
    }
    char* bottom = static_cast<char*>(base) + page_size();
    record_->bottom = bottom;
    record_->size = kStackBytes;
    boost::context::stack_context context;
    context.size = kStackBytes;
    context.sp = bottom + kStackBytes;
    return context;
}

void PooledStackAllocator::deallocate(boost::context::stack_context& context) noexcept {
    char* bottom = static_cast<char*>(context.sp) - context.size;
    tl_pool.free_stacks.push_back(bottom - page_size());
}

void sanitizer_start_switch(void** fake_stack_save, const void* bottom, std::size_t size) {
#if defined(NOLITH_HOST_ASAN)
    __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#else
    (void)fake_stack_save;
    (void)bottom;
    (void)size;
#endif
}

void sanitizer_finish_switch(void* fake_stack_save, SanitizerStack* previous) {
#if defined(NOLITH_HOST_ASAN)
    const void* bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(fake_stack_save, previous ? &bottom : nullptr, previous ? &size : nullptr);
    if (previous) {
        previous->bottom = bottom;
        previous->size = size;
    }
#else
    (void)fake_stack_save;
    (void)previous;
#endif
}

}  // namespace nolith_host
