#pragma once
// The part of cooperative_groups that kernels use, for host execution: the
// grid group of a cooperative launch and the thread block.

#include "thread_context.h"
#include "warp_sync.h"

namespace cooperative_groups {

class grid_group {
public:
    void sync() const { nolith_host::grid_sync(); }
    unsigned long long thread_rank() const {
        const auto& t = nolith_host::current_thread();
        unsigned long long block = t.block_idx.x + static_cast<unsigned long long>(t.grid_dim.x) *
                                   (t.block_idx.y + static_cast<unsigned long long>(t.grid_dim.y) * t.block_idx.z);
        return block * block_size() + t.linear;
    }
    unsigned long long size() const {
        const auto& t = nolith_host::current_thread();
        return static_cast<unsigned long long>(t.grid_dim.x) * t.grid_dim.y * t.grid_dim.z * block_size();
    }
    unsigned long long num_threads() const { return size(); }
    bool is_valid() const { return nolith_host::in_cooperative_launch(); }

private:
    static unsigned long long block_size() {
        const auto& t = nolith_host::current_thread();
        return static_cast<unsigned long long>(t.block_dim.x) * t.block_dim.y * t.block_dim.z;
    }
};

class thread_block {
public:
    void sync() const { __syncthreads(); }
    unsigned thread_rank() const { return nolith_host::current_thread().linear; }
    unsigned size() const {
        const auto& t = nolith_host::current_thread();
        return t.block_dim.x * t.block_dim.y * t.block_dim.z;
    }
    unsigned num_threads() const { return size(); }
};

inline grid_group this_grid() { return grid_group(); }
inline thread_block this_thread_block() { return thread_block(); }

}  // namespace cooperative_groups
