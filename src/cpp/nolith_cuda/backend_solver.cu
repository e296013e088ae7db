// solve_normals: scaled normals for a point cloud from its points alone. The
// field is linear in the normals, w = M n, with M the fast evaluation
// (compute) and M^T its exact transpose (the gradient of compute with
// respect to the normals). With row weights W (1 at the cloud's own points,
// alpha_extra at the extra points) the solver minimises
// |W^1/2 (M n - t)|^2 + lambda |n|^2 by conjugate gradients on the normal
// equations in their least-squares form (CGLS), each iteration one product
// by M and one by M^T. Then every normal takes the direction in which the
// solved field falls at its point, and as its length the area the point
// stands for, estimated from its nearest neighbours.
//
// Why the lengths are not the least-squares ones: the values at the points
// are met most cheaply by normals tilted towards their neighbours, whose
// near fields are strong, so the fitted normals carry too little flux and
// the field inside a closed surface comes out near 0.7 instead of 1. Their
// orientation is sound; with the field's own directions and the neighbours'
// areas the field is about 1 inside, 0 outside, as a scaled normal means.
#include "gpu.h"
#include "kernels/gradients/scatter_rows.h"
#include "kernels/neighbours/point_areas.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/scoped_device.h"
#include "utils/stream_vector.h"
#include "utils/thrust_policy.h"

#include <thrust/extrema.h>
#include <thrust/for_each.h>
#include <thrust/functional.h>
#include <thrust/gather.h>
#include <thrust/inner_product.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/reduce.h>
#include <thrust/sequence.h>
#include <thrust/transform.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

namespace {

// The stopping rule: the gradient of the objective has shrunk to 1% of its
// first value. The cap (solver_iteration_cap, 100) bounds a solve at 100
// products of each kind; measured solves stop after 7 to 12.
constexpr double kTolerance = 1e-2;
// Tikhonov weight, relative to the operator's scale |M p|^2 / |p|^2 measured
// on the first search direction. It keeps the fit from bending normals to
// follow noise in the points (at 0.5% noise a weight of 0.001 left 89% of
// an elephant's fitted normals the right way round, 0.03 leaves 98%), and as
// the lengths are set afterwards, its shrinking costs nothing.
constexpr double kRelativeRegularisation = 3e-2;
// The products' smoothing epsilon: at least 1/250 of the cloud's longest
// extent, and at least 1.25 times the typical distance between neighbouring
// points, so that a sparse cloud's field between its points is smooth and the
// fit cannot use one point's near field to set another's value. Both are
// relative to the cloud: the solve does not depend on units.
constexpr float kRelativeEpsilon = 0.004f;
constexpr float kSpacingEpsilon = 1.25f;

// The solver's vectors live on the legacy default stream, where its thrust
// algorithms and queries run.
using Vector = nolith_cuda::StreamVector<float>;

Vector vector(std::size_t size) { return Vector(size, nullptr, __FILE__, __LINE__); }

struct AxPy {
    float a;
    __host__ __device__ float operator()(float x, float y) const { return a * x + y; }
};

struct Scale {
    float a;
    __host__ __device__ float operator()(float x) const { return a * x; }
};

// value * a * weight
struct ScaleAndWeigh {
    float a;
    __host__ __device__ float operator()(float value, float weight) const { return value * a * weight; }
};

double dot(const Vector& a, const Vector& b) {
    return thrust::inner_product(nolith_cuda::stream_policy(nullptr), a.begin(), a.end(), b.begin(), 0.0);
}

// y = a x + y
void axpy(float a, const Vector& x, Vector& y) {
    thrust::transform(nolith_cuda::stream_policy(nullptr), x.begin(), x.end(), y.begin(), y.begin(), AxPy{a});
}

struct AbsoluteValue {
    __host__ __device__ float operator()(float x) const { return fabsf(x); }
};

float max_abs(const Vector& x) {
    return thrust::transform_reduce(nolith_cuda::stream_policy(nullptr), x.begin(), x.end(), AbsoluteValue(), 0.0f,
                                    thrust::maximum<float>());
}

// Gives normal i (three planes of n floats) the length areas[i], keeping its
// direction; a zero normal, or a point without an area (negative), stays.
struct LengthToArea {
    float* planes;
    const float* areas;
    std::size_t n;
    __host__ __device__ void operator()(std::size_t i) const {
        const float area = areas[i];
        float v[3] = {planes[i], planes[n + i], planes[2 * n + i]};
        const float largest = fmaxf(fabsf(v[0]), fmaxf(fabsf(v[1]), fabsf(v[2])));
        if (!(area >= 0.0f) || !(largest > 0.0f)) return;
        for (float& c : v) c /= largest;  // the length without overflow or underflow
        const float scale = area / sqrtf(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        for (int c = 0; c < 3; ++c) planes[c * n + i] = v[c] * scale;
    }
};

// The six points a step away from point i along +x, -x, +y, -y, +z, -z, at
// probes[18 i ...] (the cloud's sorted planes: x, y, z of n points each).
struct GradientProbes {
    const float* planes;
    std::size_t n;
    float step;
    float* probes;
    __host__ __device__ void operator()(std::size_t i) const {
        for (int axis = 0; axis < 3; ++axis) {
            for (int side = 0; side < 2; ++side) {
                float* probe = probes + 18 * i + 6 * axis + 3 * side;
                for (int c = 0; c < 3; ++c) probe[c] = planes[c * n + i];
                probe[axis] += side == 0 ? step : -step;
            }
        }
    }
};

// Normal i (planes of n floats) becomes the field's downhill direction at
// the point, from the values at its probes, with the length areas[i]; a
// point without an area or without a slope keeps its normal.
struct DownhillToArea {
    const float* values;
    const float* areas;
    std::size_t n;
    float* planes;
    __host__ __device__ void operator()(std::size_t i) const {
        const float* v = values + 6 * i;
        float d[3] = {v[1] - v[0], v[3] - v[2], v[5] - v[4]};
        const float largest = fmaxf(fabsf(d[0]), fmaxf(fabsf(d[1]), fabsf(d[2])));
        const float area = areas[i];
        if (!(area >= 0.0f) || !(largest > 0.0f)) return;
        for (float& c : d) c /= largest;
        const float scale = area / sqrtf(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (int c = 0; c < 3; ++c) planes[c * n + i] = d[c] * scale;
    }
};

}  // namespace

template <typename Geometry>
void NolithBackend<Geometry>::solve_for_normals(const float* extra_points, unsigned long k, const float* extra_wn,
                                                const float* pc_wn, float alpha_extra) {
    if (!std::is_same<Geometry, PointNormal>::value) throw std::logic_error("only point clouds have normals to solve");
    nolith_cuda::ScopedDevice scoped_device(device);
    solve_report = SolveReport{};
    const std::size_t n = count, rows = n + k;
    if (n == 0) return;
    const auto policy = nolith_cuda::stream_policy(nullptr);

    // The queries: the cloud's points in sorted order, then the extra points;
    // the targets and the square roots of the row weights alike.
    Vector queries = vector(3 * rows), targets = vector(rows), root_weights = vector(rows);
    thrust::fill(policy, root_weights.begin(), root_weights.end(), 1.0f);
    {
        const nolith_cuda::StreamVector<unsigned> identity(n, nullptr, __FILE__, __LINE__);
        thrust::sequence(policy, identity.begin(), identity.end(), 0u);
        NOLITH_CUDA_RAISE_REPORTED(scatter_rows(soa_geometry, static_cast<std::uint32_t>(n), identity.data(), 0, 3,
                                                queries.data(), nullptr));
    }
    if (k > 0) {
        NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(queries.data() + 3 * n, extra_points, 12 * k,
                                            cudaMemcpyDeviceToDevice, nullptr));
        NOLITH_CUDA_REQUIRE(cudaMemcpyAsync(targets.data() + n, extra_wn, 4 * k,
                                            cudaMemcpyDeviceToDevice, nullptr));
        thrust::fill(policy, root_weights.begin() + n, root_weights.end(), std::sqrt(std::max(alpha_extra, 0.0f)));
    }
    {
        const thrust::device_ptr<const unsigned> order(sorted_indices);
        const thrust::device_ptr<const float> pc_targets(pc_wn);
        thrust::gather(policy, order, order + n, pc_targets, targets.begin());
    }
    const float* query_data = queries.data();

    // The area each point stands for, and the spacing of the points, from
    // their nearest neighbours (extent 0: a cloud without size keeps the
    // solved lengths and the default epsilon).
    const float extent = scene.code_scale > 0.0f ? 1.0f / scene.code_scale : 0.0f;
    Vector areas = vector(n);
    const PointSpacing spacing =
        estimate_point_areas(soa_geometry, static_cast<std::uint32_t>(n), scene.lower, extent, areas.data(), nullptr);
    const float epsilon =
        extent > 0.0f ? std::max(kRelativeEpsilon * extent, kSpacingEpsilon * spacing.median_nearest) : -1.0f;
    solve_report.epsilon = epsilon;

    // Products by W^1/2 M and M^T W^1/2. The normals are scaled for the
    // product so that the expansions stay well inside half precision: about
    // the area a point of a unit-sized cloud stands for.
    const float unit_area = 1.0f / (float(n) * scene.scene_scale * scene.scene_scale);
    const auto forward = [&](const Vector& normals, Vector& out) {
        ++solve_report.forward_products;
        const float largest = max_abs(normals);
        if (!(largest > 0.0f)) {
            thrust::fill(policy, out.begin(), out.end(), 0.0f);
            return;
        }
        const float scale = unit_area / largest;
        Vector scaled = vector(normals.size());
        thrust::transform(policy, normals.begin(), normals.end(), scaled.begin(), Scale{scale});
        refit_normals(scaled.data());
        const Result values = compute(query_data, rows, -1.0f, epsilon, 0);
        const thrust::device_ptr<const float> v(values.get());
        const float unscale = 1.0f / scale;
        thrust::transform(policy, v, v + rows, root_weights.begin(), out.begin(), ScaleAndWeigh{unscale});
    };
    const auto transpose = [&](const Vector& residual, Vector& out) {
        ++solve_report.transpose_products;
        Vector weighted = vector(rows);
        thrust::transform(policy, residual.begin(), residual.end(), root_weights.begin(), weighted.begin(),
                          thrust::multiplies<float>());
        LastQuery query;
        {
            const std::lock_guard<std::mutex> lock(query_order_lock);
            query = last_query;
        }
        auto planes = element_gradients(query, weighted.data());
        const thrust::device_ptr<const float> normal_planes(planes.get());
        thrust::copy(policy, normal_planes, normal_planes + 3 * n, out.begin());
    };

    // CGLS with Tikhonov regularisation lambda.
    Vector x = vector(3 * n), r = vector(rows), s = vector(3 * n), p = vector(3 * n), q = vector(rows);
    thrust::fill(policy, x.begin(), x.end(), 0.0f);
    thrust::transform(policy, targets.begin(), targets.end(), root_weights.begin(), r.begin(),
                      thrust::multiplies<float>());
    // The first transpose follows the tree as built (zero normals) and the
    // solver's queries; the walk applies the default beta.
    remember_query(query_data, rows, -1.0f, epsilon, true, nullptr);
    transpose(r, s);
    thrust::copy(policy, s.begin(), s.end(), p.begin());
    double gamma = dot(s, s);
    const double gamma0 = gamma;
    solve_report.residual_start = std::sqrt(dot(r, r));
    double lambda = 0.0;
    int iteration = 0;
    while (gamma > 0.0 && iteration < solver_iteration_cap) {
        forward(p, q);
        const double pp = dot(p, p);
        if (iteration == 0) lambda = kRelativeRegularisation * dot(q, q) / pp;
        const double delta = dot(q, q) + lambda * pp;
        if (!(delta > 0.0)) break;
        const float step = float(gamma / delta);
        axpy(step, p, x);
        axpy(-step, q, r);
        transpose(r, s);
        axpy(float(-lambda), x, s);
        const double gamma_next = dot(s, s);
        ++iteration;
        if (std::sqrt(gamma_next / gamma0) < kTolerance) {
            gamma = gamma_next;
            break;
        }
        const float beta = float(gamma_next / gamma);
        gamma = gamma_next;
        thrust::transform(policy, p.begin(), p.end(), s.begin(), p.begin(), AxPy{beta});  // p = beta p + s
    }
    solve_report.iterations = iteration;
    solve_report.residual = std::sqrt(dot(r, r));
    solve_report.gradient_ratio = gamma0 > 0.0 ? std::sqrt(gamma / gamma0) : 0.0;
    solve_report.regularisation = lambda;
    thrust::for_each(policy, thrust::counting_iterator<std::size_t>(0), thrust::counting_iterator<std::size_t>(n),
                     LengthToArea{x.data(), areas.data(), n});

    // The directions once more, from the solved field: its gradient at each
    // point, by central differences a quarter of the spacing apart, points
    // inwards, across the level surface through the points. It undoes the
    // tilt that fitting the values at the points leaves, and turns most
    // points that the fit left the wrong way round.
    const float step = 0.25f * spacing.median_nearest, largest = max_abs(x);
    if (step > 0.0f && largest > 0.0f) {
        Vector probes = vector(18 * n);
        thrust::for_each(policy, thrust::counting_iterator<std::size_t>(0), thrust::counting_iterator<std::size_t>(n),
                         GradientProbes{soa_geometry, n, step, probes.data()});
        Vector scaled = vector(3 * n);
        thrust::transform(policy, x.begin(), x.end(), scaled.begin(), Scale{unit_area / largest});
        refit_normals(scaled.data());
        const Result values = compute(probes.data(), 6 * n, -1.0f, epsilon, 0);
        solve_report.other_queries += 6 * n;
        thrust::for_each(policy, thrust::counting_iterator<std::size_t>(0), thrust::counting_iterator<std::size_t>(n),
                         DownhillToArea{values.get(), areas.data(), n, x.data()});

        // One scale for all lengths, so that the field at the points, as
        // compute gives it by default, meets the targets on average. It
        // corrects the areas' common bias (a few percent: the neighbours of a
        // point on a thin part include the far side; curvature).
        const float longest = max_abs(x);
        thrust::transform(policy, x.begin(), x.end(), scaled.begin(), Scale{unit_area / longest});
        refit_normals(scaled.data());
        const Result at_points = compute(query_data, n, -1.0f, -1.0f, 0);
        solve_report.other_queries += n;
        const thrust::device_ptr<const float> reached(at_points.get());
        const double wanted = thrust::reduce(policy, targets.begin(), targets.begin() + n, 0.0);
        const double got = thrust::reduce(policy, reached, reached + n, 0.0) * (longest / unit_area);
        if (wanted > 0.0 && got > 0.0 && std::isfinite(wanted / got)) {
            solve_report.length_scale = wanted / got;
            thrust::transform(policy, x.begin(), x.end(), x.begin(), Scale{float(solve_report.length_scale)});
        }
    }
    refit_normals(x.data());
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
