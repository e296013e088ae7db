#include "scheduler.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>

extern "C" const int warpSize = 32;

namespace nolith_host {

thread_local ThreadContext* tl_current_thread = nullptr;

namespace {

FiberThread& self() { return static_cast<FiberThread&>(current_thread()); }

std::string mask_text(unsigned mask) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", mask);
    return buffer;
}

std::string lanes_text(unsigned lanes) {
    std::ostringstream out;
    bool first = true;
    for (unsigned l = 0; l < 32; ++l) {
        if (lanes & (1u << l)) {
            out << (first ? "" : ", ") << l;
            first = false;
        }
    }
    return out.str();
}

std::string wait_text(const FiberThread& t) {
    switch (t.state) {
        case ThreadState::Runnable: return "runnable";
        case ThreadState::Exited: return "exited";
        case ThreadState::WaitingWarp:
            return std::string("waits at ") + sync_kind_name(t.kind) + " with mask " + mask_text(t.mask);
        case ThreadState::WaitingBlock: return std::string("waits at ") + sync_kind_name(t.kind);
        case ThreadState::WaitingGrid: return "waits at grid sync";
    }
    return "?";
}

// Switches from the running fiber back to the scheduler until resumed.
void suspend(FiberThread& t) {
    void* fake_stack = nullptr;
    sanitizer_start_switch(&fake_stack, t.scheduler_stack.bottom, t.scheduler_stack.size);
    t.scheduler = std::move(t.scheduler).resume();
    sanitizer_finish_switch(fake_stack, &t.scheduler_stack);
}

void wake(FiberThread& t) { t.state = ThreadState::Runnable; }

// What lane `lane` reads in a shuffle; -1 where it keeps its own value.
int shuffle_source(const FiberThread& t) {
    const int lane = static_cast<int>(t.lane);
    const int width = t.width;
    const int segment = lane & ~(width - 1);
    switch (t.kind) {
        case SyncKind::Shfl: return segment + (t.arg & (width - 1));
        case SyncKind::ShflUp: return (lane - segment) < t.arg ? -1 : lane - t.arg;
        case SyncKind::ShflDown: return (lane - segment) + t.arg >= width ? -1 : lane + t.arg;
        case SyncKind::ShflXor: {
            const int source = lane ^ t.arg;
            return (source >= 32 || source >= segment + width) ? -1 : source;
        }
        default: return -1;
    }
}

// Called by the lane whose arrival completes a warp collective: computes every
// participant's result, then wakes them.
void complete_warp_collective(BlockRun& block, unsigned warp, unsigned mask) {
    FiberThread* lanes = &block.threads[warp * 32];
    const SyncKind kind = lanes[__builtin_ctz(mask)].kind;
    std::uint64_t votes = 0;
    for (unsigned m = mask; m; m &= m - 1) {
        const unsigned l = __builtin_ctz(m);
        if (lanes[l].deposit) votes |= 1ull << l;
    }
    for (unsigned m = mask; m; m &= m - 1) {
        FiberThread& t = lanes[__builtin_ctz(m)];
        switch (kind) {
            case SyncKind::Ballot: t.result = votes; break;
            case SyncKind::Any: t.result = votes != 0; break;
            case SyncKind::All: t.result = votes == mask; break;
            case SyncKind::SyncWarp: t.result = 0; break;
            default: {
                const int source = shuffle_source(t);
                if (source < 0) {
                    t.result = t.deposit;
                } else if (mask & (1u << source)) {
                    t.result = lanes[source].deposit;
                } else {
                    // Reading a lane outside the mask is undefined on a GPU; make it visible.
                    t.result = ~0ull;
                }
            }
        }
        wake(t);
    }
}

void complete_block_barrier(BlockRun& block) {
    int result = block.barrier_count;
    if (block.barrier_kind == SyncKind::BlockBarrierAnd) result = block.barrier_count == static_cast<int>(block.size);
    if (block.barrier_kind == SyncKind::BlockBarrierOr) result = block.barrier_count > 0;
    for (FiberThread& t : block.threads) {
        t.result = static_cast<std::uint64_t>(result);
        wake(t);
    }
    block.barrier_arrived = 0;
    block.barrier_count = 0;
    block.barrier_kind = SyncKind::None;
}

void on_thread_exit(BlockRun& block, FiberThread& t) {
    t.state = ThreadState::Exited;
    if (block.exited++ == 0) block.first_exited = t.linear;
    WarpState& warp = block.warps[t.warp];
    warp.live &= ~(1u << t.lane);
    for (unsigned m = warp.arrived; m; m &= m - 1) {
        const FiberThread& waiter = block.threads[t.warp * 32 + __builtin_ctz(m)];
        if (waiter.mask & (1u << t.lane)) {
            fail(block, &t,
                 "exited while lane " + std::to_string(waiter.lane) + " waits at " + sync_kind_name(waiter.kind) +
                     " with mask " + mask_text(waiter.mask) + ", which names it");
        }
    }
    if (block.barrier_arrived > 0) {
        fail(block, &t,
             std::string("exited while other threads of its block wait at ") + sync_kind_name(block.barrier_kind) +
                 ": a block barrier must be reached by every thread");
    }
    if (block.grid_arrived > 0) {
        fail(block, &t, "exited while other threads of its block wait at grid sync");
    }
}

[[noreturn]] void deadlock(const BlockRun& block) {
    std::ostringstream out;
    out << "deadlock: no thread of the block can make progress\n";
    int lines = 0;
    for (const FiberThread& t : block.threads) {
        if (t.state == ThreadState::Exited) continue;
        if (++lines > 64) {
            out << "    ...\n";
            break;
        }
        out << "    thread " << t.linear << " (warp " << t.warp << ", lane " << t.lane << ") " << wait_text(t)
            << "\n";
    }
    if (block.exited) out << "    " << block.exited << " thread(s) have exited, first thread " << block.first_exited;
    fail(block, nullptr, out.str());
}

}  // namespace

const char* sync_kind_name(SyncKind kind) {
    switch (kind) {
        case SyncKind::None: return "nothing";
        case SyncKind::Shfl: return "__shfl_sync";
        case SyncKind::ShflUp: return "__shfl_up_sync";
        case SyncKind::ShflDown: return "__shfl_down_sync";
        case SyncKind::ShflXor: return "__shfl_xor_sync";
        case SyncKind::Ballot: return "__ballot_sync";
        case SyncKind::Any: return "__any_sync";
        case SyncKind::All: return "__all_sync";
        case SyncKind::SyncWarp: return "__syncwarp";
        case SyncKind::BlockBarrier: return "__syncthreads";
        case SyncKind::BlockBarrierCount: return "__syncthreads_count";
        case SyncKind::BlockBarrierAnd: return "__syncthreads_and";
        case SyncKind::BlockBarrierOr: return "__syncthreads_or";
        case SyncKind::GridSync: return "grid sync";
    }
    return "?";
}

ThreadContext& current_thread_checked() {
    std::fprintf(stderr, "nolith host runtime: device code ran outside a kernel launch\n");
    std::fflush(stderr);
    std::abort();
}

unsigned char* current_dynamic_shared() {
    BlockRun& block = *current_thread().block;
    return block.dynamic_shared.empty() ? nullptr : block.dynamic_shared.data();
}

void fail(const BlockRun& block, const FiberThread* thread, const std::string& what) {
    std::ostringstream out;
    out << "nolith host runtime: kernel '" << block.kernel_name << "', block (";
    if (!block.threads.empty()) {
        const uint3 b = block.threads.front().block_idx;
        out << b.x << ", " << b.y << ", " << b.z;
    }
    out << ")";
    if (thread) {
        out << ", thread " << thread->linear << " (" << thread->thread_idx.x << ", " << thread->thread_idx.y << ", "
            << thread->thread_idx.z << "; warp " << thread->warp << ", lane " << thread->lane << ")";
    }
    out << ": " << what << "\n";
    std::fputs(out.str().c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

std::uint64_t warp_collective(SyncKind kind, unsigned mask, std::uint64_t value, int arg, int width) {
    FiberThread& t = self();
    BlockRun& block = *t.block;
    WarpState& warp = block.warps[t.warp];
    const unsigned bit = 1u << t.lane;
    if (!(mask & bit)) fail(block, &t, std::string(sync_kind_name(kind)) + " with mask " + mask_text(mask) + " that does not name the calling lane");
    if (width < 1 || width > 32 || (width & (width - 1))) {
        fail(block, &t, std::string(sync_kind_name(kind)) + " with width " + std::to_string(width) + ", not a power of two up to 32");
    }
    if (mask & ~warp.live) {
        fail(block, &t,
             std::string(sync_kind_name(kind)) + " with mask " + mask_text(mask) + " names lane(s) " +
                 lanes_text(mask & ~warp.live) + ", which have exited or do not exist");
    }
    FiberThread* lanes = &block.threads[t.warp * 32];
    t.kind = kind;
    t.mask = mask;
    t.arg = arg;
    t.width = width;
    t.deposit = value;
    warp.arrived |= bit;
    // Until every lane of the mask waits somewhere, nothing can complete and
    // nothing needs checking; the scan below runs about once per collective.
    if ((warp.arrived & mask) == mask) {
        unsigned ready = 0;
        for (unsigned m = mask; m; m &= m - 1) {
            const FiberThread& other = lanes[__builtin_ctz(m)];
            if (other.kind == kind && other.mask == mask) ready |= 1u << other.lane;
        }
        if (ready == mask) {
            warp.arrived &= ~mask;
            complete_warp_collective(block, t.warp, mask);
            t.kind = SyncKind::None;
            return t.result;
        }
    }
    // A lane of `mask` that waits at another collective naming this lane waits
    // for this lane while this lane waits for it: neither can complete. Any
    // other waiting lane is at a collective that can still complete, and may
    // come to this one afterwards (or the block ends in a deadlock report).
    for (unsigned m = warp.arrived & mask & ~bit; m; m &= m - 1) {
        const FiberThread& other = lanes[__builtin_ctz(m)];
        if ((other.mask & bit) && (other.kind != kind || other.mask != mask)) {
            fail(block, &t,
                 std::string("arrives at ") + sync_kind_name(kind) + " with mask " + mask_text(mask) + " while lane " +
                     std::to_string(other.lane) + " waits for it at " + sync_kind_name(other.kind) + " with mask " +
                     mask_text(other.mask));
        }
    }
    t.state = ThreadState::WaitingWarp;
    suspend(t);
    t.kind = SyncKind::None;
    return t.result;
}

int block_barrier(SyncKind kind, int predicate) {
    FiberThread& t = self();
    BlockRun& block = *t.block;
    if (block.exited) {
        fail(block, &t,
             std::string("reaches ") + sync_kind_name(kind) + " after thread " + std::to_string(block.first_exited) +
                 " exited: a block barrier must be reached by every thread");
    }
    if (block.barrier_arrived && block.barrier_kind != kind) {
        fail(block, &t,
             std::string("reaches ") + sync_kind_name(kind) + " while other threads wait at " +
                 sync_kind_name(block.barrier_kind));
    }
    block.barrier_kind = kind;
    block.barrier_count += predicate;
    t.kind = kind;
    if (++block.barrier_arrived == block.size) {
        complete_block_barrier(block);
    } else {
        t.state = ThreadState::WaitingBlock;
        suspend(t);
    }
    t.kind = SyncKind::None;
    return static_cast<int>(t.result);
}

void grid_sync() {
    FiberThread& t = self();
    BlockRun& block = *t.block;
    if (!block.cooperative) fail(block, &t, "grid sync in a kernel that was not launched cooperatively");
    if (block.exited) {
        fail(block, &t,
             "reaches grid sync after thread " + std::to_string(block.first_exited) +
                 " exited: a grid sync must be reached by every thread");
    }
    t.kind = SyncKind::GridSync;
    if (++block.grid_arrived == block.size) {
        // Every thread of this block is here: join the other blocks on this OS thread.
        block.grid_barrier->arrive_and_wait(block, t);
        block.grid_arrived = 0;
        for (FiberThread& other : block.threads) wake(other);
    } else {
        t.state = ThreadState::WaitingGrid;
        suspend(t);
    }
    t.kind = SyncKind::None;
}

bool in_cooperative_launch() { return self().block->cooperative; }

unsigned live_lanes_mask() {
    FiberThread& t = self();
    return t.block->warps[t.warp].live;
}

void run_block(BlockRun& block, uint3 block_idx, dim3 grid_dim, dim3 block_dim) {
    const unsigned size = block_dim.x * block_dim.y * block_dim.z;
    block.size = size;
    block.threads.clear();
    block.threads.resize(size);
    block.warps.assign((size + 31) / 32, WarpState{});
    for (unsigned i = 0; i < size; ++i) {
        FiberThread& t = block.threads[i];
        t.thread_idx = make_uint3(i % block_dim.x, (i / block_dim.x) % block_dim.y, i / (block_dim.x * block_dim.y));
        t.block_idx = block_idx;
        t.block_dim = block_dim;
        t.grid_dim = grid_dim;
        t.linear = i;
        t.lane = i % 32;
        t.warp = i / 32;
        t.block = &block;
        block.warps[t.warp].live |= 1u << t.lane;
        t.fiber = boost::context::fiber(
            std::allocator_arg, PooledStackAllocator(&t.stack), [&t](boost::context::fiber&& scheduler) {
                t.scheduler = std::move(scheduler);
                sanitizer_finish_switch(nullptr, &t.scheduler_stack);
                try {
                    (*t.block->body)();
                } catch (const std::exception& e) {
                    fail(*t.block, &t, std::string("kernel threw an exception: ") + e.what());
                } catch (...) {
                    fail(*t.block, &t, "kernel threw an exception");
                }
                on_thread_exit(*t.block, t);
                sanitizer_start_switch(nullptr, t.scheduler_stack.bottom, t.scheduler_stack.size);
                return std::move(t.scheduler);
            });
    }
    unsigned live = size;
    while (live > 0) {
        bool progressed = false;
        for (FiberThread& t : block.threads) {
            if (t.state != ThreadState::Runnable) continue;
            progressed = true;
            tl_current_thread = &t;
            void* fake_stack = nullptr;
            sanitizer_start_switch(&fake_stack, t.stack.bottom, t.stack.size);
            t.fiber = std::move(t.fiber).resume();
            sanitizer_finish_switch(fake_stack, nullptr);
            tl_current_thread = nullptr;
            if (t.state == ThreadState::Exited) --live;
        }
        if (!progressed) deadlock(block);
    }
    if (block.grid_barrier) block.grid_barrier->block_finished(block);
}

struct GridBarrier::State {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned blocks = 0;
    unsigned arrived = 0;
    unsigned finished = 0;
    unsigned long long generation = 0;
};

GridBarrier::GridBarrier(unsigned blocks) : state_(std::make_shared<State>()) { state_->blocks = blocks; }

void GridBarrier::arrive_and_wait(const BlockRun& block, const FiberThread& last_thread) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->finished) fail(block, &last_thread, "grid sync reached after another block of the grid finished");
    const unsigned long long generation = state_->generation;
    if (++state_->arrived == state_->blocks) {
        state_->arrived = 0;
        ++state_->generation;
        state_->changed.notify_all();
        return;
    }
    // A co-resident grid that never completes its barrier would hang a GPU; here it ends the run.
    const bool released = state_->changed.wait_for(lock, std::chrono::seconds(120),
                                                   [&] { return state_->generation != generation; });
    if (!released) fail(block, &last_thread, "grid sync: other blocks never arrived within 120 s");
}

void GridBarrier::block_finished(const BlockRun& block) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->finished;
    if (state_->arrived) fail(block, nullptr, "block finished while other blocks wait at grid sync");
}

}  // namespace nolith_host
