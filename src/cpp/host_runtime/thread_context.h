#pragma once
// The identity of the CUDA thread that the current fiber plays, and the
// built-in variables that kernels read. The scheduler points
// `tl_current_thread` at the running fiber's record on every switch, so
// `threadIdx` and friends are per fiber, not per OS thread.

#include <cuda_runtime.h>
#include <device_launch_parameters.h>

#include <cstddef>

namespace nolith_host {

struct BlockRun;

struct ThreadContext {
    uint3 thread_idx;
    uint3 block_idx;
    dim3 block_dim;
    dim3 grid_dim;
    unsigned linear;  // linear index of the thread inside its block
    unsigned lane;    // linear % 32
    unsigned warp;    // linear / 32
    BlockRun* block;
};

extern thread_local ThreadContext* tl_current_thread;

// Aborts with a clear message when device code runs outside a kernel.
ThreadContext& current_thread_checked();

inline ThreadContext& current_thread() {
    ThreadContext* t = tl_current_thread;
    return t ? *t : current_thread_checked();
}

// Dynamic shared memory of the running block (size chosen at launch).
unsigned char* current_dynamic_shared();

}  // namespace nolith_host

#define threadIdx (::nolith_host::current_thread().thread_idx)
#define blockIdx (::nolith_host::current_thread().block_idx)
#define blockDim (::nolith_host::current_thread().block_dim)
#define gridDim (::nolith_host::current_thread().grid_dim)
// warpSize is the variable that device_launch_parameters.h declares (defined
// in scheduler.cpp), not a macro, so that host code can still name
// cudaDeviceProp::warpSize.
