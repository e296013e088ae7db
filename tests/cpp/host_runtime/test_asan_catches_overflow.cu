#include "gpu.h"

// Built only with AddressSanitizer: a kernel's out-of-bounds write into a
// device allocation, made inside a fiber, is reported as a heap overflow.

#include "test_support.h"

namespace {

__global__ void write_one_past_the_end_kernel(float* data, int n) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i <= n) data[i] = 1.0f;  // off by one: i == n is past the end
}

void overflow() {
    constexpr int n = 100;
    test::DeviceBuffer<float> buffer(n);
    (void)nolith_cuda::launch<write_one_past_the_end_kernel>(4, 32, 0, nullptr, buffer.get(), n);
}

TEST(AddressSanitizer, CatchesAKernelWritingPastADeviceAllocation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(overflow(), "heap-buffer-overflow.*write_one_past_the_end_kernel");
}

}  // namespace
