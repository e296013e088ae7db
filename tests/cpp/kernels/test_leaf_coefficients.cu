// Leaf-packet bounds, centres, radii and expansions, and their bottom-up merge
// through hand-made binary trees, against float64 recomputations on the host.
#include "gpu.h"
#include "host_runtime/test_support.h"
#include "kernels/build_binary_tree/leaf_coefficients.h"
#include "records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using test::DeviceBuffer;
#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
namespace hr = test::hr;
#endif

template <typename G>
constexpr unsigned kComponents = GeometryTraits<G>::components;

// Every coordinate of the generated scenes stays below this magnitude.
constexpr double kScale = 8.0;
constexpr unsigned short kSentinelRadius = 0x1357;

// ------------------------------------------------------------------ trees

struct Tree {
    std::uint32_t leaf_count = 0;
    std::vector<BinaryNode> nodes;       // L - 1
    std::vector<std::uint32_t> parents;  // 2L - 1
    std::vector<std::uint32_t> first;    // packet range of every binary index
    std::vector<std::uint32_t> last;
};

// A binary tree over packets 0..L-1 made by splitting ranges recursively;
// internal nodes are numbered in pre-order, so the root is 0. `split(a, b)`
// returns s in [a, b): the left child covers a..s.
Tree make_tree(std::uint32_t leaf_count, const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& split) {
    Tree tree;
    tree.leaf_count = leaf_count;
    tree.nodes.resize(leaf_count - 1);
    tree.parents.assign(2 * leaf_count - 1, INVALID_INDEX);
    tree.first.resize(2 * leaf_count - 1);
    tree.last.resize(2 * leaf_count - 1);
    std::uint32_t next_internal = 0;
    std::function<std::uint32_t(std::uint32_t, std::uint32_t)> build = [&](std::uint32_t a, std::uint32_t b) {
        std::uint32_t index = leaf_count - 1 + a;
        if (a != b) {
            index = next_internal++;
            const std::uint32_t s = split(a, b);
            const std::uint32_t left = build(a, s), right = build(s + 1, b);
            tree.nodes[index] = {left, right};
            tree.parents[left] = tree.parents[right] = index;
        }
        tree.first[index] = a;
        tree.last[index] = b;
        return index;
    };
    build(0, leaf_count - 1);
    return tree;
}

Tree balanced_tree(std::uint32_t leaf_count) {
    return make_tree(leaf_count, [](std::uint32_t a, std::uint32_t b) { return (a + b) / 2; });
}

// ------------------------------------------------------------------ scenes

std::uint32_t packets_for(std::size_t n) { return static_cast<std::uint32_t>((n + 31) / 32); }

// Runs of 32 elements, the last one shorter.
std::vector<PacketRange> fixed_packets(std::size_t n) {
    std::vector<PacketRange> packets;
    for (std::uint32_t first = 0; first < n; first += 32) packets.push_back({first, std::min<std::uint32_t>(32, n - first)});
    return packets;
}

// Packets of random sizes 1 .. 32 over n elements.
std::vector<PacketRange> random_packets(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<PacketRange> packets;
    for (std::uint32_t first = 0; first < n;) {
        const std::uint32_t count = std::min<std::uint32_t>(std::uniform_int_distribution<std::uint32_t>(1, 32)(rng),
                                                            static_cast<std::uint32_t>(n) - first);
        packets.push_back({first, count});
        first += count;
    }
    return packets;
}

// Packet k sits around its own centre, away from the origin, so that a zero
// leaking from a tail lane would move a box or a centre.
Vec3 packet_centre(std::size_t k) { return {2.0f + 0.25f * k, -3.0f + 0.2f * k, 1.0f + 0.1f * k}; }

std::vector<float> random_triangles(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> offset(-0.6f, 0.6f);
    std::vector<float> e;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 c = packet_centre(i / 32);
        for (int v = 0; v < 3; ++v) {
            e.push_back(c.x + offset(rng));
            e.push_back(c.y + offset(rng));
            e.push_back(c.z + offset(rng));
        }
    }
    return e;
}

std::vector<float> random_points(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> offset(-0.6f, 0.6f), unit(-1.0f, 1.0f), length(0.01f, 2.0f);
    std::vector<float> e;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 c = packet_centre(i / 32);
        e.insert(e.end(), {c.x + offset(rng), c.y + offset(rng), c.z + offset(rng)});
        const float s = length(rng);
        e.insert(e.end(), {s * unit(rng), s * unit(rng), s * unit(rng)});
    }
    return e;
}

template <typename G>
std::vector<float> to_planes(const std::vector<float>& elements) {
    const std::size_t n = elements.size() / kComponents<G>;
    std::vector<float> planes(elements.size());
    for (std::size_t i = 0; i < n; ++i)
        for (unsigned k = 0; k < kComponents<G>; ++k) planes[k * n + i] = elements[i * kComponents<G> + k];
    return planes;
}

// ---------------------------------------------------- float64 reference

// One element in double: its vertices (a point has one), scaled normal,
// centre-of-mass weight and centre.
struct Element {
    double v[3][3];
    int vertices;
    double n[3];
    double weight;
    double centre[3];
};

template <typename G>
Element element(const std::vector<float>& e, std::size_t i) {
    Element r{};
    const float* f = &e[i * kComponents<G>];
    if constexpr (std::is_same_v<G, Triangle>) {
        r.vertices = 3;
        for (int v = 0; v < 3; ++v)
            for (int a = 0; a < 3; ++a) r.v[v][a] = f[3 * v + a];
        double u[3], w[3];
        for (int a = 0; a < 3; ++a) {
            u[a] = r.v[1][a] - r.v[0][a];
            w[a] = r.v[2][a] - r.v[0][a];
        }
        r.n[0] = 0.5 * (u[1] * w[2] - u[2] * w[1]);
        r.n[1] = 0.5 * (u[2] * w[0] - u[0] * w[2]);
        r.n[2] = 0.5 * (u[0] * w[1] - u[1] * w[0]);
        r.weight = std::sqrt(r.n[0] * r.n[0] + r.n[1] * r.n[1] + r.n[2] * r.n[2]);
        for (int a = 0; a < 3; ++a) r.centre[a] = (r.v[0][a] + r.v[1][a] + r.v[2][a]) / 3.0;
    } else {
        r.vertices = 1;
        r.weight = 1.0;
        for (int a = 0; a < 3; ++a) r.v[0][a] = r.centre[a] = f[a], r.n[a] = f[3 + a];
    }
    return r;
}

struct Bounds {
    double lo[3], hi[3];
    double weight;
    double com[3];
};

template <typename G>
Bounds reference_bounds(const std::vector<float>& e, std::size_t begin, std::size_t end) {
    Bounds b{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}, 0.0, {0.0, 0.0, 0.0}};
    double moment[3] = {0.0, 0.0, 0.0}, centroid[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = begin; i < end; ++i) {
        const Element x = element<G>(e, i);
        for (int v = 0; v < x.vertices; ++v)
            for (int a = 0; a < 3; ++a) b.lo[a] = std::min(b.lo[a], x.v[v][a]), b.hi[a] = std::max(b.hi[a], x.v[v][a]);
        b.weight += x.weight;
        for (int a = 0; a < 3; ++a) moment[a] += x.weight * x.centre[a], centroid[a] += x.centre[a] / (end - begin);
    }
    // Without any weight the centre is the plain centroid of the elements.
    for (int a = 0; a < 3; ++a) b.com[a] = b.weight > 0.0 ? moment[a] / b.weight : centroid[a];
    return b;
}

template <typename G>
double reference_radius(const std::vector<float>& e, std::size_t begin, std::size_t end, const double c[3]) {
    double r = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        const Element x = element<G>(e, i);
        for (int v = 0; v < x.vertices; ++v)
            r = std::max(r, std::hypot(x.v[v][0] - c[0], x.v[v][1] - c[1], x.v[v][2] - c[2]));
    }
    return r;
}

// The 30 coefficients about c in the record's order, with an allowance for
// single-precision arithmetic on each.
struct Expansion {
    double value[30] = {};
    double slack[30] = {};
};

template <typename G>
Expansion reference_expansion(const std::vector<float>& e, std::size_t begin, std::size_t end, const double c[3]) {
    static const int pair_j[6] = {0, 0, 0, 1, 1, 2}, pair_k[6] = {0, 1, 2, 1, 2, 2};
    Expansion x;
    for (std::size_t i = begin; i < end; ++i) {
        const Element el = element<G>(e, i);
        double d[3], m[3][3], reach = 0.0;
        for (int a = 0; a < 3; ++a) d[a] = el.centre[a] - c[a];
        // Mean of (x - c)(x - c)^T over the element: exact for a triangle
        // from its vertices, (sum p p^T + (sum p)(sum p)^T) / 12.
        double p[3][3], sum[3] = {0.0, 0.0, 0.0};
        for (int v = 0; v < el.vertices; ++v) {
            for (int a = 0; a < 3; ++a) p[v][a] = el.v[v][a] - c[a], sum[a] += p[v][a];
            reach = std::max(reach, std::hypot(p[v][0], p[v][1], p[v][2]));
        }
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                if (el.vertices == 1) {
                    m[a][b] = d[a] * d[b];
                } else {
                    double s = sum[a] * sum[b];
                    for (int v = 0; v < 3; ++v) s += p[v][a] * p[v][b];
                    m[a][b] = s / 12.0;
                }
            }
        const double nmax = std::max({std::fabs(el.n[0]), std::fabs(el.n[1]), std::fabs(el.n[2])});
        for (int a = 0; a < 3; ++a) {
            x.value[a] += el.n[a];
            x.slack[a] += 1e-6 * nmax;
        }
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 3; ++col) {
                x.value[3 + 3 * r + col] += d[r] * el.n[col];
                x.slack[3 + 3 * r + col] += 1e-5 * nmax * (1.0 + reach);
            }
        for (int s = 0; s < 6; ++s)
            for (int a = 0; a < 3; ++a) {
                x.value[12 + 3 * s + a] += 0.5 * m[pair_j[s]][pair_k[s]] * el.n[a];
                x.slack[12 + 3 * s + a] += 1e-5 * nmax * (1.0 + reach) * (1.0 + reach);
            }
    }
    return x;
}

// --------------------------------------------------------------- running

struct Output {
    cudaError_t status;
    std::vector<AABB> aabbs;
    std::vector<TailorCoefficientsF16> coefficients;
    std::vector<TailorCoefficientsTraceFree> far_field;
    std::vector<TailorCoefficients> moments;
    std::vector<float> subtree_weights;
};

template <typename G>
Output run(const std::vector<float>& elements, const Tree& tree, const std::vector<PacketRange>& packets) {
    const std::uint32_t n = static_cast<std::uint32_t>(elements.size() / kComponents<G>);
    const std::uint32_t leaves = tree.leaf_count;
    DeviceBuffer<float> planes(to_planes<G>(elements));
    DeviceBuffer<PacketRange> packet_buffer(packets.empty() ? std::vector<PacketRange>{{0, 0}} : packets);
    DeviceBuffer<TailorCoefficientsF16> coefficients(leaves);
    DeviceBuffer<TailorCoefficientsTraceFree> far_field(leaves);
    DeviceBuffer<TailorCoefficients> moments(leaves);
    // Buffers of L - 1 entries get one spare entry, so that L = 1 has a
    // buffer whose untouched content can be checked.
    std::vector<BinaryNode> nodes = tree.nodes;
    nodes.push_back({INVALID_INDEX, INVALID_INDEX});
    DeviceBuffer<BinaryNode> node_buffer(nodes);
    AABB sentinel;
    std::memset(&sentinel, 0xFF, sizeof sentinel);
    sentinel.max_dist = __ushort_as_half(kSentinelRadius);
    DeviceBuffer<AABB> aabbs(std::vector<AABB>(2 * leaves - 1, sentinel));
    DeviceBuffer<std::uint32_t> parents(tree.parents);
    DeviceBuffer<float> weights(leaves);
    weights.zero();
    cudaStream_t stream = nullptr;
    Output out;
    out.status = populate_binary_tree_aabb_and_leaf_coefficients<G>(planes.get(), packet_buffer.get(),
                                                                      coefficients.get(), far_field.get(),
                                                                      moments.get(), leaves,
                                                                      node_buffer.get(), aabbs.get(), parents.get(),
                                                                      weights.get(), n, 1.0f, Vec3{0.0f, 0.0f, 0.0f},
                                                                      stream);
    out.aabbs = aabbs.download();
    out.coefficients = coefficients.download();
    out.far_field = far_field.download();
    out.moments = moments.download();
    out.subtree_weights = weights.download();
    return out;
}

// ---------------------------------------------------------------- checks

unsigned short half_bits(__half h) { return __half_as_ushort(h); }
unsigned short half_of(double v) { return half_bits(__float2half_rn(static_cast<float>(v))); }

// The 30 widened coefficients in record order.
std::array<float, 30> coefficient_values(const TailorCoefficientsF16& h) {
    const TailorCoefficients c = TailorCoefficients::from_f16(h);
    std::array<float, 30> v;
    v[0] = c.zero_order.x, v[1] = c.zero_order.y, v[2] = c.zero_order.z;
    for (int i = 0; i < 9; ++i) v[3 + i] = c.first_order.m[i];
    for (int i = 0; i < 18; ++i) v[12 + i] = c.second_order.t[i];
    return v;
}

void expect_box(const AABB& got, const Bounds& ref, const std::string& where) {
    const __half lo[3] = {got.min.x, got.min.y, got.min.z}, hi[3] = {got.max.x, got.max.y, got.max.z};
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(half_bits(lo[a]), half_of(ref.lo[a])) << where << " min axis " << a;
        EXPECT_EQ(half_bits(hi[a]), half_of(ref.hi[a])) << where << " max axis " << a;
    }
}

void expect_com(const AABB& got, const double com[3], double tolerance, const std::string& where) {
    EXPECT_NEAR(got.com.x, com[0], tolerance) << where;
    EXPECT_NEAR(got.com.y, com[1], tolerance) << where;
    EXPECT_NEAR(got.com.z, com[2], tolerance) << where;
}

// Leaf packet j: box, centre, radius and coefficients. The coefficients are
// recomputed about the centre the kernel wrote, which is checked on its own.
template <typename G>
void expect_leaf(const std::vector<float>& e, const Output& out, const Tree& tree,
                 const std::vector<PacketRange>& packets, std::uint32_t j) {
    const std::string where = "packet " + std::to_string(j);
    const std::size_t begin = packets[j].first, end = begin + packets[j].count;
    const AABB& got = out.aabbs[tree.leaf_count - 1 + j];
    const Bounds ref = reference_bounds<G>(e, begin, end);
    expect_box(got, ref, where);
    expect_com(got, ref.com, 1e-5 * (kScale + 1.0), where);

    const double radius = reference_radius<G>(e, begin, end, ref.com);
    EXPECT_NEAR(__half2float(got.max_dist), radius, radius / 2048.0 + 1e-4) << where;

    const double centre[3] = {got.com.x, got.com.y, got.com.z};
    const Expansion x = reference_expansion<G>(e, begin, end, centre);
    const std::array<float, 30> values = coefficient_values(out.coefficients[j]);
    const float* moments = reinterpret_cast<const float*>(&out.moments[j]);
    for (int i = 0; i < 30; ++i) {
        const double rounding = i < 12 ? 1.0 / 2048.0 : 1.0 / 256.0;  // half, bfloat16
        EXPECT_NEAR(values[i], x.value[i], std::fabs(x.value[i]) * rounding + x.slack[i] + 1e-7)
            << where << " coefficient " << i;
        EXPECT_NEAR(moments[i], x.value[i], x.slack[i] + 1e-7) << where << " float moment " << i;
    }
    // The walk's record: the trace-free projection of the float moments.
    float far[15], want[15];
    out.far_field[j].values(far);
    TailorCoefficientsTraceFree::from_moments(out.moments[j]).values(want);
    for (int i = 0; i < 15; ++i) EXPECT_NEAR(far[i], want[i], 1e-6 * std::fabs(want[i]) + 1e-9) << where << " value " << i;
}

// Internal node i: the union box and the weighted centre of everything below
// it, the subtree weight, and max_dist left as it was.
template <typename G>
void expect_internal(const std::vector<float>& e, const Output& out, const Tree& tree,
                     const std::vector<PacketRange>& packets, std::uint32_t i) {
    const std::string where = "internal " + std::to_string(i);
    const PacketRange& last = packets[tree.last[i]];
    const std::size_t begin = packets[tree.first[i]].first, end = last.first + last.count;
    const Bounds ref = reference_bounds<G>(e, begin, end);
    expect_box(out.aabbs[i], ref, where);
    expect_com(out.aabbs[i], ref.com, 2e-5 * (kScale + 1.0), where);
    EXPECT_NEAR(out.subtree_weights[i], ref.weight, 1e-5 * ref.weight + 1e-9) << where;
    EXPECT_EQ(half_bits(out.aabbs[i].max_dist), kSentinelRadius) << where;
}

template <typename G>
void expect_tree(const std::vector<float>& e, const Output& out, const Tree& tree,
                 const std::vector<PacketRange>& packets) {
    ASSERT_EQ(out.status, cudaSuccess);
    for (std::uint32_t j = 0; j < tree.leaf_count; ++j) expect_leaf<G>(e, out, tree, packets, j);
    for (std::uint32_t i = 0; i + 1 < tree.leaf_count; ++i) expect_internal<G>(e, out, tree, packets, i);
}

// Runs and checks the kernel, the packets runs of 32 elements unless given.
template <typename G>
Output run_and_check(const std::vector<float>& e, const Tree& tree, std::vector<PacketRange> packets = {}) {
    if (packets.empty()) packets = fixed_packets(e.size() / kComponents<G>);
    const Output out = run<G>(e, tree, packets);
    expect_tree<G>(e, out, tree, packets);
    return out;
}

using LeafCoefficients = test::RuntimeTest;

// ----------------------------------------------------------------- tests

Tree random_tree(std::uint32_t leaves, unsigned seed) {
    std::mt19937 rng(seed);
    return make_tree(leaves, [&rng](std::uint32_t a, std::uint32_t b) {
        return std::uniform_int_distribution<std::uint32_t>(a, b - 1)(rng);
    });
}

// About 20 packets of 32 and about 40 of random sizes on random trees, the
// last packet partly filled: every leaf against the reference, every
// internal node against the union of its packets.
TEST_F(LeafCoefficients, TrianglesOnRandomTree) {
    const std::size_t n = 20 * 32 - 13;
    const std::vector<float> e = random_triangles(n, 7);
    run_and_check<Triangle>(e, random_tree(packets_for(n), 11));
    const std::vector<PacketRange> packets = random_packets(n, 13);
    run_and_check<Triangle>(e, random_tree(static_cast<std::uint32_t>(packets.size()), 17), packets);
}

// Points: centres are plain means of the positions whatever the normals'
// lengths, and the subtree weights count points.
TEST_F(LeafCoefficients, PointsOnRandomTree) {
    const std::size_t n = 19 * 32 + 5;
    const std::vector<float> e = random_points(n, 3);
    const Output out = run_and_check<PointNormal>(e, random_tree(packets_for(n), 5));
    EXPECT_FLOAT_EQ(out.subtree_weights[0], static_cast<float>(n));
    const std::vector<PacketRange> packets = random_packets(n, 19);
    const Output varied =
        run_and_check<PointNormal>(e, random_tree(static_cast<std::uint32_t>(packets.size()), 23), packets);
    EXPECT_FLOAT_EQ(varied.subtree_weights[0], static_cast<float>(n));
}

// Degenerate trees: every packet but one climbs only one level before it
// stops, and one thread finishes the whole chain, leaning left or right.
TEST_F(LeafCoefficients, ChainTreesLeaningEitherWay) {
    const std::size_t n = 40 * 32;
    const std::vector<float> e = random_triangles(n, 21);
    const Tree right_leaning = make_tree(packets_for(n), [](std::uint32_t a, std::uint32_t) { return a; });
    const Tree left_leaning = make_tree(packets_for(n), [](std::uint32_t, std::uint32_t b) { return b - 1; });
    run_and_check<Triangle>(e, right_leaning);
    run_and_check<Triangle>(e, left_leaning);
}

// Small counts around packet boundaries: a last packet of one element, a
// full last packet and a last packet of 31 elements.
TEST_F(LeafCoefficients, PartialLastPacketIsUntouchedByTailLanes) {
    for (std::size_t n : {33u, 64u, 95u}) {
        SCOPED_TRACE(n);
        const Tree tree = balanced_tree(packets_for(n));
        run_and_check<Triangle>(random_triangles(n, 40 + n), tree);
        run_and_check<PointNormal>(random_points(n, 50 + n), tree);
    }
}

// One packet is the whole tree: its record and coefficients are written and
// nothing is propagated (the spare weight entry stays zero).
TEST_F(LeafCoefficients, SinglePacketHasNoPropagation) {
    const Tree tree = make_tree(1, nullptr);
    EXPECT_EQ(run_and_check<Triangle>(random_triangles(20, 1), tree).subtree_weights[0], 0.0f);
    EXPECT_EQ(run_and_check<PointNormal>(random_points(32, 2), tree).subtree_weights[0], 0.0f);
}

// A packet of zero-area triangles (collinear along x, and collapsed to a
// point) is centred at the plain centroid of its triangles and has zero
// coefficients; its parent takes the sibling's centre, as the left child and
// as the right child.
TEST_F(LeafCoefficients, ZeroAreaPacketDefersToItsSibling) {
    const Tree tree = make_tree(3, [](std::uint32_t, std::uint32_t b) { return b - 1; });  // ((0, 1), 2)
    ASSERT_EQ(tree.nodes[1].left, 2u);
    for (std::uint32_t zero : {0u, 1u}) {
        SCOPED_TRACE(zero);
        std::vector<float> e = random_triangles(96, 9 + zero);
        std::mt19937 rng(zero);
        std::uniform_real_distribution<float> x(1.0f, 3.0f);
        for (std::size_t i = 32 * zero; i < 32 * zero + 32; ++i) {
            const float y = -2.5f, z = 3.25f, x0 = x(rng);
            const float xs[3] = {x0, i % 2 ? x(rng) : x0, i % 2 ? x(rng) : x0};
            for (int v = 0; v < 3; ++v) {
                e[9 * i + 3 * v] = xs[v];
                e[9 * i + 3 * v + 1] = y;
                e[9 * i + 3 * v + 2] = z;
            }
        }
        const Output out = run_and_check<Triangle>(e, tree);

        const std::array<float, 30> values = coefficient_values(out.coefficients[zero]);
        for (int i = 0; i < 30; ++i) EXPECT_EQ(values[i], 0.0f) << i;

        const AABB& sibling = out.aabbs[2 + (1 - zero)];
        const AABB& parent = out.aabbs[1];
        EXPECT_NEAR(parent.com.x, sibling.com.x, 1e-6 * kScale);
        EXPECT_NEAR(parent.com.y, sibling.com.y, 1e-6 * kScale);
        EXPECT_NEAR(parent.com.z, sibling.com.z, 1e-6 * kScale);
        EXPECT_GT(out.subtree_weights[1], 0.0f);
    }
}

#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
TEST_F(LeafCoefficients, NoElementsLaunchNothing) {
    const Tree tree = make_tree(1, nullptr);
    hr::clear_failures();
    const Output out = run<Triangle>({}, tree, {});
    EXPECT_EQ(out.status, cudaSuccess);
    EXPECT_EQ(hr::calls(hr::Operation::Launch), 0u);
    EXPECT_EQ(half_bits(out.aabbs[0].max_dist), kSentinelRadius);
}

TEST_F(LeafCoefficients, LaunchFailureIsReportedAndReturned) {
    const std::vector<float> e = random_points(40, 4);
    const Tree tree = balanced_tree(2);
    hr::fail_nth(hr::Operation::Launch, 1, cudaErrorLaunchOutOfResources);
    ::testing::internal::CaptureStderr();
    const Output out = run<PointNormal>(e, tree, fixed_packets(40));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.status, cudaErrorLaunchOutOfResources);
    EXPECT_NE(err.find("CUDA Runtime Error: "), std::string::npos) << err;
    EXPECT_NE(err.find("leaf_coefficients.cu"), std::string::npos) << err;
}
#endif

}  // namespace
