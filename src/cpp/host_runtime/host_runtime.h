#pragma once
// Everything that CUDA device code and the CUDA runtime API provide, for
// compiling kernels with a host compiler and running them on the CPU. The
// device keywords are defined before the CUDA headers so that the headers keep
// them; `__shared__` becomes per-OS-thread storage, and every OS thread runs
// one block at a time.

#if defined(__CUDACC__)
#error "host_runtime.h is for host compilers; nvcc uses the CUDA runtime"
#endif

#ifndef __shared__
#define __shared__ static thread_local
#endif
#ifndef __launch_bounds__
#define __launch_bounds__(...)
#endif

#include <cuda_runtime.h>
#include <device_launch_parameters.h>

#include "atomics.h"
#include "device_math.h"
#include "half_fma.h"
#include "host_block_scan.h"
#include "host_cooperative_groups.h"
#include "host_launch.h"
#include "runtime_templates.h"
#include "thread_context.h"
#include "warp_sync.h"
