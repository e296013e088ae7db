#pragma once
// Finiteness tests usable on host and device.

#include "records.h"

#include <cstdint>
#include <cstring>

namespace nolith_cuda {

// Neither NaN nor infinite, by the exponent bits, whatever the compiler
// assumes about floating point.
NOLITH_HD bool is_finite_value(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
}

NOLITH_HD bool all_finite(const float* values, int count) {
    bool finite = true;
    for (int i = 0; i < count; ++i) finite = finite && is_finite_value(values[i]);
    return finite;
}

}  // namespace nolith_cuda
