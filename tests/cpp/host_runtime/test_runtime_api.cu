#include "gpu.h"

// The CUDA runtime API of the host runtime: devices, streams, events,
// memory, symbols, error state and launch validation.

#include "test_support.h"

#include <cmath>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace {

using test::DeviceBuffer;
namespace hr = test::hr;
using Devices = test::RuntimeTest;
using Streams = test::RuntimeTest;
using Memory = test::RuntimeTest;
using Errors = test::RuntimeTest;
using Launches = test::RuntimeTest;

__global__ void fill_kernel(int* out, int n, int value) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) out[i] = value + i;
}

// Counts the blocks that ran (one increment per block).
__global__ void count_blocks_kernel(unsigned* counts) {
    if (threadIdx.x == 0) counts[blockIdx.x + gridDim.x * blockIdx.y] += 1;
}

std::vector<unsigned char> bytes_of(const void* device, std::size_t count) {
    std::vector<unsigned char> bytes(count);
    EXPECT_CUDA(cudaMemcpy(bytes.data(), device, count, cudaMemcpyDeviceToHost));
    return bytes;
}

// ---- Devices ----------------------------------------------------------------

TEST_F(Devices, CurrentDeviceIsPerHostThread) {
    int count = 0, device = -1;
    ASSERT_CUDA(cudaGetDeviceCount(&count));
    ASSERT_GE(count, 2);
    EXPECT_EQ(hr::device_count(), count);
    ASSERT_CUDA(cudaSetDevice(1));
    std::thread other([] {
        int d = -1;
        EXPECT_CUDA(cudaGetDevice(&d));
        EXPECT_EQ(d, 0);  // a new host thread starts on device 0
        EXPECT_CUDA(cudaSetDevice(0));
    });
    other.join();
    ASSERT_CUDA(cudaGetDevice(&device));
    EXPECT_EQ(device, 1);
    EXPECT_EQ(cudaErrorInvalidDevice, cudaSetDevice(count));
    EXPECT_EQ(cudaErrorInvalidDevice, cudaSetDevice(-1));
    ASSERT_CUDA(cudaGetDevice(&device));
    EXPECT_EQ(device, 1);
}

TEST_F(Devices, PropertiesAndMultiprocessorOverride) {
    cudaDeviceProp p0, p1;
    ASSERT_CUDA(cudaGetDeviceProperties(&p0, 0));
    EXPECT_EQ(p0.warpSize, 32);  // host code can name the member: warpSize is no macro
    EXPECT_EQ(cudaErrorInvalidDevice, cudaGetDeviceProperties(&p1, 2));

    const int default_count = p0.multiProcessorCount;
    hr::set_multiprocessor_count(1, default_count + 3);
    int attribute = 0;
    ASSERT_CUDA(cudaGetDeviceProperties(&p1, 1));
    ASSERT_CUDA(cudaDeviceGetAttribute(&attribute, cudaDevAttrMultiProcessorCount, 1));
    EXPECT_EQ(p1.multiProcessorCount, default_count + 3);
    EXPECT_EQ(attribute, default_count + 3);
    ASSERT_CUDA(cudaDeviceGetAttribute(&attribute, cudaDevAttrMultiProcessorCount, 0));
    EXPECT_EQ(attribute, default_count);  // only the named device changed
    hr::reset_device_properties();
    ASSERT_CUDA(cudaDeviceGetAttribute(&attribute, cudaDevAttrMultiProcessorCount, 1));
    EXPECT_EQ(attribute, default_count);
}

// ---- Streams and events -----------------------------------------------------

TEST_F(Streams, EventsRecordQueryWaitAndTime) {
    cudaStream_t s1, s2;
    cudaEvent_t start, stop, never_recorded, untimed;
    ASSERT_CUDA(cudaStreamCreate(&s1));
    ASSERT_CUDA(cudaStreamCreateWithFlags(&s2, cudaStreamNonBlocking));
    ASSERT_CUDA(cudaEventCreate(&start));
    ASSERT_CUDA(cudaEventCreate(&stop));
    ASSERT_CUDA(cudaEventCreate(&never_recorded));
    ASSERT_CUDA(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming));
    DeviceBuffer<int> out(256);
    unsigned flags[3] = {9, 9, 9};
    ASSERT_CUDA(cudaStreamGetFlags(s1, &flags[0]));
    ASSERT_CUDA(cudaStreamGetFlags(s2, &flags[1]));
    ASSERT_CUDA(cudaStreamGetFlags(nullptr, &flags[2]));
    EXPECT_EQ(flags[0], unsigned(cudaStreamDefault));
    EXPECT_EQ(flags[1], unsigned(cudaStreamNonBlocking));
    EXPECT_EQ(flags[2], unsigned(cudaStreamDefault));

    ASSERT_CUDA(cudaEventRecord(start, s1));
    ASSERT_CUDA(nolith_cuda::launch<fill_kernel>(2, 128, 0, s1, out.get(), 256, 7));
    ASSERT_CUDA(cudaEventRecord(stop, s1));
    ASSERT_CUDA(cudaEventRecord(untimed, s1));
    ASSERT_CUDA(cudaStreamWaitEvent(s2, stop, 0));
    ASSERT_CUDA(cudaEventSynchronize(stop));
    EXPECT_CUDA(cudaEventQuery(stop));
    EXPECT_CUDA(cudaStreamQuery(s2));
    EXPECT_CUDA(cudaStreamSynchronize(s1));
    float ms = -1.0f;
    ASSERT_CUDA(cudaEventElapsedTime(&ms, start, stop));
    EXPECT_GE(ms, 0.0f);
    EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventElapsedTime(&ms, start, never_recorded));
    EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventElapsedTime(&ms, start, untimed));
    EXPECT_EQ(cudaErrorInvalidValue, cudaEventElapsedTime(nullptr, start, stop));

    for (cudaEvent_t e : {start, stop, never_recorded, untimed}) EXPECT_CUDA(cudaEventDestroy(e));
    EXPECT_CUDA(cudaStreamDestroy(s1));
    EXPECT_CUDA(cudaStreamDestroy(s2));
}

TEST_F(Streams, AnAsyncCopyAfterAKernelOnTheSameStreamSeesItsWrites) {
    cudaStream_t stream;
    ASSERT_CUDA(cudaStreamCreate(&stream));
    constexpr int n = 300;
    DeviceBuffer<int> out(n);
    std::vector<int> host(n, 0);
    ASSERT_CUDA(nolith_cuda::launch<fill_kernel>(3, 128, 0, stream, out.get(), n, 1000));
    ASSERT_CUDA(cudaMemcpyAsync(host.data(), out.get(), n * sizeof(int), cudaMemcpyDeviceToHost, stream));
    ASSERT_CUDA(cudaStreamSynchronize(stream));
    for (int i = 0; i < n; ++i) ASSERT_EQ(host[i], 1000 + i);
    EXPECT_CUDA(cudaStreamDestroy(stream));
}

TEST_F(Streams, DestroyedOrForeignHandlesAreRejectedWithoutSideEffects) {
    cudaStream_t dead;
    cudaEvent_t dead_event, live_event;
    ASSERT_CUDA(cudaStreamCreate(&dead));
    ASSERT_CUDA(cudaStreamDestroy(dead));
    ASSERT_CUDA(cudaEventCreate(&live_event));  // first, so that it cannot reuse the dead event's handle
    ASSERT_CUDA(cudaEventCreate(&dead_event));
    ASSERT_CUDA(cudaEventDestroy(dead_event));
    int junk[4] = {};
    const cudaStream_t foreign = reinterpret_cast<cudaStream_t>(junk);
    const cudaEvent_t foreign_event = reinterpret_cast<cudaEvent_t>(junk);

    DeviceBuffer<unsigned> counts(1);
    counts.zero();
    const std::size_t live = hr::live_allocations();
    const int source[2] = {1, 2};
    for (cudaStream_t s : {dead, foreign}) {
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaStreamSynchronize(s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaStreamQuery(s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaStreamDestroy(s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventRecord(live_event, s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaStreamWaitEvent(s, live_event, 0));
        EXPECT_EQ(cudaErrorInvalidResourceHandle,
                  cudaMemcpyAsync(counts.get(), source, sizeof(unsigned), cudaMemcpyHostToDevice, s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaMemsetAsync(counts.get(), 1, sizeof(unsigned), s));
        void* p = nullptr;
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaMallocAsync(&p, 64, s));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, nolith_cuda::launch<count_blocks_kernel>(1, 32, 0, s, counts.get()));
    }
    EXPECT_EQ(counts.download()[0], 0u);
    EXPECT_EQ(hr::live_allocations(), live);
    for (cudaEvent_t e : {dead_event, foreign_event}) {
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventRecord(e, nullptr));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventQuery(e));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventSynchronize(e));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaStreamWaitEvent(nullptr, e, 0));
        EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventDestroy(e));
    }
    // The special handles name the current device's default stream.
    for (cudaStream_t s : {cudaStream_t(nullptr), cudaStreamLegacy, cudaStreamPerThread}) {
        EXPECT_CUDA(cudaStreamSynchronize(s));
        EXPECT_CUDA(nolith_cuda::launch<count_blocks_kernel>(1, 32, 0, s, counts.get()));
    }
    EXPECT_EQ(counts.download()[0], 3u);
    EXPECT_CUDA(cudaEventDestroy(live_event));
}

TEST_F(Streams, LaunchOrEventRecordOnAStreamOfAnotherDeviceFails) {
    ASSERT_CUDA(cudaSetDevice(1));
    cudaStream_t stream1;
    cudaEvent_t event1;
    ASSERT_CUDA(cudaStreamCreate(&stream1));
    ASSERT_CUDA(cudaEventCreate(&event1));
    ASSERT_CUDA(cudaSetDevice(0));
    cudaEvent_t event0;
    ASSERT_CUDA(cudaEventCreate(&event0));
    DeviceBuffer<unsigned> counts(1);
    counts.zero();

    EXPECT_EQ(cudaErrorInvalidResourceHandle,
              nolith_cuda::launch<count_blocks_kernel>(1, 32, 0, stream1, counts.get()));
    EXPECT_EQ(counts.download()[0], 0u);
    EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventRecord(event0, stream1));
    EXPECT_EQ(cudaErrorInvalidResourceHandle, cudaEventRecord(event1, nullptr));  // device 0's default stream
    EXPECT_CUDA(cudaEventRecord(event1, stream1));

    ASSERT_CUDA(cudaSetDevice(1));
    EXPECT_CUDA(nolith_cuda::launch<count_blocks_kernel>(1, 32, 0, stream1, counts.get()));
    EXPECT_EQ(counts.download()[0], 1u);
    EXPECT_CUDA(cudaStreamDestroy(stream1));
    EXPECT_CUDA(cudaEventDestroy(event1));
    EXPECT_CUDA(cudaEventDestroy(event0));
}

// ---- Memory -----------------------------------------------------------------

TEST_F(Memory, AllocationsArePoisonedAndCounted) {
    const std::size_t live = hr::live_allocations();
    float* a = nullptr;
    void* b = nullptr;
    ASSERT_CUDA(cudaMalloc(reinterpret_cast<void**>(&a), 100 * sizeof(float)));
    ASSERT_CUDA(cudaMallocAsync(&b, 37, nullptr));
    EXPECT_EQ(hr::live_allocations(), live + 2);
    std::vector<float> floats(100);
    ASSERT_CUDA(cudaMemcpy(floats.data(), a, 100 * sizeof(float), cudaMemcpyDeviceToHost));
    for (float f : floats) EXPECT_TRUE(std::isnan(f));
    for (unsigned char byte : bytes_of(b, 37)) EXPECT_EQ(byte, 0xFF);
    EXPECT_CUDA(cudaFree(a));
    EXPECT_EQ(hr::live_allocations(), live + 1);
    EXPECT_CUDA(cudaFreeAsync(b, nullptr));
    EXPECT_EQ(hr::live_allocations(), live);
}

TEST_F(Memory, ZeroByteAllocationAndBadFrees) {
    const std::size_t live = hr::live_allocations();
    void* p = reinterpret_cast<void*>(0x1);
    ASSERT_CUDA(cudaMalloc(&p, 0));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(hr::live_allocations(), live);
    EXPECT_CUDA(cudaFree(nullptr));

    void* q = nullptr;
    ASSERT_CUDA(cudaMalloc(&q, 64));
    int on_stack = 0;
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(&on_stack));
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(static_cast<char*>(q) + 8));  // inside, not the start
    EXPECT_EQ(hr::live_allocations(), live + 1);
    EXPECT_CUDA(cudaFree(q));
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(q));
    EXPECT_EQ(cudaErrorInvalidValue, cudaFreeAsync(q, nullptr));
    EXPECT_EQ(hr::live_allocations(), live);
    EXPECT_EQ(cudaErrorMemoryAllocation, cudaMalloc(&q, std::size_t(1) << 60));
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(cudaErrorInvalidValue, cudaMalloc(nullptr, 16));
}

TEST_F(Memory, CopiesAndFillsSyncAndAsync) {
    cudaStream_t stream;
    ASSERT_CUDA(cudaStreamCreate(&stream));
    std::vector<int> host(64);
    for (int i = 0; i < 64; ++i) host[i] = i * i - 7;
    DeviceBuffer<int> a(64), b(64);
    ASSERT_CUDA(cudaMemcpy(a.get(), host.data(), 64 * sizeof(int), cudaMemcpyHostToDevice));
    ASSERT_CUDA(cudaMemcpyAsync(b.get(), a.get(), 32 * sizeof(int), cudaMemcpyDeviceToDevice, stream));
    ASSERT_CUDA(cudaMemsetAsync(b.get() + 40, 0x01, 8 * sizeof(int), stream));
    ASSERT_CUDA(cudaMemset(a.get() + 60, 0, 4 * sizeof(int)));
    ASSERT_CUDA(cudaStreamSynchronize(stream));
    const std::vector<int> got_a = a.download(), got_b = b.download();
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(got_a[i], i < 60 ? host[i] : 0) << i;
        const int expected_b = i < 32 ? host[i] : (i >= 40 && i < 48 ? 0x01010101 : -1);  // rest still poisoned
        EXPECT_EQ(got_b[i], expected_b) << i;
    }
    EXPECT_CUDA(cudaMemcpy(host.data(), a.get(), 0, cudaMemcpyDeviceToHost));  // empty copies are no-ops
    EXPECT_CUDA(cudaStreamDestroy(stream));
}

TEST_F(Memory, CopiesThatLeaveAnAllocationAreRefusedUntouched) {
    DeviceBuffer<unsigned char> buffer(64), other(64);
    unsigned char* d = buffer.get();
    std::vector<unsigned char> host(128, 0x11);
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(d, host.data(), 65, cudaMemcpyHostToDevice));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(d + 32, host.data(), 33, cudaMemcpyHostToDevice));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpyAsync(d + 63, host.data(), 2, cudaMemcpyHostToDevice, nullptr));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(d + 64, host.data(), 1, cudaMemcpyHostToDevice));  // one past
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(other.get(), d + 1, 64, cudaMemcpyDeviceToDevice));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemset(d + 60, 0, 5));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemsetAsync(d, 0, 100, nullptr));
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(host.data(), d + 8, 57, cudaMemcpyDeviceToHost));
    EXPECT_EQ(host, std::vector<unsigned char>(128, 0x11));
    for (unsigned char byte : buffer.download()) ASSERT_EQ(byte, 0xFF);
    for (unsigned char byte : other.download()) ASSERT_EQ(byte, 0xFF);
    // Ranges that end exactly at the end are fine.
    EXPECT_CUDA(cudaMemcpy(d + 32, host.data(), 32, cudaMemcpyHostToDevice));
    EXPECT_CUDA(cudaMemcpy(other.get(), d, 64, cudaMemcpyDeviceToDevice));
}

struct Params {
    int scale;
    float offset;
    int unused[6];
};

__constant__ Params c_params;

__global__ void apply_params_kernel(float* out) {
    out[threadIdx.x] = static_cast<float>(c_params.scale * static_cast<int>(threadIdx.x)) + c_params.offset;
}

TEST_F(Memory, ConstantSymbolWrittenOnAStreamIsReadByTheNextKernel) {
    cudaStream_t stream;
    ASSERT_CUDA(cudaStreamCreate(&stream));
    DeviceBuffer<float> out(32);
    const Params params{3, 0.5f, {}};
    ASSERT_CUDA(cudaMemcpyToSymbolAsync(c_params, &params, sizeof params, 0, cudaMemcpyHostToDevice, stream));
    ASSERT_CUDA(nolith_cuda::launch<apply_params_kernel>(1, 32, 0, stream, out.get()));
    ASSERT_CUDA(cudaStreamSynchronize(stream));
    std::vector<float> got = out.download();
    for (int i = 0; i < 32; ++i) EXPECT_EQ(got[i], 3.0f * i + 0.5f);

    // Only the offset member, addressed by its offset inside the symbol.
    const float offset = -2.0f;
    ASSERT_CUDA(cudaMemcpyToSymbol(c_params, &offset, sizeof offset, offsetof(Params, offset)));
    ASSERT_CUDA(nolith_cuda::launch<apply_params_kernel>(1, 32, 0, nullptr, out.get()));
    got = out.download();
    for (int i = 0; i < 32; ++i) EXPECT_EQ(got[i], 3.0f * i - 2.0f);
    Params back{};
    ASSERT_CUDA(cudaMemcpyFromSymbol(&back, c_params, sizeof back));
    EXPECT_EQ(back.scale, 3);
    EXPECT_EQ(back.offset, -2.0f);
    EXPECT_CUDA(cudaStreamDestroy(stream));
}

TEST_F(Memory, PointerAttributesNameTheDeviceOfTheAllocation) {
    void *p0 = nullptr, *p1 = nullptr;
    ASSERT_CUDA(cudaMalloc(&p0, 256));
    ASSERT_CUDA(cudaSetDevice(1));
    ASSERT_CUDA(cudaMalloc(&p1, 256));
    ASSERT_CUDA(cudaSetDevice(0));
    cudaPointerAttributes attributes;
    ASSERT_CUDA(cudaPointerGetAttributes(&attributes, p0));
    EXPECT_EQ(attributes.type, cudaMemoryTypeDevice);
    EXPECT_EQ(attributes.device, 0);
    ASSERT_CUDA(cudaPointerGetAttributes(&attributes, static_cast<char*>(p1) + 255));
    EXPECT_EQ(attributes.type, cudaMemoryTypeDevice);
    EXPECT_EQ(attributes.device, 1);
    int on_stack = 0;
    ASSERT_CUDA(cudaPointerGetAttributes(&attributes, &on_stack));
    EXPECT_EQ(attributes.type, cudaMemoryTypeUnregistered);
    EXPECT_CUDA(cudaFree(p0));
    EXPECT_CUDA(cudaFree(p1));  // freed from device 0: frees are not tied to the current device
}

// ---- Errors -----------------------------------------------------------------

TEST_F(Errors, LastErrorIsReturnedOnceAndPeekKeepsItPerHostThread) {
    ASSERT_CUDA(cudaGetLastError());
    int on_stack = 0;
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(&on_stack));
    void* p = nullptr;
    ASSERT_CUDA(cudaMalloc(&p, 8));  // a success does not clear it
    EXPECT_EQ(cudaErrorInvalidValue, cudaPeekAtLastError());
    EXPECT_EQ(cudaErrorInvalidValue, cudaPeekAtLastError());
    std::thread other([] { EXPECT_CUDA(cudaPeekAtLastError()); });
    other.join();
    EXPECT_EQ(cudaErrorInvalidValue, cudaGetLastError());
    EXPECT_CUDA(cudaGetLastError());
    EXPECT_CUDA(cudaPeekAtLastError());
    // The most recent failure wins.
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(&on_stack));
    EXPECT_EQ(cudaErrorInvalidDevice, cudaSetDevice(99));
    EXPECT_EQ(cudaErrorInvalidDevice, cudaGetLastError());
    EXPECT_CUDA(cudaFree(p));
}

TEST_F(Errors, BadLaunchConfigurationsRunNothing) {
    DeviceBuffer<unsigned> counts(4);
    counts.zero();
    unsigned* c = counts.get();
    ASSERT_CUDA(cudaGetLastError());
    EXPECT_EQ(cudaErrorInvalidConfiguration, nolith_cuda::launch<count_blocks_kernel>(0, 32, 0, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidConfiguration, cudaGetLastError());
    EXPECT_EQ(cudaErrorInvalidConfiguration, nolith_cuda::launch<count_blocks_kernel>(1, 1025, 0, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidConfiguration, nolith_cuda::launch<count_blocks_kernel>(1, 0, 0, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidConfiguration,
              nolith_cuda::launch<count_blocks_kernel>(1, dim3(32, 33), 0, nullptr, c));  // 1056 threads
    EXPECT_EQ(cudaErrorInvalidConfiguration,
              nolith_cuda::launch<count_blocks_kernel>(1, dim3(1, 1, 65), 0, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidConfiguration,
              nolith_cuda::launch<count_blocks_kernel>(dim3(1, 65536), 32, 0, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidValue, nolith_cuda::launch<count_blocks_kernel>(1, 32, 48 * 1024 + 1, nullptr, c));
    EXPECT_EQ(cudaErrorInvalidValue, cudaPeekAtLastError());
    EXPECT_EQ(counts.download(), std::vector<unsigned>(4, 0));
    // The limits themselves are accepted.
    EXPECT_CUDA(nolith_cuda::launch<count_blocks_kernel>(dim3(2, 2), 1024, 48 * 1024, nullptr, c));
    EXPECT_EQ(counts.download(), std::vector<unsigned>(4, 1));
}

TEST_F(Errors, ErrorStringsAndNames) {
    const std::pair<cudaError_t, std::string> texts[] = {
        {cudaSuccess, "no error"},
        {cudaErrorInvalidValue, "invalid argument"},
        {cudaErrorMemoryAllocation, "out of memory"},
        {cudaErrorInvalidResourceHandle, "invalid resource handle"},
        {cudaErrorCooperativeLaunchTooLarge, "too many blocks in cooperative launch"},
    };
    for (const auto& [code, text] : texts) EXPECT_EQ(cudaGetErrorString(code), text);
    EXPECT_STREQ(cudaGetErrorName(cudaErrorInvalidResourceHandle), "cudaErrorInvalidResourceHandle");
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(987654)), "unrecognized error code");
}

// ---- Launches -----------------------------------------------------------------

TEST_F(Launches, EveryBlockOfEveryLaunchRunsExactlyOnceFromSeveralHostThreads) {
    constexpr int kLaunches = 150;
    constexpr unsigned kBlocks = 24;
    auto launches = [](int device, std::vector<unsigned>* result) {
        EXPECT_CUDA(cudaSetDevice(device));
        DeviceBuffer<unsigned> counts(kBlocks);
        counts.zero();
        for (int i = 0; i < kLaunches; ++i) {
            EXPECT_CUDA(nolith_cuda::launch<count_blocks_kernel>(dim3(kBlocks / 2, 2), 32, 0, nullptr,
                                                                 counts.get()));
        }
        *result = counts.download();
    };
    std::vector<unsigned> r0, r1, r2;
    std::thread t0(launches, 0, &r0), t1(launches, 1, &r1);
    launches(1, &r2);
    t0.join();
    t1.join();
    for (const auto* r : {&r0, &r1, &r2}) EXPECT_EQ(*r, std::vector<unsigned>(kBlocks, kLaunches));
}

__global__ void multiply_kernel(float* out, float a, float b) { *out = a * b; }

TEST_F(Launches, KernelsFlushDenormalsAndTheHostModeIsRestored) {
    DeviceBuffer<float> out(1);
    ASSERT_CUDA(nolith_cuda::launch<multiply_kernel>(1, 1, 0, nullptr, out.get(), 1e-20f, 1e-20f));
    EXPECT_EQ(out.download()[0], 0.0f);
    volatile float tiny = 1e-20f;
    EXPECT_GT(tiny * tiny, 0.0f);  // host code keeps IEEE denormals
}

}  // namespace
