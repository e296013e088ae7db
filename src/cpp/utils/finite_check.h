#pragma once
// Refusal of non-finite geometry. One NaN or infinite coordinate, normal or
// vertex would spoil every answer of an engine (the scene box, the bounds and
// expansions of every node above it), so such inputs are refused with the
// array's name and its first bad element: "points[17] is not finite: (nan, 0, 0)".

#include <cuda_runtime.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace nolith_cuda {

// The refusal, a ValueError in Python. The element part ("[17] is not
// finite: (nan, 0, 0)") is kept apart so that a caller that knows the array
// by another name can say it in its own terms.
class NonFiniteInput : public std::invalid_argument {
public:
    NonFiniteInput(const std::string& array, const std::string& element)
        : std::invalid_argument(array + element), element_(element) {}
    NonFiniteInput renamed(const std::string& array) const { return NonFiniteInput(array, element_); }

private:
    std::string element_;
};

// Throws NonFiniteInput for row `row` of `width` floats on the device, which
// holds a non-finite value (read on `stream`). Rows of 9 are triangles, named
// by their first bad corner: "triangles[17, 1] is not finite: (nan, 0, 0)".
[[noreturn]] void refuse_device_row(const char* array, std::size_t row, const float* device_values, int width,
                                    cudaStream_t stream);

// Refuses the first of `rows` rows of `width` floats (device memory, read on
// `stream`; the host waits for the answer) that holds a non-finite value.
void require_finite(const char* array, const float* values, std::size_t rows, int width, cudaStream_t stream);

}  // namespace nolith_cuda
