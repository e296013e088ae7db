#include "gpu.h"

// Races between CUDA threads. The schedule policies run a block's threads in
// different orders, so that a missing barrier gives wrong results under at
// least one of the policies the test script runs (round-robin, warp-reverse).
// In the race-check build (ThreadSanitizer) the checker reports unordered
// accesses whatever the schedule, and accepts what CUDA orders.

#include "test_support.h"

#include <cstdlib>
#include <vector>

namespace {

using nolith_host::SchedulePolicy;
using test::DeviceBuffer;
namespace hr = test::hr;

constexpr unsigned kThreads = 64;

enum class Fault { None, ReadsLowerThread, ReadsHigherThread, ReadsOtherWarpAfterSyncwarp };

// The thread whose published value thread t reads.
__host__ __device__ unsigned source(Fault fault, unsigned t) {
    switch (fault) {
        case Fault::None: return (t + 1) % kThreads;
        case Fault::ReadsLowerThread: return t > 0 ? t - 1 : t;
        case Fault::ReadsHigherThread: return t + 1 < kThreads ? t + 1 : t;
        // Lane 1 never completes the __syncwarp in either direction, so it waits there.
        case Fault::ReadsOtherWarpAfterSyncwarp: return t % 32 == 1 ? (t + 32) % kThreads : t;
    }
    return t;
}

// Each thread publishes a value and reads another's; only Fault::None has
// the barrier that the read needs.
__global__ void neighbour_kernel(Fault fault, int* out) {
    __shared__ int published[kThreads];
    const unsigned t = threadIdx.x;
    published[t] = static_cast<int>(t) + 1;
    if (fault == Fault::None) __syncthreads();
    if (fault == Fault::ReadsOtherWarpAfterSyncwarp) __syncwarp();
    out[blockIdx.x * kThreads + t] = published[source(fault, t)];
}

// Whether every thread read what the other published.
bool reads_published(Fault fault, SchedulePolicy policy) {
    hr::set_schedule(policy);
    constexpr unsigned kBlocks = 3;
    DeviceBuffer<int> out(kBlocks * kThreads);
    EXPECT_CUDA(nolith_cuda::launch<neighbour_kernel>(kBlocks, kThreads, 0, nullptr, fault, out.get()));
    const std::vector<int> got = out.download();
    hr::restore_options();
    for (unsigned i = 0; i < got.size(); ++i) {
        if (got[i] != static_cast<int>(source(fault, i % kThreads)) + 1) return false;
    }
    return true;
}

TEST(Races, SchedulePoliciesExposeMissingBarriers) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the planted races are the race checker's to report";
#endif
    const struct {
        Fault fault;
        bool round_robin, reverse, warp, warp_reverse;  // whether the fault stays hidden
    } cases[] = {
        {Fault::None, true, true, true, true},
        {Fault::ReadsLowerThread, true, false, true, false},
        {Fault::ReadsHigherThread, false, true, false, true},
        // Warps in step hide it; a warp that runs on alone does not.
        {Fault::ReadsOtherWarpAfterSyncwarp, true, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        EXPECT_EQ(reads_published(c.fault, SchedulePolicy::RoundRobin), c.round_robin);
        EXPECT_EQ(reads_published(c.fault, SchedulePolicy::Reverse), c.reverse);
        EXPECT_EQ(reads_published(c.fault, SchedulePolicy::Warp), c.warp);
        EXPECT_EQ(reads_published(c.fault, SchedulePolicy::WarpReverse), c.warp_reverse);
    }
}

#if defined(__SANITIZE_THREAD__)

// Lanes exchange values through shared memory with a shuffle between the
// write and the read: a shuffle orders no memory, __syncwarp does.
__global__ void warp_exchange_kernel(bool syncwarp, int* out) {
    __shared__ int lanes[32];
    const unsigned l = threadIdx.x;
    lanes[l] = static_cast<int>(l);
    if (syncwarp) {
        __syncwarp();
    } else {
        (void)__shfl_sync(0xffffffffu, 0, 0);
    }
    out[l] = lanes[(l + 1) % 32];
}

// Thread 0 of every block bumps one counter.
__global__ void count_blocks_kernel(bool atomic, unsigned* counter) {
    if (threadIdx.x != 0) return;
    if (atomic) {
        atomicAdd(counter, 1u);
    } else {
        *counter += 1;
    }
}

__global__ void write_kernel(int* data) { data[threadIdx.x] = static_cast<int>(threadIdx.x); }

__global__ void read_other_kernel(const int* data, int* out) { out[threadIdx.x] = data[(threadIdx.x + 1) % 32]; }

// One block writes, a grid sync, another block reads.
__global__ void grid_exchange_kernel(int* data, int* out) {
    if (blockIdx.x == 0) data[threadIdx.x] = static_cast<int>(threadIdx.x);
    cg::this_grid().sync();
    if (blockIdx.x == 1) out[threadIdx.x] = data[(threadIdx.x + 1) % 32];
}

void run_and_exit(void (*body)()) {
    body();
    ASSERT_CUDA(cudaDeviceSynchronize());
    std::exit(0);
}

class RaceCheck : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // The child of each death test stops at its first report.
        setenv("TSAN_OPTIONS", "halt_on_error=1", 1);
    }
};

TEST_F(RaceCheck, ReportsAccessesThatCudaLeavesUnordered) {
    constexpr const char* kReport = "ThreadSanitizer: data race";
    EXPECT_DEATH(run_and_exit([] {
                     DeviceBuffer<int> out(kThreads);
                     // Hidden by the round-robin schedule, not by the checker.
                     hr::set_schedule(SchedulePolicy::RoundRobin);
                     (void)nolith_cuda::launch<neighbour_kernel>(1, kThreads, 0, nullptr, Fault::ReadsLowerThread,
                                                                 out.get());
                 }),
                 kReport);
    EXPECT_DEATH(run_and_exit([] {
                     DeviceBuffer<int> out(32);
                     (void)nolith_cuda::launch<warp_exchange_kernel>(1, 32, 0, nullptr, false, out.get());
                 }),
                 kReport);
    EXPECT_DEATH(run_and_exit([] {
                     DeviceBuffer<unsigned> counter(1);
                     (void)nolith_cuda::launch<count_blocks_kernel>(8, 32, 0, nullptr, false, counter.get());
                 }),
                 kReport);
}

TEST_F(RaceCheck, AcceptsWhatCudaOrders) {
    EXPECT_EXIT(run_and_exit([] {
                    DeviceBuffer<int> a(3 * kThreads), b(32), c(32), d(32);
                    DeviceBuffer<unsigned> counter(1);
                    counter.zero();
                    (void)nolith_cuda::launch<neighbour_kernel>(3, kThreads, 0, nullptr, Fault::None, a.get());
                    (void)nolith_cuda::launch<warp_exchange_kernel>(1, 32, 0, nullptr, true, b.get());
                    (void)nolith_cuda::launch<count_blocks_kernel>(8, 32, 0, nullptr, true, counter.get());
                    // Launch boundaries on one stream, and a grid sync.
                    (void)nolith_cuda::launch<write_kernel>(1, 32, 0, nullptr, c.get());
                    (void)nolith_cuda::launch<read_other_kernel>(1, 32, 0, nullptr, c.get(), d.get());
                    (void)nolith_cuda::launch_cooperative<grid_exchange_kernel>(2, 32, 0, nullptr, c.get(), d.get());
                    EXPECT_EQ(counter.download()[0], 8u);
                }),
                ::testing::ExitedWithCode(0), "");
}

#endif

}  // namespace
