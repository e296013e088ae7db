#pragma once
// Helpers shared by the host runtime and kernel tests: readable status
// checks and a device buffer that frees itself. The kernel tests also build
// with nvcc for a GPU, where the host runtime's test hooks (hr) do not exist.

#include "gpu.h"
#if defined(NOLITH_HOST_FLAVOUR)
#include "host_runtime/testing.h"
#endif

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <vector>

// GoogleTest prints statuses by name instead of as numbers.
inline void PrintTo(cudaError_t status, std::ostream* out) { *out << cudaGetErrorName(status); }

#define EXPECT_CUDA(call) EXPECT_EQ(cudaSuccess, (call))
#define ASSERT_CUDA(call) ASSERT_EQ(cudaSuccess, (call))

namespace test {

#if defined(NOLITH_HOST_FLAVOUR)
namespace hr = nolith_host::testing;
#endif

constexpr unsigned kFullMask = 0xffffffffu;

template <typename T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(std::size_t count) : count_(count) {
        EXPECT_CUDA(cudaMalloc(reinterpret_cast<void**>(&data_), bytes()));
    }
    explicit DeviceBuffer(const std::vector<T>& values) : DeviceBuffer(values.size()) { upload(values); }
    ~DeviceBuffer() { cudaFree(data_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    T* get() const { return data_; }
    std::size_t bytes() const { return count_ * sizeof(T); }

    void upload(const std::vector<T>& values) {
        EXPECT_CUDA(cudaMemcpy(data_, values.data(), bytes(), cudaMemcpyHostToDevice));
    }
    std::vector<T> download() const {
        std::vector<T> values(count_);
        EXPECT_CUDA(cudaMemcpy(values.data(), data_, bytes(), cudaMemcpyDeviceToHost));
        return values;
    }
    void zero() { EXPECT_CUDA(cudaMemset(data_, 0, bytes())); }

private:
    std::size_t count_;
    T* data_ = nullptr;
};

// Puts the calling thread back on device 0 with no pending error, and the
// devices and failure injection back to their defaults, around every test,
// so that tests also pass when a whole binary runs in one process. The tests
// expect the default poison (0xFF) whatever the environment chose.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset();
#if defined(NOLITH_HOST_FLAVOUR)
        hr::set_poison(0xFF);
#endif
    }
    void TearDown() override {
        reset();
#if defined(NOLITH_HOST_FLAVOUR)
        hr::restore_options();
#endif
    }

private:
    static void reset() {
        EXPECT_CUDA(cudaSetDevice(0));
        (void)cudaGetLastError();
#if defined(NOLITH_HOST_FLAVOUR)
        hr::reset_device_properties();
        hr::clear_failures();
#endif
    }
};

// A value per (block, thread) that differs between blocks, warps and lanes.
__host__ __device__ inline unsigned value_of(unsigned block, unsigned thread) {
    return (block * 977u + thread * 131u) ^ 0x5a5au;
}

}  // namespace test
