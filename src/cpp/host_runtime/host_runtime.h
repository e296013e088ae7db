#pragma once
// Everything that CUDA device code and the CUDA runtime API provide, for
// compiling kernels with a host compiler and running them on the CPU. The
// device keywords are defined before the CUDA headers so that the headers keep
// them; `__shared__` becomes per-OS-thread storage, and every OS thread runs
// one block at a time. Each static shared variable is declared after a guard
// of its own, which the compiler places right behind it (static_shared.h).

#if defined(__CUDACC__)
#error "host_runtime.h is for host compilers; nvcc uses the CUDA runtime"
#endif

#include "static_shared.h"

#define NOLITH_HOST_CONCAT_(a, b) a##b
#define NOLITH_HOST_CONCAT(a, b) NOLITH_HOST_CONCAT_(a, b)
#ifndef __shared__
#define __shared__                                                                                   \
    static thread_local __attribute__((used))::nolith_host::SharedGuard NOLITH_HOST_CONCAT(          \
        nolith_shared_guard_, __COUNTER__);                                                          \
    static thread_local
#endif
#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif

#include <cuda_runtime.h>
#include <device_launch_parameters.h>

#include "atomics.h"
#include "device_math.h"
#include "half_convert.h"
#include "half_fma.h"
#include "host_block_scan.h"
#include "host_cooperative_groups.h"
#include "host_launch.h"
#include "runtime_templates.h"
#include "thread_context.h"
#include "warp_sync.h"
