#pragma once
// Internal records of the fiber scheduler, shared by the scheduler and the
// launch code. Kernels only see ThreadContext (thread_context.h).

#include "fiber_stack.h"
#include "thread_context.h"
#include "warp_sync.h"

#include <boost/context/fiber.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nolith_host {

class GridBarrier;

enum class ThreadState : std::uint8_t { Runnable, WaitingWarp, WaitingBlock, WaitingGrid, Exited };

struct FiberThread : ThreadContext {
    boost::context::fiber fiber;      // the thread's own context while it is suspended
    boost::context::fiber scheduler;  // the scheduler's context while the thread runs
    FiberStack stack;
    SanitizerStack scheduler_stack;
    ThreadState state = ThreadState::Runnable;
    // What the thread waits at, and its part in that collective.
    SyncKind kind = SyncKind::None;
    unsigned mask = 0;
    int arg = 0;
    int width = 32;
    std::uint64_t deposit = 0;
    std::uint64_t result = 0;
};

struct WarpState {
    unsigned live = 0;     // lanes that exist and have not exited
    unsigned arrived = 0;  // lanes waiting at a warp collective
};

struct BlockRun {
    const char* kernel_name = "";
    bool cooperative = false;
    GridBarrier* grid_barrier = nullptr;
    const std::function<void()>* body = nullptr;
    std::vector<FiberThread> threads;
    std::vector<WarpState> warps;
    unsigned size = 0;
    unsigned exited = 0;
    unsigned first_exited = 0;
    // Block barrier in progress.
    SyncKind barrier_kind = SyncKind::None;
    unsigned barrier_arrived = 0;
    int barrier_count = 0;
    // Grid sync in progress (threads of this block that arrived).
    unsigned grid_arrived = 0;
    std::vector<unsigned char> dynamic_shared;
};

// Runs every thread of one block to completion on the calling OS thread.
void run_block(BlockRun& block, uint3 block_idx, dim3 grid_dim, dim3 block_dim);

// Prints a message naming the kernel, block and thread, and aborts.
[[noreturn]] void fail(const BlockRun& block, const FiberThread* thread, const std::string& what);

// Cross-OS-thread barrier joining the blocks of a cooperative grid.
class GridBarrier {
public:
    explicit GridBarrier(unsigned blocks);
    void arrive_and_wait(const BlockRun& block, const FiberThread& last_thread);
    void block_finished(const BlockRun& block);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace nolith_host
