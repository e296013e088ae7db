// solve_normals: the scaled normals of a point cloud that best give chosen
// winding numbers at chosen places. The field is linear in the normals, w =
// M n, with M the fast evaluation (compute) and M^T its exact transpose (the
// gradient of compute with respect to the normals). With row weights W (1 at
// the cloud's own points, alpha_extra at the extra points) the solver
// minimises |W^1/2 (M n - t)|^2 + lambda |n|^2 by conjugate gradients on the
// normal equations in their least-squares form (CGLS), each iteration one
// product by M and one by M^T.

#include "gpu.h"
#include "kernels/gradients/scatter_rows.h"
#include "nolith_cuda/nolith_backend.h"
#include "records.h"
#include "utils/cuda_check.h"
#include "utils/scoped_device.h"
#include "utils/stream_vector.h"
#include "utils/thrust_policy.h"

#include <thrust/extrema.h>
#include <thrust/functional.h>
#include <thrust/gather.h>
#include <thrust/inner_product.h>
#include <thrust/sequence.h>
#include <thrust/transform.h>

#include <cmath>
#include <stdexcept>
#include <type_traits>

namespace {

// The stopping rule: the gradient of the objective has shrunk to 1% of its
// first value. The products carry the fast evaluation's error (half
// precision expansions, about 1e-3 of the field); on point sets sampled from
// closed meshes, going from 1% to 0.1% changed under 1% of the solved
// orientations at twice the iterations. The cap (solver_iteration_cap, 100)
// bounds a solve at 200 fast evaluations of the whole cloud.
constexpr double kTolerance = 1e-2;
// Tikhonov weight, relative to the operator's scale |M p|^2 / |p|^2 measured
// on the first search direction: it picks, among normal fields that fit
// equally, the smallest, and keeps the system well posed where the targets
// do not determine the normals.
constexpr double kRelativeRegularisation = 1e-3;
// The products' smoothing epsilon as a fraction of the cloud's longest
// extent: what the query default (1/250) is to a unit-sized cloud. An
// epsilon fixed in caller units would smooth a cloud in micrometres into
// one blob and leave one in millimetres unsmoothed: the solved normals
// would depend on the data's units.
constexpr float kRelativeEpsilon = 0.004f;

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

    // Products by W^1/2 M and M^T W^1/2. The normals are scaled for the
    // product so that the expansions stay well inside half precision: about
    // the area a point of a unit-sized cloud stands for.
    const float unit_area = 1.0f / (float(n) * scene.scene_scale * scene.scene_scale);
    // code_scale is 1 / longest extent, 0 for a cloud without extent (then the default).
    const float epsilon = scene.code_scale > 0.0f ? kRelativeEpsilon / scene.code_scale : -1.0f;
    const auto forward = [&](const Vector& normals, Vector& out) {
        const float largest = max_abs(normals);
        if (!(largest > 0.0f)) {
            thrust::fill(policy, out.begin(), out.end(), 0.0f);
            Vector zeros = vector(3 * n);
            thrust::fill(policy, zeros.begin(), zeros.end(), 0.0f);
            refit_normals(zeros.data());
            compute(query_data, rows, -1.0f, epsilon, 0);  // the product the transpose follows
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
    forward(x, q);  // zero normals: sets up the query that the transposes follow
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
    refit_normals(x.data());
}

template class NolithBackend<Triangle>;
template class NolithBackend<PointNormal>;
