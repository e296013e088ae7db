#include "gpu.h"

// Failure injection: exactly the k-th allocation, copy or launch fails with
// the chosen status and leaves nothing behind; the counters count every call.

#include "test_support.h"

#include <vector>

namespace {

using test::DeviceBuffer;
namespace hr = test::hr;
using hr::Operation;

__global__ void mark_kernel(int* flag) { atomicAdd(flag, 1); }

__constant__ int c_value;

using FaultInjection = test::RuntimeTest;  // clears pending failures and counters around each test

TEST_F(FaultInjection, OnlyTheKthAllocationFailsAndReturnsNull) {
    void* before = nullptr;
    ASSERT_CUDA(cudaMalloc(&before, 8));  // k counts the calls after fail_nth, not this one
    const std::size_t live = hr::live_allocations();
    hr::fail_nth(Operation::Allocation, 3, cudaErrorMemoryAllocation);
    void *a = nullptr, *b = nullptr, *c = reinterpret_cast<void*>(0x1), *d = nullptr;
    EXPECT_CUDA(cudaMalloc(&a, 64));
    EXPECT_CUDA(cudaMallocAsync(&b, 64, nullptr));
    ASSERT_CUDA(cudaGetLastError());
    EXPECT_EQ(cudaErrorMemoryAllocation, cudaMalloc(&c, 64));
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(hr::live_allocations(), live + 2);
    EXPECT_EQ(cudaErrorMemoryAllocation, cudaGetLastError());
    EXPECT_CUDA(cudaMalloc(&d, 64));
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(hr::calls(Operation::Allocation), 5u);
    EXPECT_EQ(hr::calls(Operation::Copy), 0u);  // each kind has its own counter
    for (void* p : {before, a, b, d}) EXPECT_CUDA(cudaFree(p));
    EXPECT_EQ(hr::live_allocations(), live - 1);
}

TEST_F(FaultInjection, AFailedCopyOrFillLeavesTheDestinationUntouched) {
    DeviceBuffer<int> buffer(16);
    const std::vector<int> values(16, 42);
    hr::fail_nth(Operation::Copy, 2, cudaErrorLaunchFailure);
    EXPECT_CUDA(cudaMemcpy(buffer.get(), values.data(), 8 * sizeof(int), cudaMemcpyHostToDevice));
    EXPECT_EQ(cudaErrorLaunchFailure, cudaMemsetAsync(buffer.get() + 8, 0, 8 * sizeof(int), nullptr));
    std::vector<int> host(16, 7);
    EXPECT_CUDA(cudaMemcpy(host.data(), buffer.get(), 16 * sizeof(int), cudaMemcpyDeviceToHost));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(host[i], i < 8 ? 42 : -1) << i;  // the fill never happened

    const int value = 5;
    hr::fail_nth(Operation::Copy, 1, cudaErrorInvalidValue);
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpyToSymbol(c_value, &value, sizeof value));
    int back = 0;
    hr::fail_nth(Operation::Copy, 2, cudaErrorUnknown);
    EXPECT_CUDA(cudaMemcpyToSymbol(c_value, &value, sizeof value));
    EXPECT_EQ(cudaErrorUnknown, cudaMemcpyFromSymbol(&back, c_value, sizeof back));
    EXPECT_EQ(back, 0);
    std::vector<int> untouched(16, 7);
    hr::fail_nth(Operation::Copy, 1, cudaErrorUnknown);
    EXPECT_EQ(cudaErrorUnknown, cudaMemcpy(untouched.data(), buffer.get(), 16 * sizeof(int), cudaMemcpyDeviceToHost));
    EXPECT_EQ(untouched, std::vector<int>(16, 7));
    EXPECT_EQ(hr::calls(Operation::Copy), 7u);
}

TEST_F(FaultInjection, AFailedLaunchRunsNothing) {
    DeviceBuffer<int> flag(1);
    flag.zero();
    hr::fail_nth(Operation::Launch, 1, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaErrorLaunchOutOfResources, nolith_cuda::launch<mark_kernel>(4, 32, 0, nullptr, flag.get()));
    EXPECT_EQ(cudaErrorLaunchOutOfResources, cudaGetLastError());
    EXPECT_EQ(flag.download()[0], 0);
    EXPECT_CUDA(nolith_cuda::launch<mark_kernel>(4, 32, 0, nullptr, flag.get()));
    EXPECT_EQ(flag.download()[0], 128);

    // Cooperative launches count as launches.
    hr::fail_nth(Operation::Launch, 2, cudaErrorLaunchFailure);
    EXPECT_CUDA(nolith_cuda::launch_cooperative<mark_kernel>(2, 32, 0, nullptr, flag.get()));
    EXPECT_EQ(cudaErrorLaunchFailure, nolith_cuda::launch_cooperative<mark_kernel>(2, 32, 0, nullptr, flag.get()));
    EXPECT_EQ(flag.download()[0], 192);
    EXPECT_EQ(hr::calls(Operation::Launch), 4u);
}

TEST_F(FaultInjection, ClearFailuresForgetsPendingFailuresAndRestartsCounters) {
    void* p = nullptr;
    hr::fail_nth(Operation::Allocation, 2, cudaErrorMemoryAllocation);
    hr::fail_nth(Operation::Copy, 1, cudaErrorUnknown);
    ASSERT_CUDA(cudaMalloc(&p, 4));
    EXPECT_EQ(hr::calls(Operation::Allocation), 1u);
    hr::clear_failures();
    EXPECT_EQ(hr::calls(Operation::Allocation), 0u);
    void* q = nullptr;
    EXPECT_CUDA(cudaMalloc(&q, 4));
    EXPECT_CUDA(cudaMemset(q, 0, 4));
    EXPECT_EQ(hr::calls(Operation::Allocation), 1u);
    EXPECT_EQ(hr::calls(Operation::Copy), 1u);
    EXPECT_CUDA(cudaFree(p));
    EXPECT_CUDA(cudaFree(q));
}

}  // namespace
