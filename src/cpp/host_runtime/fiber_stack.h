#pragma once
// Fiber stacks: mmapped with a guard page below, reused through a pool per
// OS thread (a block's fibers are created and destroyed on one OS thread),
// and announced to AddressSanitizer on every switch.

#include <boost/context/stack_context.hpp>

#include <cstddef>

namespace nolith_host {

struct FiberStack {
    void* bottom = nullptr;  // lowest usable address
    std::size_t size = 0;
};

// The bounds of the stack a context switch leaves or enters, as
// AddressSanitizer wants them.
struct SanitizerStack {
    const void* bottom = nullptr;
    std::size_t size = 0;
};

// Stack allocator in the form Boost.Context expects; records the stack it
// hands out so that sanitizer annotations can name it.
class PooledStackAllocator {
public:
    explicit PooledStackAllocator(FiberStack* record) : record_(record) {}
    boost::context::stack_context allocate();
    void deallocate(boost::context::stack_context& context) noexcept;

private:
    FiberStack* record_;
};

// Annotations around a switch; no-ops unless built with AddressSanitizer.
void sanitizer_start_switch(void** fake_stack_save, const void* bottom, std::size_t size);
void sanitizer_finish_switch(void* fake_stack_save, SanitizerStack* previous);

}  // namespace nolith_host
