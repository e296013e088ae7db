// nolith_census: the work census of compute, for the benchmarks. It builds
// an engine like nolith_module does and runs the census instantiation of the
// walk, which counts per batch of 32 Morton-ordered queries what the warp
// did (kernels/traversal/work_census.h). Not part of nolith_module's surface;
// the product's kernels carry no trace of the counting.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "binding/arguments.h"
#include "kernels/traversal/work_census.h"
#include "nolith_cuda/backend_census.h"
#include "nolith_cuda/nolith_backend.h"
#include "utils/console.h"
#include "utils/device_memory.h"

#include <cuda_runtime.h>

namespace nb = nanobind;

namespace {

using nolith_binding::Device;
using Vec3Array = nb::ndarray<const float, nb::shape<-1, 3>, nb::c_contig, Device>;
using IndexArray = nb::ndarray<const std::uint32_t, nb::shape<-1, 3>, nb::c_contig, Device>;
using TriangleArray = nb::ndarray<const float, nb::shape<-1, 3, 3>, nb::c_contig, Device>;
using ScalarArray = nb::ndarray<const float, nb::shape<-1>, nb::c_contig, Device>;
using PointBackend = NolithBackend<PointNormal>;
using CensusTable = nb::ndarray<nb::numpy, std::uint32_t, nb::shape<-1, -1>>;
using Counts = nb::ndarray<nb::numpy, std::uint32_t, nb::shape<-1>>;

constexpr const char* kFields[] = {"queries",
                                   "node_pops",
                                   "active_lane_pops",
                                   "node_far_field_steps",
                                   "node_far_field_evals",
                                   "node_descents",
                                   "leaf_slot_visits",
                                   "leaf_far_field_steps",
                                   "leaf_far_field_evals",
                                   "exact_packet_loads",
                                   "exact_passes",
                                   "exact_element_evals"};
constexpr std::size_t kColumns = sizeof(kFields) / sizeof(kFields[0]);
static_assert(sizeof(WorkCensus) == kColumns * sizeof(std::uint32_t), "one column per census count");

// A NumPy array that owns a copy of `values`.
template <typename Array>
Array numpy_copy(const std::uint32_t* values, std::initializer_list<std::size_t> shape, std::size_t count) {
    auto* copy = new std::uint32_t[count > 0 ? count : 1];
    std::memcpy(copy, values, count * sizeof(std::uint32_t));
    nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<std::uint32_t*>(p); });
    return Array(copy, shape, owner);
}

// The census of one walk: {"census": (batches, FIELDS) table;
// "packet_passes": exact passes per leaf packet; "packet_first": the first
// sorted element of each packet; "order": the input index of each sorted
// element, so packet j holds order[packet_first[j] : packet_first[j + 1]];
// "nodes": the BVH8's node count; "tree_bytes": the device bytes of the tree}.
template <typename Backend>
nb::dict census_of(const Backend& backend, const Vec3Array& queries, float beta, float epsilon) {
    std::vector<WorkCensus> census;
    std::vector<std::uint32_t> passes, order(backend.point_count()), packets(2 * std::size_t(backend.packets_count()));
    {
        nb::gil_scoped_release release;
        work_census(backend, queries.data(), queries.shape(0), beta, epsilon, 0, census, passes);
        if (cudaMemcpy(order.data(), backend.sorted_indices_data(), order.size() * sizeof(std::uint32_t),
                       cudaMemcpyDeviceToHost) != cudaSuccess ||
            cudaMemcpy(packets.data(), backend.packets_data(), packets.size() * sizeof(std::uint32_t),
                       cudaMemcpyDeviceToHost) != cudaSuccess) {
            throw std::runtime_error("reading the sorted order and the packets back failed");
        }
    }
    std::vector<std::uint32_t> firsts(backend.packets_count());
    for (std::size_t k = 0; k < firsts.size(); ++k) firsts[k] = packets[2 * k];
    nb::dict out;
    out["census"] = numpy_copy<CensusTable>(reinterpret_cast<const std::uint32_t*>(census.data()),
                                            {census.size(), kColumns}, census.size() * kColumns);
    out["packet_passes"] = numpy_copy<Counts>(passes.data(), {passes.size()}, passes.size());
    out["packet_first"] = numpy_copy<Counts>(firsts.data(), {firsts.size()}, firsts.size());
    out["order"] = numpy_copy<Counts>(order.data(), {order.size()}, order.size());
    out["nodes"] = backend.node_count();
    out["tree_bytes"] = backend.tree_bytes();
    return out;
}

nb::dict census_triangles(const TriangleArray& triangles, const Vec3Array& queries, float beta, float epsilon) {
    const auto backend = NolithBackend<Triangle>::CreateFromTriangles(triangles.data(), triangles.shape(0),
                                                                      triangles.device_id());
    return census_of(*backend, queries, beta, epsilon);
}

nb::dict census_mesh(const Vec3Array& vertices, const IndexArray& indices, const Vec3Array& queries, float beta,
                        float epsilon) {
    const auto backend = NolithBackend<Triangle>::CreateFromMesh(vertices.data(), vertices.shape(0), indices.data(),
                                                                 indices.shape(0), vertices.device_id());
    return census_of(*backend, queries, beta, epsilon);
}

nb::dict census_points(const Vec3Array& points, const Vec3Array& normals, const Vec3Array& queries, float beta,
                          float epsilon) {
    const auto backend =
        NolithBackend<PointNormal>::CreateFromPoints(points.data(), normals.data(), points.shape(0), points.device_id());
    return census_of(*backend, queries, beta, epsilon);
}

// Seconds of the walk's kernel alone per compute call (events around its
// launch), `repeats` calls after a warm-up one.
template <typename Backend>
nb::list walk_seconds_of(const Backend& backend, const Vec3Array& queries, int repeats) {
    std::vector<double> seconds;
    {
        nb::gil_scoped_release release;
        seconds = walk_kernel_seconds(backend, queries.data(), queries.shape(0), -1.0f, -1.0f, repeats);
    }
    nb::list out;
    for (double s : seconds) out.append(s);
    return out;
}

nb::list walk_seconds_triangles(const TriangleArray& triangles, const Vec3Array& queries, int repeats) {
    const auto backend = NolithBackend<Triangle>::CreateFromTriangles(triangles.data(), triangles.shape(0),
                                                                      triangles.device_id());
    return walk_seconds_of(*backend, queries, repeats);
}

nb::list walk_seconds_points(const Vec3Array& points, const Vec3Array& normals, const Vec3Array& queries, int repeats) {
    const auto backend =
        NolithBackend<PointNormal>::CreateFromPoints(points.data(), normals.data(), points.shape(0), points.device_id());
    return walk_seconds_of(*backend, queries, repeats);
}

// The solver's own account of a solve: iterations, residuals, the final
// gradient ratio, the regularisation weight and epsilon it chose, and the
// walks of compute and of its transpose it ran, and the solved normals as a
// NumPy array (targets 0.5 at the cloud's points); max_iterations > 0 lowers
// the cap, to time a few.
nb::dict solve_report(const Vec3Array& pc, const Vec3Array& extra_points, const ScalarArray& extra_wn,
                      float alpha_extra, int max_iterations) {
    const std::size_t n = pc.shape(0);
    float* targets = nolith_cuda::cuda_allocate(4 * n);
    nb::capsule owner(targets, [](void* p) noexcept { nolith_cuda::cuda_free(p); });
    nolith_cuda::thrust_fill_float(targets, n, 0.5f);
    PointBackend::SolveReport report;
    auto* normals = new float[3 * n + 1];
    nb::capsule normals_owner(normals, [](void* p) noexcept { delete[] static_cast<float*>(p); });
    {
        nb::gil_scoped_release release;
        auto backend = PointBackend::CreateForSolver(pc.data(), n, pc.device_id());
        if (max_iterations > 0) backend->solver_iteration_cap = max_iterations;
        backend->solve_for_normals(extra_points.data(), extra_points.shape(0), extra_wn.data(), targets, alpha_extra);
        report = backend->last_solve();
        const auto solved = backend->get_normals();
        if (n > 0 && cudaMemcpy(normals, solved.get(), 12 * n, cudaMemcpyDeviceToHost) != cudaSuccess) {
            throw std::runtime_error("reading the solved normals back failed");
        }
    }
    nb::dict out;
    out["iterations"] = report.iterations;
    out["residual_start"] = report.residual_start;
    out["residual"] = report.residual;
    out["gradient_ratio"] = report.gradient_ratio;
    out["regularisation"] = report.regularisation;
    out["epsilon"] = report.epsilon;
    out["other_queries"] = report.other_queries;
    out["length_scale"] = report.length_scale;
    out["forward_products"] = report.forward_products;
    out["transpose_products"] = report.transpose_products;
    out["normals"] = nb::ndarray<nb::numpy, float, nb::shape<-1, 3>>(normals, {n, 3}, normals_owner);
    return out;
}

}  // namespace

NB_MODULE(nolith_census, m) {
    m.doc() = "The work census of nolith's compute, per batch of 32 Morton-ordered queries (for benchmarks).";
    nb::set_leak_warnings(false);
    m.def("_set_console_output", &nolith_cuda::set_console_output, nb::arg("enabled"));
    nb::list fields;
    for (const char* f : kFields) fields.append(f);
    m.attr("FIELDS") = fields;
    m.def("census_triangles", &census_triangles, nb::arg("triangles"), nb::arg("queries"), nb::arg("beta") = -1.0f,
          nb::arg("epsilon") = -1.0f);
    m.def("census_mesh", &census_mesh, nb::arg("vertices"), nb::arg("triangle_indices"), nb::arg("queries"),
          nb::arg("beta") = -1.0f, nb::arg("epsilon") = -1.0f);
    m.def("solve_report", &solve_report, nb::arg("pc"), nb::arg("extra_points"), nb::arg("extra_wn"),
          nb::arg("alpha_extra") = 0.2f, nb::arg("max_iterations") = 0);
    m.def("walk_seconds_triangles", &walk_seconds_triangles, nb::arg("triangles"), nb::arg("queries"),
          nb::arg("repeats") = 5);
    m.def("walk_seconds_points", &walk_seconds_points, nb::arg("points"), nb::arg("normals"), nb::arg("queries"),
          nb::arg("repeats") = 5);
    m.def("census_points", &census_points, nb::arg("points"), nb::arg("normals"), nb::arg("queries"),
          nb::arg("beta") = -1.0f, nb::arg("epsilon") = -1.0f);
}
