#include "gpu.h"

// Block-level cooperation: shared memory between barriers (static and
// dynamic, poisoned at every block start), reducing barriers, cub::BlockScan
// and multi-dimensional indices.

#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace {

using test::DeviceBuffer;
using test::value_of;

constexpr int kTile = 256;

__global__ void reverse_and_reduce_kernel(const int* in, int* reversed, int* sums) {
    __shared__ int tile[kTile];
    const int t = static_cast<int>(threadIdx.x);
    const int base = static_cast<int>(blockIdx.x) * kTile;
    tile[t] = in[base + t];
    __syncthreads();
    reversed[base + t] = tile[kTile - 1 - t];
    __syncthreads();  // every read of the tile precedes the in-place reduction
    for (int stride = kTile / 2; stride > 0; stride /= 2) {
        if (t < stride) tile[t] += tile[t + stride];
        __syncthreads();
    }
    if (t == 0) sums[blockIdx.x] = tile[0];
}

TEST(BlockSync, StaticSharedTileBetweenBarriersPerBlock) {
    constexpr int kBlocks = 12;
    std::vector<int> in(kBlocks * kTile);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(value_of(7, i) % 10007) - 5000;
    DeviceBuffer<int> d_in(in), reversed(in.size()), sums(kBlocks);
    ASSERT_CUDA(nolith_cuda::launch<reverse_and_reduce_kernel>(kBlocks, kTile, 0, nullptr, d_in.get(),
                                                               reversed.get(), sums.get()));
    const std::vector<int> r = reversed.download(), s = sums.download();
    for (int b = 0; b < kBlocks; ++b) {
        const int* block_in = &in[b * kTile];
        for (int t = 0; t < kTile; ++t) EXPECT_EQ(r[b * kTile + t], block_in[kTile - 1 - t]) << "block " << b;
        EXPECT_EQ(s[b], std::accumulate(block_in, block_in + kTile, 0)) << "block " << b;
    }
}

// Forgets to zero the shared maximum before the threads' atomicMax: with 0xFF
// poison it starts at -1, below every non-negative input, and the fault hides.
__global__ void unzeroed_max_kernel(const int* in, int* first_read, int* max_out) {
    __shared__ int block_max;
    if (threadIdx.x == 0) first_read[blockIdx.x] = block_max;  // garbage on a GPU
    __syncthreads();
    atomicMax(&block_max, in[blockIdx.x * blockDim.x + threadIdx.x]);
    __syncthreads();
    if (threadIdx.x == 0) {
        max_out[blockIdx.x] = block_max;
        block_max = 12345;  // what a following block must not see
    }
}

TEST(BlockSync, StaticSharedIsPoisonedAtEveryBlockStartWithTheChosenPattern) {
    constexpr int kBlocks = 8, kThreads = 64;
    std::vector<int> in(kBlocks * kThreads);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(value_of(3, i) % 1000);
    DeviceBuffer<int> d_in(in), first_read(kBlocks), max_out(kBlocks);
    for (const unsigned char poison : {0xFF, 0x7F}) {
        nolith_host::testing::set_poison(poison);
        ASSERT_CUDA(nolith_cuda::launch<unzeroed_max_kernel>(kBlocks, kThreads, 0, nullptr, d_in.get(),
                                                             first_read.get(), max_out.get()));
        const std::vector<int> first = first_read.download(), got = max_out.download();
        for (int b = 0; b < kBlocks; ++b) {
            const int expected = *std::max_element(&in[b * kThreads], &in[(b + 1) * kThreads]);
            EXPECT_EQ(first[b], poison == 0xFF ? -1 : 0x7F7F7F7F) << "block " << b;
            // 0x7F7F7F7F exceeds every input: the missing zeroing shows.
            EXPECT_EQ(got[b], poison == 0xFF ? expected : 0x7F7F7F7F) << "block " << b;
        }
    }
    nolith_host::testing::restore_options();
}

__global__ void dynamic_shared_kernel(unsigned* out, unsigned n) {
    unsigned* buffer = nolith_cuda::dynamic_shared_memory<unsigned>();
    unsigned* o = out + blockIdx.x * (n + 1);
    // Fresh shared memory is garbage on a GPU; the host runtime poisons it.
    if (threadIdx.x == 0) o[n] = buffer[n - 1];
    __syncthreads();
    for (unsigned i = threadIdx.x; i < n; i += blockDim.x) buffer[i] = i * 3 + blockIdx.x;
    __syncthreads();
    for (unsigned i = threadIdx.x; i < n; i += blockDim.x) o[i] = buffer[n - 1 - i];
}

TEST(BlockSync, DynamicSharedMemoryIsSizedByTheLaunchAndPrivateToTheBlock) {
    constexpr unsigned kBlocks = 6;
    for (const unsigned n : {5u, 12000u}) {  // 12000 words: most of the 48 KiB a block may have
        SCOPED_TRACE(testing::Message() << n << " words");
        DeviceBuffer<unsigned> out(kBlocks * (n + 1));
        ASSERT_CUDA(nolith_cuda::launch<dynamic_shared_kernel>(kBlocks, 128, n * sizeof(unsigned), nullptr,
                                                               out.get(), n));
        const std::vector<unsigned> got = out.download();
        for (unsigned b = 0; b < kBlocks; ++b) {
            EXPECT_EQ(got[b * (n + 1) + n], 0x01010101u * nolith_host::options().poison) << "block " << b;
            for (unsigned i = 0; i < n; ++i) {
                ASSERT_EQ(got[b * (n + 1) + i], (n - 1 - i) * 3 + b) << "block " << b << " word " << i;
            }
        }
    }
}

constexpr int kVoteColumns = 6;

__global__ void barrier_votes_kernel(int* out) {
    const unsigned t = threadIdx.x, b = blockIdx.x;
    int* o = out + (b * blockDim.x + t) * kVoteColumns;
    o[0] = __syncthreads_count(t % 3 == 0);
    o[1] = __syncthreads_count(t < b);  // must not carry the previous count over
    o[2] = __syncthreads_and(t < 1000);
    o[3] = __syncthreads_and(t != 77 + b);
    o[4] = __syncthreads_or(t == 200 - b);
    o[5] = __syncthreads_or(0);
}

TEST(BlockSync, ReducingBarriersGiveEveryThreadTheBlockResult) {
    constexpr unsigned kBlocks = 3, kThreads = 200;  // not a whole number of warps
    DeviceBuffer<int> out(kBlocks * kThreads * kVoteColumns);
    ASSERT_CUDA(nolith_cuda::launch<barrier_votes_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<int> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        const int expected[kVoteColumns] = {67, static_cast<int>(b), 1, 0, b == 0 ? 0 : 1, 0};
        for (unsigned t = 0; t < kThreads; ++t) {
            for (int k = 0; k < kVoteColumns; ++k) {
                EXPECT_EQ(got[(b * kThreads + t) * kVoteColumns + k], expected[k])
                    << "block " << b << " thread " << t << " barrier " << k;
            }
        }
    }
}

constexpr int kScanThreads = 256;

__global__ void block_scan_kernel(const unsigned* in, unsigned* exclusive, unsigned* aggregate, unsigned* second) {
    using Scan = cub::BlockScan<unsigned, kScanThreads>;
    __shared__ typename Scan::TempStorage storage;
    const unsigned i = blockIdx.x * kScanThreads + threadIdx.x;
    unsigned prefix, total;
    Scan(storage).ExclusiveSum(in[i], prefix, total);
    exclusive[i] = prefix;
    aggregate[i] = total;
    __syncthreads();  // the storage is reused by a second scan
    Scan(storage).ExclusiveSum(in[i] * 2 + 1, prefix);
    second[i] = prefix;
}

TEST(BlockSync, CubBlockScanExclusiveSumWithAggregate) {
    constexpr unsigned kBlocks = 4, n = kBlocks * kScanThreads;
    std::vector<unsigned> in(n);
    for (unsigned i = 0; i < n; ++i) in[i] = value_of(3, i) % 1000;
    DeviceBuffer<unsigned> d_in(in), exclusive(n), aggregate(n), second(n);
    ASSERT_CUDA(nolith_cuda::launch<block_scan_kernel>(kBlocks, kScanThreads, 0, nullptr, d_in.get(),
                                                       exclusive.get(), aggregate.get(), second.get()));
    const auto e = exclusive.download(), a = aggregate.download(), s = second.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        unsigned prefix = 0, prefix2 = 0, total = 0;
        for (unsigned t = 0; t < kScanThreads; ++t) total += in[b * kScanThreads + t];
        for (unsigned t = 0; t < kScanThreads; ++t) {
            const unsigned i = b * kScanThreads + t;
            EXPECT_EQ(e[i], prefix) << "block " << b << " thread " << t;
            EXPECT_EQ(a[i], total) << "block " << b << " thread " << t;
            EXPECT_EQ(s[i], prefix2) << "block " << b << " thread " << t;
            prefix += in[i];
            prefix2 += in[i] * 2 + 1;
        }
    }
}

struct Identity {
    uint3 thread, block;
    dim3 block_dim, grid_dim;
    unsigned xor8_partner;
};

__global__ void indices_kernel(Identity* out) {
    const unsigned linear_thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned linear_block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    Identity& r = out[linear_block * (blockDim.x * blockDim.y * blockDim.z) + linear_thread];
    r.thread = threadIdx;
    r.block = blockIdx;
    r.block_dim = blockDim;
    r.grid_dim = gridDim;
    // Lanes follow the linear thread index (x fastest), so lane ^ 8 is the thread at threadIdx.y ^ 1.
    r.xor8_partner = __shfl_xor_sync(test::kFullMask, linear_thread, 8);
}

TEST(BlockSync, MultiDimensionalBlocksAndGridsNumberThreadsXFastest) {
    const dim3 block(8, 4, 2), grid(2, 3, 2);
    const unsigned threads = 64, blocks = 12;
    DeviceBuffer<Identity> out(threads * blocks);
    ASSERT_CUDA(nolith_cuda::launch<indices_kernel>(grid, block, 0, nullptr, out.get()));
    const std::vector<Identity> got = out.download();
    for (unsigned bz = 0; bz < grid.z; ++bz)
        for (unsigned by = 0; by < grid.y; ++by)
            for (unsigned bx = 0; bx < grid.x; ++bx)
                for (unsigned tz = 0; tz < block.z; ++tz)
                    for (unsigned ty = 0; ty < block.y; ++ty)
                        for (unsigned tx = 0; tx < block.x; ++tx) {
                            const unsigned lt = tx + 8 * (ty + 4 * tz), lb = bx + 2 * (by + 3 * bz);
                            const Identity& r = got[lb * threads + lt];
                            SCOPED_TRACE(testing::Message() << "block " << lb << " thread " << lt);
                            EXPECT_EQ(std::vector<unsigned>({r.thread.x, r.thread.y, r.thread.z}),
                                      std::vector<unsigned>({tx, ty, tz}));
                            EXPECT_EQ(std::vector<unsigned>({r.block.x, r.block.y, r.block.z}),
                                      std::vector<unsigned>({bx, by, bz}));
                            EXPECT_EQ(std::vector<unsigned>({r.block_dim.x, r.block_dim.y, r.block_dim.z,
                                                             r.grid_dim.x, r.grid_dim.y, r.grid_dim.z}),
                                      std::vector<unsigned>({8, 4, 2, 2, 3, 2}));
                            EXPECT_EQ(r.xor8_partner, lt ^ 8);
                        }
}

}  // namespace
