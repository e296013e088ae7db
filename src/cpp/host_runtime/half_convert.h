#pragma once
// Half-precision conversions on the CPU's own instructions (F16C) when the
// build targets them (CMake adds -mf16c where the build machine has them).
// cuda_fp16.h converts in software on the host, bit by bit, and kernels
// convert constantly. The half arithmetic that kernels use is redefined on top
// with the header's exact host semantics (convert, compute in float, round to
// nearest even; NaNs come out as the canonical 0x7FFF); the bfloat16
// overloads of the same names stay the header's. Sources that do not include
// host_runtime.h keep the header's versions.

#include <cuda_bf16.h>
#include <cuda_fp16.h>

#if defined(__F16C__) && !defined(__CUDACC__)

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace nolith_host::f16c {

inline std::uint16_t bits(__half h) { return static_cast<__half_raw>(h).x; }

inline __half from_bits(std::uint16_t b) {
    __half_raw raw;
    raw.x = b;
    return __half(raw);
}

inline bool is_nan(__half h) { return (bits(h) & 0x7FFFu) > 0x7C00u; }

inline float half2float(__half h) {
    if (is_nan(h)) {
        constexpr std::uint32_t kCanonical = 0x7FFFFFFFu;
        float f;
        std::memcpy(&f, &kCanonical, sizeof f);
        return f;
    }
    return _cvtsh_ss(bits(h));
}

inline __half float2half_rn(float f) {
    if (f != f) return from_bits(0x7FFFu);
    return from_bits(static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT)));
}

inline __half hadd(__half a, __half b) { return float2half_rn(half2float(a) + half2float(b)); }
inline __half hsub(__half a, __half b) { return float2half_rn(half2float(a) - half2float(b)); }
inline __half hmul(__half a, __half b) { return float2half_rn(half2float(a) * half2float(b)); }

// NaN-avoiding min and max; -0 orders below +0.
inline __half hmin(__half a, __half b) {
    const float fa = half2float(a), fb = half2float(b);
    if (is_nan(a) && is_nan(b)) return from_bits(0x7FFFu);
    if (fa == fb) return bits(a) > bits(b) ? a : b;
    return (fa <= fb || is_nan(b)) ? a : b;
}

inline __half hmax(__half a, __half b) {
    const float fa = half2float(a), fb = half2float(b);
    if (is_nan(a) && is_nan(b)) return from_bits(0x7FFFu);
    if (fa == fb) return bits(a) > bits(b) ? b : a;
    return (fa >= fb || is_nan(b)) ? a : b;
}

inline __half2 hadd2(__half2 a, __half2 b) { return __half2(hadd(a.x, b.x), hadd(a.y, b.y)); }
inline __half2 hsub2(__half2 a, __half2 b) { return __half2(hsub(a.x, b.x), hsub(a.y, b.y)); }
inline __half2 hmul2(__half2 a, __half2 b) { return __half2(hmul(a.x, b.x), hmul(a.y, b.y)); }
inline float2 half22float2(__half2 h) { return make_float2(half2float(h.x), half2float(h.y)); }
inline __half2 float22half2_rn(float2 f) { return __half2(float2half_rn(f.x), float2half_rn(f.y)); }
inline __half2 floats2half2_rn(float a, float b) { return __half2(float2half_rn(a), float2half_rn(b)); }
inline float low2float(__half2 h) { return half2float(h.x); }
inline float high2float(__half2 h) { return half2float(h.y); }

// bfloat16 has no conversion instructions here: the header's functions.
inline __nv_bfloat16 hadd(__nv_bfloat16 a, __nv_bfloat16 b) { return ::__hadd(a, b); }
inline __nv_bfloat16 hsub(__nv_bfloat16 a, __nv_bfloat16 b) { return ::__hsub(a, b); }
inline __nv_bfloat16 hmul(__nv_bfloat16 a, __nv_bfloat16 b) { return ::__hmul(a, b); }
inline __nv_bfloat16 hmin(__nv_bfloat16 a, __nv_bfloat16 b) { return ::__hmin(a, b); }
inline __nv_bfloat16 hmax(__nv_bfloat16 a, __nv_bfloat16 b) { return ::__hmax(a, b); }
inline __nv_bfloat162 hadd2(__nv_bfloat162 a, __nv_bfloat162 b) { return ::__hadd2(a, b); }
inline __nv_bfloat162 hsub2(__nv_bfloat162 a, __nv_bfloat162 b) { return ::__hsub2(a, b); }
inline __nv_bfloat162 hmul2(__nv_bfloat162 a, __nv_bfloat162 b) { return ::__hmul2(a, b); }
inline float low2float(__nv_bfloat162 h) { return ::__low2float(h); }
inline float high2float(__nv_bfloat162 h) { return ::__high2float(h); }

}  // namespace nolith_host::f16c

// Unqualified on purpose: CCCL's headers call these as ::__half2float(...).
#define __half2float nolith_host::f16c::half2float
#define __float2half nolith_host::f16c::float2half_rn
#define __float2half_rn nolith_host::f16c::float2half_rn
#define __hadd nolith_host::f16c::hadd
#define __hsub nolith_host::f16c::hsub
#define __hmul nolith_host::f16c::hmul
#define __hmin nolith_host::f16c::hmin
#define __hmax nolith_host::f16c::hmax
#define __hadd2 nolith_host::f16c::hadd2
#define __hsub2 nolith_host::f16c::hsub2
#define __hmul2 nolith_host::f16c::hmul2
#define __half22float2 nolith_host::f16c::half22float2
#define __float22half2_rn nolith_host::f16c::float22half2_rn
#define __floats2half2_rn nolith_host::f16c::floats2half2_rn
#define __low2float nolith_host::f16c::low2float
#define __high2float nolith_host::f16c::high2float

#endif
