#include "gpu.h"

// Warp shuffles, votes and __syncwarp with GPU semantics: lane-dependent
// sources, segments (width), divergent and partial warps, wide payloads.

#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using test::DeviceBuffer;
using test::kFullMask;
using test::value_of;

constexpr int kReductionColumns = 5;

__global__ void reductions_kernel(unsigned* out) {
    const unsigned t = threadIdx.x, lane = t % warpSize, warp = t / warpSize;
    const unsigned v = value_of(blockIdx.x, t);
    unsigned butterfly = v;
    for (int offset = 16; offset > 0; offset /= 2) butterfly += __shfl_xor_sync(kFullMask, butterfly, offset);
    unsigned down = v;
    for (int offset = 16; offset > 0; offset /= 2) down += __shfl_down_sync(kFullMask, down, offset);
    const int source = static_cast<int>((warp * 5 + blockIdx.x * 3 + 7) % 32);
    const unsigned broadcast = __shfl_sync(kFullMask, v, source);
    const unsigned rotated = __shfl_sync(kFullMask, v, static_cast<int>(lane) + 1);  // lane 31 reads lane 0
    unsigned scan = v;
    for (unsigned d = 1; d < 32; d *= 2) {
        const unsigned below = __shfl_up_sync(kFullMask, scan, d);
        if (lane >= d) scan += below;
    }
    unsigned* o = out + (blockIdx.x * blockDim.x + t) * kReductionColumns;
    o[0] = butterfly;
    o[1] = down;
    o[2] = broadcast;
    o[3] = rotated;
    o[4] = scan;
}

TEST(WarpShuffles, ReductionsBroadcastsAndScansPerWarp) {
    constexpr unsigned kBlocks = 3, kThreads = 128;
    DeviceBuffer<unsigned> out(kBlocks * kThreads * kReductionColumns);
    ASSERT_CUDA(nolith_cuda::launch<reductions_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<unsigned> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned w = 0; w < kThreads / 32; ++w) {
            unsigned v[32], down[32], sum = 0;
            for (unsigned l = 0; l < 32; ++l) sum += v[l] = down[l] = value_of(b, w * 32 + l);
            // shfl_down past the last lane returns the caller's own value.
            for (unsigned offset = 16; offset > 0; offset /= 2) {
                unsigned next[32];
                for (unsigned l = 0; l < 32; ++l) next[l] = down[l] + (l + offset < 32 ? down[l + offset] : down[l]);
                std::copy(next, next + 32, down);
            }
            const unsigned source = (w * 5 + b * 3 + 7) % 32;
            unsigned prefix = 0;
            for (unsigned l = 0; l < 32; ++l) {
                prefix += v[l];
                const unsigned* o = &got[((b * kThreads) + w * 32 + l) * kReductionColumns];
                SCOPED_TRACE(testing::Message() << "block " << b << " warp " << w << " lane " << l);
                EXPECT_EQ(o[0], sum);
                EXPECT_EQ(o[1], down[l]);
                EXPECT_EQ(o[2], v[source]);
                EXPECT_EQ(o[3], v[(l + 1) % 32]);
                EXPECT_EQ(o[4], prefix);
            }
        }
    }
}

constexpr int kSegmentColumns = 7;

__global__ void segments_kernel(unsigned* out) {
    const unsigned t = threadIdx.x;
    const unsigned v = value_of(blockIdx.x, t);
    unsigned* o = out + (blockIdx.x * blockDim.x + t) * kSegmentColumns;
    o[0] = __shfl_sync(kFullMask, v, 0, 8);
    o[1] = __shfl_sync(kFullMask, v, 11, 8);  // 11 % 8: lane 3 of the caller's segment
    unsigned sum = v;
    for (int offset = 4; offset > 0; offset /= 2) sum += __shfl_xor_sync(kFullMask, sum, offset, 8);
    o[2] = sum;
    o[3] = __shfl_down_sync(kFullMask, v, 3, 8);
    o[4] = __shfl_up_sync(kFullMask, v, 3, 8);
    o[5] = __shfl_xor_sync(kFullMask, v, 16, 16);  // earlier segments are readable, later ones are not
    o[6] = __shfl_down_sync(kFullMask, v, 1);
}

TEST(WarpShuffles, WidthSplitsTheWarpIntoSegments) {
    constexpr unsigned kBlocks = 2, kThreads = 64;
    DeviceBuffer<unsigned> out(kBlocks * kThreads * kSegmentColumns);
    ASSERT_CUDA(nolith_cuda::launch<segments_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<unsigned> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kThreads; ++t) {
            const unsigned l = t % 32, warp_base = t - l, segment = warp_base + (l & ~7u);
            auto V = [&](unsigned thread) { return value_of(b, thread); };
            unsigned segment_sum = 0;
            for (unsigned i = 0; i < 8; ++i) segment_sum += V(segment + i);
            const unsigned* o = &got[(b * kThreads + t) * kSegmentColumns];
            SCOPED_TRACE(testing::Message() << "block " << b << " thread " << t);
            EXPECT_EQ(o[0], V(segment));
            EXPECT_EQ(o[1], V(segment + 3));
            EXPECT_EQ(o[2], segment_sum);
            EXPECT_EQ(o[3], l % 8 + 3 < 8 ? V(t + 3) : V(t));
            EXPECT_EQ(o[4], l % 8 >= 3 ? V(t - 3) : V(t));
            EXPECT_EQ(o[5], l >= 16 ? V(t - 16) : V(t));
            EXPECT_EQ(o[6], l < 31 ? V(t + 1) : V(t));
        }
    }
}

constexpr int kVoteColumns = 5;
constexpr unsigned kOdd = 0xaaaaaaaau, kEven = 0x55555555u;

__global__ void votes_kernel(unsigned* out) {
    __shared__ unsigned scratch[64];
    const unsigned t = threadIdx.x, lane = t % 32, warp = t / 32;
    const unsigned v = value_of(blockIdx.x, t);
    unsigned* o = out + (blockIdx.x * blockDim.x + t) * kVoteColumns;
    // Odd and even lanes run different collectives at the same time, each
    // naming only its own half of the warp.
    if (lane & 1) {
        o[0] = __ballot_sync(kOdd, lane % 4 == 1);
        o[1] = __any_sync(kOdd, lane == (warp == 0 ? 7u : 0u));
        o[2] = __all_sync(kOdd, warp == 1 || lane != 13);
    } else {
        o[2] = __all_sync(kEven, lane % 2 == 0);
        o[0] = __ballot_sync(kEven, lane < 10);
        o[1] = __any_sync(kEven, false);
    }
    o[3] = __ballot_sync(kFullMask, (v >> 3) & 1);
    // __syncwarp orders the shared-memory writes of the warp before its reads.
    scratch[t] = v;
    __syncwarp();
    o[4] = scratch[warp * 32 + (lane + 1) % 32];
}

TEST(WarpVotes, BallotAnyAllUnderDivergenceAndSyncwarpOrdersSharedMemory) {
    constexpr unsigned kBlocks = 2, kThreads = 64;
    DeviceBuffer<unsigned> out(kBlocks * kThreads * kVoteColumns);
    ASSERT_CUDA(nolith_cuda::launch<votes_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<unsigned> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kThreads; ++t) {
            const unsigned l = t % 32, w = t / 32;
            unsigned full_ballot = 0;
            for (unsigned i = 0; i < 32; ++i) full_ballot |= ((value_of(b, w * 32 + i) >> 3) & 1u) << i;
            const unsigned* o = &got[(b * kThreads + t) * kVoteColumns];
            SCOPED_TRACE(testing::Message() << "block " << b << " thread " << t);
            if (l & 1) {
                EXPECT_EQ(o[0], 0x22222222u);
                EXPECT_EQ(o[1], w == 0 ? 1u : 0u);
                EXPECT_EQ(o[2], w == 1 ? 1u : 0u);
            } else {
                EXPECT_EQ(o[0], 0x155u);
                EXPECT_EQ(o[1], 0u);
                EXPECT_EQ(o[2], 1u);
            }
            EXPECT_EQ(o[3], full_ballot);
            EXPECT_EQ(o[4], value_of(b, w * 32 + (l + 1) % 32));
        }
    }
}

constexpr int kPartialColumns = 5;

__global__ void partial_warp_kernel(unsigned* out) {
    const unsigned t = threadIdx.x, warp = t / 32;
    const unsigned v = value_of(blockIdx.x, t);
    const unsigned mask = __activemask();
    unsigned sum = v;
    for (int offset = warp == 0 ? 16 : 8; offset > 0; offset /= 2) sum += __shfl_xor_sync(mask, sum, offset);
    unsigned* o = out + (blockIdx.x * blockDim.x + t) * kPartialColumns;
    o[0] = mask;
    o[1] = __ballot_sync(mask, 1);
    o[2] = sum;
    o[3] = __shfl_sync(mask, v, 15);  // lane 15 exists in both warps
    o[4] = static_cast<unsigned>(__syncthreads_count(1));
}

TEST(WarpShuffles, PartialLastWarpHasOnlyItsExistingLanes) {
    constexpr unsigned kBlocks = 2, kThreads = 48;
    DeviceBuffer<unsigned> out(kBlocks * kThreads * kPartialColumns);
    // Lanes 16..31 of warp 1 do not exist: its collectives name lanes 0..15 only.
    ASSERT_CUDA(nolith_cuda::launch<partial_warp_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<unsigned> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kThreads; ++t) {
            const unsigned w = t / 32, lanes = w == 0 ? 32 : 16;
            const unsigned mask = w == 0 ? kFullMask : 0xffffu;
            unsigned sum = 0;
            for (unsigned i = 0; i < lanes; ++i) sum += value_of(b, w * 32 + i);
            const unsigned* o = &got[(b * kThreads + t) * kPartialColumns];
            SCOPED_TRACE(testing::Message() << "block " << b << " thread " << t);
            EXPECT_EQ(o[0], mask);
            EXPECT_EQ(o[1], mask);
            EXPECT_EQ(o[2], sum);
            EXPECT_EQ(o[3], value_of(b, w * 32 + 15));
            EXPECT_EQ(o[4], kThreads);
        }
    }
}

__global__ void half_warps_kernel(unsigned* out) {
    const unsigned t = threadIdx.x, lane = t % 32;
    const unsigned v = value_of(blockIdx.x, t);
    unsigned acc = v, votes;
    // The two halves run disjoint collectives that are in flight together.
    if (lane < 16) {
        for (int round = 0; round < 4; ++round) acc += __shfl_xor_sync(0x0000ffffu, acc, 1 << round);
        votes = __ballot_sync(0x0000ffffu, v & 1);
    } else {
        for (unsigned d = 1; d < 16; d *= 2) {
            const unsigned below = __shfl_up_sync(0xffff0000u, acc, d, 16);
            if (lane - 16 >= d) acc += below;
        }
        votes = __ballot_sync(0xffff0000u, v & 1);
    }
    out[(blockIdx.x * blockDim.x + t) * 2] = acc;
    out[(blockIdx.x * blockDim.x + t) * 2 + 1] = votes;
}

TEST(WarpShuffles, DisjointHalfWarpCollectivesInFlightTogether) {
    constexpr unsigned kBlocks = 2, kThreads = 64;
    DeviceBuffer<unsigned> out(kBlocks * kThreads * 2);
    ASSERT_CUDA(nolith_cuda::launch<half_warps_kernel>(kBlocks, kThreads, 0, nullptr, out.get()));
    const std::vector<unsigned> got = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kThreads; ++t) {
            const unsigned l = t % 32, half_base = t - l + (l & 16u);
            unsigned sum = 0, prefix = 0, votes = 0;
            for (unsigned i = 0; i < 16; ++i) {
                const unsigned vi = value_of(b, half_base + i);
                sum += vi;
                if (half_base + i <= t) prefix += vi;
                votes |= (vi & 1u) << ((l & 16u) + i);
            }
            SCOPED_TRACE(testing::Message() << "block " << b << " thread " << t);
            EXPECT_EQ(got[(b * kThreads + t) * 2], l < 16 ? sum : prefix);
            EXPECT_EQ(got[(b * kThreads + t) * 2 + 1], votes);
        }
    }
}

__host__ __device__ std::uint64_t wide_value(unsigned lane) {
    return (0x0123456789ull << 24) * (lane + 1) ^ (0xfedcull << 48) ^ lane;
}

__global__ void payloads_kernel(std::uint64_t* out64, double* out_double, float* out_float, long long* out_signed) {
    const unsigned lane = threadIdx.x;
    out64[lane] = __shfl_xor_sync(kFullMask, wide_value(lane), 5);
    out_double[lane] = __shfl_down_sync(kFullMask, 1.0 / (lane + 3.0), 2);
    float f = 0.5f * static_cast<float>(lane) + 0.25f;
    for (int offset = 16; offset > 0; offset /= 2) f += __shfl_xor_sync(kFullMask, f, offset);
    out_float[lane] = f;
    out_signed[lane] = __shfl_sync(kFullMask, -1000000000000ll * lane, 3);
}

TEST(WarpShuffles, SixtyFourBitAndFloatPayloadsKeepEveryBit) {
    DeviceBuffer<std::uint64_t> out64(32);
    DeviceBuffer<double> out_double(32);
    DeviceBuffer<float> out_float(32);
    DeviceBuffer<long long> out_signed(32);
    ASSERT_CUDA(nolith_cuda::launch<payloads_kernel>(1, 32, 0, nullptr, out64.get(), out_double.get(),
                                                     out_float.get(), out_signed.get()));
    const auto w = out64.download();
    const auto d = out_double.download();
    const auto f = out_float.download();
    const auto s = out_signed.download();
    for (unsigned l = 0; l < 32; ++l) {
        SCOPED_TRACE(testing::Message() << "lane " << l);
        EXPECT_EQ(w[l], wide_value(l ^ 5));
        EXPECT_EQ(d[l], 1.0 / ((l < 30 ? l + 2 : l) + 3.0));
        EXPECT_EQ(f[l], 256.0f);  // 0.5 * (0 + ... + 31) + 32 * 0.25, exact in float
        EXPECT_EQ(s[l], -3000000000000ll);
    }
}

}  // namespace
