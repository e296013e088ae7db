// The backend's frame: factories, device switching and restoration, banners,
// failures that stop an operation without leaking, and refused inputs.
#include "gpu.h"
#include "host_runtime/testing.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cuda_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nolith_host::testing::Operation;
using TriangleBackend = NolithBackend<Triangle>;
using PointBackend = NolithBackend<PointNormal>;

// Device memory holding a copy of `values` (allocated on the current device).
template <typename T>
struct DeviceArray {
    explicit DeviceArray(const std::vector<T>& values) {
        cudaMalloc(reinterpret_cast<void**>(&data), values.size() * sizeof(T));
        cudaMemcpy(data, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice);
    }
    ~DeviceArray() { cudaFree(data); }
    T* data = nullptr;
};

std::vector<float> random_floats(std::size_t n, unsigned seed) {
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        values[i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    return values;
}

class BackendFrame : public ::testing::Test {
protected:
    void SetUp() override {
        nolith_host::testing::clear_failures();
        nolith_host::testing::reset_device_properties();
        cudaSetDevice(0);
        live_at_start_ = nolith_host::testing::live_allocations();
    }
    void TearDown() override {
        nolith_host::testing::clear_failures();
        nolith_host::testing::reset_device_properties();
        cudaSetDevice(0);
    }
    std::size_t leaked() const { return nolith_host::testing::live_allocations() - live_at_start_; }
    static int current_device() {
        int device = -1;
        cudaGetDevice(&device);
        return device;
    }

    std::size_t live_at_start_ = 0;
};

TEST_F(BackendFrame, FactoriesBuildOnTheRequestedDeviceAndRestoreTheCallers) {
    const DeviceArray<float> triangles(random_floats(9 * 40, 1));
    const DeviceArray<float> points(random_floats(3 * 40, 2));
    const DeviceArray<float> normals(random_floats(3 * 40, 3));
    const DeviceArray<float> vertices(random_floats(3 * 4, 4));
    const DeviceArray<unsigned> indices({0, 1, 2, 1, 2, 3});

    auto soup = TriangleBackend::CreateFromTriangles(triangles.data, 40, 1);
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(soup->device_id(), 1);
    EXPECT_EQ(soup->point_count(), 40u);
    auto mesh = TriangleBackend::CreateFromMesh(vertices.data, 4, indices.data, 2, 1);
    EXPECT_EQ(current_device(), 0);
    auto cloud = PointBackend::CreateFromPoints(points.data, normals.data, 40, 1);
    EXPECT_EQ(current_device(), 0);
    auto solver = PointBackend::CreateForSolver(points.data, 40, 1);
    EXPECT_EQ(current_device(), 0);

    // Queries run on the backend's device and hand the caller's device back.
    cudaSetDevice(0);
    auto result = cloud->brute_force(points.data, 40, -1.0f, 0);
    EXPECT_EQ(current_device(), 0);
    cudaPointerAttributes attributes{};
    cudaPointerGetAttributes(&attributes, result.get());
    EXPECT_EQ(attributes.device, 1);
}

TEST_F(BackendFrame, EachFactoryPrintsItsBannerLine) {
    const DeviceArray<float> data(random_floats(9 * 2, 5));
    const DeviceArray<unsigned> indices({0, 1, 2});
    ::testing::internal::CaptureStdout();
    TriangleBackend::CreateFromTriangles(data.data, 2, 0);
    TriangleBackend::CreateFromMesh(data.data, 3, indices.data, 1, 0);
    PointBackend::CreateFromPoints(data.data, data.data, 2, 0);
    PointBackend::CreateForSolver(data.data, 2, 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CreateFromTriangles!\nCreateFromMesh!\nCreateFromPoints!\n");
}

TEST_F(BackendFrame, MeshIndicesAreValidatedAgainstTheVertexCount) {
    const DeviceArray<float> vertices(random_floats(3 * 4, 6));
    const DeviceArray<unsigned> highest_is_last({0, 1, 3, 2, 1, 0});
    const DeviceArray<unsigned> highest_is_count({0, 1, 4, 2, 1, 0});
    const std::size_t arrays_live = leaked();
    EXPECT_NO_THROW(TriangleBackend::CreateFromMesh(vertices.data, 4, highest_is_last.data, 2, 1));
    cudaSetDevice(0);
    try {
        TriangleBackend::CreateFromMesh(vertices.data, 4, highest_is_count.data, 2, 1);
        FAIL() << "an index equal to the vertex count was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "The triangle indices are not allowed to exceed the number of vertices. "
                     "Vertex count is 4, max index is 4.");
    }
    EXPECT_EQ(current_device(), 0);
    // No vertices: the maximum is at least 0, so every mesh is refused.
    EXPECT_THROW(TriangleBackend::CreateFromMesh(vertices.data, 0, highest_is_last.data, 0, 0), std::runtime_error);
    EXPECT_EQ(leaked(), arrays_live);
}

// Every allocation of a construction, and of a query, in turn fails: the
// operation stops with the report's text as an out-of-memory error, the
// caller's device is restored and nothing stays allocated.
TEST_F(BackendFrame, AFailedAllocationStopsTheOperationWithoutLeaking) {
    const DeviceArray<float> triangles(random_floats(9 * 100, 7));
    const DeviceArray<float> vertices(random_floats(3 * 8, 8));
    const DeviceArray<unsigned> indices({0, 1, 2, 3, 4, 5, 5, 6, 7});
    const std::size_t arrays_live = leaked();
    const std::vector<std::function<void()>> operations = {
        [&] { TriangleBackend::CreateFromTriangles(triangles.data, 100, 1); },
        [&] { TriangleBackend::CreateFromMesh(vertices.data, 8, indices.data, 3, 1); },
        [&] { PointBackend::CreateFromPoints(triangles.data, triangles.data, 100, 1); },
        [&] {
            auto backend = PointBackend::CreateFromPoints(triangles.data, triangles.data, 100, 1);
            backend->brute_force(triangles.data, 30, -1.0f, 0);
        },
        [&] {
            auto backend = TriangleBackend::CreateFromTriangles(triangles.data, 100, 1);
            backend->compute(triangles.data, 30, -1.0f, -1.0f, 0);
        },
    };
    for (std::size_t op = 0; op < operations.size(); ++op) {
        nolith_host::testing::clear_failures();
        operations[op]();
        const unsigned long allocations = nolith_host::testing::calls(Operation::Allocation);
        ASSERT_GT(allocations, 0u);
        for (unsigned long k = 1; k <= allocations; ++k) {
            nolith_host::testing::clear_failures();
            nolith_host::testing::fail_nth(Operation::Allocation, k, cudaErrorMemoryAllocation);
            try {
                operations[op]();
                ADD_FAILURE() << "operation " << op << " ignored failed allocation " << k;
            } catch (const std::bad_alloc& e) {
                EXPECT_NE(std::string(e.what()).find("CUDA Runtime Error: src/cpp/"), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(":2 = out of memory"), std::string::npos) << e.what();
            }
            EXPECT_EQ(current_device(), 0);
            EXPECT_EQ(leaked(), arrays_live) << "operation " << op << ", failed allocation " << k;
        }
    }
}

TEST_F(BackendFrame, AFailedLaunchIsRaisedNotReturnedAsAResult) {
    const DeviceArray<float> vertices(random_floats(3 * 8, 9));
    const DeviceArray<unsigned> indices({0, 1, 2, 3, 4, 5, 5, 6, 7});
    nolith_host::testing::fail_nth(Operation::Launch, 1, cudaErrorLaunchOutOfResources);
    EXPECT_THROW(TriangleBackend::CreateFromMesh(vertices.data, 8, indices.data, 3, 1), std::runtime_error);
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(leaked(), 2u);
}

TEST_F(BackendFrame, WithoutCooperativeLaunchOnlySingleLeafEnginesBuild) {
    nolith_host::testing::set_cooperative_launch(1, false);
    const DeviceArray<float> points(random_floats(3 * 33, 10));
    EXPECT_NO_THROW(PointBackend::CreateFromPoints(points.data, points.data, 32, 1));
    try {
        PointBackend::CreateFromPoints(points.data, points.data, 33, 1);
        FAIL() << "a tree was collapsed without cooperative launch";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Device does not support Cooperative Launch");
    }
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(leaked(), 1u);
}

TEST_F(BackendFrame, CountsBeyondThe32BitArithmeticAreRefusedBeforeAnyAllocation) {
    // The pointers are never read: the counts are refused first.
    EXPECT_THROW(TriangleBackend::CreateFromTriangles(nullptr, 477218589ul, 1), std::length_error);
    EXPECT_THROW(PointBackend::CreateFromPoints(nullptr, nullptr, 715827883ul, 1), std::length_error);
    EXPECT_EQ(nolith_host::testing::calls(Operation::Allocation), 0u);
    EXPECT_EQ(current_device(), 0);
    const DeviceArray<float> points(random_floats(3 * 4, 11));
    auto backend = PointBackend::CreateFromPoints(points.data, points.data, 4, 0);
    EXPECT_THROW(backend->brute_force(points.data, 0x80000000ul, -1.0f, 0), std::length_error);
}

TEST_F(BackendFrame, AnEmptyGeometryAnswersZerosWithoutStorage) {
    const unsigned long allocations_before = nolith_host::testing::calls(Operation::Allocation);
    auto backend = TriangleBackend::CreateFromTriangles(nullptr, 0, 0);
    EXPECT_EQ(nolith_host::testing::calls(Operation::Allocation), allocations_before);
    const DeviceArray<float> queries(random_floats(3 * 5, 12));
    for (int method = 0; method < 2; ++method) {
        const auto result = method == 0 ? backend->brute_force(queries.data, 5, -1.0f, 0)
                                        : backend->compute(queries.data, 5, -1.0f, -1.0f, 0);
        std::vector<float> host(5, 1.0f);
        cudaMemcpy(host.data(), result.get(), 20, cudaMemcpyDeviceToHost);
        EXPECT_EQ(host, std::vector<float>(5, 0.0f));
    }
    EXPECT_EQ(backend->dump(), "digraph BVH8 {\n}\n");
    EXPECT_EQ(backend->brute_force(queries.data, 0, -1.0f, 0).get(), nullptr);
}

// Gradients follow the most recent query call: none before one, and one
// value of grad_output per query of that call. Triangle engines have no
// normals of their own.
TEST_F(BackendFrame, GradientsNeedTheirQueryFirst) {
    const DeviceArray<float> points(random_floats(3 * 4, 13));
    auto cloud = PointBackend::CreateFromPoints(points.data, points.data, 4, 0);
    auto soup = TriangleBackend::CreateFromTriangles(points.data, 1, 0);
    const auto expect_message = [](const std::function<void()>& call, const std::string& start) {
        try {
            call();
            ADD_FAILURE() << "no exception for " << start;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(start, 0), 0u) << e.what();
        }
    };
    expect_message([&] { cloud->grad_normals(points.data, 4); }, "grad_scaled_normals gives the gradient through");
    expect_message([&] { soup->grad_points(points.data, 4); }, "grad_points gives the gradient through");
    expect_message([&] { soup->get_normals(); }, "Normals are not explicitly stored");
    cloud->brute_force(points.data, 2, -1.0f, 0);
    expect_message([&] { cloud->grad_points(points.data, 3); }, "grad_output has 3 values, but the most recent "
                                                                 "brute_force call on this engine had 2 queries");
    soup->compute(points.data, 4, -1.0f, -1.0f, 0);
    expect_message([&] { soup->grad_normals(points.data, 4); }, "grad_scaled_normals is for point clouds");
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// Queries on a caller's stream return without waiting for it, read the tree
// even when the engine is deleted before they ran (stream work is deferred
// in these tests), and their results may outlive a blocking stream. A handle
// that is no stream is refused before anything is queued.
TEST_F(BackendFrame, QueriesOnACallerStreamAreQueuedAndKeepWhatTheyRead) {
    const DeviceArray<float> triangles(random_floats(9 * 300, 14));
    const DeviceArray<float> queries(random_floats(3 * 200, 15));
    auto engine = TriangleBackend::CreateFromTriangles(triangles.data, 300, 0);
    const auto download = [](const TriangleBackend::Result& result) {
        std::vector<float> host(200);
        cudaMemcpy(host.data(), result.get(), 4 * host.size(), cudaMemcpyDeviceToHost);
        return host;
    };
    const std::vector<float> fast = download(engine->compute(queries.data, 200, -1.0f, -1.0f, 0));
    const std::vector<float> exact = download(engine->brute_force(queries.data, 200, -1.0f, 0));
    const cudaStream_t no_stream = reinterpret_cast<cudaStream_t>(12345);
    EXPECT_THROW(engine->compute(queries.data, 200, -1.0f, -1.0f, no_stream), std::invalid_argument);

    cudaStream_t caller = nullptr, blocking = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&caller, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&blocking), cudaSuccess);
    const unsigned long waits = nolith_host::testing::host_waits();
    auto queued_fast = engine->compute(queries.data, 200, -1.0f, -1.0f, caller);
    auto queued_exact = engine->brute_force(queries.data, 200, -1.0f, caller);
    auto on_blocking = engine->brute_force(queries.data, 200, -1.0f, blocking);
    EXPECT_EQ(nolith_host::testing::host_waits(), waits);
    engine.reset();
    ASSERT_EQ(cudaStreamSynchronize(caller), cudaSuccess);
    EXPECT_EQ(download(queued_fast), fast);
    EXPECT_EQ(download(queued_exact), exact);
    ASSERT_EQ(cudaStreamDestroy(blocking), cudaSuccess);
    on_blocking.reset();  // released on the legacy stream, not on the destroyed one
    queued_fast.reset();
    queued_exact.reset();
    ASSERT_EQ(cudaStreamDestroy(caller), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(leaked(), 2u);  // the two input arrays
}

}  // namespace
