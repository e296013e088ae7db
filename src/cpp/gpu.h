#pragma once
// The one header that kernel and backend sources include first. With nvcc it
// brings the CUDA runtime, cooperative groups and cub; with a host compiler it
// brings our host runtime, which runs the same kernels on the CPU.

#if defined(__CUDACC__)
#include <cooperative_groups.h>
#include <cub/block/block_scan.cuh>
#include <cuda_bf16.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>
#else
#include "host_runtime/host_runtime.h"
#endif

#include "utils/launch.h"

namespace cg = cooperative_groups;

namespace nolith_cuda {

// Dynamic shared memory of the running block, sized by the launch.
template <typename T>
__device__ __forceinline__ T* dynamic_shared_memory() {
#if defined(__CUDACC__)
    extern __shared__ __align__(16) unsigned char nolith_dynamic_shared[];
    return reinterpret_cast<T*>(nolith_dynamic_shared);
#else
    return reinterpret_cast<T*>(nolith_host::current_dynamic_shared());
#endif
}

}  // namespace nolith_cuda
