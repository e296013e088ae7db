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
using nolith_cuda::scene_params_for_box;

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

// Interleaved code of a point against a scene, computed on the host.
std::uint64_t host_code(const Vec3& p, const nolith_cuda::SceneParams& scene) {
    const Vec3 lower = Vec3::from_f16(scene.scene.min);
    const float coordinate[3] = {p.x - lower.x, p.y - lower.y, p.z - lower.z};
    unsigned q[3];
    for (int a = 0; a < 3; ++a) {
        q[a] = static_cast<unsigned>(std::fmin(std::fmax(scene.scale * coordinate[a] * 2097151.0f, 0.0f), 2097151.0f));
    }
    return morton3D_63bit(q[0], q[1], q[2]);
}

AABB box(float lo_x, float lo_y, float lo_z, float hi_x, float hi_y, float hi_z) {
    return AABB{Vec3_f16::from_float({lo_x, lo_y, lo_z}), Vec3_f16::from_float({hi_x, hi_y, hi_z}), {0, 0, 0},
                __float2half_rn(0.0f)};
}

TEST(MortonCode, InterleavesTwentyOneBitsPerAxis) {
    EXPECT_EQ(morton3D_63bit(5, 3, 1), 0x57u);
    EXPECT_EQ(morton3D_63bit(1u << 20, 0, 0), 1ull << 60);
    EXPECT_EQ(morton3D_63bit(0, 0, 1u << 20), 1ull << 62);
    EXPECT_EQ(morton3D_63bit(2097151, 2097151, 2097151), 0x7FFFFFFFFFFFFFFFull);
    // Bits above bit 20 are dropped.
    EXPECT_EQ(morton3D_63bit(1u << 21, 1u << 25, 0xFFE00000u), 0u);
}

TEST(SceneScale, ComesFromTheLongestHalfRoundedExtent) {
    EXPECT_FLOAT_EQ(scene_params_for_box(box(0, 0, 0, 2, 4, 1)).scale, 0.25f);
    // A flat scene keeps a scale from its longest axis.
    EXPECT_FLOAT_EQ(scene_params_for_box(box(-1, 3, 3, 1, 3, 3)).scale, 0.5f);
    // Degenerate, infinite (extent rounds beyond the half range) and undefined extents give 0.
    EXPECT_EQ(scene_params_for_box(box(1, 1, 1, 1, 1, 1)).scale, 0.0f);
    EXPECT_EQ(scene_params_for_box(box(-40000, 0, 0, 40000, 1, 1)).scale, 0.0f);
    EXPECT_EQ(scene_params_for_box(box(-70000, 0, 0, 1, 1, 1)).scale, 0.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(scene_params_for_box(box(nan, nan, nan, nan, nan, nan)).scale, 0.0f);
}

TEST(SortedPlanes, HoldTheInputPermutedBySortedIndicesInMortonOrder) {
    for (std::size_t n : {1u, 31u, 33u, 300u}) {
        const std::vector<float> soup = random_values(9 * n, 3.0f, static_cast<unsigned>(n));
        const auto built = build_triangles(soup);
        std::vector<unsigned> sorted = built.order;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, identity(n)) << "sorted_indices is not a permutation, n = " << n;
        // Recompute the scene and codes on the host: the order must be ascending in them.
        AABB scene = AABB::identity();
        for (std::size_t e = 0; e < n; ++e) {
            const Triangle t{{soup[9 * e], soup[9 * e + 1], soup[9 * e + 2]},
                             {soup[9 * e + 3], soup[9 * e + 4], soup[9 * e + 5]},
                             {soup[9 * e + 6], soup[9 * e + 7], soup[9 * e + 8]}};
            scene = AABB::merge(scene, t.get_aabb(), 1.0f, 1.0f);
        }
        const auto params = scene_params_for_box(scene);
        std::uint64_t previous = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t e = built.order[k];
            for (std::size_t c = 0; c < 9; ++c) ASSERT_EQ(built.planes[c * n + k], soup[9 * e + c]);
            const Triangle t{{soup[9 * e], soup[9 * e + 1], soup[9 * e + 2]},
                             {soup[9 * e + 3], soup[9 * e + 4], soup[9 * e + 5]},
                             {soup[9 * e + 6], soup[9 * e + 7], soup[9 * e + 8]}};
            const std::uint64_t code = host_code(t.centroid(), params);
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

// Inputs whose codes are all equal keep their input order (stable sort), and
// the build completes for coordinates the half-precision box cannot hold.
TEST(SortedPlanes, EqualCodesKeepInputOrderForDegenerateAndOutOfRangeScenes) {
    const std::size_t n = 70;
    std::vector<float> same(3 * n, 0.25f);
    EXPECT_EQ(build_points(same, same).order, identity(n));

    std::vector<float> huge = random_values(3 * n, 1.0f, 9);
    huge[0] = 1e6f;  // beyond the half range: infinite scene box, scale 0
    EXPECT_EQ(build_points(huge, huge).order, identity(n));

    std::vector<float> infinite = random_values(9 * n, 1.0f, 10);
    infinite[4] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(build_triangles(infinite).order, identity(n));

    // A NaN coordinate still gets a code (0 on that axis); the build completes.
    std::vector<float> with_nan = random_values(3 * n, 1.0f, 11);
    with_nan[5] = std::numeric_limits<float>::quiet_NaN();
    std::vector<unsigned> order = build_points(with_nan, with_nan).order;
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, identity(n));
}

}  // namespace
