// Tests for the host __hfma/__hfma2 (half and bfloat16).
//
// The reference below shares no method with the implementation: it sums the
// product and addend exactly as integers times powers of two, then rounds by
// binary search over the ordered bit patterns and an exact midpoint comparison.
#include "half_fma.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace {

using u16 = uint16_t;
using i128 = __int128;
using u128 = unsigned __int128;

struct Fmt {
  int precision;
  int min_exponent;
  int max_exponent;
  u16 inf_bits;
};

// ---- Exact reference -------------------------------------------------------

struct Dyadic {  // m * 2^e
  i128 m;
  int e;
};

// Magnitude of pattern k (sign bit clear, not NaN). k == inf_bits stands for
// 2^(max_exponent+1), the first value past the largest finite one.
Dyadic pattern_value(u16 k, const Fmt& f) {
  const int t = f.precision - 1;
  if (k == f.inf_bits) return {1, f.max_exponent + 1};
  const int field = k >> t, frac = k & ((1 << t) - 1);
  if (field == 0) return {frac, f.min_exponent - t};
  return {frac + (1 << t), f.min_exponent + field - 1 - t};
}

int bit_length(u128 x) {
  const uint64_t hi = static_cast<uint64_t>(x >> 64), lo = static_cast<uint64_t>(x);
  if (hi != 0) return 128 - __builtin_clzll(hi);
  return lo != 0 ? 64 - __builtin_clzll(lo) : 0;
}

// Three-way comparison of m1*2^e1 and m2*2^e2 (both nonnegative).
int compare(u128 m1, int e1, u128 m2, int e2) {
  if (m1 == 0 || m2 == 0) return int(m1 != 0) - int(m2 != 0);
  const int l1 = bit_length(m1) + e1, l2 = bit_length(m2) + e2;
  if (l1 != l2) return l1 < l2 ? -1 : 1;
  if (e1 > e2) m1 <<= (e1 - e2); else m2 <<= (e2 - e1);
  return int(m1 > m2) - int(m1 < m2);
}

// Nearest pattern to the positive value m*2^e, ties to the even pattern.
u16 round_magnitude(u128 m, int e, const Fmt& f) {
  u16 lo = 0, hi = f.inf_bits;  // largest k with value(k) <= x lies in [lo, hi]
  while (lo < hi) {
    const u16 mid = static_cast<u16>((lo + hi + 1) / 2);
    const Dyadic v = pattern_value(mid, f);
    if (compare(u128(v.m), v.e, m, e) <= 0) lo = mid; else hi = mid - 1;
  }
  if (lo == f.inf_bits) return lo;
  const Dyadic a = pattern_value(lo, f), b = pattern_value(lo + 1, f);
  const int e0 = std::min(a.e, b.e);
  const u128 sum = (u128(a.m) << (a.e - e0)) + (u128(b.m) << (b.e - e0));
  const int c = compare(m, e + 1, sum, e0);  // 2x against value(lo) + value(lo+1)
  if (c != 0) return c < 0 ? lo : lo + 1;
  return (lo & 1) ? lo + 1 : lo;
}

constexpr u16 kNaN = 0x7FFF;
bool is_nan(u16 x, const Fmt& f) { return (x & 0x7FFF) > f.inf_bits; }
bool is_inf(u16 x, const Fmt& f) { return (x & 0x7FFF) == f.inf_bits; }
bool is_zero(u16 x) { return (x & 0x7FFF) == 0; }

u16 reference_fma(u16 a, u16 b, u16 c, const Fmt& f) {
  if (is_nan(a, f) || is_nan(b, f) || is_nan(c, f)) return kNaN;
  const u16 psign = (a ^ b) & 0x8000;
  if (is_inf(a, f) || is_inf(b, f)) {
    if (is_zero(a) || is_zero(b)) return kNaN;
    if (is_inf(c, f) && (c & 0x8000) != psign) return kNaN;
    return psign | f.inf_bits;
  }
  if (is_inf(c, f)) return c;
  const Dyadic va = pattern_value(a & 0x7FFF, f), vb = pattern_value(b & 0x7FFF, f),
               vc = pattern_value(c & 0x7FFF, f);
  Dyadic p{va.m * vb.m, va.e + vb.e}, q{vc.m, vc.e};
  if (psign) p.m = -p.m;
  if (c & 0x8000) q.m = -q.m;
  if (p.m == 0 && q.m == 0) return (psign && (c & 0x8000)) ? 0x8000 : 0;
  if (p.m == 0 || (q.m != 0 && q.e > p.e)) std::swap(p, q);  // p: nonzero, coarser
  Dyadic x;
  const int gap = p.e - q.e;
  if (q.m == 0 || gap <= 90) {
    x = {p.m * (i128(1) << (q.m == 0 ? 0 : gap)) + q.m, q.m == 0 ? p.e : q.e};
  } else {
    // |q| < 2^(p.e-66) sits far inside the gap between p and any rounding
    // boundary other than p itself (>= 2^(p.e-12)); only its sign matters.
    x = {p.m * (i128(1) << 40) + (q.m > 0 ? 1 : -1), p.e - 40};
  }
  if (x.m == 0) return 0;  // exact cancellation gives +0
  const u16 sign = x.m < 0 ? 0x8000 : 0;
  return sign | round_magnitude(u128(x.m < 0 ? -x.m : x.m), x.e, f);
}

// ---- Per-format plumbing ---------------------------------------------------

struct HalfOps {
  using T = __half;
  using T2 = __half2;
  static constexpr Fmt fmt{11, -14, 15, 0x7C00};
  static T make(u16 b) { __half_raw r; r.x = b; return T(r); }
  static u16 bits(T v) { return static_cast<__half_raw>(v).x; }
  static float to_float(T v) { return __half2float(v); }
  static T from_float(float v) { return __float2half_rn(v); }
  static T2 pack(T lo, T hi) { return __halves2half2(lo, hi); }
  static T low(T2 v) { return __low2half(v); }
  static T high(T2 v) { return __high2half(v); }
  static T mul(T a, T b) { return __hmul(a, b); }
  static T add(T a, T b) { return __hadd(a, b); }
};

struct Bf16Ops {
  using T = __nv_bfloat16;
  using T2 = __nv_bfloat162;
  static constexpr Fmt fmt{8, -126, 127, 0x7F80};
  static T make(u16 b) { __nv_bfloat16_raw r; r.x = b; return T(r); }
  static u16 bits(T v) { return static_cast<__nv_bfloat16_raw>(v).x; }
  static float to_float(T v) { return __bfloat162float(v); }
  static T from_float(float v) { return __float2bfloat16_rn(v); }
  static T2 pack(T lo, T hi) { return __halves2bfloat162(lo, hi); }
  static T low(T2 v) { return __low2bfloat16(v); }
  static T high(T2 v) { return __high2bfloat16(v); }
  static T mul(T a, T b) { return __hmul(a, b); }
  static T add(T a, T b) { return __hadd(a, b); }
};

template <class Ops>
class HalfFmaTest : public ::testing::Test {
 protected:
  static constexpr const Fmt& F = Ops::fmt;

  static u16 fma(u16 a, u16 b, u16 c) {
    return Ops::bits(__hfma(Ops::make(a), Ops::make(b), Ops::make(c)));
  }
  // Pattern of a double that the format represents exactly.
  static u16 enc(double v) {
    int e;
    const double m = std::ldexp(std::frexp(std::fabs(v), &e), 53);
    const u16 k = round_magnitude(u128(m), e - 53, F);
    const Dyadic d = pattern_value(k, F);
    EXPECT_EQ(std::ldexp(double(d.m), d.e), std::fabs(v)) << "not representable";
    return u16((v < 0 ? 0x8000 : 0) | k);
  }
  static u16 neg(u16 x) { return x ^ 0x8000; }
  static u16 min_sub() { return 1; }
  static u16 max_fin() { return F.inf_bits - 1; }
  // Same result, or both NaN.
  static bool same(u16 got, u16 want) {
    return is_nan(want, F) ? is_nan(got, F) : got == want;
  }
  // Compares against the reference; reports at most a few failures per test.
  void check(u16 a, u16 b, u16 c) {
    const u16 got = fma(a, b, c), want = reference_fma(a, b, c, F);
    if (!same(got, want) && ++failures_ <= 10)
      ADD_FAILURE() << std::hex << "fma(0x" << a << ", 0x" << b << ", 0x" << c
                    << ") = 0x" << got << ", expected 0x" << want;
  }
  int failures_ = 0;
  std::mt19937_64 rng_{0x5eed1234};
  u16 any() { return static_cast<u16>(rng_()); }
  u16 finite() { u16 x; do x = any(); while ((x & 0x7FFF) >= F.inf_bits); return x; }
};

using Formats = ::testing::Types<HalfOps, Bf16Ops>;
TYPED_TEST_SUITE(HalfFmaTest, Formats);

// The reference's decoding agrees with CUDA's own conversions on every pattern.
TYPED_TEST(HalfFmaTest, ReferenceDecodingMatchesCudaConversion) {
  const Fmt& f = TestFixture::F;
  for (uint32_t k = 0; k <= 0xFFFF; ++k) {
    const float cuda = TypeParam::to_float(TypeParam::make(u16(k)));
    if (is_nan(u16(k), f)) { ASSERT_TRUE(std::isnan(cuda)) << k; continue; }
    const Dyadic d = pattern_value(u16(k & 0x7FFF), f);
    const double mag = (k & 0x7FFF) == f.inf_bits ? INFINITY : std::ldexp(double(d.m), d.e);
    ASSERT_EQ(double(cuda), (k & 0x8000) ? -mag : mag) << k;
  }
}

TYPED_TEST(HalfFmaTest, SignedZeros) {
  const u16 one = this->enc(1.0), pz = 0, nz = 0x8000;
  EXPECT_EQ(this->fma(pz, this->neg(one), pz), pz);  // -0 + +0 = +0
  EXPECT_EQ(this->fma(nz, one, nz), nz);             // -0 + -0 = -0
  EXPECT_EQ(this->fma(pz, this->neg(one), nz), nz);
  EXPECT_EQ(this->fma(nz, nz, nz), pz);
  EXPECT_EQ(this->fma(one, one, this->neg(one)), pz);  // exact cancellation
  EXPECT_EQ(this->fma(this->neg(one), one, one), pz);
  // Nonzero results that underflow to zero keep their sign.
  const u16 half = this->enc(0.5), quarter = this->enc(0.25);
  EXPECT_EQ(this->fma(this->neg(this->min_sub()), half, pz), nz);
  EXPECT_EQ(this->fma(this->min_sub(), quarter, nz), pz);
}

TYPED_TEST(HalfFmaTest, NanAndInfinity) {
  const u16 one = this->enc(1.0), two = this->enc(2.0), inf = TestFixture::F.inf_bits;
  const u16 ninf = this->neg(inf), nan = kNaN, mx = this->max_fin();
  for (u16 nan_in : {nan, u16(0xFFFF), u16(inf + 1)}) {
    EXPECT_TRUE(is_nan(this->fma(nan_in, one, one), TestFixture::F));
    EXPECT_TRUE(is_nan(this->fma(one, nan_in, one), TestFixture::F));
    EXPECT_TRUE(is_nan(this->fma(one, one, nan_in), TestFixture::F));
    EXPECT_TRUE(is_nan(this->fma(inf, one, nan_in), TestFixture::F));
  }
  EXPECT_TRUE(is_nan(this->fma(inf, 0, one), TestFixture::F));
  EXPECT_TRUE(is_nan(this->fma(0x8000, ninf, one), TestFixture::F));
  EXPECT_TRUE(is_nan(this->fma(inf, one, ninf), TestFixture::F));
  EXPECT_TRUE(is_nan(this->fma(inf, this->neg(one), inf), TestFixture::F));
  EXPECT_EQ(this->fma(inf, two, this->neg(mx)), inf);
  EXPECT_EQ(this->fma(ninf, this->neg(two), one), inf);
  EXPECT_EQ(this->fma(one, mx, ninf), ninf);
  EXPECT_EQ(this->fma(inf, one, inf), inf);
  EXPECT_EQ(this->fma(0, two, ninf), ninf);
}

TYPED_TEST(HalfFmaTest, OverflowAndNoIntermediateOverflow) {
  const int P = TestFixture::F.precision, emax = TestFixture::F.max_exponent;
  const u16 one = this->enc(1.0), two = this->enc(2.0), mx = this->max_fin();
  const u16 inf = TestFixture::F.inf_bits;
  const u16 half_ulp = this->enc(std::ldexp(1.0, emax - P));  // max + half_ulp is a tie
  EXPECT_EQ(this->fma(mx, one, half_ulp), inf);               // tie rounds to even: inf
  EXPECT_EQ(this->fma(mx, one, u16(half_ulp - 1)), mx);       // just below the tie
  EXPECT_EQ(this->fma(this->neg(mx), one, this->neg(half_ulp)), this->neg(inf));
  EXPECT_EQ(this->fma(mx, two, this->neg(mx)), mx);  // 2*max does not overflow first
  EXPECT_EQ(this->fma(mx, mx, this->neg(mx)), inf);
}

TYPED_TEST(HalfFmaTest, SubnormalResults) {
  const int P = TestFixture::F.precision;
  const u16 one = this->enc(1.0), half = this->enc(0.5), s = this->min_sub();
  const u16 min_norm = u16(1 << (P - 1)), eighth = this->enc(0.125);
  EXPECT_EQ(this->fma(s, half, 0), 0);                           // tie to even: 0
  EXPECT_EQ(this->fma(s, this->enc(0.75), 0), s);
  EXPECT_EQ(this->fma(s, this->enc(1.5), 0), u16(2));            // tie to even: 2
  EXPECT_EQ(this->fma(s, this->enc(2.5), 0), u16(2));
  EXPECT_EQ(this->fma(min_norm - 1, one, s), min_norm);          // carry into exponent
  EXPECT_EQ(this->fma(s, half, u16(min_norm - 1)), min_norm);    // tie at the boundary
  EXPECT_EQ(this->fma(min_norm, eighth, 0), u16(min_norm >> 3));  // normal*normal -> subnormal
  EXPECT_EQ(this->fma(min_norm, one, this->neg(s)), u16(min_norm - 1));
}

// (1+u)(1-u) - 1 = -u^2 only survives if the product is not rounded first.
TYPED_TEST(HalfFmaTest, FusedKeepsProductLowBits) {
  const double u = std::ldexp(1.0, 1 - TestFixture::F.precision);
  EXPECT_EQ(this->fma(this->enc(1 + u), this->enc(1 - u), this->enc(-1.0)), this->enc(-u * u));
}

// Every odd multiple N of 2^-P in (1, 2) that is a product of two significands
// is a midpoint between two neighbours; an addend of +-0 leaves a tie, and the
// smallest subnormal must break it (far below float/double resolution for
// bf16). Rounding a float fma instead gets some of these wrong.
TYPED_TEST(HalfFmaTest, TiesBrokenByTinyAddend) {
  const int P = TestFixture::F.precision;
  const u16 tiny = this->min_sub();
  int float_route_wrong = 0, cases = 0;
  for (int n = (1 << P) + 1; n < (1 << (P + 1)); n += 2) {
    int u = 3;
    while (u * u <= n && (n % u != 0 || n / u >= (1 << P))) u += 2;
    if (u * u > n) continue;  // no factorization into two significands
    ++cases;
    const u16 a = this->enc(std::ldexp(u, 0)), b = this->enc(std::ldexp(n / u, -P));
    const u16 lower = this->enc(std::ldexp((n - 1) / 2, 1 - P));
    const u16 upper = this->enc(std::ldexp((n + 1) / 2, 1 - P));
    const u16 even = (((n - 1) / 2) % 2 == 0) ? lower : upper;
    EXPECT_EQ(this->fma(a, b, 0), even) << n;
    EXPECT_EQ(this->fma(a, b, 0x8000), even) << n;
    EXPECT_EQ(this->fma(a, b, tiny), upper) << n;
    EXPECT_EQ(this->fma(a, b, this->neg(tiny)), lower) << n;
    EXPECT_EQ(this->fma(this->neg(a), b, tiny), this->neg(lower)) << n;
    for (u16 c : {tiny, this->neg(tiny)}) {
      const float f = std::fmaf(TypeParam::to_float(TypeParam::make(a)),
                                TypeParam::to_float(TypeParam::make(b)),
                                TypeParam::to_float(TypeParam::make(c)));
      if (TypeParam::bits(TypeParam::from_float(f)) != this->fma(a, b, c)) ++float_route_wrong;
    }
  }
  EXPECT_GT(cases, 50);
  EXPECT_GT(float_route_wrong, 0);
}

// Explicit instances of the above: float fma lands exactly on the midpoint.
TEST(HalfFmaDoubleRounding, FloatRouteFailsButHfmaIsExact) {
  // 1.5 * (683/1024) + 2^-24 = 1 + 2^-11 + 2^-24 -> 1 + 2^-10 (0x3C01).
  const __half a = __float2half(1.5f), b = __float2half(683.0f / 1024.0f);
  const __half c = __float2half(std::ldexp(1.0f, -24));
  EXPECT_EQ(__half_as_ushort(__hfma(a, b, c)), 0x3C01);
  EXPECT_EQ(__half_as_ushort(__float2half(std::fmaf(1.5f, 683.0f / 1024.0f, std::ldexp(1.0f, -24)))),
            0x3C00);
  // 1.75 * 0.578125 - 2^-133 = 1 + 3*2^-8 - 2^-133 -> 1 + 2^-7 (0x3F81).
  const __nv_bfloat16 x = __float2bfloat16(1.75f), y = __float2bfloat16(0.578125f);
  const __nv_bfloat16 z = __float2bfloat16(-std::ldexp(1.0f, -133));
  EXPECT_EQ(__bfloat16_as_ushort(__hfma(x, y, z)), 0x3F81);
  EXPECT_EQ(__bfloat16_as_ushort(__float2bfloat16(std::fmaf(1.75f, 0.578125f, -std::ldexp(1.0f, -133)))),
            0x3F82);
}

TYPED_TEST(HalfFmaTest, RandomPatternsMatchReference) {
  for (int i = 0; i < 1000000; ++i) this->check(this->any(), this->any(), this->any());
}

// c close to -a*b: deep cancellation, results in every binade down to subnormal.
TYPED_TEST(HalfFmaTest, CancellationMatchesReference) {
  for (int i = 0; i < 400000; ++i) {
    const u16 a = this->finite(), b = this->finite();
    const Dyadic va = pattern_value(a & 0x7FFF, TestFixture::F);
    const Dyadic vb = pattern_value(b & 0x7FFF, TestFixture::F);
    u16 c = round_magnitude(u128(va.m * vb.m), va.e + vb.e, TestFixture::F);
    if (c == 0 || c >= TestFixture::F.inf_bits) continue;
    c = u16(c + int(this->rng_() % 7) - 3);
    this->check(a, b, ((a ^ b) & 0x8000) ? c : this->neg(c));
  }
}

// Small operands so products fall around and below the smallest normal.
TYPED_TEST(HalfFmaTest, TinyResultsMatchReference) {
  const u16 lim = u16(TestFixture::F.inf_bits / 2 + (3 << (TestFixture::F.precision - 1)));
  for (int i = 0; i < 400000; ++i) {
    const u16 a = this->any() % lim, b = this->any() % lim;
    const u16 c = (this->rng_() & 1) ? this->any() % (1 << (TestFixture::F.precision + 1)) : 0;
    this->check(a ^ (this->any() & 0x8000), b, c ^ (this->any() & 0x8000));
  }
}

// fma(a,b,-0) is a*b and fma(a,1,c) is a+c; CUDA's host __hmul/__hadd round
// those correctly (float carries enough bits for one operation).
TYPED_TEST(HalfFmaTest, AgreesWithCudaMulAndAdd) {
  const u16 one = this->enc(1.0);
  for (int i = 0; i < 300000; ++i) {
    const u16 a = this->any(), b = this->any();
    const auto A = TypeParam::make(a), B = TypeParam::make(b);
    ASSERT_TRUE(this->same(this->fma(a, b, 0x8000), TypeParam::bits(TypeParam::mul(A, B))));
    ASSERT_TRUE(this->same(this->fma(a, one, b), TypeParam::bits(TypeParam::add(A, B))));
  }
}

TYPED_TEST(HalfFmaTest, PairIsLaneWise) {
  using T = typename TypeParam::T;
  auto mk = [](u16 x) { return TypeParam::make(x); };
  for (int i = 0; i < 100000; ++i) {
    const u16 a0 = this->any(), a1 = this->any(), b0 = this->any(), b1 = this->any();
    const u16 c0 = this->any(), c1 = this->any();
    const auto r = __hfma2(TypeParam::pack(mk(a0), mk(a1)), TypeParam::pack(mk(b0), mk(b1)),
                           TypeParam::pack(mk(c0), mk(c1)));
    const T lo = TypeParam::low(r), hi = TypeParam::high(r);
    ASSERT_TRUE(this->same(TypeParam::bits(lo), this->fma(a0, b0, c0)));
    ASSERT_TRUE(this->same(TypeParam::bits(hi), this->fma(a1, b1, c1)));
    ASSERT_EQ(TypeParam::bits(r.x), TypeParam::bits(lo));
  }
  // A NaN in one lane does not leak into the other.
  const u16 one = this->enc(1.0), two = this->enc(2.0), three = this->enc(3.0);
  const auto r = __hfma2(TypeParam::pack(mk(kNaN), mk(one)), TypeParam::pack(mk(one), mk(two)),
                         TypeParam::pack(mk(one), mk(one)));
  EXPECT_TRUE(is_nan(TypeParam::bits(TypeParam::low(r)), TestFixture::F));
  EXPECT_EQ(TypeParam::bits(TypeParam::high(r)), three);
}

}  // namespace

// ---- Conversions on the CPU's instructions ---------------------------------
// Kernels convert halves through half_convert.h (F16C); it must agree bit for
// bit with the header's software versions, also under the flush-to-zero and
// denormals-are-zero mode that kernels run in.

namespace header {
float half2float(__half h) { return __half2float(h); }
__half float2half(float f) { return __float2half_rn(f); }
__half hadd(__half a, __half b) { return __hadd(a, b); }
__half hsub(__half a, __half b) { return __hsub(a, b); }
__half hmul(__half a, __half b) { return __hmul(a, b); }
__half hmin(__half a, __half b) { return __hmin(a, b); }
__half hmax(__half a, __half b) { return __hmax(a, b); }
}  // namespace header

#include "half_convert.h"

#include <xmmintrin.h>

#include <cstring>

namespace {

#if defined(__F16C__)
uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float from_float_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

void check_conversions_and_arithmetic() {
  using nolith_host::f16c::bits;
  using nolith_host::f16c::from_bits;
  std::mt19937 rng(7);
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const __half x = from_bits(static_cast<u16>(h));
    ASSERT_EQ(float_bits(header::half2float(x)), float_bits(__half2float(x))) << std::hex << h;
    // The value itself, its neighbours and the midpoints to the next pattern.
    const uint32_t f = float_bits(header::half2float(x));
    for (int d = -2; d <= 2; ++d) {
      for (const uint32_t g : {f + d, f + (1u << 12) + d, f + (1u << 13) + d}) {
        const float y = from_float_bits(g);
        ASSERT_EQ(bits(header::float2half(y)), bits(__float2half_rn(y))) << std::hex << g;
      }
    }
  }
  for (int i = 0; i < 1000000; ++i) {
    const float y = from_float_bits(static_cast<uint32_t>(rng()));
    ASSERT_EQ(bits(header::float2half(y)), bits(__float2half_rn(y))) << y;
    const __half a = from_bits(static_cast<u16>(rng())), b = from_bits(static_cast<u16>(rng()));
    ASSERT_EQ(bits(header::hadd(a, b)), bits(__hadd(a, b)));
    ASSERT_EQ(bits(header::hsub(a, b)), bits(__hsub(a, b)));
    ASSERT_EQ(bits(header::hmul(a, b)), bits(__hmul(a, b)));
    ASSERT_EQ(bits(header::hmin(a, b)), bits(__hmin(a, b)));
    ASSERT_EQ(bits(header::hmax(a, b)), bits(__hmax(a, b)));
  }
  const u16 specials[] = {0x0000, 0x8000, 0x0001, 0x8001, 0x03FF, 0x0400, 0x7BFF, 0xFBFF, 0x7C00, 0xFC00, 0x7E00,
                          0xFE00, 0x7C01, 0x3C00};
  for (const u16 p : specials) {
    for (const u16 q : specials) {
      const __half a = from_bits(p), b = from_bits(q);
      ASSERT_EQ(bits(header::hmin(a, b)), bits(__hmin(a, b))) << std::hex << p << " " << q;
      ASSERT_EQ(bits(header::hmax(a, b)), bits(__hmax(a, b))) << std::hex << p << " " << q;
      ASSERT_EQ(bits(header::hmul(a, b)), bits(__hmul(a, b))) << std::hex << p << " " << q;
      ASSERT_EQ(bits(header::hadd(a, b)), bits(__hadd(a, b))) << std::hex << p << " " << q;
    }
  }
}
#endif

TEST(HalfConversions, F16cMatchesTheHeaderBitForBit) {
#if defined(__F16C__)
  check_conversions_and_arithmetic();
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040u);  // as kernels run
  check_conversions_and_arithmetic();
  _mm_setcsr(saved);
#else
  GTEST_SKIP() << "built without F16C: kernels use the header's conversions";
#endif
}

}  // namespace
