// Host versions of the fused multiply-add intrinsics for __half and
// __nv_bfloat16, which cuda_fp16.h / cuda_bf16.h declare only for device code.
//
// Each computes a*b+c exactly and rounds once to the destination format
// (round to nearest, ties to even). Subnormal results are kept, overflow gives
// a signed infinity, and any NaN input, inf*0 or inf-inf gives the canonical
// NaN (0x7FFF). The pair versions work lane-wise on .x and .y.
#pragma once

#include <cuda_runtime.h>
#include <cuda_fp16.h>
#include <cuda_bf16.h>

// Under nvcc the headers already declare these (as device functions), so the
// host versions are only provided for a plain host compiler.
#if !defined(__CUDACC__)

__half __hfma(const __half a, const __half b, const __half c);
__half2 __hfma2(const __half2 a, const __half2 b, const __half2 c);

__nv_bfloat16 __hfma(const __nv_bfloat16 a, const __nv_bfloat16 b,
                     const __nv_bfloat16 c);
__nv_bfloat162 __hfma2(const __nv_bfloat162 a, const __nv_bfloat162 b,
                       const __nv_bfloat162 c);

#endif  // !defined(__CUDACC__)
