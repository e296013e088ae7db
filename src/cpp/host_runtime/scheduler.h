#pragma once
// Internal records of the fiber scheduler, shared by the scheduler and the
// launch code. Kernels only see ThreadContext (thread_context.h).

#include "fiber_stack.h"
#include "thread_context.h"
#include "warp_sync.h"

#include <boost/context/fiber.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
    void* race_fiber = nullptr;       // the thread's ThreadSanitizer fiber (race-check build)
    ThreadState state = ThreadState::Runnable;
    // What the thread waits at, and its part in that collective.
    SyncKind kind = SyncKind::None;
    unsigned mask = 0;
    int arg = 0;
    int width = 32;
    std::uint64_t deposit = 0;
    std::uint64_t result = 0;
    // Race-check build: which of its two __syncwarp tokens each lane released
    // into (bit per lane), as the lanes of the completed __syncwarp left them.
    unsigned syncwarp_parity = 0;
    unsigned peer_parities = 0;
};

struct WarpState {
    unsigned live = 0;     // lanes that exist and have not exited
    unsigned arrived = 0;  // lanes waiting at a warp collective
    // While every waiting lane waits at one collective with one mask (nearly
    // always), an arrival compares against these instead of scanning the
    // waiting lanes; `mixed` says the waiting lanes must be scanned.
    SyncKind group_kind = SyncKind::None;
    unsigned group_mask = 0;
    bool mixed = false;
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
    unsigned barrier_epoch = 0;  // completed block barriers
    // Grid sync in progress (threads of this block that arrived).
    unsigned grid_arrived = 0;
    unsigned grid_epoch = 0;  // completed grid syncs
    // Dynamic shared memory followed by a guard.
    std::vector<unsigned char> dynamic_shared;
    std::size_t dynamic_shared_bytes = 0;
    // Race-check build: ThreadSanitizer tokens (their addresses) of the block's
    // start, its barriers, its threads' exits and each lane's __syncwarp.
    char start_token = 0;
    char barrier_tokens[2] = {};
    char exit_token = 0;
    std::vector<char> syncwarp_tokens;
    // The first block of a kernel on an OS thread: thread 0 runs first, and
    // what it does until it first waits is ordered before the other threads.
    // It initialises the (thread_local) static shared variables, guarded by
    // a plain byte the checker would otherwise report.
    bool order_first_stretch = false;
    char first_stretch_token = 0;
};

// Runs every thread of one block to completion on the calling OS thread, in
// the order of the schedule policy; `dynamic_shared_bytes` of dynamic shared
// memory are poisoned for it, as are the static shared variables.
void run_block(BlockRun& block, uint3 block_idx, dim3 grid_dim, dim3 block_dim, std::size_t dynamic_shared_bytes);

// Prints a message naming the kernel, block and thread, and aborts.
[[noreturn]] void fail(const BlockRun& block, const FiberThread* thread, const std::string& what);

// Cross-OS-thread barrier joining the blocks of a cooperative grid.
class GridBarrier {
public:
    explicit GridBarrier(unsigned blocks);
    void arrive_and_wait(const BlockRun& block, const FiberThread& last_thread);
    void block_finished(const BlockRun& block);
    // Race-check build: the token of the grid sync with the given epoch.
    const void* token(unsigned epoch) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace nolith_host
