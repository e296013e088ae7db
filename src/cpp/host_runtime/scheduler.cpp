#include "scheduler.h"

#include "options.h"
#include "sanitizers.h"
#include "static_shared.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_set>

extern "C" const int warpSize = 32;

namespace nolith_host {

thread_local ThreadContext* tl_current_thread = nullptr;

namespace {

// The ThreadSanitizer context of the scheduler running on this OS thread.
thread_local void* tl_scheduler_race_fiber = nullptr;
// Race-check build: kernels that ran a block on this OS thread.
thread_local std::unordered_set<const char*> tl_kernels_run;

// Race-check build: ThreadSanitizer fibers of this OS thread, thread i of
// every block on it playing fiber i. Creating and destroying them per block
// costs far more than the kernels; reuse orders nothing new, since blocks on
// one OS thread are ordered anyway (the scheduler acquires each block's end).
struct RaceFibers {
    std::vector<void*> fibers;
    ~RaceFibers() {
        for (void* f : fibers) race::destroy_fiber(f);
    }
    void* at(unsigned i) {
        while (fibers.size() <= i) fibers.push_back(race::create_fiber());
        return fibers[i];
    }
};
thread_local RaceFibers tl_race_fibers;

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

void end_first_stretch(FiberThread& t) {
    if (race::kEnabled && t.linear == 0 && t.block->order_first_stretch) {
        race::release(&t.block->first_stretch_token);
        t.block->order_first_stretch = false;
    }
}

// Switches from the running fiber back to the scheduler until resumed.
void suspend(FiberThread& t) {
    end_first_stretch(t);
    race::switch_to(tl_scheduler_race_fiber);
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
    unsigned parities = 0;
    for (unsigned m = mask; m; m &= m - 1) {
        const unsigned l = __builtin_ctz(m);
        if (lanes[l].deposit) votes |= 1ull << l;
        if (lanes[l].syncwarp_parity) parities |= 1u << l;
    }
    for (unsigned m = mask; m; m &= m - 1) {
        FiberThread& t = lanes[__builtin_ctz(m)];
        switch (kind) {
            case SyncKind::Ballot: t.result = votes; break;
            case SyncKind::Any: t.result = votes != 0; break;
            case SyncKind::All: t.result = votes == mask; break;
            case SyncKind::SyncWarp:
                t.result = 0;
                t.peer_parities = parities;
                break;
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
    ++block.barrier_epoch;
}

// Race-check build: __syncwarp orders each lane after what every lane of its
// mask did before it; shuffles and votes order nothing.
void syncwarp_release(BlockRun& block, FiberThread& t) {
    if constexpr (race::kEnabled) {
        t.syncwarp_parity ^= 1u;
        race::release(&block.syncwarp_tokens[2 * t.linear + t.syncwarp_parity]);
    }
}

void syncwarp_acquire(const BlockRun& block, const FiberThread& t) {
    if constexpr (race::kEnabled) {
        for (unsigned m = t.mask; m; m &= m - 1) {
            const unsigned l = __builtin_ctz(m);
            race::acquire(&block.syncwarp_tokens[2 * (t.warp * 32 + l) + ((t.peer_parities >> l) & 1u)]);
        }
    }
}

std::uint64_t finish_warp_collective(const BlockRun& block, FiberThread& t) {
    if (t.kind == SyncKind::SyncWarp) syncwarp_acquire(block, t);
    t.kind = SyncKind::None;
    return t.result;
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
    return block.dynamic_shared_bytes ? block.dynamic_shared.data() : nullptr;
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
    if (kind == SyncKind::SyncWarp) syncwarp_release(block, t);
    warp.arrived |= bit;
    if (!warp.mixed) {
        if (warp.arrived == bit) {
            warp.group_kind = kind;
            warp.group_mask = mask;
        } else if (warp.group_kind != kind || warp.group_mask != mask) {
            warp.mixed = true;
        }
    }
    if (!warp.mixed) {
        // Every waiting lane is at this collective with this mask: no lane
        // can wait for this one elsewhere, and it completes when all arrived.
        if (warp.arrived == mask) {
            warp.arrived = 0;
            complete_warp_collective(block, t.warp, mask);
            return finish_warp_collective(block, t);
        }
        t.state = ThreadState::WaitingWarp;
        suspend(t);
        return finish_warp_collective(block, t);
    }
    if ((warp.arrived & mask) == mask) {
        unsigned ready = 0;
        for (unsigned m = mask; m; m &= m - 1) {
            const FiberThread& other = lanes[__builtin_ctz(m)];
            if (other.kind == kind && other.mask == mask) ready |= 1u << other.lane;
        }
        if (ready == mask) {
            warp.arrived &= ~mask;
            if (!warp.arrived) warp.mixed = false;
            complete_warp_collective(block, t.warp, mask);
            return finish_warp_collective(block, t);
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
    return finish_warp_collective(block, t);
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
    const unsigned epoch = block.barrier_epoch;
    race::release(&block.barrier_tokens[epoch & 1u]);
    if (++block.barrier_arrived == block.size) {
        complete_block_barrier(block);
    } else {
        t.state = ThreadState::WaitingBlock;
        suspend(t);
    }
    race::acquire(&block.barrier_tokens[epoch & 1u]);
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
    const unsigned epoch = block.grid_epoch;
    race::release(block.grid_barrier->token(epoch));
    if (++block.grid_arrived == block.size) {
        // Every thread of this block is here: join the other blocks on this OS thread.
        block.grid_barrier->arrive_and_wait(block, t);
        block.grid_arrived = 0;
        ++block.grid_epoch;
        for (FiberThread& other : block.threads) wake(other);
    } else {
        t.state = ThreadState::WaitingGrid;
        suspend(t);
    }
    race::acquire(block.grid_barrier->token(epoch));
    t.kind = SyncKind::None;
}

bool in_cooperative_launch() { return self().block->cooperative; }

unsigned live_lanes_mask() {
    FiberThread& t = self();
    return t.block->warps[t.warp].live;
}

namespace {

void resume(FiberThread& t) {
    tl_current_thread = &t;
    race::switch_to(t.race_fiber);
    void* fake_stack = nullptr;
    sanitizer_start_switch(&fake_stack, t.stack.bottom, t.stack.size);
    t.fiber = std::move(t.fiber).resume();
    sanitizer_finish_switch(fake_stack, nullptr);
    tl_current_thread = nullptr;
}

// Runs runnable threads until none is left; every pass over the threads must
// run at least one, or the block is deadlocked.
void run_threads(BlockRun& block) {
    const SchedulePolicy policy = options().schedule;
    const unsigned size = block.size;
    const bool reversed = policy == SchedulePolicy::Reverse || policy == SchedulePolicy::WarpReverse;
    auto thread_at = [&](unsigned i) -> FiberThread& { return block.threads[reversed ? size - 1 - i : i]; };
    unsigned live = size - block.exited;
    auto run = [&](FiberThread& t) {
        resume(t);
        if (t.state == ThreadState::Exited) --live;
    };
    if (policy == SchedulePolicy::RoundRobin || policy == SchedulePolicy::Reverse) {
        while (live > 0) {
            bool progressed = false;
            for (unsigned i = 0; i < size; ++i) {
                FiberThread& t = thread_at(i);
                if (t.state != ThreadState::Runnable) continue;
                progressed = true;
                run(t);
            }
            if (!progressed) deadlock(block);
        }
        return;
    }
    // One warp until it blocks, then the first warp (in policy order) that can run.
    while (live > 0) {
        unsigned first = size;
        for (unsigned i = 0; i < size && first == size; ++i) {
            if (thread_at(i).state == ThreadState::Runnable) first = i;
        }
        if (first == size) deadlock(block);
        const unsigned begin = thread_at(first).warp * 32, end = std::min(size, begin + 32);
        for (bool progressed = true; progressed;) {
            progressed = false;
            for (unsigned k = 0; k < end - begin; ++k) {
                FiberThread& t = block.threads[reversed ? end - 1 - k : begin + k];
                if (t.state != ThreadState::Runnable) continue;
                progressed = true;
                run(t);
            }
        }
    }
}

}  // namespace

void run_block(BlockRun& block, uint3 block_idx, dim3 grid_dim, dim3 block_dim, std::size_t dynamic_shared_bytes) {
    const unsigned size = block_dim.x * block_dim.y * block_dim.z;
    const unsigned char poison = options().poison;
    block.size = size;
    block.threads.clear();
    block.threads.resize(size);
    block.warps.assign((size + 31) / 32, WarpState{});
    if (race::kEnabled) block.syncwarp_tokens.assign(2 * std::size_t(size), 0);
    tl_scheduler_race_fiber = race::current();
    const bool first_stretch = race::kEnabled && tl_kernels_run.insert(block.kernel_name).second;
    block.order_first_stretch = first_stretch;
    // Fresh shared memory holds the previous block's data on a GPU; poison it here.
    static_shared::begin_block();
    block.dynamic_shared_bytes = dynamic_shared_bytes;
    block.dynamic_shared.assign(dynamic_shared_bytes + kGuardBytes, poison);
    unsigned char* dynamic_guard = block.dynamic_shared.data() + dynamic_shared_bytes;
    std::memset(dynamic_guard, ~poison, kGuardBytes);
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
        if (race::kEnabled) t.race_fiber = tl_race_fibers.at(i);
        block.warps[t.warp].live |= 1u << t.lane;
        t.fiber = boost::context::fiber(
            std::allocator_arg, PooledStackAllocator(&t.stack), [&t, first_stretch](boost::context::fiber&& scheduler) {
                t.scheduler = std::move(scheduler);
                sanitizer_finish_switch(nullptr, &t.scheduler_stack);
                // What the scheduler did (the launch, the poisoning) comes before the kernel.
                race::acquire(&t.block->start_token);
                if (t.linear != 0 && first_stretch) race::acquire(&t.block->first_stretch_token);
                try {
                    (*t.block->body)();
                } catch (const std::exception& e) {
                    fail(*t.block, &t, std::string("kernel threw an exception: ") + e.what());
                } catch (...) {
                    fail(*t.block, &t, "kernel threw an exception");
                }
                on_thread_exit(*t.block, t);
                end_first_stretch(t);
                // The block's end orders everything its threads did before what follows.
                race::release(&t.block->exit_token);
                race::switch_to(tl_scheduler_race_fiber);
                sanitizer_start_switch(nullptr, t.scheduler_stack.bottom, t.scheduler_stack.size);
                return std::move(t.scheduler);
            });
    }
    race::release(&block.start_token);
    if (first_stretch) resume(block.threads[0]);
    run_threads(block);
    race::acquire(&block.exit_token);
    if (block.grid_barrier) block.grid_barrier->block_finished(block);

    for (std::size_t i = 0; i < kGuardBytes; ++i) {
        if (dynamic_guard[i] != static_cast<unsigned char>(~poison)) {
            fail(block, nullptr,
                 "a kernel wrote past the end of its " + std::to_string(dynamic_shared_bytes) +
                     " bytes of dynamic shared memory");
        }
    }
    const std::string overrun = static_shared::overrun_variable();
    if (!overrun.empty()) fail(block, nullptr, "a kernel wrote past the end of static __shared__ " + overrun);
}

struct GridBarrier::State {
    char tokens[2] = {};
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

const void* GridBarrier::token(unsigned epoch) const { return &state_->tokens[epoch & 1u]; }

void GridBarrier::block_finished(const BlockRun& block) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->finished;
    if (state_->arrived) fail(block, nullptr, "block finished while other blocks wait at grid sync");
}

}  // namespace nolith_host
