#include "kernels/neighbours/point_areas.h"

#include "gpu.h"
#include "utils/cuda_check.h"
#include "utils/launch.h"
#include "utils/stream_buffer.h"
#include "utils/thrust_policy.h"

#include <thrust/fill.h>
#include <thrust/sort.h>

#include <algorithm>
#include <cmath>

namespace {

using nolith_cuda::kDefaultBlock;
// Neighbours in the engine's (Morton) order on each side that give the
// first, rough radius: it sizes the grid of the exact search.
constexpr std::uint32_t kWindow = 16;
// The exact search widens its block of cells up to this many cells around
// the point's own; beyond it a point keeps the neighbours it has found.
constexpr int kMaxRing = 3;
constexpr std::uint32_t kCellBits = 21;
constexpr std::uint32_t kLastCell = (1u << kCellBits) - 1;

// The kAreaNeighbours smallest squared distances offered, ascending.
struct Nearest {
    float d2[kAreaNeighbours];
    int count;

    __host__ __device__ void offer(float v) {
        if (count == kAreaNeighbours && !(v < d2[kAreaNeighbours - 1])) return;
        int i = count < kAreaNeighbours ? count++ : kAreaNeighbours - 1;
        for (; i > 0 && d2[i - 1] > v; --i) d2[i] = d2[i - 1];
        d2[i] = v;
    }
};

// Coordinates are taken relative to the box (lower corner, 1 / longest
// side), so that every distance below is a fraction of the cloud's size
// whatever its units.
struct Frame {
    float lower[3];
    float inv_extent;
    float cell;      // side of a grid cell, in box units
    float inv_cell;
};

__host__ __device__ inline void load(const float* planes, std::uint32_t n, std::uint32_t i, const Frame& f,
                                     float p[3]) {
    for (int c = 0; c < 3; ++c) p[c] = (planes[c * std::size_t(n) + i] - f.lower[c]) * f.inv_extent;
}

__host__ __device__ inline float distance_sq(const float a[3], const float b[3]) {
    const float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

__host__ __device__ inline std::uint32_t cell_of(float v, const Frame& f) {
    const float c = floorf(v * f.inv_cell);
    if (!(c > 0.0f)) return 0;  // also NaN
    return c >= float(kLastCell) ? kLastCell : static_cast<std::uint32_t>(c);
}

// Rows of cells along x are consecutive keys.
__host__ __device__ inline std::uint64_t cell_key(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (std::uint64_t(z) << (2 * kCellBits)) | (std::uint64_t(y) << kCellBits) | x;
}

// First position in keys[0, n) whose key is not below `key`.
__device__ inline std::uint32_t first_not_below(const std::uint64_t* keys, std::uint32_t n, std::uint64_t key) {
    std::uint32_t first = 0, count = n;
    while (count > 0) {
        const std::uint32_t half = count / 2;
        if (keys[first + half] < key) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

__global__ void __launch_bounds__(kDefaultBlock)
    window_radius_kernel(const float* planes, std::uint32_t n, Frame frame, float* radius_sq) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float p[3], q[3];
    load(planes, n, i, frame, p);
    Nearest nearest{{}, 0};
    const std::uint32_t first = i > kWindow ? i - kWindow : 0;
    const std::uint32_t last = n - 1 - i > kWindow ? i + kWindow : n - 1;
    for (std::uint32_t j = first; j <= last; ++j) {
        if (j == i) continue;
        load(planes, n, j, frame, q);
        const float d2 = distance_sq(p, q);
        if (d2 > 0.0f) nearest.offer(d2);
    }
    radius_sq[i] = nearest.count == kAreaNeighbours ? nearest.d2[kAreaNeighbours - 1] : INFINITY;
}

__global__ void __launch_bounds__(kDefaultBlock)
    cell_keys_kernel(const float* planes, std::uint32_t n, Frame frame, std::uint64_t* keys, std::uint32_t* order) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float p[3];
    load(planes, n, i, frame, p);
    keys[i] = cell_key(cell_of(p[0], frame), cell_of(p[1], frame), cell_of(p[2], frame));
    order[i] = i;
}

// Scans the blocks of 3^3, 5^3, 7^3 cells around the point's own until the
// block holds kAreaNeighbours points nearer than its border: no point
// outside can then be nearer. Each block is scanned afresh.
__global__ void __launch_bounds__(kDefaultBlock)
    neighbour_areas_kernel(const float* planes, std::uint32_t n, Frame frame, const std::uint64_t* keys,
                           const std::uint32_t* order, float area_unit, float* areas, float* nearest_distance) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n) return;
    float p[3], q[3];
    load(planes, n, i, frame, p);
    const int cx = int(cell_of(p[0], frame)), cy = int(cell_of(p[1], frame)), cz = int(cell_of(p[2], frame));
    const int last = int(kLastCell);
    float area = -1.0f, nearest_found = INFINITY;
    for (int ring = 1; ring <= kMaxRing; ++ring) {
        Nearest nearest{{}, 0};
        int here = 1;  // points at this very place, itself included
        for (int z = max(cz - ring, 0); z <= min(cz + ring, last); ++z) {
            for (int y = max(cy - ring, 0); y <= min(cy + ring, last); ++y) {
                const std::uint32_t begin = first_not_below(keys, n, cell_key(max(cx - ring, 0), y, z));
                const std::uint32_t end = first_not_below(keys, n, cell_key(min(cx + ring, last), y, z) + 1);
                for (std::uint32_t s = begin; s < end; ++s) {
                    const std::uint32_t j = order[s];
                    if (j == i) continue;
                    load(planes, n, j, frame, q);
                    const float d2 = distance_sq(p, q);
                    if (d2 > 0.0f) {
                        nearest.offer(d2);
                    } else {
                        ++here;
                    }
                }
            }
        }
        if (nearest.count > 0) {
            area = 3.14159265f * nearest.d2[nearest.count - 1] / float(nearest.count * here) * area_unit;
            nearest_found = sqrtf(nearest.d2[0]);
        }
        const float reach = float(ring) * frame.cell;
        if (nearest.count == kAreaNeighbours && nearest.d2[kAreaNeighbours - 1] <= reach * reach) break;
    }
    areas[i] = area;
    nearest_distance[i] = nearest_found;
}

// The median of values[0, n) (the upper one for even n); sorts them.
float median(float* values, std::uint32_t n, cudaStream_t stream) {
    thrust::sort(nolith_cuda::stream_policy(stream), values, values + n);
    float value = 0.0f;
    NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(&value, values + n / 2, sizeof(float), cudaMemcpyDeviceToHost, stream));
    NOLITH_CUDA_REQUIRE(cudaStreamSynchronize(stream));
    return value;
}

}  // namespace

PointSpacing estimate_point_areas(const float* planes, std::uint32_t n, const float lower[3], float extent,
                                  float* areas, cudaStream_t stream) {
    PointSpacing spacing;
    if (n == 0) return spacing;
    if (!(extent > 0.0f) || !std::isfinite(extent)) {
        thrust::fill(nolith_cuda::stream_policy(stream), areas, areas + n, -1.0f);
        return spacing;
    }
    Frame frame{{lower[0], lower[1], lower[2]}, 1.0f / extent, 1.0f, 1.0f};
    const dim3 grid = nolith_cuda::grid_1d(n, kDefaultBlock);
    NOLITH_STREAM_BUFFER(float, scratch, n, stream);

    // Cells about as wide as a typical point's neighbourhood, so that most
    // points find theirs in the first block; never so fine that the grid
    // runs out of cells, nor coarser than the box.
    nolith_cuda::launch<window_radius_kernel>(grid, dim3(kDefaultBlock), 0, stream, planes, n, frame, scratch.get());
    NOLITH_CUDA_RAISE_REPORTED(NOLITH_CUDA_CHECK(cudaGetLastError()));
    const float rough = std::sqrt(median(scratch.get(), n, stream));
    frame.cell = std::isfinite(rough) ? std::min(1.0f, std::max(rough, std::ldexp(1.0f, -20))) : 1.0f;
    frame.inv_cell = 1.0f / frame.cell;

    NOLITH_STREAM_BUFFER(std::uint64_t, keys, n, stream);
    NOLITH_STREAM_BUFFER(std::uint32_t, order, n, stream);
    nolith_cuda::launch<cell_keys_kernel>(grid, dim3(kDefaultBlock), 0, stream, planes, n, frame, keys.get(), order.get());
    NOLITH_CUDA_RAISE_REPORTED(NOLITH_CUDA_CHECK(cudaGetLastError()));
    thrust::sort_by_key(nolith_cuda::stream_policy(stream), keys.get(), keys.get() + n, order.get());
    nolith_cuda::launch<neighbour_areas_kernel>(grid, dim3(kDefaultBlock), 0, stream, planes, n, frame, keys.get(),
                                                order.get(), extent * extent, areas, scratch.get());
    NOLITH_CUDA_RAISE_REPORTED(NOLITH_CUDA_CHECK(cudaGetLastError()));
    const float nearest = median(scratch.get(), n, stream);
    spacing.median_nearest = std::isfinite(nearest) ? nearest * extent : 0.0f;
    return spacing;
}
