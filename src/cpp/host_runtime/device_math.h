#pragma once
// The device math and bit intrinsics that kernels use, for host execution.
// Fast-math forms are computed exactly here; worker threads run kernels with
// denormals flushed to zero, as a fast-math GPU build does.

#include <cmath>
#include <cstdint>
#include <cstring>

inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
inline double rsqrt(double x) { return 1.0 / std::sqrt(x); }
inline float __fdividef(float a, float b) { return a / b; }
inline float __frcp_rn(float x) { return 1.0f / x; }
inline float __fsqrt_rn(float x) { return std::sqrt(x); }
inline float __fdiv_rn(float a, float b) { return a / b; }
inline float __fmaf_rn(float a, float b, float c) { return std::fma(a, b, c); }
inline float __fmul_rn(float a, float b) { return a * b; }
inline float __fadd_rn(float a, float b) { return a + b; }
inline float __expf(float x) { return std::exp(x); }
inline float __exp2f(float x) { return std::exp2(x); }
inline float __logf(float x) { return std::log(x); }
inline float __log2f(float x) { return std::log2(x); }
inline float __sinf(float x) { return std::sin(x); }
inline float __cosf(float x) { return std::cos(x); }
inline float __powf(float a, float b) { return std::pow(a, b); }
inline float __saturatef(float x) { return x > 1.0f ? 1.0f : (x > 0.0f ? x : 0.0f); }

inline int __float_as_int(float x) { int i; std::memcpy(&i, &x, 4); return i; }
inline unsigned __float_as_uint(float x) { unsigned i; std::memcpy(&i, &x, 4); return i; }
inline float __int_as_float(int i) { float x; std::memcpy(&x, &i, 4); return x; }
inline float __uint_as_float(unsigned i) { float x; std::memcpy(&x, &i, 4); return x; }
inline long long __double_as_longlong(double x) { long long i; std::memcpy(&i, &x, 8); return i; }
inline double __longlong_as_double(long long i) { double x; std::memcpy(&x, &i, 8); return x; }

// Count leading zeros of the 32/64-bit pattern; 32 (64) for a zero input.
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned>(x)); }
inline int __clzll(long long x) {
    return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x));
}
inline int __popc(unsigned x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline unsigned __brev(unsigned x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    return __builtin_bswap32(x);
}
inline unsigned __umulhi(unsigned a, unsigned b) {
    return static_cast<unsigned>((static_cast<std::uint64_t>(a) * b) >> 32);
}

// CUDA's global min/max overloads for the integer and float types.
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned min(unsigned a, unsigned b) { return a < b ? a : b; }
inline unsigned max(unsigned a, unsigned b) { return a > b ? a : b; }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline long long max(long long a, long long b) { return a > b ? a : b; }
inline unsigned long long min(unsigned long long a, unsigned long long b) { return a < b ? a : b; }
inline unsigned long long max(unsigned long long a, unsigned long long b) { return a > b ? a : b; }
inline float min(float a, float b) { return std::fmin(a, b); }
inline float max(float a, float b) { return std::fmax(a, b); }
inline unsigned umin(unsigned a, unsigned b) { return a < b ? a : b; }
inline unsigned umax(unsigned a, unsigned b) { return a > b ? a : b; }

// Clock reads used for ad-hoc timing in kernels.
long long int clock64();
