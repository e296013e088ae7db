// The BVH8 traversal and the single-leaf kernel against trees built here on
// the host: per query, a float64 walk with the kernel's acceptance decisions
// (expansions evaluated in float64 from the stored coefficients, near packets
// summed from the element contributions) and float64 brute force.
#include "kernels/traversal/far_field_adjoint.h"
#include "kernels/traversal/gradient_walk.h"
#include "kernels/traversal/traversal.h"
#include "kernels/traversal/work_census.h"
#include "kernels/gradients/tree_adjoint.h"

#include "gpu.h"
#include "host_runtime/test_support.h"
#include "records.h"
#include "utils/cuda_check.h"

#include <gtest/gtest.h>

#include <type_traits>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

namespace {

using test::DeviceBuffer;
#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
namespace hr = nolith_host::testing;
#endif

constexpr double kPi = 3.14159265358979323846;
constexpr float kEpsilon = 0.004f;
constexpr float kHugeBeta = 1e10f;

// ------------------------------------------------------------ float64 maths

struct D3 {
    double x, y, z;
    D3 operator+(const D3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    D3 operator-(const D3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    D3 operator*(double s) const { return {x * s, y * s, z * s}; }
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    double dot(const D3& o) const { return x * o.x + y * o.y + z * o.z; }
    double norm() const { return std::sqrt(dot(*this)); }
};
D3 d3(const Vec3& v) { return {v.x, v.y, v.z}; }
Vec3 f3(const D3& v) { return {float(v.x), float(v.y), float(v.z)}; }
D3 cross(const D3& a, const D3& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

// Element quantities of the expansion: weight, position, scaled normal,
// vertices and the symmetric second moment about a centre (xx xy xz yy yz zz).
double weight(const PointNormal&) { return 1.0; }
double weight(const Triangle& t) { return 0.5 * cross(d3(t.v1) - d3(t.v0), d3(t.v2) - d3(t.v0)).norm(); }
D3 position(const PointNormal& e) { return d3(e.p); }
D3 position(const Triangle& t) { return (d3(t.v0) + d3(t.v1) + d3(t.v2)) * (1.0 / 3.0); }
D3 scaled_normal(const PointNormal& e) { return d3(e.n); }
D3 scaled_normal(const Triangle& t) { return cross(d3(t.v1) - d3(t.v0), d3(t.v2) - d3(t.v0)) * 0.5; }
std::vector<D3> vertices(const PointNormal& e) { return {d3(e.p)}; }
std::vector<D3> vertices(const Triangle& t) { return {d3(t.v0), d3(t.v1), d3(t.v2)}; }
constexpr int kPairJ[6] = {0, 0, 0, 1, 1, 2};
constexpr int kPairK[6] = {0, 1, 2, 1, 2, 2};
void second_moment(const PointNormal& e, const D3& com, double s[6]) {
    const D3 d = d3(e.p) - com;
    for (int p = 0; p < 6; ++p) s[p] = d[kPairJ[p]] * d[kPairK[p]];
}
void second_moment(const Triangle& t, const D3& com, double s[6]) {
    const D3 m[3] = {(d3(t.v0) + d3(t.v1)) * 0.5 - com, (d3(t.v1) + d3(t.v2)) * 0.5 - com,
                     (d3(t.v0) + d3(t.v2)) * 0.5 - com};
    for (int p = 0; p < 6; ++p) {
        s[p] = 0.0;
        for (const D3& e : m) s[p] += e[kPairJ[p]] * e[kPairK[p]] / 3.0;
    }
}

// The exact element contributions, evaluated in float64.
double exact_contribution(const Triangle& t, const D3& q, double) {
    const D3 a = d3(t.v0) - q, b = d3(t.v1) - q, c = d3(t.v2) - q;
    const double la = a.norm(), lb = b.norm(), lc = c.norm();
    const double det = a.dot(cross(b, c));
    const double product = la * lb * lc;
    const double den = product + a.dot(b) * lc + a.dot(c) * lb + b.dot(c) * la;
    if (den <= product && std::fabs(det) <= 1e-12 * product) return 0.0;  // in the plane: principal value
    return std::atan2(det, den) / (2.0 * kPi);
}
double exact_contribution(const PointNormal& e, const D3& q, double inv_epsilon) {
    const D3 d = d3(e.p) - q;
    const double r = d.norm();
    if (r * r < 1e-18) return 0.0;
    const double x = inv_epsilon * r;
    double k;
    if (x >= 2.0) {
        k = 1.0 / (r * r * r);
    } else if (x < 0.1) {
        k = inv_epsilon * inv_epsilon * inv_epsilon * 4.0 / (3.0 * std::sqrt(kPi));
    } else {
        k = (std::erf(x) - 2.0 / std::sqrt(kPi) * x * std::exp(-x * x)) / (r * r * r);
    }
    return k * d.dot(scaled_normal(e)) / (4.0 * kPi);
}

// ------------------------------------------------------------- geometry

// Spatially coherent order, so that packets are compact.
std::uint64_t morton(const D3& p) {
    std::uint64_t code = 0;
    std::uint64_t c[3];
    for (int a = 0; a < 3; ++a) c[a] = std::uint64_t(std::clamp((p[a] + 2.0) / 4.0, 0.0, 0.999999) * 1024.0);
    for (int bit = 9; bit >= 0; --bit)
        for (int a = 0; a < 3; ++a) code = (code << 1) | ((c[a] >> bit) & 1u);
    return code;
}

template <typename G>
void sort_along_curve(std::vector<G>& elements) {
    std::stable_sort(elements.begin(), elements.end(),
                     [](const G& a, const G& b) { return morton(position(a)) < morton(position(b)); });
}

// Surface samples of the sphere |x - centre| = radius, outward, each standing
// for `area`.
D3 random_direction(std::mt19937& rng) {
    std::normal_distribution<double> normal;
    D3 d{normal(rng), normal(rng), normal(rng)};
    return d * (1.0 / d.norm());
}

template <typename G>
std::vector<G> sphere_elements(std::size_t n, D3 centre, double radius, double size, std::mt19937& rng);

template <>
std::vector<PointNormal> sphere_elements(std::size_t n, D3 centre, double radius, double size, std::mt19937& rng) {
    std::vector<PointNormal> out;
    for (std::size_t i = 0; i < n; ++i) {
        const D3 u = random_direction(rng);
        out.push_back({f3(centre + u * radius), f3(u * (size * size))});
    }
    return out;
}

// Small triangles tangent to the sphere, counter-clockwise seen from outside.
template <>
std::vector<Triangle> sphere_elements(std::size_t n, D3 centre, double radius, double size, std::mt19937& rng) {
    std::uniform_real_distribution<double> angle(0.0, 2.0 * kPi);
    std::vector<Triangle> out;
    for (std::size_t i = 0; i < n; ++i) {
        const D3 u = random_direction(rng);
        const D3 helper = std::fabs(u.x) < 0.9 ? D3{1, 0, 0} : D3{0, 1, 0};
        D3 e1 = cross(u, helper);
        e1 = e1 * (1.0 / e1.norm());
        const D3 e2 = cross(u, e1);
        const double a0 = angle(rng);
        D3 v[3];
        for (int k = 0; k < 3; ++k) {
            const double a = a0 + k * 2.0 * kPi / 3.0;
            v[k] = centre + u * radius + (e1 * std::cos(a) + e2 * std::sin(a)) * size;
        }
        out.push_back({f3(v[0]), f3(v[1]), f3(v[2])});
    }
    return out;
}

// Component planes: both records are their components as packed floats.
template <typename G>
std::vector<float> planes(const std::vector<G>& elements) {
    constexpr std::size_t components = sizeof(G) / sizeof(float);
    const std::size_t n = elements.size();
    std::vector<float> p(components * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < components; ++c) p[c * n + i] = reinterpret_cast<const float*>(&elements[i])[c];
    return p;
}

// ------------------------------------------------------------------ tree

// Centre, radius and expansion of a run of sorted elements, about their
// weighted centre, in float64 (the traversal reads no box corners).
struct Summary {
    D3 com{0, 0, 0};
    double radius = 0.0;
    TailorCoefficients coefficients{};
};

template <typename G>
Summary summarize(const std::vector<G>& elements, std::size_t begin, std::size_t end) {
    Summary s;
    double total = 0.0;
    D3 weighted{0, 0, 0};
    for (std::size_t i = begin; i < end; ++i) {
        total += weight(elements[i]);
        weighted = weighted + position(elements[i]) * weight(elements[i]);
    }
    if (total > 0.0) s.com = weighted * (1.0 / total);
    s.com = d3(f3(s.com));  // the expansion centre as the records store it
    double z[3] = {}, m[9] = {}, t[18] = {};
    for (std::size_t i = begin; i < end; ++i) {
        const G& e = elements[i];
        for (const D3& v : vertices(e)) s.radius = std::max(s.radius, (v - s.com).norm());
        const D3 n = scaled_normal(e);
        const D3 d = position(e) - s.com;
        double moment[6];
        second_moment(e, s.com, moment);
        for (int r = 0; r < 3; ++r) {
            z[r] += n[r];
            for (int c = 0; c < 3; ++c) m[3 * r + c] += d[r] * n[c];
        }
        for (int p = 0; p < 6; ++p)
            for (int i2 = 0; i2 < 3; ++i2) t[3 * p + i2] += 0.5 * moment[p] * n[i2];
    }
    s.coefficients.zero_order = f3({z[0], z[1], z[2]});
    for (int i = 0; i < 9; ++i) s.coefficients.first_order.m[i] = float(m[i]);
    for (int i = 0; i < 18; ++i) s.coefficients.second_order.t[i] = float(t[i]);
    return s;
}

AABB to_aabb(const Summary& s) { return AABB{{}, {}, f3(s.com), __float2half_rn(float(s.radius))}; }

BVH8Node to_node(const Summary& s) {
    BVH8Node node{};
    node.com = f3(s.com);
    node.max_dist = __float2half_rn(float(s.radius));
    return node;
}

struct HostTree {
    std::vector<PacketRange> packets;
    std::vector<BVH8Node> nodes;
    std::vector<LeafPointers> leaf_pointers;
    std::vector<TailorCoefficientsTraceFree> node_far_field;
    std::vector<TailorCoefficientsTraceFree> leaf_far_field;
    std::vector<AABB> leaf_aabbs;
    std::uint32_t levels = 0;

    std::uint32_t add_node() {
        nodes.push_back(BVH8Node{});
        LeafPointers none;
        std::fill(std::begin(none.leaf_index), std::end(none.leaf_index), INVALID_INDEX);
        leaf_pointers.push_back(none);
        node_far_field.push_back(TailorCoefficientsTraceFree{});
        return std::uint32_t(nodes.size() - 1);
    }

    // The elements of packets first .. first + count - 1: begin .. end - 1.
    std::size_t begin(std::uint32_t first) const { return packets[first].first; }
    std::size_t end(std::uint32_t first, std::uint32_t count) const {
        const PacketRange& last = packets[first + count - 1];
        return std::size_t(last.first) + last.count;
    }
};

// Runs of 32 elements, the last one shorter.
std::vector<PacketRange> fixed_packets(std::size_t n) {
    std::vector<PacketRange> packets;
    for (std::uint32_t first = 0; first < n; first += 32) packets.push_back({first, std::min<std::uint32_t>(32, n - first)});
    return packets;
}

// Packets of random sizes 1 .. 32, as the build's cut makes them.
std::vector<PacketRange> random_packets(std::size_t n, std::mt19937& rng) {
    std::vector<PacketRange> packets;
    for (std::uint32_t first = 0; first < n;) {
        const std::uint32_t count =
            std::min<std::uint32_t>(std::uniform_int_distribution<std::uint32_t>(1, 32)(rng), std::uint32_t(n) - first);
        packets.push_back({first, count});
        first += count;
    }
    return packets;
}

template <typename G>
void add_leaf_records(HostTree& tree, const std::vector<G>& elements, const std::vector<PacketRange>& packets) {
    tree.packets = packets;
    for (std::uint32_t p = 0; p < packets.size(); ++p) {
        const Summary s = summarize(elements, tree.begin(p), tree.end(p, 1));
        tree.leaf_aabbs.push_back(to_aabb(s));
        tree.leaf_far_field.push_back(TailorCoefficientsTraceFree::from_moments(s.coefficients));
    }
}

// A BVH8 over consecutive packets, built level by level: a run of packets
// splits into up to 8 runs; runs of one packet become leaf slots, longer ones
// internal children, stored contiguously in slot order. Surplus packets go to
// odd slots first, so leaf and internal slots interleave.
template <typename G>
HostTree build_tree(const std::vector<G>& elements, const std::vector<PacketRange>& table = {}) {
    HostTree tree;
    add_leaf_records(tree, elements, table.empty() ? fixed_packets(elements.size()) : table);
    const std::uint32_t packets = std::uint32_t(tree.leaf_aabbs.size());
    struct Pending {
        std::uint32_t node, first, count, level;
    };
    std::deque<Pending> pending{{tree.add_node(), 0, packets, 1}};
    while (!pending.empty()) {
        const Pending job = pending.front();
        pending.pop_front();
        tree.levels = std::max(tree.levels, job.level);
        const Summary s = summarize(elements, tree.begin(job.first), tree.end(job.first, job.count));
        BVH8Node node = to_node(s);
        tree.node_far_field[job.node] = TailorCoefficientsTraceFree::from_moments(s.coefficients);
        const std::uint32_t groups = std::min(8u, job.count);
        std::uint32_t size[8];
        std::uint32_t extra = job.count - groups * (job.count / groups);
        for (std::uint32_t j = 0; j < groups; ++j) size[j] = job.count / groups;
        for (std::uint32_t pass = 0; pass < 2; ++pass)
            for (std::uint32_t j = 1 - pass; j < groups && extra > 0; j += 2, --extra) ++size[j];
        node.first_child = std::uint32_t(tree.nodes.size());
        std::uint32_t start = job.first;
        for (std::uint32_t j = 0; j < groups; ++j) {
            if (size[j] == 1) {
                node.setChildMeta(int(j), Leaf);
                tree.leaf_pointers[job.node].leaf_index[j] = start;
            } else {
                node.setChildMeta(int(j), Internal);
                pending.push_back({tree.add_node(), start, size[j], job.level + 1});
            }
            start += size[j];
        }
        tree.nodes[job.node] = node;
    }
    return tree;
}

// A tree of `levels` levels whose walk fills the stack to its bound: spine
// node k has seven twigs (internal nodes with two leaf packets) in slots 0..6
// and the next spine node in slot 7, which is popped first; the last spine
// node has eight twigs. Spine records have no expansion (zero coefficients)
// and a radius of 1.8 about the origin, which bounds points in the unit box.
template <typename G>
HostTree build_caterpillar(const std::vector<G>& elements, std::uint32_t levels) {
    HostTree tree;
    add_leaf_records(tree, elements, fixed_packets(elements.size()));
    tree.levels = levels;
    std::uint32_t spine = tree.add_node();
    std::uint32_t packet = 0;
    for (std::uint32_t k = 0; k + 2 <= levels; ++k) {
        const bool last = k + 2 == levels;
        BVH8Node node{};
        node.max_dist = __float2half_rn(1.8f);
        node.first_child = std::uint32_t(tree.nodes.size());
        std::uint32_t children[8];
        for (std::uint32_t j = 0; j < 8; ++j) {
            node.setChildMeta(int(j), Internal);
            children[j] = tree.add_node();
        }
        for (std::uint32_t j = 0; j < (last ? 8u : 7u); ++j, packet += 2) {
            const Summary s = summarize(elements, tree.begin(packet), tree.end(packet, 2));
            BVH8Node twig = to_node(s);
            twig.setChildMeta(0, Leaf);
            twig.setChildMeta(1, Leaf);
            tree.nodes[children[j]] = twig;
            tree.node_far_field[children[j]] = TailorCoefficientsTraceFree::from_moments(s.coefficients);
            tree.leaf_pointers[children[j]].leaf_index[0] = packet;
            tree.leaf_pointers[children[j]].leaf_index[1] = packet + 1;
        }
        tree.nodes[spine] = node;
        spine = children[7];
    }
    return tree;
}

std::uint32_t caterpillar_packets(std::uint32_t levels) { return 2 * (7 * (levels - 2) + 8); }

// ------------------------------------------------------------ reference

struct Expected {
    double value = 0.0;
    double tolerance = 1e-6;
    // The walk's work for this query, as the census counts it.
    std::uint32_t visits = 0, node_far_field = 0, leaf_far_field = 0, exact_packets = 0, exact_elements = 0;
};

// The kernel's acceptance test, in the same float arithmetic.
// Points are only approximated once the whole node lies beyond the
// regularisation distance 2 epsilon (`near_field`; 0 for triangles), except
// with beta = 0, which asks for the root alone.
bool accepts(const Vec3& q, const Vec3& com, __half max_dist, float beta_sq, float near_field) {
    const float r = __half2float(max_dist);
    const float d2 = (q - com).length2();
    return r > 0.0f && d2 > beta_sq * (r * r) &&
           (near_field == 0.0f || beta_sq == 0.0f || d2 > (r + near_field) * (r + near_field));
}

// The record's expansion in float64, with a bound for the kernel's float32
// arithmetic: a few roundings of each order's terms.
Expected expansion(const TailorCoefficientsTraceFree& record, const Vec3& com, const Vec3& q) {
    const D3 d = d3(com) - d3(q);
    const double rho = 1.0 / d.norm();
    const double x = d.x * rho, y = d.y * rho, z = d.z * rho;
    const double xx = x * x, yy = y * y, zz = z * z;
    const double basis_q[5] = {xx - zz, yy - zz, x * y, x * z, y * z};
    const double basis_c[7] = {x * (xx - 3 * zz), y * (xx - zz), z * (3 * xx - zz), x * (yy - zz),
                               x * y * z,          y * (yy - 3 * zz), z * (3 * yy - zz)};
    double w[3] = {}, magnitude[3] = {};
    const double n[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) w[0] += record.zero_order[i] * n[i], magnitude[0] += std::fabs(record.zero_order[i]);
    for (int k = 0; k < 5; ++k) w[1] += record.first_order[k] * basis_q[k], magnitude[1] += std::fabs(record.first_order[k]);
    for (int k = 0; k < 7; ++k) w[2] += record.second_order[k] * basis_c[k], magnitude[2] += 3 * std::fabs(record.second_order[k]);
    Expected e;
    e.value = rho * rho * (w[0] + rho * (w[1] + rho * w[2]));
    e.tolerance = 1e-5 * rho * rho * (magnitude[0] + rho * (magnitude[1] + rho * magnitude[2])) + std::fabs(e.value) * 1e-6;
    return e;
}

// The same expansion in float64 from float64 coefficients.
double expansion_value(const double* z, const double* m, const double* t, const D3& com, const D3& q) {
    const D3 d = com - q;
    const double r = d.norm();
    const D3 n = d * (1.0 / r);
    double quadratic = 0.0, cubic = 0.0, b_dot_n = 0.0, a_dot_n = 0.0, w0 = 0.0;
    for (int i = 0; i < 3; ++i) {
        w0 += z[i] * n[i];
        for (int j = 0; j < 3; ++j) {
            quadratic += m[3 * i + j] * n[i] * n[j];
            b_dot_n += t[3 * symmetric_pair_index(i, j) + j] * n[i];
            a_dot_n += t[3 * symmetric_pair_index(j, j) + i] * n[i];
            for (int l = 0; l < 3; ++l) cubic += t[3 * symmetric_pair_index(i, j) + l] * n[i] * n[j] * n[l];
        }
    }
    const double w1 = m[0] + m[4] + m[8] - 3.0 * quadratic;
    const double w2 = 15.0 * cubic - 6.0 * b_dot_n - 3.0 * a_dot_n;
    return (w0 / (r * r) + w1 / (r * r * r) + w2 / (r * r * r * r)) / (4.0 * kPi);
}

template <typename G>
struct Scene {
    std::vector<G> elements;
    HostTree tree;
};

template <typename G>
void add_packet(const std::vector<G>& elements, const PacketRange& packet, const Vec3& q, float inv_epsilon,
                Expected& out) {
    out.exact_packets += 1;
    for (std::size_t i = packet.first; i < std::size_t(packet.first) + packet.count; ++i) {
        const float c = elements[i].contributionToQuery(q, inv_epsilon);
        out.value += c;
        out.tolerance += 1e-5 * std::fabs(c);
        out.exact_elements += 1;
    }
}

// The walk the kernel must take for one query: accepted nodes and packets
// give their expansion, near packets their exact sum.
template <typename G>
void visit(const Scene<G>& scene, std::uint32_t v, const Vec3& q, float beta_sq, float inv_epsilon, Expected& out) {
    const float near_field = std::is_same<G, PointNormal>::value ? 2.0f / inv_epsilon : 0.0f;
    const BVH8Node& node = scene.tree.nodes[v];
    out.visits += 1;
    if (accepts(q, node.com, node.max_dist, beta_sq, near_field)) {
        const Expected e = expansion(scene.tree.node_far_field[v], node.com, q);
        out.value += e.value;
        out.tolerance += e.tolerance;
        out.node_far_field += 1;
        return;
    }
    std::uint32_t rank = 0;
    for (int slot = 0; slot < 8; ++slot) {
        const ChildType kind = node.getChildMeta(slot);
        if (kind == Empty) continue;
        if (kind == Leaf) {
            const std::uint32_t p = scene.tree.leaf_pointers[v].leaf_index[slot];
            const AABB& box = scene.tree.leaf_aabbs[p];
            if (accepts(q, box.com, box.max_dist, beta_sq, near_field)) {
                const Expected e = expansion(scene.tree.leaf_far_field[p], box.com, q);
                out.value += e.value;
                out.tolerance += e.tolerance;
                out.leaf_far_field += 1;
            } else {
                add_packet(scene.elements, scene.tree.packets[p], q, inv_epsilon, out);
            }
        } else {
            visit(scene, node.first_child + rank++, q, beta_sq, inv_epsilon, out);
        }
    }
}

template <typename G>
Expected reference(const Scene<G>& scene, const Vec3& q, float beta, float epsilon) {
    Expected out;
    visit(scene, 0, q, beta * beta, 1.0f / epsilon, out);
    return out;
}

// ------------------------------------------------------------- launching

std::vector<std::uint32_t> shuffled_order(std::size_t n, std::mt19937& rng) {
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), rng);
    return order;
}

std::vector<Vec3> random_queries(std::size_t n, double extent, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-extent, extent);
    std::vector<Vec3> q(n);
    for (Vec3& v : q) v = f3({u(rng), u(rng), u(rng)});
    return q;
}

template <typename G>
class Evaluator {
public:
    Evaluator(const Scene<G>& scene, const std::vector<Vec3>& queries, const std::vector<std::uint32_t>& order)
        : num_elements_(std::uint32_t(scene.elements.size())),
          num_packets_(std::uint32_t(scene.tree.packets.size())),
          num_queries_(std::uint32_t(queries.size())),
          levels_(scene.tree.levels),
          planes_(planes(scene.elements)),
          queries_(queries),
          order_(order),
          out_(std::max<std::size_t>(queries.size(), 1)),
          counter_(1) {
        if (!scene.tree.packets.empty()) packets_ = std::make_unique<DeviceBuffer<PacketRange>>(scene.tree.packets);
        if (!scene.tree.nodes.empty()) {
            nodes_ = std::make_unique<DeviceBuffer<BVH8Node>>(scene.tree.nodes);
            leaf_pointers_ = std::make_unique<DeviceBuffer<LeafPointers>>(scene.tree.leaf_pointers);
            node_far_field_ = std::make_unique<DeviceBuffer<TailorCoefficientsTraceFree>>(scene.tree.node_far_field);
            leaf_far_field_ = std::make_unique<DeviceBuffer<TailorCoefficientsTraceFree>>(scene.tree.leaf_far_field);
            leaf_aabbs_ = std::make_unique<DeviceBuffer<AABB>>(scene.tree.leaf_aabbs);
        }
        EXPECT_CUDA(cudaStreamCreate(&stream_));
    }
    ~Evaluator() { cudaStreamDestroy(stream_); }

    ComputeWindingNumbersParams<G> params(float beta, float epsilon) const {
        ComputeWindingNumbersParams<G> p{};
        p.queries = queries_.get();
        p.query_order = order_.get();
        if (nodes_) {
            p.nodes = nodes_->get();
            p.leaf_pointers = leaf_pointers_->get();
            p.node_far_field = node_far_field_->get();
            p.leaf_far_field = leaf_far_field_->get();
            p.leaf_aabbs = leaf_aabbs_->get();
        }
        if (packets_) p.packets = packets_->get();
        p.num_packets = num_packets_;
        p.geometry = SoAView<G>{planes_.get(), num_elements_};
        p.num_queries = num_queries_;
        p.num_elements = num_elements_;
        p.out = out_.get();
        p.work_counter = counter_.get();
        p.beta = beta;
        p.epsilon = epsilon;
        p.tree_levels = levels_;
        p.scene_scale = 1.0f;
        return p;
    }

    cudaError_t launch(const ComputeWindingNumbersParams<G>& p) { return compute_winding_numbers<G>(p, 0, stream_); }

    std::vector<float> run(float beta, float epsilon = kEpsilon) {
        EXPECT_CUDA(launch(params(beta, epsilon)));
        EXPECT_CUDA(cudaStreamSynchronize(stream_));
        std::vector<float> result = out_.download();
        result.resize(num_queries_);
        return result;
    }

    // The gradient walk and the tree's adjoint pass: dL/d(element component)
    // per sorted element, planes of stride num_elements (scene scale 1).
    std::vector<float> gradient(float beta, const std::vector<float>& grad_output) {
        constexpr std::size_t components = sizeof(G) / sizeof(float);
        const std::size_t packets = num_packets_, nodes = nodes_->download().size();
        constexpr std::size_t adjoint = nolith_traversal::kAdjointSize;
        DeviceBuffer<float> g(grad_output), node_adjoints(adjoint * nodes), packet_adjoints(adjoint * packets),
            element_planes(components * num_elements_);
        node_adjoints.zero();
        packet_adjoints.zero();
        element_planes.zero();
        const ComputeWindingNumbersParams<G> p = params(beta, kEpsilon);
        EXPECT_CUDA(compute_gradient_walk<G>(
            p, 0, stream_, GradientTargets{g.get(), node_adjoints.get(), packet_adjoints.get(), element_planes.get()}));
        const TreeAdjointParams<G> tree{p.nodes,
                                        p.leaf_pointers,
                                        p.node_far_field,
                                        p.leaf_far_field,
                                        p.leaf_aabbs,
                                        p.packets,
                                        p.num_packets,
                                        p.geometry,
                                        num_elements_,
                                        std::uint32_t(nodes),
                                        levels_,
                                        1.0f,
                                        node_adjoints.get(),
                                        packet_adjoints.get(),
                                        element_planes.get()};
        EXPECT_CUDA(tree_adjoint_to_elements<G>(tree, stream_));
        EXPECT_CUDA(cudaStreamSynchronize(stream_));
        return element_planes.download();
    }

    // The census walk's counts per batch of 32 queries.
    std::vector<WorkCensus> census(float beta, float epsilon = kEpsilon) {
        DeviceBuffer<WorkCensus> counts((num_queries_ + 31) / 32);
        DeviceBuffer<std::uint32_t> packet_passes(std::max<std::size_t>(num_packets_, 1));
        EXPECT_CUDA(compute_work_census<G>(params(beta, epsilon), 0, stream_, counts.get(), packet_passes.get()));
        EXPECT_CUDA(cudaStreamSynchronize(stream_));
        return counts.download();
    }

private:
    std::uint32_t num_elements_, num_packets_, num_queries_, levels_;
    DeviceBuffer<float> planes_;
    DeviceBuffer<Vec3> queries_;
    DeviceBuffer<std::uint32_t> order_;
    DeviceBuffer<float> out_;
    DeviceBuffer<std::uint32_t> counter_;
    std::unique_ptr<DeviceBuffer<PacketRange>> packets_;
    std::unique_ptr<DeviceBuffer<BVH8Node>> nodes_;
    std::unique_ptr<DeviceBuffer<LeafPointers>> leaf_pointers_;
    std::unique_ptr<DeviceBuffer<TailorCoefficientsTraceFree>> node_far_field_;
    std::unique_ptr<DeviceBuffer<TailorCoefficientsTraceFree>> leaf_far_field_;
    std::unique_ptr<DeviceBuffer<AABB>> leaf_aabbs_;
    cudaStream_t stream_ = nullptr;
};

template <typename G>
double exact_sum(const std::vector<G>& elements, const Vec3& q, float epsilon) {
    double sum = 0.0;
    for (const G& e : elements) sum += exact_contribution(e, d3(q), 1.0 / double(epsilon));
    return sum;
}

template <typename G>
class TraversalTest : public test::RuntimeTest {};
using GeometryKinds = ::testing::Types<Triangle, PointNormal>;
TYPED_TEST_SUITE(TraversalTest, GeometryKinds);

// 2233 elements (packets of 1 to 32 elements) on a unit sphere, in a
// three-level tree with interleaved leaf and internal slots; 77 queries in
// shuffled order, among them the root's centre, a packet's centre and an
// element's vertex. For every beta each lane must take exactly its own walk:
// huge beta sums every packet exactly, beta 0 gives the root expansion alone
// except at the root's centre (which descends), and the middle values mix
// accepted and descended subtrees within a warp. One work counter serves
// every launch, so each launch must reset it. The census walk counts, over
// its batches, exactly the work of the queries' own walks.
TYPED_TEST(TraversalTest, EveryLaneFollowsItsOwnWalk) {
    using G = TypeParam;
    std::mt19937 rng(7);
    Scene<G> scene;
    scene.elements = sphere_elements<G>(32 * 70 - 7, {0.1, -0.2, 0.05}, 1.0, 0.04, rng);
    sort_along_curve(scene.elements);
    scene.tree = build_tree(scene.elements, random_packets(scene.elements.size(), rng));
    ASSERT_EQ(scene.tree.levels, 3u);

    std::vector<Vec3> queries = random_queries(77, 1.6, rng);
    queries[3] = scene.tree.nodes[0].com;
    queries[40] = scene.tree.leaf_aabbs[17].com;
    queries[76] = f3(vertices(scene.elements[100])[0]);
    const std::vector<std::uint32_t> order = shuffled_order(queries.size(), rng);
    Evaluator<G> evaluator(scene, queries, order);

    for (float beta : {kHugeBeta, 0.0f, 0.8f, 2.0f, 2.3f}) {
        SCOPED_TRACE(::testing::Message() << "beta " << beta);
        const std::vector<float> result = evaluator.run(beta);
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const Expected e = reference(scene, queries[i], beta, kEpsilon);
            EXPECT_NEAR(result[i], e.value, e.tolerance) << "query " << i;
            if (beta == kHugeBeta) {
                EXPECT_NEAR(result[i], exact_sum(scene.elements, queries[i], kEpsilon), 1e-4) << "query " << i;
            }
            if (beta == 0.0f && i != 3) {
                const Expected root = expansion(scene.tree.node_far_field[0], scene.tree.nodes[0].com, queries[i]);
                EXPECT_NEAR(result[i], root.value, root.tolerance) << "query " << i;
            }
        }
        WorkCensus want{}, got{};
        want.queries = static_cast<std::uint32_t>(queries.size());
        for (const Vec3& q : queries) {
            const Expected e = reference(scene, q, beta, kEpsilon);
            want.active_lane_pops += e.visits;
            want.node_far_field_evals += e.node_far_field;
            want.leaf_far_field_evals += e.leaf_far_field;
            want.exact_passes += e.exact_packets;
            want.exact_element_evals += e.exact_elements;
        }
        for (const WorkCensus& c : evaluator.census(beta)) {
            got.queries += c.queries;
            got.active_lane_pops += c.active_lane_pops;
            got.node_far_field_evals += c.node_far_field_evals;
            got.leaf_far_field_evals += c.leaf_far_field_evals;
            got.exact_passes += c.exact_passes;
            got.exact_element_evals += c.exact_element_evals;
            EXPECT_LE(c.node_far_field_steps, c.node_pops);
            EXPECT_LE(c.exact_packet_loads, c.exact_passes);
            EXPECT_LE(c.active_lane_pops, 32 * c.node_pops);
        }
        EXPECT_EQ(0, std::memcmp(&got, &want, sizeof got)) << "census: queries " << got.queries << "/" << want.queries
                                                             << ", visits " << got.active_lane_pops << "/"
                                                             << want.active_lane_pops << ", exact passes "
                                                             << got.exact_passes << "/" << want.exact_passes;
    }
}


// ------------------------------------------------------- gradient check

// The approximation as a smooth function of the elements, in float64: each
// query keeps the decisions of its walk on the built tree (which records it
// expands, which packets it sums), and every expansion is recomputed from the
// current elements about their current weighted centre.
template <typename G>
struct FixedWalk {
    struct Term {
        std::uint32_t query, first, end;  // elements first .. end-1
        bool far;
    };
    std::vector<Term> terms;

    static void packet_range(const HostTree& tree, std::uint32_t v, std::uint32_t& lo, std::uint32_t& hi) {
        const BVH8Node& node = tree.nodes[v];
        std::uint32_t rank = 0;
        for (int slot = 0; slot < 8; ++slot) {
            const ChildType kind = node.getChildMeta(slot);
            if (kind == Leaf) {
                lo = std::min(lo, tree.leaf_pointers[v].leaf_index[slot]);
                hi = std::max(hi, tree.leaf_pointers[v].leaf_index[slot] + 1);
            } else if (kind == Internal) {
                packet_range(tree, node.first_child + rank++, lo, hi);
            }
        }
    }

    void collect(const Scene<G>& scene, std::uint32_t v, std::uint32_t query, const Vec3& q, float beta_sq,
                 float near_field) {
        const HostTree& tree = scene.tree;
        const BVH8Node& node = tree.nodes[v];
        if (accepts(q, node.com, node.max_dist, beta_sq, near_field)) {
            std::uint32_t lo = ~0u, hi = 0;
            packet_range(tree, v, lo, hi);
            terms.push_back({query, std::uint32_t(tree.begin(lo)), std::uint32_t(tree.end(lo, hi - lo)), true});
            return;
        }
        std::uint32_t rank = 0;
        for (int slot = 0; slot < 8; ++slot) {
            const ChildType kind = node.getChildMeta(slot);
            if (kind == Leaf) {
                const std::uint32_t p = tree.leaf_pointers[v].leaf_index[slot];
                const AABB& box = tree.leaf_aabbs[p];
                terms.push_back({query, std::uint32_t(tree.begin(p)), std::uint32_t(tree.end(p, 1)),
                                 accepts(q, box.com, box.max_dist, beta_sq, near_field)});
            } else if (kind == Internal) {
                collect(scene, node.first_child + rank++, query, q, beta_sq, near_field);
            }
        }
    }

    // sum_q g_q w_q of the approximation with the current elements.
    double loss(const std::vector<G>& elements, const std::vector<Vec3>& queries, const std::vector<float>& g) const {
        double total = 0.0;
        for (const Term& t : terms) {
            const D3 q = d3(queries[t.query]);
            double value = 0.0;
            if (t.far) {
                double weight_sum = 0.0;
                D3 com{0, 0, 0};
                for (std::uint32_t i = t.first; i < t.end; ++i) {
                    weight_sum += weight(elements[i]);
                    com = com + position(elements[i]) * weight(elements[i]);
                }
                com = com * (1.0 / weight_sum);
                double z[3] = {}, m[9] = {}, tt[18] = {};
                for (std::uint32_t i = t.first; i < t.end; ++i) {
                    const D3 n = scaled_normal(elements[i]), d = position(elements[i]) - com;
                    double moment[6];
                    second_moment(elements[i], com, moment);
                    for (int r = 0; r < 3; ++r) {
                        z[r] += n[r];
                        for (int c = 0; c < 3; ++c) m[3 * r + c] += d[r] * n[c];
                    }
                    for (int p = 0; p < 6; ++p)
                        for (int c = 0; c < 3; ++c) tt[3 * p + c] += 0.5 * moment[p] * n[c];
                }
                value = expansion_value(z, m, tt, com, q);
            } else {
                for (std::uint32_t i = t.first; i < t.end; ++i) value += exact_contribution(elements[i], q, 1.0 / kEpsilon);
            }
            total += g[t.query] * value;
        }
        return total;
    }
};

// The gradient of the walk is the exact derivative of what it evaluated: it
// matches float64 central differences of the fixed-decision approximation
// for every component of a sample of elements, for positions, normals and
// vertices, at a beta that mixes expansions of nodes and packets with exact
// sums, to the rounding of the stored coefficients.
TYPED_TEST(TraversalTest, GradientIsTheDerivativeOfTheWalk) {
    using G = TypeParam;
    constexpr std::size_t components = sizeof(G) / sizeof(float);
    std::mt19937 rng(17);
    Scene<G> scene;
    scene.elements = sphere_elements<G>(32 * 40 - 5, {0.1, -0.2, 0.05}, 1.0, 0.04, rng);
    sort_along_curve(scene.elements);
    scene.tree = build_tree(scene.elements, random_packets(scene.elements.size(), rng));
    std::vector<Vec3> queries = random_queries(48, 1.6, rng);
    std::normal_distribution<float> normal;
    std::vector<float> g(queries.size());
    for (float& v : g) v = normal(rng);
    const float beta = 1.2f;
    Evaluator<G> evaluator(scene, queries, shuffled_order(queries.size(), rng));
    const std::vector<float> planes = evaluator.gradient(beta, g);

    FixedWalk<G> walk;
    const float near_field = std::is_same<G, PointNormal>::value ? 2.0f * kEpsilon : 0.0f;
    for (std::uint32_t i = 0; i < queries.size(); ++i) walk.collect(scene, 0, i, queries[i], beta * beta, near_field);
    std::size_t far = 0;
    for (const auto& t : walk.terms) far += t.far;
    ASSERT_GT(far, queries.size());  // expansions are in play

    const std::size_t n = scene.elements.size();
    const float h = 1.0f / 1024.0f;
    double largest = 0.0;
    for (float v : planes) largest = std::max(largest, double(std::fabs(v)));
    for (std::size_t i = 0; i < n; i += 37) {
        for (std::size_t c = 0; c < components; ++c) {
            std::vector<G> plus = scene.elements, minus = scene.elements;
            reinterpret_cast<float*>(&plus[i])[c] += h;
            reinterpret_cast<float*>(&minus[i])[c] -= h;
            const double step = double(reinterpret_cast<float*>(&plus[i])[c]) - reinterpret_cast<float*>(&minus[i])[c];
            const double fd = (walk.loss(plus, queries, g) - walk.loss(minus, queries, g)) / step;
            // Points' planes hold dL/dn before dL/dp; their records p before n.
            const std::size_t plane = std::is_same<G, PointNormal>::value ? (c + 3) % 6 : c;
            EXPECT_NEAR(planes[plane * n + i], fd, 1e-4 * largest + 2e-3 * std::fabs(fd))
                << "element " << i << " component " << c;
        }
    }
}

// The walk's record keeps only the trace-free parts of the moments, which
// must give the full expansion's value: for each of the 30 moments alone
// (those that contribute nothing included) and for random moments, the walk
// at the root with beta 0 matches the full expansion in float64, seen from
// five directions.
TEST(FarFieldValue, TraceFreeRecordGivesTheFullExpansion) {
    std::mt19937 rng(3);
    Scene<PointNormal> scene;
    scene.elements = sphere_elements<PointNormal>(64, {0, 0, 0}, 0.5, 0.05, rng);
    scene.tree = build_tree(scene.elements);
    ASSERT_EQ(scene.tree.nodes.size(), 1u);
    const Vec3 com = scene.tree.nodes[0].com;
    std::vector<Vec3> queries;
    for (const D3 dir : {D3{0.3, -0.5, 0.8}, D3{-0.9, 0.2, 0.35}, D3{0.1, 0.95, -0.3}, D3{-0.4, -0.45, -0.8},
                         D3{0.7, 0.6, 0.1}}) {
        queries.push_back(f3(d3(com) + dir * (1.7 / dir.norm())));
    }
    std::uniform_real_distribution<float> random_moment(-1.0f, 1.0f);
    for (int entry = 0; entry <= 30; ++entry) {
        SCOPED_TRACE(::testing::Message() << (entry < 30 ? "moment " : "random moments ") << entry);
        TailorCoefficients moments{};
        float* values = reinterpret_cast<float*>(&moments);
        if (entry < 30) {
            values[entry] = entry % 2 ? 1.0f : -0.75f;
        } else {
            for (int i = 0; i < 30; ++i) values[i] = random_moment(rng);
        }
        double magnitude = 0.0;
        for (int i = 0; i < 30; ++i) magnitude += std::fabs(values[i]);
        scene.tree.node_far_field[0] = TailorCoefficientsTraceFree::from_moments(moments);
        Evaluator<PointNormal> evaluator(scene, queries, shuffled_order(queries.size(), rng));
        const std::vector<float> result = evaluator.run(0.0f);
        double z[3], m[9], t[18];
        for (int i = 0; i < 3; ++i) z[i] = values[i];
        for (int i = 0; i < 9; ++i) m[i] = values[3 + i];
        for (int i = 0; i < 18; ++i) t[i] = values[12 + i];
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const double full = expansion_value(z, m, t, d3(com), d3(queries[i]));
            // 15 and 3/(4 pi) times the moments at distance 1.7: a few float roundings of that.
            EXPECT_NEAR(result[i], full, 1e-6 * magnitude) << "query " << i;
        }
    }
}

// A compact cluster seen from ten times its radius: the root expansion alone
// (beta 2 accepts it) reproduces the float64 dipole sum of the elements.
TYPED_TEST(TraversalTest, FarFieldMatchesTheExactSumOfACompactCluster) {
    using G = TypeParam;
    std::mt19937 rng(11);
    Scene<G> scene;
    // A cap of a sphere: outward normals that do not cancel.
    std::vector<G> all = sphere_elements<G>(400, {0, 0, 0}, 1.0, 0.05, rng);
    for (const G& e : all) {
        if (position(e).x > 0.5 && scene.elements.size() < 64) scene.elements.push_back(e);
    }
    ASSERT_EQ(scene.elements.size(), 64u);
    sort_along_curve(scene.elements);
    scene.tree = build_tree(scene.elements);
    const D3 com = d3(scene.tree.nodes[0].com);
    const double radius = __half2float(scene.tree.nodes[0].max_dist);
    std::vector<Vec3> queries;
    for (const D3 dir : {D3{1, 0.2, -0.1}, D3{0.3, 1, 0.4}, D3{-0.2, -0.5, 1}, D3{1, -1, 0.5}}) {
        queries.push_back(f3(com + dir * (10.0 * radius / dir.norm())));
    }
    Evaluator<G> evaluator(scene, queries, shuffled_order(queries.size(), rng));
    const std::vector<float> result = evaluator.run(2.0f);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const double exact = exact_sum(scene.elements, queries[i], kEpsilon);
        ASSERT_TRUE(accepts(queries[i], scene.tree.nodes[0].com, scene.tree.nodes[0].max_dist, 4.0f, 2.0f * kEpsilon));
        EXPECT_NEAR(result[i], exact, 1e-2 * std::fabs(exact)) << "query " << i;
    }
}

// At most 32 elements: the single-leaf kernel sums every element exactly,
// whatever beta, for 300 queries over two blocks in shuffled order.
TYPED_TEST(TraversalTest, SingleLeafSumsExactly) {
    using G = TypeParam;
    for (std::size_t n : {32u, 20u, 1u}) {
        SCOPED_TRACE(::testing::Message() << n << " elements");
        std::mt19937 rng{unsigned(n)};
        Scene<G> scene;
        scene.elements = sphere_elements<G>(n, {0, 0, 0}, 0.8, 0.2, rng);
        std::vector<Vec3> queries = random_queries(300, 1.2, rng);
        const Vec3 on_element = f3(vertices(scene.elements[0])[0]);
        queries[5] = on_element;
        // Points: within 2 epsilon and within 0.1 epsilon (regularised branches).
        queries[6] = on_element + Vec3{kEpsilon * 0.6f, 0.0f, 0.0f};
        queries[7] = on_element + Vec3{0.0f, kEpsilon * 0.03f, 0.0f};
        Evaluator<G> evaluator(scene, queries, shuffled_order(queries.size(), rng));
        const std::vector<float> result = evaluator.run(0.0f);
        for (std::size_t i = 0; i < queries.size(); ++i) {
            double magnitude = 0.0;
            for (const G& e : scene.elements) magnitude += std::fabs(exact_contribution(e, d3(queries[i]), 1.0 / kEpsilon));
            EXPECT_NEAR(result[i], exact_sum(scene.elements, queries[i], kEpsilon), 1e-5 * magnitude + 1e-6)
                << "query " << i;
        }
    }
}

// Random points in the unit box, 32 per packet of a caterpillar tree.
Scene<PointNormal> caterpillar_scene(std::uint32_t levels, std::mt19937& rng) {
    Scene<PointNormal> scene;
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (std::uint32_t i = 0; i < 32 * caterpillar_packets(levels); ++i) {
        scene.elements.push_back({{u(rng), u(rng), u(rng)}, {u(rng) * 1e-3f, u(rng) * 1e-3f, u(rng) * 1e-3f}});
    }
    scene.tree = build_caterpillar(scene.elements, levels);
    return scene;
}

// Trees whose walk needs the full 7 (d - 1) + 1 stack entries: 10 levels
// (the 64 static entries exactly), 15 levels (a dynamic shared stack) and 500
// levels (a global scratch stack, allocated and freed around the launch).
// Two batches hold near queries, which sum every packet exactly; the other
// 198 accept the root at once and keep restarting on their warps' stacks
// while the near walks are deep in theirs, so warps sharing a stack would
// corrupt them. Under AddressSanitizer a push beyond a stack or a read beyond a
// buffer aborts.
class DeepTree : public test::RuntimeTest {};

TEST_F(DeepTree, StackHoldsTheDeepestWalk) {
    for (std::uint32_t levels : {10u, 15u, 500u}) {
        SCOPED_TRACE(::testing::Message() << levels << " levels");
        std::mt19937 rng(levels);
        const Scene<PointNormal> scene = caterpillar_scene(levels, rng);
        ASSERT_LE(scene.tree.nodes.size(), caterpillar_packets(levels) - 1);
        std::vector<Vec3> queries;
        std::uniform_real_distribution<double> distance(6.0, 10.0);
        for (int i = 0; i < 6397; ++i) queries.push_back(f3(random_direction(rng) * distance(rng)));
        const std::vector<std::uint32_t> order = shuffled_order(queries.size(), rng);
        const std::uint32_t near[3] = {order[0], order[1], order[3000]};
        queries[near[0]] = {0.1f, -0.2f, 0.3f};
        queries[near[1]] = {-0.5f, 0.4f, 0.0f};
        queries[near[2]] = {0.9f, 0.9f, -0.9f};
        Evaluator<PointNormal> evaluator(scene, queries, order);
#if defined(NOLITH_HOST_FLAVOUR)  // only the deepest walk needs a scratch stack, freed again
        const std::size_t live = hr::live_allocations();
        hr::clear_failures();
        const std::vector<float> result = evaluator.run(2.0f);
        EXPECT_EQ(hr::calls(hr::Operation::Allocation), levels == 500 ? 1u : 0u);
        EXPECT_EQ(hr::live_allocations(), live);
#else
        const std::vector<float> result = evaluator.run(2.0f);
#endif
        for (std::size_t i = 0; i < queries.size(); ++i) {
            const Expected e = reference(scene, queries[i], 2.0f, kEpsilon);
            EXPECT_NEAR(result[i], e.value, e.tolerance) << "query " << i;
        }
        for (std::uint32_t i : near) EXPECT_NEAR(result[i], exact_sum(scene.elements, queries[i], kEpsilon), 1e-4);
    }
}

#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
// The wrapper: no queries queue nothing; a failed scratch allocation or
// launch is returned, launches nothing further and leaks nothing.
TEST_F(DeepTree, WrapperFailuresAreReturnedWithoutLeaks) {
    std::mt19937 rng(5);
    const Scene<PointNormal> scene = caterpillar_scene(500, rng);
    const std::vector<Vec3> queries = random_queries(8, 1.0, rng);
    Evaluator<PointNormal> evaluator(scene, queries, shuffled_order(queries.size(), rng));
    const std::size_t live = hr::live_allocations();

    hr::clear_failures();
    ComputeWindingNumbersParams<PointNormal> none = evaluator.params(2.0f, kEpsilon);
    none.num_queries = 0;
    EXPECT_CUDA(evaluator.launch(none));
    EXPECT_EQ(hr::calls(hr::Operation::Copy) + hr::calls(hr::Operation::Launch) +
                  hr::calls(hr::Operation::Allocation),
              0u);

    hr::clear_failures();
    hr::fail_nth(hr::Operation::Allocation, 1, cudaErrorMemoryAllocation);  // the deep stack: MemoryError
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(evaluator.launch(evaluator.params(2.0f, kEpsilon)), nolith_cuda::DeviceAllocationError);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(hr::calls(hr::Operation::Launch), 0u);

    hr::clear_failures();
    hr::fail_nth(hr::Operation::Launch, 1, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(evaluator.launch(evaluator.params(2.0f, kEpsilon)), cudaErrorLaunchOutOfResources);
    EXPECT_CUDA(cudaDeviceSynchronize());
    EXPECT_EQ(hr::live_allocations(), live);
}
#endif

}  // namespace
