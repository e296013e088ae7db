#include "gpu.h"

// Node coefficients by M2M on hand-built BVH8 trees. Every leaf packet stands
// for a few oriented points with small dyadic offsets and normals, so its
// moments are exact in half and bfloat16; the reference for a node is the
// moments of all points below it taken directly about the node's centre in
// double, which never uses the translation formulas.

#include "kernels/bvh8_m2m/m2m.h"
#include "records.h"
#include "host_runtime/test_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using test::DeviceBuffer;
using M2M = test::RuntimeTest;

constexpr int kPairJ[6] = {0, 0, 0, 1, 1, 2};
constexpr int kPairK[6] = {0, 1, 2, 1, 2, 2};

struct Point {
    std::array<double, 3> d, n;  // offset from the packet centre, scaled normal
};

// 30 terms in record order: zero order, first order, second order.
using Terms = std::array<double, 30>;

void add_point_moments(Terms& sum, const std::array<double, 3>& x, const std::array<double, 3>& n) {
    for (int i = 0; i < 3; ++i) sum[i] += n[i];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) sum[3 + 3 * r + c] += x[r] * n[c];
    for (int s = 0; s < 6; ++s)
        for (int i = 0; i < 3; ++i) sum[12 + 3 * s + i] += 0.5 * x[kPairJ[s]] * x[kPairK[s]] * n[i];
}

Terms terms_of(const TailorCoefficients& c) {
    Terms t;
    const float* f = reinterpret_cast<const float*>(&c);
    for (int i = 0; i < 30; ++i) t[i] = f[i];
    return t;
}

// A tree shape: a leaf slot (packet >= 0) or an internal node with its slots.
struct Shape {
    int packet = -1;
    std::vector<Shape> slots;
};

struct Tree {
    std::uint32_t leaf_count = 0;
    std::vector<BVH8Node> nodes;
    std::vector<LeafPointers> leaf_pointers;
    std::vector<std::uint32_t> node_parents, leaf_parents, child_counts;
    std::vector<std::vector<std::uint32_t>> packets_below;  // per node
    std::vector<Vec3> leaf_com;
    std::vector<std::vector<Point>> points;  // per packet
    std::vector<TailorCoefficients> leaf_moments;
};

// Lays the shape out level by level, internal children of a node contiguous
// from first_child in slot order, as the collapse does.
void lay_out(Tree& tree, const Shape& root) {
    std::vector<const Shape*> order{&root};
    tree.node_parents.push_back(INVALID_INDEX);
    for (std::size_t v = 0; v < order.size(); ++v) {
        BVH8Node node{};
        node.first_child = static_cast<std::uint32_t>(order.size());
        LeafPointers lp;
        std::fill(std::begin(lp.leaf_index), std::end(lp.leaf_index), INVALID_INDEX);
        const auto& slots = order[v]->slots;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].packet >= 0) {
                node.setChildMeta(int(i), Leaf);
                lp.leaf_index[i] = std::uint32_t(slots[i].packet);
                tree.leaf_parents[slots[i].packet] = std::uint32_t(v);
            } else {
                node.setChildMeta(int(i), Internal);
                order.push_back(&slots[i]);
                tree.node_parents.push_back(std::uint32_t(v));
            }
        }
        tree.nodes.push_back(node);
        tree.leaf_pointers.push_back(lp);
        tree.child_counts.push_back(std::uint32_t(slots.size()));
    }
    // Packets below every node, children before parents.
    tree.packets_below.assign(order.size(), {});
    for (std::size_t v = order.size(); v-- > 0;) {
        for (std::size_t i = 0; i < order[v]->slots.size(); ++i) {
            if (order[v]->slots[i].packet >= 0) tree.packets_below[v].push_back(order[v]->slots[i].packet);
        }
        if (v > 0) {
            auto& up = tree.packets_below[tree.node_parents[v]];
            up.insert(up.end(), tree.packets_below[v].begin(), tree.packets_below[v].end());
        }
    }
}

// Packets of 1 to 3 points: offsets in quarters of [-1, 1], normals in halves
// of [-1, 1], so every moment fits half and bfloat16 exactly.
Tree make_tree(const Shape& root, std::uint32_t leaf_count, std::mt19937& rng, float centre_spread) {
    Tree tree;
    tree.leaf_count = leaf_count;
    tree.leaf_parents.assign(leaf_count, 0u);
    lay_out(tree, root);
    std::uniform_real_distribution<float> centre(-centre_spread, centre_spread);
    std::uniform_int_distribution<int> quarter(-4, 4), half_unit(-2, 2), count(1, 3);
    for (BVH8Node& node : tree.nodes) node.com = {centre(rng), centre(rng), centre(rng)};
    for (std::uint32_t p = 0; p < leaf_count; ++p) {
        tree.leaf_com.push_back({centre(rng), centre(rng), centre(rng)});
        std::vector<Point> pts(count(rng));
        Terms sum{};
        for (Point& pt : pts) {
            for (int i = 0; i < 3; ++i) pt.d[i] = 0.25 * quarter(rng), pt.n[i] = 0.5 * half_unit(rng);
            add_point_moments(sum, pt.d, pt.n);
        }
        TailorCoefficients f;
        float* out = reinterpret_cast<float*>(&f);
        for (int i = 0; i < 30; ++i) out[i] = float(sum[i]);
        EXPECT_EQ(terms_of(f), sum) << "packet " << p << " not exact";
        tree.leaf_moments.push_back(f);
        tree.points.push_back(pts);
    }
    return tree;
}

// Splits `packets` leaves into 2..8 slots at random; single leaves become leaf slots.
Shape random_shape(std::uint32_t packets, std::mt19937& rng) {
    Shape s;
    const std::uint32_t c = std::uniform_int_distribution<std::uint32_t>(2, std::min(8u, packets))(rng);
    std::vector<std::uint32_t> sizes(c, 1);
    for (std::uint32_t rest = packets - c; rest > 0; --rest) sizes[rng() % c]++;
    for (std::uint32_t size : sizes) s.slots.push_back(size == 1 ? Shape{} : random_shape(size, rng));
    return s;
}

// Numbers the leaf slots with a permutation of 0..count-1.
void number_packets(Shape& s, std::vector<int>& numbers) {
    for (Shape& slot : s.slots) {
        if (slot.slots.empty()) {
            slot.packet = numbers.back();
            numbers.pop_back();
        } else {
            number_packets(slot, numbers);
        }
    }
}

struct Result {
    std::vector<TailorCoefficientsF16> half;
    std::vector<TailorCoefficientsTraceFree> far;
    std::vector<TailorCoefficients> full;
    std::vector<std::uint32_t> counters;
};

Result run(const Tree& tree) {
    const std::size_t k = std::max<std::size_t>(tree.nodes.size(), 1);
    std::vector<AABB> leaf_aabbs(tree.leaf_count, AABB::identity());
    for (std::uint32_t p = 0; p < tree.leaf_count; ++p) leaf_aabbs[p].com = tree.leaf_com[p];
    DeviceBuffer<BVH8Node> nodes(k);
    DeviceBuffer<LeafPointers> leaf_pointers(k);
    DeviceBuffer<std::uint32_t> node_parents(k), child_counts(k), counters(k);
    if (!tree.nodes.empty()) {
        nodes.upload(tree.nodes);
        leaf_pointers.upload(tree.leaf_pointers);
        node_parents.upload(tree.node_parents);
        child_counts.upload(tree.child_counts);
    }
    counters.zero();
    DeviceBuffer<AABB> aabbs(leaf_aabbs);
    DeviceBuffer<TailorCoefficients> leaf_moments(tree.leaf_moments);
    DeviceBuffer<std::uint32_t> leaf_parents(tree.leaf_parents);
    DeviceBuffer<TailorCoefficientsF16> half(k);
    DeviceBuffer<TailorCoefficientsTraceFree> far(k);
    DeviceBuffer<TailorCoefficients> full(k);
    EXPECT_CUDA(cudaMemset(half.get(), 0xFF, half.bytes()));
    EXPECT_CUDA(cudaMemset(far.get(), 0xFF, far.bytes()));
    EXPECT_CUDA(cudaMemset(full.get(), 0xFF, full.bytes()));
    cudaStream_t stream;
    EXPECT_CUDA(cudaStreamCreate(&stream));
    EXPECT_CUDA(compute_internal_tailor_coefficients_m2m(nodes.get(), node_parents.get(), aabbs.get(),
                                                         leaf_moments.get(), leaf_parents.get(), leaf_pointers.get(),
                                                         half.get(), far.get(), full.get(), child_counts.get(),
                                                         tree.leaf_count, counters.get(), 1.0f, stream));
    EXPECT_CUDA(cudaStreamSynchronize(stream));
    EXPECT_CUDA(cudaStreamDestroy(stream));
    return {half.download(), far.download(), full.download(), counters.download()};
}

// Every node against the direct moments of its points; the reduced record is
// the float record rounded and the walk's record its trace-free projection;
// every child arrived exactly once.
void expect_matches_reference(const Tree& tree, const Result& result) {
    for (std::size_t v = 0; v < tree.nodes.size(); ++v) {
        const Vec3 c = tree.nodes[v].com;
        Terms ref{};
        double scale = 0.0;
        for (std::uint32_t p : tree.packets_below[v]) {
            const Vec3 lc = tree.leaf_com[p];
            for (const Point& pt : tree.points[p]) {
                const std::array<double, 3> x = {double(lc.x) - c.x + pt.d[0], double(lc.y) - c.y + pt.d[1],
                                                 double(lc.z) - c.z + pt.d[2]};
                add_point_moments(ref, x, pt.n);
                const double r = 1.0 + std::max({std::fabs(x[0]), std::fabs(x[1]), std::fabs(x[2])});
                scale += r * r;
            }
        }
        const Terms got = terms_of(result.full[v]);
        for (int i = 0; i < 30; ++i) EXPECT_NEAR(got[i], ref[i], 2e-6 * scale) << "node " << v << " term " << i;
        const TailorCoefficientsF16 rounded = TailorCoefficientsF16::from_float(result.full[v]);
        EXPECT_EQ(0, std::memcmp(&rounded, &result.half[v], 60)) << "node " << v;
        const TailorCoefficientsTraceFree projected = TailorCoefficientsTraceFree::from_moments(result.full[v]);
        float want[15], stored[15];
        projected.values(want);
        result.far[v].values(stored);
        for (int i = 0; i < 15; ++i) EXPECT_NEAR(stored[i], want[i], 1e-6f * scale) << "node " << v << " value " << i;
        EXPECT_EQ(result.counters[v], tree.child_counts[v]) << "node " << v;
    }
}

// Root: [packet, node A (3 packets), packet, node B (2 packets)], so the
// internal children sit behind leaf slots.
Shape two_level_shape() {
    auto leaf = [](int p) { Shape s; s.packet = p; return s; };
    Shape a, b, root;
    a.slots = {leaf(5), leaf(1), leaf(3)};
    b.slots = {leaf(0), leaf(6)};
    root.slots = {leaf(2), a, leaf(4), b};
    return root;
}

TEST_F(M2M, TwoLevelTreeMatchesDirectMoments) {
    std::mt19937 rng(7);
    const Tree tree = make_tree(two_level_shape(), 7, rng, 2.0f);
    const Result result = run(tree);
    expect_matches_reference(tree, result);
}

TEST_F(M2M, RandomMultiLevelTreesMatchDirectMoments) {
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        const std::uint32_t leaves = 600 + 100 * seed;  // several blocks of threads
        Shape root = random_shape(leaves, rng);
        std::vector<int> numbers(leaves);
        for (std::uint32_t i = 0; i < leaves; ++i) numbers[i] = int(i);
        std::shuffle(numbers.begin(), numbers.end(), rng);
        number_packets(root, numbers);
        const Tree tree = make_tree(root, leaves, rng, 2.0f);
        ASSERT_GT(tree.nodes.size(), 50u);
        const Result result = run(tree);
        SCOPED_TRACE(seed);
        expect_matches_reference(tree, result);
        // Zero order is translation invariant; dyadic sums are exact in float.
        double total[3] = {0, 0, 0};
        for (std::uint32_t p = 0; p < leaves; ++p)
            for (const Point& pt : tree.points[p])
                for (int i = 0; i < 3; ++i) total[i] += pt.n[i];
        EXPECT_EQ(result.full[0].zero_order.x, total[0]);
        EXPECT_EQ(result.full[0].zero_order.y, total[1]);
        EXPECT_EQ(result.full[0].zero_order.z, total[2]);
    }
}

// All centres equal: t = 0 everywhere, so every order is the plain sum of the
// packets' terms (exact here), and a packet at its node's centre passes
// through unchanged.
TEST_F(M2M, ZeroShiftGivesPlainSums) {
    std::mt19937 rng(11);
    Tree tree = make_tree(two_level_shape(), 7, rng, 0.0f);
    const Vec3 centre{0.375f, -1.25f, 2.5f};
    for (BVH8Node& node : tree.nodes) node.com = centre;
    std::fill(tree.leaf_com.begin(), tree.leaf_com.end(), centre);
    const Result result = run(tree);
    for (std::size_t v = 0; v < tree.nodes.size(); ++v) {
        Terms sum{};
        for (std::uint32_t p : tree.packets_below[v]) {
            const Terms leaf = terms_of(tree.leaf_moments[p]);
            for (int i = 0; i < 30; ++i) sum[i] += leaf[i];
        }
        EXPECT_EQ(terms_of(result.full[v]), sum) << "node " << v;
    }
}

// A single packet has no BVH8 node: nothing is read or written.
TEST_F(M2M, SinglePacketWritesNothing) {
    Tree tree;
    tree.leaf_count = 1;
    tree.leaf_parents = {INVALID_INDEX};
    tree.leaf_com = {{0.5f, 0.5f, 0.5f}};
    tree.leaf_moments.resize(1);
    const Result result = run(tree);
    std::vector<unsigned char> fresh(sizeof(TailorCoefficients), 0xFF);
    EXPECT_EQ(0, std::memcmp(fresh.data(), &result.full[0], sizeof(TailorCoefficients)));
    EXPECT_EQ(0, std::memcmp(fresh.data(), &result.half[0], 60));
    EXPECT_EQ(result.counters[0], 0u);
}

}  // namespace
