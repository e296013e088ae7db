#include "gpu.h"

// Kernel misuse that a GPU would hang or corrupt on: the host runtime aborts
// with a message naming the kernel, block and thread, and never hangs. The
// messages name the thread that the round-robin schedule meets first.

#include "test_support.h"

#include <stdexcept>

namespace {

using test::kFullMask;

constexpr unsigned kBadBlock = 2;  // only this block misbehaves, so the report is deterministic

class Misuse : public ::testing::Test {
protected:
    // Worker threads exist once a kernel ran: fork-and-continue is unsafe.
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        test::hr::set_schedule(nolith_host::SchedulePolicy::RoundRobin);
    }
    void TearDown() override { test::hr::restore_options(); }
};

template <auto Kernel, typename... Args>
void run(unsigned blocks, unsigned threads, Args... args) {
    (void)nolith_cuda::launch<Kernel>(blocks, threads, 0, nullptr, args...);
    (void)cudaDeviceSynchronize();
}

__global__ void lane_exits_before_shuffle_kernel(unsigned exiting_lane) {
    if (blockIdx.x == kBadBlock && threadIdx.x == exiting_lane) return;
    (void)__shfl_sync(kFullMask, threadIdx.x, 0);
}

__global__ void full_mask_in_partial_warp_kernel() { (void)__ballot_sync(kFullMask, 1); }

TEST_F(Misuse, CollectiveNamingAnExitedOrMissingLane) {
    // Lane 31 exits while the others wait for it.
    EXPECT_DEATH(run<lane_exits_before_shuffle_kernel>(3, 32, 31u),
                 "kernel '.*lane_exits_before_shuffle_kernel', block \\(2, 0, 0\\), thread 31 .*lane 31\\): "
                 "exited while lane 0 waits at __shfl_sync with mask 0xffffffff, which names it");
    // Lane 0 has exited before the others arrive.
    EXPECT_DEATH(run<lane_exits_before_shuffle_kernel>(3, 32, 0u),
                 "block \\(2, 0, 0\\), thread 1 .*__shfl_sync with mask 0xffffffff names lane\\(s\\) 0, "
                 "which have exited or do not exist");
    // A 48-thread block: lanes 16..31 of warp 1 do not exist.
    EXPECT_DEATH(run<full_mask_in_partial_warp_kernel>(1, 48),
                 "thread 32 .*__ballot_sync with mask 0xffffffff names lane\\(s\\) 16, 17, .*, 31, "
                 "which have exited or do not exist");
}

__global__ void split_collectives_kernel(unsigned lower_half_mask) {
    if (blockIdx.x != kBadBlock) return;
    if (threadIdx.x < 16) {
        (void)__shfl_sync(lower_half_mask, threadIdx.x, 0);
    } else {
        (void)__ballot_sync(kFullMask, 1);
    }
}

TEST_F(Misuse, LanesWaitingForEachOtherAtDifferentCollectives) {
    EXPECT_DEATH(run<split_collectives_kernel>(3, 32, kFullMask),
                 "kernel '.*split_collectives_kernel', block \\(2, 0, 0\\), thread 16 .*arrives at __ballot_sync "
                 "with mask 0xffffffff while lane 0 waits for it at __shfl_sync with mask 0xffffffff");
    // Same kind of collective, but the masks differ.
    EXPECT_DEATH(run<split_collectives_kernel>(3, 32, 0x0001ffffu),
                 "thread 16 .*arrives at __ballot_sync with mask 0xffffffff while lane 0 waits for it at "
                 "__shfl_sync with mask 0x0001ffff");
}

__global__ void bad_collective_arguments_kernel(int which) {
    if (which == 0) (void)__shfl_sync(0x2u, 1, 0);  // lane 0 calls with a mask that leaves it out
    if (which == 1) (void)__shfl_xor_sync(kFullMask, 1, 1, 3);
}

TEST_F(Misuse, CollectiveArgumentsAGpuCannotHonour) {
    EXPECT_DEATH(run<bad_collective_arguments_kernel>(1, 32, 0),
                 "thread 0 .*__shfl_sync with mask 0x00000002 that does not name the calling lane");
    EXPECT_DEATH(run<bad_collective_arguments_kernel>(1, 32, 1),
                 "__shfl_xor_sync with width 3, not a power of two up to 32");
}

__global__ void early_return_kernel(unsigned returning_thread) {
    if (blockIdx.x == kBadBlock && threadIdx.x == returning_thread) return;
    __syncthreads();
}

__global__ void mixed_barriers_kernel() {
    if (threadIdx.x < 40) {
        __syncthreads();
    } else {
        (void)__syncthreads_or(1);
    }
}

TEST_F(Misuse, BarrierNotReachedByEveryThreadOfTheBlock) {
    EXPECT_DEATH(run<early_return_kernel>(3, 64, 63u),
                 "kernel '.*early_return_kernel', block \\(2, 0, 0\\), thread 63 .*exited while other threads of "
                 "its block wait at __syncthreads");
    EXPECT_DEATH(run<early_return_kernel>(3, 64, 0u),
                 "block \\(2, 0, 0\\), thread 1 .*reaches __syncthreads after thread 0 exited");
    EXPECT_DEATH(run<mixed_barriers_kernel>(1, 64),
                 "thread 40 .*reaches __syncthreads_or while other threads wait at __syncthreads");
}

__global__ void grid_sync_kernel(int leaving_block) {
    if (static_cast<int>(blockIdx.x) == leaving_block) return;
    cg::this_grid().sync();
}

TEST_F(Misuse, GridSyncOutsideACooperativeLaunchOrMissedByABlock) {
    EXPECT_DEATH(run<grid_sync_kernel>(2, 32, -1),
                 "kernel '.*grid_sync_kernel', block \\([01], 0, 0\\), thread 0 .*grid sync in a kernel that was "
                 "not launched cooperatively");
    // Block 0 ends without the grid sync that blocks 1..3 wait at.
    EXPECT_DEATH((void)nolith_cuda::launch_cooperative<grid_sync_kernel>(4, 32, 0, nullptr, 0);
                 (void)cudaDeviceSynchronize(),
                 "grid sync reached after another block of the grid finished|"
                 "block finished while other blocks wait at grid sync");
}

__global__ void syncwarp_against_syncthreads_kernel() {
    if (blockIdx.x != kBadBlock) return;
    if (threadIdx.x == 0) {
        __syncwarp(0x3u);  // waits for lane 1, which waits at the block barrier for lane 0
    } else {
        __syncthreads();
    }
}

TEST_F(Misuse, DeadlockIsReportedInsteadOfHanging) {
    EXPECT_DEATH(run<syncwarp_against_syncthreads_kernel>(3, 64),
                 "kernel '.*syncwarp_against_syncthreads_kernel', block \\(2, 0, 0\\): deadlock: no thread of the "
                 "block can make progress.*thread 0 \\(warp 0, lane 0\\) waits at __syncwarp with mask 0x00000003"
                 ".*thread 1 \\(warp 0, lane 1\\) waits at __syncthreads");
}

constexpr int kTile = 32;

__global__ void static_shared_overrun_kernel(int* out, int past) {
    __shared__ int tile[kTile];
    __shared__ int after[kTile];
    tile[threadIdx.x] = 1;
    after[threadIdx.x] = 2;
    __syncthreads();
    if (threadIdx.x == 0) tile[past] = 3;  // past == kTile: one past the end
    __syncthreads();
    out[blockIdx.x * kTile + threadIdx.x] = tile[threadIdx.x] + after[threadIdx.x];
}

__global__ void dynamic_shared_overrun_kernel(int past) {
    if (threadIdx.x == 0) nolith_cuda::dynamic_shared_memory<int>()[past] = 1;
}

__global__ void global_overrun_kernel(int* data, int past) {
    if (threadIdx.x == 0) data[past] = 1;
}

TEST_F(Misuse, WritesPastTheEndOfSharedOrDeviceMemory) {
    // A static shared array has no redzone of its own; its guard catches the write.
    test::DeviceBuffer<int> out(2 * kTile);
    EXPECT_DEATH(run<static_shared_overrun_kernel>(2, kTile, out.get(), kTile),
                 "kernel '.*static_shared_overrun_kernel', block \\([01], 0, 0\\): a kernel wrote past the end of "
                 "static __shared__ .*static_shared_overrun_kernel\\(int\\*, int\\)::tile \\(128 bytes\\)");
    EXPECT_DEATH((void)nolith_cuda::launch<dynamic_shared_overrun_kernel>(1, kTile, kTile * sizeof(int), nullptr,
                                                                           kTile);
                 (void)cudaDeviceSynchronize(),
                 "past the end of its 128 bytes of dynamic shared memory|AddressSanitizer: heap-buffer-overflow");
    EXPECT_DEATH(
        {
            test::DeviceBuffer<int> data(kTile);
            run<global_overrun_kernel>(1, kTile, data.get(), kTile);
        },
        "wrote past the end of the 128-byte device allocation|AddressSanitizer: heap-buffer-overflow");
}

__global__ void throwing_kernel() {
    if (blockIdx.x == 1 && threadIdx.x == 7) throw std::runtime_error("boom");
}

TEST_F(Misuse, KernelThatThrowsAndDeviceCodeOutsideAKernel) {
    EXPECT_DEATH(run<throwing_kernel>(2, 32),
                 "kernel '.*throwing_kernel', block \\(1, 0, 0\\), thread 7 .*kernel threw an exception: boom");
    EXPECT_DEATH((void)threadIdx.x, "device code ran outside a kernel launch");
}

}  // namespace
