// The Python extension module nolith_module: the NolithEngine class, its
// constructors and methods, their signature texts and docstrings, the argument
// checks, and the export of result buffers as DLPack arrays.
//
// Arrays cross the boundary without copies: an array argument is used in
// place when it has the required element type, shape, C layout and device
// (read-only arrays too, nothing is ever written to an input); otherwise the
// member raises a TypeError that names the argument, what it needs and what
// it got (binding/arguments.h). In the host flavour the engine runs on the CPU
// and takes CPU arrays where the cuda flavour takes CUDA arrays.
//
// Builds and queries release the interpreter lock while the engine works, so
// other Python threads run meanwhile.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/arguments.h"
#include "nolith_cuda/nolith_backend.h"
#include "utils/console.h"
#include "utils/cuda_check.h"
#include "utils/device_memory.h"
#include "utils/finite_check.h"
#include "utils/scoped_device.h"

namespace nb = nanobind;
using nolith_binding::ArgumentErrors;
using nolith_binding::ArrayArgument;
using nolith_binding::Claim;
using nolith_binding::Device;
using nolith_binding::StreamHandle;

namespace {

// All arrays, in and out, are C-contiguous tensors on the engine's device.
// The Array API framework tag makes them render as ArrayLike[...] and makes
// results come back as objects with __dlpack__ / __dlpack_device__.
template <typename Scalar, typename Shape>
using DeviceArray = nb::ndarray<nb::array_api, Scalar, Shape, nb::c_contig, Device>;

// Inputs are read only: const element types accept read-only arrays.
using TriangleArg = ArrayArgument<DeviceArray<const float, nb::shape<-1, 3, 3>>>;
using Vec3Arg = ArrayArgument<DeviceArray<const float, nb::shape<-1, 3>>>;
using IndexArg = ArrayArgument<DeviceArray<const std::uint32_t, nb::shape<-1, 3>>, Claim::NoFloatingPoint>;
using ScalarArg = ArrayArgument<DeviceArray<const float, nb::shape<-1>>>;

// Results.
using Vec3Array = DeviceArray<float, nb::shape<-1, 3>>;
using ScalarArray = DeviceArray<float, nb::shape<-1>>;
using GradientArray = nb::ndarray<nb::array_api, float, nb::c_contig, Device>;

using TriangleBackend = NolithBackend<Triangle>;
using PointBackend = NolithBackend<PointNormal>;

// The native object behind a NolithEngine. Exactly one backend is set once
// construction succeeded; is_triangle says which.
struct NolithEngine {
    bool is_triangle = false;
    std::unique_ptr<PointBackend> point_backend;
    std::unique_ptr<TriangleBackend> triangle_backend;

    NolithEngine() = default;
    NolithEngine(const NolithEngine&) = delete;
    NolithEngine& operator=(const NolithEngine&) = delete;

    NolithEngine(NolithEngine&& other) noexcept
        : is_triangle(other.is_triangle),
          point_backend(std::move(other.point_backend)),
          triangle_backend(std::move(other.triangle_backend)) {}

    NolithEngine& operator=(NolithEngine&& other) noexcept {
        if (this != &other) {
            is_triangle = other.is_triangle;
            triangle_backend = std::move(other.triangle_backend);
            point_backend = std::move(other.point_backend);
        }
        return *this;
    }

    ~NolithEngine() {
        triangle_backend.reset();
        point_backend.reset();
    }

    int device_id() const { return is_triangle ? triangle_backend->device_id() : point_backend->device_id(); }
};

// A result buffer handed to Python. It owns the backend's allocation together
// with the deleter that frees it stream-ordered after the work that made it
// (on the legacy default stream, or on a non-blocking caller's own); the capsule
// that owns this record deletes it when the last array view goes away.
struct ResultBuffer {
    float* data;
    nolith_cuda::CudaDeleter deleter;

    explicit ResultBuffer(TriangleBackend::Result&& result) noexcept
        : data(result.get()), deleter(result.get_deleter()) {
        result.release();
    }
    ResultBuffer(const ResultBuffer&) = delete;
    ResultBuffer& operator=(const ResultBuffer&) = delete;
    ~ResultBuffer() { deleter(data); }
};

static_assert(std::is_same_v<TriangleBackend::Result, PointBackend::Result>,
              "both backends hand out the same result type");

// Wraps a backend result as a float32 array of the given shape on `device`.
// An empty result (null pointer) still yields a valid array of that shape.
template <typename Array>
Array export_result(TriangleBackend::Result&& result, std::initializer_list<std::size_t> shape, int device) {
#if defined(NOLITH_HOST_FLAVOUR)
    // The host flavour hands results out as host memory, which carries no
    // stream for a reader to wait on: the work that fills it runs first.
    {
        nb::gil_scoped_release release;
        nolith_cuda::ScopedDevice scoped_device(device);
        NOLITH_CUDA_REQUIRE(cudaDeviceSynchronize());
    }
#endif
    auto buffer = std::make_unique<ResultBuffer>(std::move(result));
    nb::capsule owner(buffer.get(), [](void* record) noexcept { delete static_cast<ResultBuffer*>(record); });
    float* data = buffer.release()->data;
    return Array(data, shape, owner, {}, nb::dtype<float>(), Device::value, device);
}

ScalarArray export_values(TriangleBackend::Result&& result, std::size_t count, int device) {
    return export_result<ScalarArray>(std::move(result), {count}, device);
}

Vec3Array export_vectors(TriangleBackend::Result&& result, std::size_t count, int device) {
    return export_result<Vec3Array>(std::move(result), {count, 3}, device);
}

// Per-call arrays (queries, gradients) must live where the engine lives.
template <typename Array>
void require_engine_device(const NolithEngine& engine, const Array& array, const char* what, const char* verb) {
    const int engine_device = engine.device_id();
    const int array_device = array.device_id();
    if (array_device != engine_device) {
        throw std::runtime_error(std::string(what) + " must reside on the engine's CUDA device (device " +
                                 std::to_string(engine_device) + "), but " + verb + " on device " +
                                 std::to_string(array_device) + ".");
    }
}

// ---------------------------------------------------------------------------
// Signature headers and docstrings shown to Python users.

constexpr const char* kModuleDoc =
    "\n    GPU-accelerated Differentiable Winding Number Field library.\n\n"
    "    Compatible with any framework supporting DLPack / Array API\n"
    "    (PyTorch, JAX, CuPy, etc.). All inputs must reside on the same\n"
    "    CUDA device.\n    ";

constexpr const char* kInitTrianglesSig =
    "def __init__(self, triangles: Array[N, 3, 3; float32; cuda]) -> None";
constexpr const char* kInitTrianglesDoc = R"doc(
        Initialize the engine using a triangle soup.

        Parameters
        ----------
        triangles : Array[N, 3, 3; float32; cuda]
            A (N, 3, 3) float32 CUDA array holding N triangles
            Note: Order the vertices counter-clockwise when seen from the front.
        )doc";

constexpr const char* kInitMeshSig =
    "def __init__(self, vertices: Array[M, 3; float32; cuda], "
    "triange_indices: Array[N, 3; uint32; cuda]) -> None";
constexpr const char* kInitMeshDoc = R"doc(
        Initialize the engine using a triangle soup with N Triangles using M shared vertices.

        Parameters
        ----------
        vertices : Array[M, 3; float32; cuda]
            A (M, 3) float32 CUDA array holding M vertices.
        triangle_indices : Array[N, 3; uint32; cuda]
            A (N, 3) index array, where each row defines the three vertices of a triangle.
            Note: Order the vertices counter-clockwise when seen from the front.
        )doc";

constexpr const char* kInitPointsSig =
    "def __init__(self, points: Array[N, 3; float32; cuda], normals: Array[N, 3; float32; cuda]) -> None";
constexpr const char* kInitPointsDoc = R"doc(
        Initialize the engine using a point cloud with scaled normals.

        Parameters
        ----------
        points : Array[N, 3; float32; cuda]
            A (N, 3) float32 CUDA array of point positions.
        normals : Array[N, 3; float32; cuda]
            A (N, 3) float32 CUDA array of scaled normals, one per point.
            The scaled normal direction is the orientation,
            the scale the associated voronoi area.
        )doc";

constexpr const char* kSolveNormalsSig =
    "def solve_normals(pc: Array[N, 3; float32; cuda], extra_points: Array[K, 3; float32; cuda], "
    "extra_wn: Array[K; float32; cuda], pc_wn: Optional[Array[N; float32; cuda]] = None, "
    "alpha_extra: float = 0.2) -> NolithEngine";
constexpr const char* kSolveNormalsDoc = R"doc(
        Solves for optimal scaled normals for a point cloud.

        Parameters
        ----------
        pc : Array[N, 3; float32; cuda]
            A (N, 3) float32 CUDA array of point positions.
        extra_points : Array[K, 3; float32; cuda]
            A (K, 3) float32 CUDA array of additional constraint locations.
        extra_wn : Array[K; float32; cuda]
            A (K,) float32 CUDA array of target winding numbers at 'extra_points'.
        pc_wn : Optional[Array[N; float32; cuda]]
            A (N,) float32 CUDA array of target winding numbers at the points.
            If None, defaults to 0.5 for all points.
        alpha_extra : float
            Weighting factor for the 'extra_points' constraints relative to
            pc_wn (0.5) manifold. Default is 0.2.

        Returns
        -------
        NolithEngine
            A new engine instance initialized with the point cloud and the solved normals.
        )doc";

constexpr const char* kScaledNormalsSig =
    "@property\n"
    "def scaled_normals(self) -> Array[N, 3]";
constexpr const char* kScaledNormalsDoc = R"doc(
        Returns a copy of the scaled normals currently stored in the engine.

        Returns
        -------
        Array[N, 3]
            (N, 3) float32 CUDA array.

        Note
        ----
        For engines built from triangles or an indexed mesh (triangle mode),
        an empty array is returned.
        )doc";

constexpr const char* kComputeSig =
    "def compute(self, queries: Array[N, 3; flaot32; cuda], beta: float32 = -1, epsilon: float32 = -1, "
    "stream: uint64_t = 0) -> Array";
constexpr const char* kComputeDoc = R"doc(
        Computes the winding number at the given query locations.

        Parameters
        ----------
        queries : Array[N, 3; float32; cuda]
            A (N, 3) float32 CUDA array of query points.
        beta : float32, optional
            Scalar that controlls the degree of approximation.
            Larger beta leads to more precise results, but also slower execution.
            Use any negative number to get default values.
            Default for point clouds is 2.0.
            Default flor triangles is 2.3
        epsilon : float32, optional
            Regularization scale (smoothing radius) used to prevent numerical
            singularities for queries close to a point.
            Only applies to point cloud backends.
            - distance >= 2*epsilon: Acts as standard unregularized potential.
            - distance < 2*epsilon: Smoothly dampens potential to a finite maximum.
            Use any negative number to use the default value (1/250).
        stream : uint64_t, optional
            The raw 64-bit identifier (handle) of a CUDA stream.
            For example, in PyTorch pass:
            `torch.cuda.current_stream().cuda_stream`
            Default is 0 (the default/null stream).

        Returns
        -------
        Array
            (N,) float32 CUDA array holding the winding numbers.
        )doc";

constexpr const char* kBruteForceSig =
    "def brute_force(self, queries: Array[N, 3; float32, cuda], epsilon: float32 = -1, "
    "stream: uint64_t = 0)-> Array";
constexpr const char* kBruteForceDoc = R"doc(
        Computes the winding numbers at the given query location with brute force on GPU.
        This is O(N^2) but precise.

        Parameters
        ----------
        queries : Array[N, 3; float32; cuda]
            A (N, 3) float32 CUDA array of query points.
        epsilon : float32, optional
            Regularization scale (smoothing radius) used to prevent numerical
            singularities for queries close to a point.
            Only applies to point cloud backends.
            - distance >= 2*epsilon: Acts as standard unregularized potential.
            - distance < 2*epsilon: Smoothly dampens potential to a finite maximum.
            Use any negative number to use the default value (1/250).
        stream : uint64_t, optional
            The raw 64-bit identifier (handle) of a CUDA stream.
            For example, in PyTorch pass:
            `torch.cuda.current_stream().cuda_stream`
            Default is 0 (the default/null stream).

        Returns
        -------
        Array
            (N,) float32 CUDA array holding the winding numbers.
        )doc";

constexpr const char* kGradScaledNormalsSig =
    "def grad_scaled_normals(self, grad_output: Array[Q; float32; cuda]) -> Array[N, 3; float32; cuda]";
constexpr const char* kGradScaledNormalsDoc = R"doc(
        Compute the Vector-Jacobian Product (VJP) for the scaled normals.

        Calculated as: dL/dn = (dL/dw)^T * (dw/dn).

        Parameters
        ----------
        grad_output : Array[Q; float32; cuda]
            (Q,) float32 CUDA array representing the gradient of the loss
            w.r.t. the winding numbers at the Q query points (dL/dw).

        Returns
        -------
        Array[N, 3; float32; cuda]
            (N, 3) float32 CUDA array representing the gradient of the loss
            w.r.t. the scaled normals (dL/dn).

        Note
        ----
        In triangle mode the gradient is taken w.r.t. the area-scaled
        triangle normals. SUBJECT TO CHANGE
        )doc";

constexpr const char* kGradPointsSig =
    "def grad_points(self, grad_output: Array[Q; float32; cuda]) -> Array[N, 3; float32; cucda]";
constexpr const char* kGradPointsDoc = R"doc(
        Compute the Vector-Jacobian Product (VJP) for the source point positions.

        For point clouds, this computes the gradient w.r.t. point positions.
        For meshes, this computes the gradient w.r.t triangle vertice positions.
        SUBJECT TO CHANGE

        Parameters
        ----------
        grad_output : Array[Q; float32; cuda]
            (Q,) float32 CUDA array representing the gradient of the loss
            w.r.t. the winding numbers at the Q query points (dL/dw).

        Returns
        -------
        Array[N, 3; float32; cucda]
            (N, 3) float32 CUDA array representing the gradient of the loss
            w.r.t. the source positions.
        )doc";

constexpr const char* kDumpSig = "def dump(self) -> str";
constexpr const char* kDumpDoc = R"doc(
        Returns a detailed string representation of the internal BVH8 Tree.

        Returns
        -------
        str
            The tree as Graphviz DOT text.
        )doc";

// ---------------------------------------------------------------------------
// Members.

constexpr nolith_binding::Expected kTriangles{"triangles", "float32", "(N, 3, 3)"};
constexpr nolith_binding::Expected kVertices{"vertices", "float32", "(M, 3)"};
constexpr nolith_binding::Expected kTriangleIndices{"triangle_indices", "uint32", "(N, 3)"};
constexpr nolith_binding::Expected kPoints{"points", "float32", "(N, 3)"};
constexpr nolith_binding::Expected kNormals{"normals", "float32", "(N, 3)"};
constexpr nolith_binding::Expected kPc{"pc", "float32", "(N, 3)"};
constexpr nolith_binding::Expected kExtraPoints{"extra_points", "float32", "(K, 3)"};
constexpr nolith_binding::Expected kExtraWn{"extra_wn", "float32", "(K,)"};
constexpr nolith_binding::Expected kPcWn{"pc_wn", "float32", "(N,)"};
constexpr nolith_binding::Expected kQueries{"queries", "float32", "(Q, 3)"};
constexpr nolith_binding::Expected kGradOutput{"grad_output", "float32", "(Q,)"};

// The engine keeps nothing of its input arrays beyond the build, and the
// arguments stay referenced for the whole call: the lock can go meanwhile.
template <typename Work>
auto without_the_lock(Work&& work) {
    nb::gil_scoped_release release;
    return work();
}

void init_from_triangles(NolithEngine* self, const TriangleArg& triangles) {
    ArgumentErrors().check(triangles, kTriangles).raise_if_any();
    const auto& t = triangles.array;
    auto backend = without_the_lock([&] { return TriangleBackend::CreateFromTriangles(t.data(), t.shape(0), t.device_id()); });
    NolithEngine* engine = new (self) NolithEngine();
    engine->triangle_backend = std::move(backend);
    engine->is_triangle = true;
}

void init_from_mesh(NolithEngine* self, const Vec3Arg& vertices, const IndexArg& triangle_indices) {
    ArgumentErrors().check(vertices, kVertices).check(triangle_indices, kTriangleIndices).raise_if_any();
    const auto& v = vertices.array;
    const auto& f = triangle_indices.array;
    if (v.device_id() != f.device_id())
        throw std::runtime_error("Vertices and triangle_indices must be on the same CUDA device.");
    auto backend = without_the_lock(
        [&] { return TriangleBackend::CreateFromMesh(v.data(), v.shape(0), f.data(), f.shape(0), v.device_id()); });
    NolithEngine* engine = new (self) NolithEngine();
    engine->triangle_backend = std::move(backend);
    engine->is_triangle = true;
}

void init_from_points(NolithEngine* self, const Vec3Arg& points, const Vec3Arg& normals) {
    ArgumentErrors().check(points, kPoints).check(normals, kNormals).raise_if_any();
    const auto& p = points.array;
    const auto& n = normals.array;
    if (p.device_id() != n.device_id())
        throw std::runtime_error("Points and Normals must be on the same CUDA device.");
    if (p.shape(0) != n.shape(0))
        throw std::runtime_error("Shape of points must be equal to shape of normals.");
    auto backend =
        without_the_lock([&] { return PointBackend::CreateFromPoints(p.data(), n.data(), p.shape(0), p.device_id()); });
    NolithEngine* engine = new (self) NolithEngine();
    engine->point_backend = std::move(backend);
    engine->is_triangle = false;
}

NolithEngine solve_normals(const Vec3Arg& pc_arg, const Vec3Arg& extra_points_arg, const ScalarArg& extra_wn_arg,
                           const ScalarArg& pc_wn_arg, float alpha_extra) {
    ArgumentErrors()
        .check(pc_arg, kPc)
        .check(extra_points_arg, kExtraPoints)
        .check(extra_wn_arg, kExtraWn)
        .check(pc_wn_arg, kPcWn)
        .raise_if_any();
    const auto& pc = pc_arg.array;
    const auto& extra_points = extra_points_arg.array;
    const auto& extra_wn = extra_wn_arg.array;
    const auto& pc_wn = pc_wn_arg.array;
    const int device = pc.device_id();
    if (device != extra_points.device_id() || device != extra_wn.device_id())
        throw std::runtime_error("All input arrays must reside on the same CUDA device.");
    if (extra_wn.shape(0) != extra_points.shape(0))
        throw std::runtime_error("extra_wn must have one value per extra point: " +
                                 std::to_string(extra_wn.shape(0)) + " values for " +
                                 std::to_string(extra_points.shape(0)) + " points.");

    const std::size_t count = pc.shape(0);
    const bool has_targets = pc_wn.is_valid();
    if (has_targets) {
        if (pc_wn.device_id() != device)
            throw std::runtime_error("pc_wn must reside on the same CUDA device as pc.");
        if (pc_wn.shape(0) != count)
            throw std::runtime_error("pc_wn must have one value per point.");
    }

    // Without explicit targets every point sits on the 0.5 level set. The
    // buffer is owned by a capsule so that it is released however we leave.
    const float* targets = nullptr;
    nb::capsule default_targets;
    if (has_targets) {
        targets = pc_wn.data();
    } else {
        float* filled = nolith_cuda::cuda_allocate(sizeof(float) * count);
        default_targets = nb::capsule(filled, [](void* pointer) noexcept { nolith_cuda::cuda_free(pointer); });
        // A failed allocation has been reported already; there is nothing to fill.
        if (filled) nolith_cuda::thrust_fill_float(filled, count, 0.5f);
        targets = filled;
    }

    auto backend = without_the_lock([&] {
        std::unique_ptr<PointBackend> solver;
        try {
            solver = PointBackend::CreateForSolver(pc.data(), count, device);
        } catch (const nolith_cuda::NonFiniteInput& refusal) {
            throw refusal.renamed("pc");  // the build knows them as points
        }
        {
            nolith_cuda::ScopedDevice scoped_device(device);
            nolith_cuda::require_finite("extra_points", extra_points.data(), extra_points.shape(0), 3, nullptr);
            nolith_cuda::require_finite("extra_wn", extra_wn.data(), extra_wn.shape(0), 1, nullptr);
            if (has_targets) nolith_cuda::require_finite("pc_wn", targets, count, 1, nullptr);
        }
        solver->solve_for_normals(extra_points.data(), extra_points.shape(0), extra_wn.data(), targets, alpha_extra);
        return solver;
    });

    NolithEngine engine;
    engine.point_backend = std::move(backend);
    engine.is_triangle = false;
    return engine;
}

Vec3Array scaled_normals(const NolithEngine& self) {
    if (self.is_triangle)
        throw std::runtime_error("Normals are not explicitly stored for triangle based geometry.");
    const PointBackend& backend = *self.point_backend;
    auto result = without_the_lock([&] { return backend.get_normals(); });
    return export_vectors(std::move(result), backend.point_count(), backend.device_id());
}

// The common start of compute and brute_force: arguments, then the device.
// Gives the caller's stream: the raw handle becomes a cudaStream_t here, and
// only here.
cudaStream_t check_query_arguments(const NolithEngine& self, const Vec3Arg& queries, const StreamHandle& stream) {
    ArgumentErrors().check(queries, kQueries).check_stream(stream.given).raise_if_any();
    require_engine_device(self, queries.array, "queries", "they are");
    return reinterpret_cast<cudaStream_t>(static_cast<std::uintptr_t>(stream.value));
}

ScalarArray compute(const NolithEngine& self, const Vec3Arg& queries_arg, float beta, float epsilon,
                    const StreamHandle& stream) {
    const cudaStream_t caller = check_query_arguments(self, queries_arg, stream);
    const auto& queries = queries_arg.array;
    const std::size_t count = queries.shape(0);
    if (self.is_triangle) {
        const TriangleBackend& backend = *self.triangle_backend;
        auto result = without_the_lock([&] { return backend.compute(queries.data(), count, beta, epsilon, caller); });
        return export_values(std::move(result), count, backend.device_id());
    }
    const PointBackend& backend = *self.point_backend;
    auto result = without_the_lock([&] { return backend.compute(queries.data(), count, beta, epsilon, caller); });
    return export_values(std::move(result), count, backend.device_id());
}

ScalarArray brute_force(const NolithEngine& self, const Vec3Arg& queries_arg, float epsilon,
                        const StreamHandle& stream) {
    const cudaStream_t caller = check_query_arguments(self, queries_arg, stream);
    const auto& queries = queries_arg.array;
    const std::size_t count = queries.shape(0);
    if (self.is_triangle) {
        const TriangleBackend& backend = *self.triangle_backend;
        auto result = without_the_lock([&] { return backend.brute_force(queries.data(), count, epsilon, caller); });
        return export_values(std::move(result), count, backend.device_id());
    }
    const PointBackend& backend = *self.point_backend;
    auto result = without_the_lock([&] { return backend.brute_force(queries.data(), count, epsilon, caller); });
    return export_values(std::move(result), count, backend.device_id());
}

Vec3Array grad_scaled_normals(const NolithEngine& self, const ScalarArg& grad_output_arg) {
    ArgumentErrors().check(grad_output_arg, kGradOutput).raise_if_any();
    const auto& grad_output = grad_output_arg.array;
    require_engine_device(self, grad_output, "grad_output", "it is");
    const std::size_t n = grad_output.shape(0);
    if (self.is_triangle) {
        const TriangleBackend& backend = *self.triangle_backend;
        return export_vectors(backend.grad_normals(grad_output.data(), n), backend.point_count(), backend.device_id());
    }
    const PointBackend& backend = *self.point_backend;
    auto result = without_the_lock([&] { return backend.grad_normals(grad_output.data(), n); });
    return export_vectors(std::move(result), backend.point_count(), backend.device_id());
}

// dL/dp: (N, 3) per point, (N, 3, 3) per triangle corner, (M, 3) per mesh vertex.
GradientArray grad_points(const NolithEngine& self, const ScalarArg& grad_output_arg) {
    ArgumentErrors().check(grad_output_arg, kGradOutput).raise_if_any();
    const auto& grad_output = grad_output_arg.array;
    require_engine_device(self, grad_output, "grad_output", "it is");
    const std::size_t n = grad_output.shape(0);
    if (self.is_triangle) {
        const TriangleBackend& backend = *self.triangle_backend;
        auto result = without_the_lock([&] { return backend.grad_points(grad_output.data(), n); });
        if (backend.is_mesh()) {
            return export_result<GradientArray>(std::move(result), {backend.gradient_rows(), 3}, backend.device_id());
        }
        return export_result<GradientArray>(std::move(result), {backend.point_count(), 3, 3}, backend.device_id());
    }
    const PointBackend& backend = *self.point_backend;
    auto result = without_the_lock([&] { return backend.grad_points(grad_output.data(), n); });
    return export_result<GradientArray>(std::move(result), {backend.point_count(), 3}, backend.device_id());
}

std::string dump(const NolithEngine& self) {
    return self.is_triangle ? self.triangle_backend->dump() : self.point_backend->dump();
}

}  // namespace

NB_MODULE(nolith_module, m) {
    m.doc() = kModuleDoc;
    // Engines that a global or an autograd graph still holds at interpreter
    // exit are released with the process; nanobind would report them as leaks.
    nb::set_leak_warnings(false);
    m.attr("flavour") = nolith_binding::kFlavour;
    m.def("_set_console_output", &nolith_cuda::set_console_output, nb::arg("enabled"),
          "Switches the engine's banner lines and runtime-error reports on or off; returns the old setting.");

    nb::class_<NolithEngine>(m, "NolithEngine")
        .def("__init__", &init_from_triangles, nb::sig(kInitTrianglesSig), nb::arg("triangles"), kInitTrianglesDoc)
        .def("__init__", &init_from_mesh, nb::sig(kInitMeshSig), nb::arg("vertices"), nb::arg("triangle_indices"),
             kInitMeshDoc)
        .def("__init__", &init_from_points, nb::sig(kInitPointsSig), nb::arg("points"), nb::arg("normals"),
             kInitPointsDoc)
        .def_static("solve_normals", &solve_normals, nb::sig(kSolveNormalsSig), nb::arg("pc"),
                    nb::arg("extra_points"), nb::arg("extra_wn"), nb::arg("pc_wn").none() = nb::none(),
                    nb::arg("alpha_extra") = 0.2f, kSolveNormalsDoc)
        .def_prop_ro("scaled_normals", &scaled_normals, nb::rv_policy::reference, nb::sig(kScaledNormalsSig),
                     kScaledNormalsDoc)
        .def("compute", &compute, nb::sig(kComputeSig), nb::arg("queries"), nb::arg("beta") = -1.0f,
             nb::arg("epsilon") = -1.0f, nb::arg("stream") = StreamHandle{}, kComputeDoc)
        .def("brute_force", &brute_force, nb::sig(kBruteForceSig), nb::arg("queries"), nb::arg("epsilon") = -1.0f,
             nb::arg("stream") = StreamHandle{}, kBruteForceDoc)
        .def("grad_scaled_normals", &grad_scaled_normals, nb::sig(kGradScaledNormalsSig), nb::arg("grad_output"),
             kGradScaledNormalsDoc)
        .def("grad_points", &grad_points, nb::sig(kGradPointsSig), nb::arg("grad_output"), kGradPointsDoc)
        .def("dump", &dump, nb::sig(kDumpSig), kDumpDoc);
}
