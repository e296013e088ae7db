#include "gpu.h"

// Stream order in deferred mode: work runs only when the host waits for it,
// so a missing synchronisation, a missing event wait or memory freed while
// still in use shows up as poison (or an AddressSanitizer report) instead of
// passing by luck.

#include "test_support.h"
#include "utils/thrust_policy.h"

#include <thrust/reduce.h>

#include <vector>

namespace {

using test::DeviceBuffer;
namespace hr = test::hr;
using nolith_host::StreamMode;

constexpr int kN = 256;
constexpr int kPoisoned = -1;

__global__ void fill_kernel(int* out, int value) { out[blockIdx.x * blockDim.x + threadIdx.x] = value; }

__global__ void copy_kernel(const int* in, int* out) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    out[i] = in[i];
}

void fill(int* out, int value, cudaStream_t stream) {
    ASSERT_CUDA(nolith_cuda::launch<fill_kernel>(kN / 64, 64, 0, stream, out, value));
}

class StreamOrder : public test::RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        hr::set_stream_mode(StreamMode::Deferred);
        ASSERT_CUDA(cudaStreamCreate(&blocking));
        ASSERT_CUDA(cudaStreamCreateWithFlags(&caller, cudaStreamNonBlocking));
    }
    void TearDown() override {
        EXPECT_CUDA(cudaStreamDestroy(blocking));
        EXPECT_CUDA(cudaStreamDestroy(caller));
        RuntimeTest::TearDown();
    }
    cudaStream_t blocking = nullptr;
    cudaStream_t caller = nullptr;
};

// The host flavour can read device memory directly, as a host bug would.
int first(const DeviceBuffer<int>& buffer) { return *buffer.get(); }

TEST_F(StreamOrder, MissingDependenciesReadPoison) {
    // Reading a kernel's output without waiting for its stream.
    DeviceBuffer<int> a(kN);
    fill(a.get(), 1, blocking);
    EXPECT_EQ(first(a), kPoisoned);
    ASSERT_CUDA(cudaStreamSynchronize(blocking));
    EXPECT_EQ(first(a), 1);

    // A blocking copy waits for blocking streams, not for a non-blocking one.
    DeviceBuffer<int> b(kN), c(kN);
    fill(b.get(), 2, caller);
    fill(c.get(), 3, blocking);
    EXPECT_EQ(b.download()[0], kPoisoned);
    EXPECT_EQ(c.download()[0], 3);
    ASSERT_CUDA(cudaStreamSynchronize(caller));

    // Of work left unordered, the later runs first: a consumer on another
    // stream without an event wait reads before its producer wrote.
    DeviceBuffer<int> d(kN), e(kN), f(kN);
    fill(d.get(), 4, blocking);
    ASSERT_CUDA(nolith_cuda::launch<copy_kernel>(kN / 64, 64, 0, caller, d.get(), e.get()));
    cudaEvent_t produced;
    ASSERT_CUDA(cudaEventCreateWithFlags(&produced, cudaEventDisableTiming));
    ASSERT_CUDA(cudaEventRecord(produced, blocking));
    ASSERT_CUDA(cudaStreamWaitEvent(caller, produced, 0));
    ASSERT_CUDA(nolith_cuda::launch<copy_kernel>(kN / 64, 64, 0, caller, d.get(), f.get()));
    ASSERT_CUDA(cudaDeviceSynchronize());
    EXPECT_EQ(first(e), kPoisoned);
    EXPECT_EQ(first(f), 4);
    EXPECT_CUDA(cudaEventDestroy(produced));
}

TEST_F(StreamOrder, HostWaitsRunWhatCudaMakesThemWaitFor) {
    // The asynchronous copy into pageable memory returns with the data; the
    // one from pageable memory takes the data at the call.
    DeviceBuffer<int> a(kN);
    std::vector<int> host(kN, 7), back(kN, 0);
    ASSERT_CUDA(cudaMemcpyAsync(a.get(), host.data(), kN * sizeof(int), cudaMemcpyHostToDevice, caller));
    host.assign(kN, 8);
    ASSERT_CUDA(cudaMemcpyAsync(back.data(), a.get(), kN * sizeof(int), cudaMemcpyDeviceToHost, caller));
    EXPECT_EQ(back, std::vector<int>(kN, 7));

    // An event wait runs the work up to the event and no further.
    DeviceBuffer<int> b(kN);
    cudaEvent_t start, stop;
    ASSERT_CUDA(cudaEventCreate(&start));
    ASSERT_CUDA(cudaEventCreate(&stop));
    ASSERT_CUDA(cudaEventRecord(start, blocking));
    fill(b.get(), 9, blocking);
    ASSERT_CUDA(cudaEventRecord(stop, blocking));
    fill(b.get(), 10, blocking);
    float ms = 0;
    EXPECT_EQ(cudaErrorNotReady, cudaEventElapsedTime(&ms, start, stop));
    ASSERT_CUDA(cudaEventSynchronize(stop));
    EXPECT_CUDA(cudaEventElapsedTime(&ms, start, stop));
    EXPECT_EQ(first(b), 9);
    EXPECT_EQ(hr::pending_work(), 1u);
    EXPECT_CUDA(cudaEventDestroy(start));
    EXPECT_CUDA(cudaEventDestroy(stop));

    // thrust on a stream runs after the stream's queued work, as on a GPU.
    DeviceBuffer<int> c(kN);
    fill(c.get(), 2, caller);
    EXPECT_EQ(thrust::reduce(nolith_cuda::stream_policy(caller), c.get(), c.get() + kN), 2 * kN);

    // cudaFree waits for the device: the reader of a buffer freed right after
    // queueing it still reads the data.
    DeviceBuffer<int> d(kN);
    int* input = nullptr;
    ASSERT_CUDA(cudaMalloc(reinterpret_cast<void**>(&input), kN * sizeof(int)));
    fill(input, 11, caller);
    ASSERT_CUDA(nolith_cuda::launch<copy_kernel>(kN / 64, 64, 0, caller, input, d.get()));
    ASSERT_CUDA(cudaFree(input));
    EXPECT_EQ(first(d), 11);

    // In immediate mode everything has run when the call returns.
    hr::set_stream_mode(StreamMode::Immediate);
    fill(d.get(), 12, caller);
    EXPECT_EQ(first(d), 12);
}

// Memory of `owner` that a kernel queued on `user` uses (`use`), then freed
// on `owner`, after an event wait for the kernel or without one. The host
// waits for `user` only, never for the free.
template <typename Use>
void free_while_in_use(cudaStream_t owner, cudaStream_t user, bool event_wait, Use use) {
    void* owned = nullptr;
    ASSERT_CUDA(cudaMallocAsync(&owned, kN * sizeof(int), owner));
    fill(static_cast<int*>(owned), 5, owner);
    ASSERT_CUDA(cudaStreamSynchronize(owner));
    use(static_cast<int*>(owned), user);
    cudaEvent_t used;
    ASSERT_CUDA(cudaEventCreateWithFlags(&used, cudaEventDisableTiming));
    if (event_wait) {
        ASSERT_CUDA(cudaEventRecord(used, user));
        ASSERT_CUDA(cudaStreamWaitEvent(owner, used, 0));
    }
    ASSERT_CUDA(cudaFreeAsync(owned, owner));
    ASSERT_CUDA(cudaStreamSynchronize(user));
    EXPECT_CUDA(cudaEventDestroy(used));
}

// A stream-ordered free takes effect as soon as its own stream allows, ahead
// of work on other streams not ordered before it: that work reads poison or
// has its writes reported (under AddressSanitizer, any access). Freed memory
// is held back instead of handed out again.
TEST_F(StreamOrder, FreedMemoryIsPoisonedAndHeldBack) {
    DeviceBuffer<int> result(kN);
    const auto read = [&](int* owned, cudaStream_t s) {
        ASSERT_CUDA(nolith_cuda::launch<copy_kernel>(kN / 64, 64, 0, s, owned, result.get()));
    };
    const auto write = [](int* owned, cudaStream_t s) { fill(owned, 6, s); };
    // Ordered after the kernel by an event wait, or as the legacy default
    // stream is after blocking streams, the free waits for it.
    free_while_in_use(blocking, caller, true, read);
    EXPECT_EQ(first(result), 5);
    free_while_in_use(nullptr, blocking, false, read);
    EXPECT_EQ(first(result), 5);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_DEATH(free_while_in_use(blocking, caller, false, read), "use-after-poison.*\n.*in copy_kernel");
    EXPECT_DEATH(free_while_in_use(caller, blocking, false, write), "use-after-poison.*\n.*in fill_kernel");
#else
    free_while_in_use(blocking, caller, false, read);
    EXPECT_EQ(first(result), kPoisoned);
    EXPECT_DEATH(free_while_in_use(caller, blocking, false, write), "was written .byte 0. after cudaFreeAsync");
#endif

    int* freed = nullptr;
    ASSERT_CUDA(cudaMalloc(reinterpret_cast<void**>(&freed), kN * sizeof(int)));
    fill(freed, 1, blocking);
    ASSERT_CUDA(cudaFree(freed));
    std::vector<int*> fresh(8);
    for (int*& p : fresh) {
        ASSERT_CUDA(cudaMalloc(reinterpret_cast<void**>(&p), kN * sizeof(int)));
        EXPECT_NE(p, freed);
    }
    const int value = 3;
    EXPECT_EQ(cudaErrorInvalidValue, cudaMemcpy(freed, &value, sizeof value, cudaMemcpyHostToDevice));
    for (int* p : fresh) EXPECT_CUDA(cudaFree(p));
}

}  // namespace
