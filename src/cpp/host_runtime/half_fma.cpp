// Host fused multiply-add for __half and __nv_bfloat16.
//
// Method: decode the operands exactly into doubles. The product of two 11-bit
// (half) or 8-bit (bf16) significands fits a double's 53 bits and both
// formats' exponent ranges sit well inside double's, so p = a*b is exact.
// s = p + c is rounded once in double; TwoSum recovers its exact error err, so
// the true result is s + err with |err| at most half an ulp of s. Rounding s to
// the 16-bit format gives the correctly rounded result except when s is exactly
// a midpoint of that format, and there the sign of err breaks the tie.
#include "half_fma.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__FAST_MATH__)
#error "half_fma.cpp relies on exact IEEE double arithmetic; build without -ffast-math"
#endif

namespace {

// A binary floating-point format with 1 sign bit, an exponent field and
// precision-1 stored fraction bits in the low bits of a 16-bit pattern.
struct Format {
  int precision;      // significand bits, implicit bit included
  int min_exponent;   // exponent of the smallest normal value
  uint16_t inf_bits;  // pattern of +infinity (all exponent bits set)
};

constexpr Format kHalf{11, -14, 0x7C00};
constexpr Format kBfloat16{8, -126, 0x7F80};
constexpr uint16_t kSignBit = 0x8000;
constexpr uint16_t kCanonicalNaN = 0x7FFF;

// 2^e as a double, for exponents of normal doubles.
double pow2(int e) {
  const uint64_t bits = static_cast<uint64_t>(e + 1023) << 52;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Exact value of a 16-bit pattern, infinities and NaNs included: an integer
// significand times a power of two, both exact in double.
double decode(uint16_t bits, const Format& f) {
  const int frac_bits = f.precision - 1;
  const unsigned frac = bits & ((1u << frac_bits) - 1u);
  const unsigned field = (bits & 0x7FFFu) >> frac_bits;
  const unsigned max_field = static_cast<unsigned>(f.inf_bits) >> frac_bits;
  // Scale of the last fraction bit in the subnormal and lowest normal binade.
  const int quantum_min = f.min_exponent - frac_bits;
  double mag;
  if (field == max_field) {
    mag = frac != 0 ? NAN : INFINITY;
  } else if (field == 0) {
    mag = static_cast<double>(frac) * pow2(quantum_min);
  } else {
    const unsigned significand = frac | (1u << frac_bits);
    mag = static_cast<double>(significand) * pow2(quantum_min + static_cast<int>(field) - 1);
  }
  return (bits & kSignBit) != 0 ? -mag : mag;
}

// Rounds the exact value s + err to the format (nearest, ties to even).
// s must be finite; err must be 0 or smaller than half an ulp of s, so that it
// only matters when s sits exactly on a midpoint.
uint16_t round_to_format(double s, double err, const Format& f) {
  uint64_t dbits;
  std::memcpy(&dbits, &s, sizeof dbits);
  const uint16_t sign = (dbits >> 63) != 0 ? kSignBit : 0;
  if (s == 0.0) return sign;  // an exact zero keeps the sign IEEE addition gave it

  // |s| = m * 2^e with m an integer.
  const unsigned dfield = static_cast<unsigned>(dbits >> 52) & 0x7FFu;
  uint64_t m = dbits & ((uint64_t{1} << 52) - 1);
  int e;
  if (dfield == 0) {
    e = -1074;
  } else {
    m |= uint64_t{1} << 52;
    e = static_cast<int>(dfield) - 1075;
  }
  const int lead = e + 63 - __builtin_clzll(m);  // floor(log2 |s|)

  const int quantum_min = f.min_exponent - (f.precision - 1);
  // Below half the smallest subnormal: rounds to zero and cannot be a tie.
  if (lead < quantum_min - 1) return sign;

  // Weight of the result's last significand bit, then |s| / 2^quantum split
  // into integer part and remainder. Since lead >= quantum_min - 1 here, s is
  // a normal double and the shift lies in [53 - precision, 53].
  const int quantum = std::max(lead, f.min_exponent) - (f.precision - 1);
  const int shift = quantum - e;
  const uint64_t quot = m >> shift;
  const uint64_t rem = m & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);

  bool round_up;
  if (rem != half) {
    round_up = rem > half;
  } else if (err != 0.0) {
    round_up = (err > 0.0) == (s > 0.0);  // the exact value lies beyond s
  } else {
    round_up = (quot & 1u) != 0;  // exact tie: to even
  }
  const uint64_t sig = quot + (round_up ? 1u : 0u);

  // Patterns are monotonic in magnitude: each binade above the subnormal one
  // adds 2^(precision-1), and the subnormal/lowest-normal binade is just sig.
  // A carry out of the significand (sig == 2^precision) bumps the exponent
  // field correctly through the same sum.
  const uint64_t enc =
      (static_cast<uint64_t>(quantum - quantum_min) << (f.precision - 1)) + sig;
  if (enc >= f.inf_bits) return static_cast<uint16_t>(sign | f.inf_bits);
  return static_cast<uint16_t>(sign | enc);
}

uint16_t fma_bits(uint16_t a, uint16_t b, uint16_t c, const Format& f) {
  const double p = decode(a, f) * decode(b, f);  // exact for finite operands
  const double cd = decode(c, f);
  const double s = p + cd;
  // NaN operands, inf*0 and inf-inf all surface as a NaN s.
  if (std::isnan(s)) return kCanonicalNaN;
  // Finite products cannot overflow a double, so only infinite operands get here.
  if (std::isinf(s)) return static_cast<uint16_t>((s < 0 ? kSignBit : 0) | f.inf_bits);
  // TwoSum: err is the exact rounding error of s = p + cd.
  const double cv = s - p;
  const double err = (p - (s - cv)) + (cd - cv);
  return round_to_format(s, err, f);
}

uint16_t bits_of(__half h) { return static_cast<__half_raw>(h).x; }
uint16_t bits_of(__nv_bfloat16 h) { return static_cast<__nv_bfloat16_raw>(h).x; }

__half half_from_bits(uint16_t bits) {
  __half_raw raw;
  raw.x = bits;
  return __half(raw);
}

__nv_bfloat16 bfloat16_from_bits(uint16_t bits) {
  __nv_bfloat16_raw raw;
  raw.x = bits;
  return __nv_bfloat16(raw);
}

}  // namespace

__half __hfma(const __half a, const __half b, const __half c) {
  return half_from_bits(fma_bits(bits_of(a), bits_of(b), bits_of(c), kHalf));
}

__half2 __hfma2(const __half2 a, const __half2 b, const __half2 c) {
  return __halves2half2(__hfma(a.x, b.x, c.x), __hfma(a.y, b.y, c.y));
}

__nv_bfloat16 __hfma(const __nv_bfloat16 a, const __nv_bfloat16 b,
                     const __nv_bfloat16 c) {
  return bfloat16_from_bits(fma_bits(bits_of(a), bits_of(b), bits_of(c), kBfloat16));
}

__nv_bfloat162 __hfma2(const __nv_bfloat162 a, const __nv_bfloat162 b,
                       const __nv_bfloat162 c) {
  return __halves2bfloat162(__hfma(a.x, b.x, c.x), __hfma(a.y, b.y, c.y));
}
