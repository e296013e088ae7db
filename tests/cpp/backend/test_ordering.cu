// Morton ordering of the build: the code layout, the scene scale, and the
// sorted component planes read back from a built backend.
#include "gpu.h"
#include "nolith_cuda/morton_codes.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace {

using nolith_cuda::morton3D_63bit;
using nolith_cuda::point_code;
using nolith_cuda::scene_params_for_box;
using nolith_cuda::SceneBox;

template <typename T>
std::vector<T> read_back(const T* device, std::size_t count) {
    std::vector<T> host(count);
    cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost);
    return host;
}

// A built backend plus host copies of its sorted indices and planes.
template <typename Geometry>
struct Built {
    std::unique_ptr<NolithBackend<Geometry>> backend;
    std::vector<unsigned> order;
    std::vector<float> planes;
};

Built<Triangle> build_triangles(const std::vector<float>& soup) {
    const std::size_t n = soup.size() / 9;
    float* device = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&device), soup.size() * 4);
    cudaMemcpy(device, soup.data(), soup.size() * 4, cudaMemcpyHostToDevice);
    Built<Triangle> built{NolithBackend<Triangle>::CreateFromTriangles(device, n, 0), {}, {}};
    cudaFree(device);  // the caller may free its input once the factory returned
    built.order = read_back(built.backend->sorted_indices_data(), n);
    built.planes = read_back(built.backend->soa_geometry_data(), 9 * n);
    return built;
}

Built<PointNormal> build_points(const std::vector<float>& points, const std::vector<float>& normals) {
    const std::size_t n = points.size() / 3;
    float* device = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&device), 24 * n);
    cudaMemcpy(device, points.data(), 12 * n, cudaMemcpyHostToDevice);
    cudaMemcpy(device + 3 * n, normals.data(), 12 * n, cudaMemcpyHostToDevice);
    Built<PointNormal> built{NolithBackend<PointNormal>::CreateFromPoints(device, device + 3 * n, n, 0), {}, {}};
    cudaFree(device);
    built.order = read_back(built.backend->sorted_indices_data(), n);
    built.planes = read_back(built.backend->soa_geometry_data(), 6 * n);
    return built;
}

std::vector<float> random_values(std::size_t count, float scale, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-scale, scale);
    std::vector<float> values(count);
    for (float& v : values) v = uniform(rng);
    return values;
}

std::vector<unsigned> identity(std::size_t n) {
    std::vector<unsigned> order(n);
    std::iota(order.begin(), order.end(), 0u);
    return order;
}

SceneBox box(float lo_x, float lo_y, float lo_z, float hi_x, float hi_y, float hi_z) {
    return SceneBox{{lo_x, lo_y, lo_z}, {hi_x, hi_y, hi_z}};
}

TEST(MortonCode, InterleavesTwentyOneBitsPerAxis) {
    EXPECT_EQ(morton3D_63bit(5, 3, 1), 0x57u);
    EXPECT_EQ(morton3D_63bit(1u << 20, 0, 0), 1ull << 60);
    EXPECT_EQ(morton3D_63bit(0, 0, 1u << 20), 1ull << 62);
    EXPECT_EQ(morton3D_63bit(2097151, 2097151, 2097151), 0x7FFFFFFFFFFFFFFFull);
    // Bits above bit 20 are dropped.
    EXPECT_EQ(morton3D_63bit(1u << 21, 1u << 25, 0xFFE00000u), 0u);
}

// The code scale maps the longest extent onto the codes' unit; the scene
// scale is the power of two that brings it into [0.5, 1), for any finite
// extent. Degenerate, infinite and undefined extents code everything as 0.
TEST(SceneScale, ComesFromTheLongestExtentAtAnySize) {
    const auto two_to = [](int e) { return std::ldexp(1.0f, e); };
    EXPECT_FLOAT_EQ(scene_params_for_box(box(0, 0, 0, 2, 4, 1)).code_scale, 0.25f);
    EXPECT_EQ(scene_params_for_box(box(0, 0, 0, 2, 4, 1)).scene_scale, two_to(-3));
    EXPECT_EQ(scene_params_for_box(box(-1, 3, 3, 1, 3, 3)).scene_scale, two_to(-2));  // flat: longest axis
    EXPECT_FLOAT_EQ(scene_params_for_box(box(-70000, 0, 0, 1, 1, 1)).code_scale, 1.0f / 70001.0f);
    EXPECT_EQ(scene_params_for_box(box(-70000, 0, 0, 1, 1, 1)).scene_scale, two_to(-17));
    EXPECT_EQ(scene_params_for_box(box(0, 0, 0, 3e-7f, 0, 0)).scene_scale, two_to(21));
    EXPECT_EQ(scene_params_for_box(box(-1e30f, 0, 0, 1e30f, 0, 0)).scene_scale, two_to(-101));
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (const SceneBox& b : {box(1, 1, 1, 1, 1, 1), box(-inf, 0, 0, 1, 1, 1), box(nan, nan, nan, nan, nan, nan)}) {
        EXPECT_EQ(scene_params_for_box(b).code_scale, 0.0f);
        EXPECT_EQ(scene_params_for_box(b).scene_scale, 1.0f);
    }
}

TEST(SortedPlanes, HoldTheInputPermutedBySortedIndicesInMortonOrder) {
    for (std::size_t n : {1u, 31u, 33u, 300u}) {
        const std::vector<float> soup = random_values(9 * n, 3.0f, static_cast<unsigned>(n));
        const auto built = build_triangles(soup);
        std::vector<unsigned> sorted = built.order;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, identity(n)) << "sorted_indices is not a permutation, n = " << n;
        // Recompute the scene and codes on the host: the order must be ascending in them.
        SceneBox scene = box(INFINITY, INFINITY, INFINITY, -INFINITY, -INFINITY, -INFINITY);
        for (std::size_t c = 0; c < 9 * n; ++c) {
            float* lower = &scene.lower.x + c % 3;
            float* upper = &scene.upper.x + c % 3;
            *lower = std::fmin(*lower, soup[c]);
            *upper = std::fmax(*upper, soup[c]);
        }
        const auto params = scene_params_for_box(scene);
        std::uint64_t previous = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t e = built.order[k];
            for (std::size_t c = 0; c < 9; ++c) ASSERT_EQ(built.planes[c * n + k], soup[9 * e + c]);
            const Triangle t{{soup[9 * e], soup[9 * e + 1], soup[9 * e + 2]},
                             {soup[9 * e + 3], soup[9 * e + 4], soup[9 * e + 5]},
                             {soup[9 * e + 6], soup[9 * e + 7], soup[9 * e + 8]}};
            const std::uint64_t code = point_code(t.centroid(), params);
            ASSERT_GE(code, previous) << "element " << k << " is out of Morton order";
            previous = code;
        }
    }
}

TEST(SortedPlanes, PointsCarryTheirNormalsAlong) {
    const std::size_t n = 257;
    const auto points = random_values(3 * n, 1.0f, 7);
    const auto normals = random_values(3 * n, 1.0f, 8);
    const auto built = build_points(points, normals);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t e = built.order[k];
        for (std::size_t c = 0; c < 3; ++c) {
            ASSERT_EQ(built.planes[c * n + k], points[3 * e + c]);
            ASSERT_EQ(built.planes[(c + 3) * n + k], normals[3 * e + c]);
        }
    }
}

// Inputs whose codes are all equal keep their input order (stable sort); a
// scene keeps its order at any size, however far beyond the half range.
TEST(SortedPlanes, EqualCodesKeepInputOrderAndAnySizeKeepsItsOrder) {
    const std::size_t n = 70;
    std::vector<float> same(3 * n, 0.25f);
    EXPECT_EQ(build_points(same, same).order, identity(n));

    const std::vector<float> unit = random_values(3 * n, 1.0f, 9);
    const std::vector<unsigned> unit_order = build_points(unit, unit).order;
    EXPECT_NE(unit_order, identity(n));
    for (float scale : {1e-7f, 1e5f, 1e30f}) {
        std::vector<float> scaled = unit;
        for (float& v : scaled) v *= scale;
        EXPECT_EQ(build_points(scaled, unit).order, unit_order) << "scale " << scale;
    }
}

}  // namespace
