// Exact node radii: every node's max_dist against a float64 maximum over the
// vertices (or points) below it, for both geometry kinds, on trees large
// enough to use both the block cache (nodes < 128) and global atomics.
#include "gpu.h"
#include "host_runtime/test_support.h"
#include "kernels/binary2bvh8/max_distances.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using MaxDistances = test::RuntimeTest;
#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
namespace hr = test::hr;
#endif

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// The tables the collapse leaves behind, reduced to what radii need: each
// node's com and parent, each packet's elements and holding node.
struct Hierarchy {
    std::vector<Vec3> coms;
    std::vector<std::uint32_t> node_parents, leaf_parents;
    std::vector<PacketRange> packets;
};

// Node v > 0 hangs below a random earlier node; packets (of 32 elements, or
// of random sizes 1 .. 32) hang below random nodes, so some nodes hold
// nothing and keep radius 0.
Hierarchy random_hierarchy(std::uint32_t nodes, std::uint32_t n, bool varied, std::mt19937& rng) {
    std::uniform_real_distribution<float> place(-3.0f, 3.0f);
    std::uniform_int_distribution<std::uint32_t> size(1, 32);
    Hierarchy h;
    for (std::uint32_t v = 0; v < nodes; ++v) {
        h.coms.push_back({place(rng), place(rng), place(rng)});
        h.node_parents.push_back(v == 0 ? kNone : static_cast<std::uint32_t>(rng() % v));
    }
    for (std::uint32_t first = 0; first < n;) {
        const std::uint32_t count = std::min(varied ? size(rng) : 32u, n - first);
        h.packets.push_back({first, count});
        h.leaf_parents.push_back(static_cast<std::uint32_t>(rng() % nodes));
        first += count;
    }
    return h;
}

// Points per element as stored: 3 vertices for triangles, 1 point for points.
template <typename Geometry>
constexpr unsigned kPoints = GeometryTraits<Geometry>::components == 9 ? 3 : 1;

template <typename Geometry>
std::vector<float> random_planes(std::uint32_t n, std::mt19937& rng) {
    std::uniform_real_distribution<float> place(-10.0f, 10.0f);
    std::vector<float> planes(GeometryTraits<Geometry>::components * std::size_t(n));
    for (float& x : planes) x = place(rng);
    return planes;
}

// float64 maximum distance from each node's com to every point below it.
template <typename Geometry>
std::vector<double> reference_radii(const Hierarchy& h, const std::vector<float>& planes, std::uint32_t n) {
    std::vector<double> radii(h.coms.size(), 0.0);
    std::vector<std::uint32_t> packet_of(n);
    for (std::uint32_t j = 0; j < h.packets.size(); ++j) {
        for (std::uint32_t k = 0; k < h.packets[j].count; ++k) packet_of[h.packets[j].first + k] = j;
    }
    for (std::uint32_t e = 0; e < n; ++e) {
        for (std::uint32_t v = h.leaf_parents[packet_of[e]]; v != kNone; v = h.node_parents[v]) {
            for (unsigned k = 0; k < kPoints<Geometry>; ++k) {
                const double dx = planes[(3 * k + 0) * std::size_t(n) + e] - double(h.coms[v].x);
                const double dy = planes[(3 * k + 1) * std::size_t(n) + e] - double(h.coms[v].y);
                const double dz = planes[(3 * k + 2) * std::size_t(n) + e] - double(h.coms[v].z);
                radii[v] = std::max(radii[v], std::sqrt(dx * dx + dy * dy + dz * dz));
            }
        }
    }
    return radii;
}

std::vector<BVH8Node> nodes_with_coms(const std::vector<Vec3>& coms) {
    std::vector<BVH8Node> nodes(coms.size());
    for (std::size_t v = 0; v < coms.size(); ++v) {
        nodes[v].com = coms[v];
        nodes[v].max_dist = __float2half_rn(-7.0f);  // the collapse's provisional value
    }
    return nodes;
}

struct Radii {
    std::vector<BVH8Node> nodes;
    std::vector<float> exact;
};

// Runs the stage on `planes` (stride n). The planes sit in a buffer with a
// tail of huge values, which lanes beyond n must not pick up.
template <typename Geometry>
Radii run(const Hierarchy& h, const std::vector<float>& planes, std::uint32_t n) {
    const auto K = static_cast<std::uint32_t>(h.coms.size());
    std::vector<float> padded = planes;
    padded.resize(planes.size() + 64, 1e30f);
    test::DeviceBuffer<float> soa(padded);
    test::DeviceBuffer<BVH8Node> nodes(nodes_with_coms(h.coms));
    test::DeviceBuffer<std::uint32_t> node_parents(h.node_parents), leaf_parents(h.leaf_parents);
    test::DeviceBuffer<PacketRange> packets(h.packets);
    test::DeviceBuffer<float> max_distances(std::max(K, 1u));
    max_distances.zero();
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(compute_max_distances<Geometry>(nodes.get(), soa.get(), packets.get(),
                                                static_cast<std::uint32_t>(h.packets.size()), leaf_parents.get(),
                                                node_parents.get(), max_distances.get(), n, K, 1.0f, stream));
    EXPECT_CUDA(cudaDeviceSynchronize());
    return {nodes.download(), max_distances.download()};
}

// Half of a half-precision ulp at x (normal range).
double half_ulp(double x) { return std::ldexp(1.0, std::ilogb(x) - 11); }

// The stored half is the reference rounded to nearest: off by at most half
// an ulp of half precision either way (plus float evaluation error).
std::string radius_error(const std::vector<BVH8Node>& nodes, const std::vector<double>& reference) {
    for (std::size_t v = 0; v < nodes.size(); ++v) {
        const double stored = __half2float(nodes[v].max_dist);
        const double t = reference[v];
        const double bound = t == 0.0 ? 0.0 : half_ulp(t) + t * 1e-6;
        if (!(std::fabs(stored - t) <= bound)) {
            return "node " + std::to_string(v) + ": stored " + std::to_string(stored) + ", exact " + std::to_string(t);
        }
    }
    return "";
}

template <typename Geometry>
void check_random(std::uint32_t nodes, std::uint32_t n, unsigned seed, bool varied = false) {
    std::mt19937 rng(seed);
    const Hierarchy h = random_hierarchy(nodes, n, varied, rng);
    const std::vector<float> planes = random_planes<Geometry>(n, rng);
    const Radii r = run<Geometry>(h, planes, n);
    const std::vector<double> reference = reference_radii<Geometry>(h, planes, n);
    EXPECT_EQ("", radius_error(r.nodes, reference)) << "nodes " << nodes << ", n " << n;
    for (std::size_t v = 0; v < reference.size(); ++v) {
        ASSERT_NEAR(reference[v], r.exact[v], reference[v] * 1e-6) << "float radius of node " << v;
    }
}

TEST_F(MaxDistances, TriangleRadiiMatchFloat64) {
    check_random<Triangle>(5, 100, 1);         // a few nodes, a partial block
    check_random<Triangle>(300, 12787, 2);     // cache and global nodes, partial last packet
    check_random<Triangle>(128, 128 * 32, 3);  // exactly the cached nodes
    check_random<Triangle>(200, 5000, 6, true);  // packets of 1 .. 32 elements
}

TEST_F(MaxDistances, PointRadiiMatchFloat64) {
    check_random<PointNormal>(7, 33, 4);
    check_random<PointNormal>(400, 20000 - 5, 5);
    check_random<PointNormal>(150, 3001, 7, true);
}

// Two nodes, the inner one holding a packet of a single point at its com:
// radius 0 there; the root's radius reaches the farthest point of both packets.
TEST_F(MaxDistances, SinglePointAtTheCentreHasRadiusZero) {
    const std::uint32_t n = 33;
    std::vector<float> planes(6 * n, 0.0f);
    for (std::uint32_t e = 0; e < n; ++e) planes[e] = 0.25f * e;  // x of point e; normals are zero
    Hierarchy h;
    h.coms = {{1.0f, 0.0f, 0.0f}, {8.0f, 0.0f, 0.0f}};
    h.node_parents = {kNone, 0};
    h.leaf_parents = {0, 1};
    h.packets = {{0, 32}, {32, 1}};
    const Radii r = run<PointNormal>(h, planes, n);
    EXPECT_EQ(0.0f, __half2float(r.nodes[1].max_dist));
    EXPECT_EQ(7.0f, __half2float(r.nodes[0].max_dist));
}

#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
TEST_F(MaxDistances, NoNodesLaunchNothing) {
    test::DeviceBuffer<BVH8Node> nodes(1);
    test::DeviceBuffer<float> soa(6 * 32), max_distances(1);
    test::DeviceBuffer<std::uint32_t> parents(1);
    test::DeviceBuffer<PacketRange> packets(std::vector<PacketRange>{{0, 32}});
    const std::vector<BVH8Node> before = nodes.download();
    hr::clear_failures();
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(compute_max_distances<PointNormal>(nodes.get(), soa.get(), packets.get(), 1, parents.get(),
                                                   parents.get(), max_distances.get(), 32, 0, 1.0f, stream));
    EXPECT_EQ(0u, hr::calls(hr::Operation::Launch));
    const std::vector<BVH8Node> after = nodes.download();
    EXPECT_EQ(0, std::memcmp(before.data(), after.data(), sizeof(BVH8Node)));
}
#endif

}  // namespace
