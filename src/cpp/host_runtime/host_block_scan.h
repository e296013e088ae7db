#pragma once
// Host stand-in for cub::BlockScan with cub's interface. Each thread publishes
// its input in the shared TempStorage, a block barrier makes the inputs
// visible, and each thread sums what lies below it. As with cub, a kernel that
// reuses the TempStorage must place a barrier between two scans; without one a
// fast thread overwrites inputs that a slow one has not read yet, here as on a
// GPU.

#include "thread_context.h"
#include "warp_sync.h"

namespace cub {

enum BlockScanAlgorithm { BLOCK_SCAN_RAKING, BLOCK_SCAN_RAKING_MEMOIZE, BLOCK_SCAN_WARP_SCANS };

template <typename T, int BLOCK_DIM_X, BlockScanAlgorithm ALGORITHM = BLOCK_SCAN_RAKING,
          int BLOCK_DIM_Y = 1, int BLOCK_DIM_Z = 1, int LEGACY_PTX_ARCH = 0>
class BlockScan {
    static constexpr int kThreads = BLOCK_DIM_X * BLOCK_DIM_Y * BLOCK_DIM_Z;

public:
    struct TempStorage {
        T inputs[kThreads];
    };

    explicit BlockScan(TempStorage& storage) : storage_(storage), rank_(linear_rank()) {}

    void ExclusiveSum(T input, T& output) {
        T total;
        ExclusiveSum(input, output, total);
    }

    void ExclusiveSum(T input, T& output, T& block_aggregate) {
        publish(input);
        output = sum_below(rank_);
        block_aggregate = sum_below(kThreads);
    }

    void InclusiveSum(T input, T& output) {
        T total;
        InclusiveSum(input, output, total);
    }

    void InclusiveSum(T input, T& output, T& block_aggregate) {
        publish(input);
        output = sum_below(rank_ + 1);
        block_aggregate = sum_below(kThreads);
    }

private:
    static int linear_rank() {
        const auto& t = nolith_host::current_thread();
        return static_cast<int>(t.thread_idx.x + BLOCK_DIM_X * (t.thread_idx.y + BLOCK_DIM_Y * t.thread_idx.z));
    }

    void publish(T input) {
        storage_.inputs[rank_] = input;
        __syncthreads();
    }

    T sum_below(int end) const {
        T sum = T();
        for (int i = 0; i < end; ++i) sum = sum + storage_.inputs[i];
        return sum;
    }

    TempStorage& storage_;
    int rank_;
};

}  // namespace cub
