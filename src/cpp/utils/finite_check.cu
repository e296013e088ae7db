#include "utils/finite_check.h"

#include "gpu.h"
#include "utils/cuda_check.h"
#include "utils/finite_values.h"
#include "utils/thrust_policy.h"

#include <thrust/functional.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/transform_reduce.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace nolith_cuda {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// The row's index when it holds a non-finite value, else kNone.
struct NonFiniteRow {
    const float* values;
    int width;
    __host__ __device__ std::size_t operator()(std::size_t row) const {
        return all_finite(values + row * width, width) ? kNone : row;
    }
};

// A value as Python prints the usual ones: 0, 1.5, -2e+30, nan, inf, -inf.
std::string value_text(float x) {
    if (std::isnan(x)) return "nan";
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(x));
    return text;
}

std::string vector_text(const float* values, int count) {
    if (count == 1) return value_text(values[0]);
    std::string text = "(";
    for (int i = 0; i < count; ++i) text += (i ? ", " : "") + value_text(values[i]);
    return text + ")";
}

[[noreturn]] void refuse_row(const char* array, std::size_t row, const float* values, int width) {
    std::string index = std::to_string(row);
    if (width == 9) {  // a triangle: name its first bad corner
        int corner = 0;
        while (corner < 2 && all_finite(values + 3 * corner, 3)) ++corner;
        index += ", " + std::to_string(corner);
        values += 3 * corner;
        width = 3;
    }
    throw NonFiniteInput(array, "[" + index + "] is not finite: " + vector_text(values, width));
}

}  // namespace

void refuse_device_row(const char* array, std::size_t row, const float* device_values, int width,
                       cudaStream_t stream) {
    float values[9];
    NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(values, device_values + row * width, sizeof(float) * width,
                                        cudaMemcpyDeviceToHost, stream));
    NOLITH_CUDA_REQUIRE(cudaStreamSynchronize(stream));
    refuse_row(array, row, values, width);
}

void require_finite(const char* array, const float* values, std::size_t rows, int width, cudaStream_t stream) {
    if (rows == 0) return;
    const std::size_t first = thrust::transform_reduce(
        stream_policy(stream), thrust::counting_iterator<std::size_t>(0), thrust::counting_iterator<std::size_t>(rows),
        NonFiniteRow{values, width}, kNone, thrust::minimum<std::size_t>());
    if (first != kNone) refuse_device_row(array, first, values, width, stream);
}

}  // namespace nolith_cuda
