// Collapse of binary trees over leaf packets into the 8-wide tree: exact
// slot choices of small trees, the invariants of the output on random and
// degenerate trees, and the wrapper's single-packet and no-cooperation paths.
#include "gpu.h"
#include "host_runtime/test_support.h"
#include "kernels/binary2bvh8/collapse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Collapse = test::RuntimeTest;
#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
namespace hr = test::hr;
#endif

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// A binary tree over L packets, internal nodes numbered in preorder (root 0),
// with every index's leaf range [lo, hi) and parent. Every record's com.x
// carries its own index, so output nodes can be traced to their source.
struct HostTree {
    std::uint32_t L = 0;
    std::vector<BinaryNode> nodes;
    std::vector<AABB> aabbs;
    std::vector<std::uint32_t> lo, hi, parent;

    std::uint32_t leaf(std::uint32_t j) const { return L - 1 + j; }
    bool is_internal(std::uint32_t x) const { return x < L - 1; }
    float size(std::uint32_t x) const { return aabbs[x].radius_sq(); }
};

using Splitter = std::function<std::uint32_t(std::uint32_t lo, std::uint32_t hi)>;

HostTree make_tree(std::uint32_t L, const Splitter& split, std::mt19937& rng) {
    HostTree t;
    t.L = L;
    t.nodes.resize(L - 1);
    t.aabbs.resize(2 * L - 1);
    t.lo.resize(2 * L - 1);
    t.hi.resize(2 * L - 1);
    t.parent.assign(2 * L - 1, kNone);
    std::uint32_t next = 0;
    std::function<std::uint32_t(std::uint32_t, std::uint32_t)> build = [&](std::uint32_t lo, std::uint32_t hi) {
        const std::uint32_t index = hi - lo == 1 ? L - 1 + lo : next++;
        t.lo[index] = lo;
        t.hi[index] = hi;
        if (hi - lo > 1) {
            const std::uint32_t mid = split(lo, hi);
            const std::uint32_t left = build(lo, mid);
            const std::uint32_t right = build(mid, hi);
            t.nodes[index] = {left, right};
            t.parent[left] = t.parent[right] = index;
        }
        return index;
    };
    build(0, L);

    // Packet boxes at random places; internal boxes are unions, so sizes
    // never grow from a node to its children.
    std::uniform_real_distribution<float> place(-20.0f, 20.0f), extent(0.0f, 1.5f);
    for (std::uint32_t j = 0; j < L; ++j) {
        const Vec3 c{place(rng), place(rng), place(rng)};
        const Vec3 e{extent(rng), extent(rng), extent(rng)};
        t.aabbs[L - 1 + j] =
            AABB{Vec3_f16::from_float(c - e), Vec3_f16::from_float(c + e), {}, __float2half_rn(extent(rng))};
    }
    for (std::uint32_t x = L - 1; x-- > 0;) {
        const AABB& a = t.aabbs[t.nodes[x].left];
        const AABB& b = t.aabbs[t.nodes[x].right];
        t.aabbs[x] = AABB::merge(a, b, 1.0f, 1.0f);
    }
    for (std::uint32_t x = 0; x < 2 * L - 1; ++x) t.aabbs[x].com = {static_cast<float>(x), 1.0f, 2.0f};
    return t;
}

Splitter balanced() {
    return [](std::uint32_t lo, std::uint32_t hi) { return lo + (hi - lo) / 2; };
}

Splitter random_split(std::mt19937& rng) {
    return [&rng](std::uint32_t lo, std::uint32_t hi) { return lo + 1 + rng() % (hi - lo - 1); };
}

// Gives internal node x a box of the given size (radius_sq = 0.25 s^2).
void set_size(HostTree& t, std::uint32_t x, float s) {
    const Vec3 com = t.aabbs[x].com;
    t.aabbs[x] = AABB{Vec3_f16::from_float({0, 0, 0}), Vec3_f16::from_float({s, 0, 0}), com, __float2half_rn(0)};
}

void set_corners(HostTree& t, std::uint32_t x, float lo, float hi) {
    t.aabbs[x].min = Vec3_f16::from_float({lo, lo, lo});
    t.aabbs[x].max = Vec3_f16::from_float({hi, hi, hi});
}

struct Result {
    std::uint32_t node_count = 0, levels = 0;
    std::vector<BVH8Node> nodes;
    std::vector<LeafPointers> pointers;
    std::vector<std::uint32_t> node_parents, leaf_parents, child_counts;
};

template <typename T>
std::vector<T> head(std::vector<T> values, std::size_t count) {
    values.resize(count);
    return values;
}

Result collapse(const HostTree& t) {
    const std::uint32_t capacity = std::max(t.L - 1, 1u);
    test::DeviceBuffer<std::uint32_t> queue_a(capacity), queue_b(capacity), node_parents(capacity),
        child_counts(capacity), leaf_parents(t.L), level_counter(1), node_count(1);
    test::DeviceBuffer<AABB> aabbs(t.aabbs);
    test::DeviceBuffer<BinaryNode> binary(t.nodes.empty() ? std::vector<BinaryNode>{{0, 0}} : t.nodes);
    test::DeviceBuffer<BVH8Node> nodes(capacity);
    test::DeviceBuffer<LeafPointers> pointers(capacity);
    const ConvertBinary2BVH8Params params{
        queue_a.get(),  queue_b.get(),   node_parents.get(), level_counter.get(), t.L,
        aabbs.get(),    binary.get(),    child_counts.get(), leaf_parents.get(),  nodes.get(),
        pointers.get(), node_count.get()};
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(convert_binary_tree_to_bvh8(params, 0, stream));
    EXPECT_CUDA(cudaDeviceSynchronize());
    Result r;
    r.node_count = node_count.download()[0];
    r.levels = level_counter.download()[0];
    r.leaf_parents = leaf_parents.download();
    const std::uint32_t k = std::min(r.node_count, capacity);
    r.nodes = head(nodes.download(), k);
    r.pointers = head(pointers.download(), k);
    r.node_parents = head(node_parents.download(), k);
    r.child_counts = head(child_counts.download(), k);
    return r;
}

std::uint32_t source_of(const BVH8Node& n) { return static_cast<std::uint32_t>(n.com.x); }

bool same_bits(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// The first violated invariant of the collapsed tree, or "" when it is sound:
// node and slot tables agree, every packet sits in exactly one slot with its
// parent pointing back, internal children are contiguous from first_child,
// levels are contiguous, each node copies its source's box and covers exactly
// its source's packets, and the level count is the depth.
std::string structure_error(const HostTree& t, const Result& r) {
    const std::uint32_t K = r.node_count, L = t.L;
    if (K < 1 || K > L - 1) return "node count " + std::to_string(K);
    if (r.node_parents[0] != kNone) return "root has a parent";
    if (source_of(r.nodes[0]) != 0) return "root is not the binary root";
    std::vector<int> leaf_seen(L, 0), node_refs(K, 0);
    std::vector<std::uint32_t> depth(K, 0), covered(K, 0), min_leaf(K, kNone), max_leaf(K, 0);
    for (std::uint32_t v = 0; v < K; ++v) {
        const BVH8Node& n = r.nodes[v];
        const std::string at = "node " + std::to_string(v) + ": ";
        const std::uint32_t x = source_of(n);
        if (!t.is_internal(x)) return at + "source is not internal";
        const AABB& box = t.aabbs[x];
        if (!same_bits(&n.min, &box.min, 6) || !same_bits(&n.max, &box.max, 6) || !same_bits(&n.com, &box.com, 12) ||
            !same_bits(&n.max_dist, &box.max_dist, 2)) {
            return at + "box differs from its source";
        }
        const std::uint32_t c = r.child_counts[v];
        if (c < 2 || c > 8) return at + "child count " + std::to_string(c);
        std::uint32_t internal = 0;
        for (std::uint32_t i = 0; i < 8; ++i) {
            const ChildType type = n.getChildMeta(i);
            const std::uint32_t ptr = r.pointers[v].leaf_index[i];
            if ((i < c) == (type == Empty)) return at + "slot " + std::to_string(i) + " occupancy";
            if (type == Leaf) {
                if (ptr >= L) return at + "leaf slot without packet";
                if (t.lo[x] > ptr || ptr >= t.hi[x]) return at + "packet outside the source's range";
                ++leaf_seen[ptr];
                if (r.leaf_parents[ptr] != v) return at + "leaf parent does not point back";
            } else {
                if (ptr != kNone) return at + "non-leaf slot names a packet";
            }
            if (type == Internal) {
                const std::uint32_t w = n.first_child + internal++;
                if (w >= K || w <= v) return at + "child index " + std::to_string(w);
                if (r.node_parents[w] != v) return at + "child's parent does not point back";
                const std::uint32_t y = source_of(r.nodes[w]);
                if (!t.is_internal(y) || y <= x || t.lo[y] < t.lo[x] || t.hi[y] > t.hi[x])
                    return at + "child is not below the source";
                ++node_refs[w];
            }
            if (type == 3) return at + "child type 3";
        }
        if (v > 0) {
            if (r.node_parents[v] >= v) return at + "parent " + std::to_string(r.node_parents[v]);
            depth[v] = depth[r.node_parents[v]] + 1;
            if (depth[v] < depth[v - 1]) return at + "levels are not contiguous";
        }
    }
    for (std::uint32_t j = 0; j < L; ++j) {
        if (leaf_seen[j] != 1)
            return "packet " + std::to_string(j) + " held " + std::to_string(leaf_seen[j]) + " times";
    }
    for (std::uint32_t v = 1; v < K; ++v) {
        if (node_refs[v] != 1)
            return "node " + std::to_string(v) + " referenced " + std::to_string(node_refs[v]) + " times";
    }
    // Packets per subtree, children first (children have larger indices).
    for (std::uint32_t j = 0; j < L; ++j) {
        const std::uint32_t v = r.leaf_parents[j];
        ++covered[v];
        min_leaf[v] = std::min(min_leaf[v], j);
        max_leaf[v] = std::max(max_leaf[v], j);
    }
    for (std::uint32_t v = K; v-- > 1;) {
        const std::uint32_t p = r.node_parents[v];
        covered[p] += covered[v];
        min_leaf[p] = std::min(min_leaf[p], min_leaf[v]);
        max_leaf[p] = std::max(max_leaf[p], max_leaf[v]);
    }
    for (std::uint32_t v = 0; v < K; ++v) {
        const std::uint32_t x = source_of(r.nodes[v]);
        if (covered[v] != t.hi[x] - t.lo[x] || min_leaf[v] != t.lo[x] || max_leaf[v] + 1 != t.hi[x]) {
            return "node " + std::to_string(v) + " does not cover its source's packets";
        }
    }
    if (r.levels != depth[K - 1] + 1) {
        return "level count " + std::to_string(r.levels) + ", depth " + std::to_string(depth[K - 1] + 1);
    }
    return "";
}

// For trees whose sizes shrink downwards: a node stops short of 8 slots only
// when nothing is left to open, and every internal slot it keeps is no larger
// than any binary node it opened.
std::string opening_error(const HostTree& t, const Result& r) {
    for (std::uint32_t v = 0; v < r.node_count; ++v) {
        const BVH8Node& n = r.nodes[v];
        const std::uint32_t x = source_of(n), c = r.child_counts[v];
        float smallest_opened = std::numeric_limits<float>::infinity(), largest_kept = -1.0f;
        std::uint32_t internal = 0;
        for (std::uint32_t i = 0; i < c; ++i) {
            std::uint32_t y;
            if (n.getChildMeta(i) == Leaf) {
                y = t.leaf(r.pointers[v].leaf_index[i]);
            } else {
                y = source_of(r.nodes[n.first_child + internal++]);
                largest_kept = std::max(largest_kept, t.size(y));
            }
            for (std::uint32_t a = t.parent[y];; a = t.parent[a]) {
                smallest_opened = std::min(smallest_opened, t.size(a));
                if (a == x) break;
            }
        }
        if (c < 8 && internal > 0) return "node " + std::to_string(v) + " stopped with openable slots";
        if (largest_kept > smallest_opened) return "node " + std::to_string(v) + " kept a larger box than it opened";
    }
    return "";
}

std::vector<std::uint32_t> slot_contents(const HostTree& t, const Result& r, std::uint32_t v) {
    std::vector<std::uint32_t> slots;
    std::uint32_t internal = 0;
    for (std::uint32_t i = 0; i < r.child_counts[v]; ++i) {
        slots.push_back(r.nodes[v].getChildMeta(i) == Leaf ? t.leaf(r.pointers[v].leaf_index[i])
                                                           : source_of(r.nodes[r.nodes[v].first_child + internal++]));
    }
    return slots;
}

TEST_F(Collapse, TwoPacketsMakeOneNodeWithTwoLeafSlots) {
    std::mt19937 rng(1);
    const HostTree t = make_tree(2, balanced(), rng);
    const Result r = collapse(t);
    ASSERT_EQ(1u, r.node_count);
    EXPECT_EQ(1u, r.levels);
    EXPECT_EQ(2u, r.child_counts[0]);
    EXPECT_EQ(1u, r.nodes[0].first_child);  // although no child is internal
    EXPECT_EQ(kNone, r.node_parents[0]);
    EXPECT_EQ(Leaf, r.nodes[0].getChildMeta(0));
    EXPECT_EQ(Leaf, r.nodes[0].getChildMeta(1));
    for (int i = 2; i < 8; ++i) EXPECT_EQ(Empty, r.nodes[0].getChildMeta(i));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 1, kNone, kNone, kNone, kNone, kNone, kNone}),
              std::vector<std::uint32_t>(r.pointers[0].leaf_index, r.pointers[0].leaf_index + 8));
    EXPECT_EQ((std::vector<std::uint32_t>{0, 0}), r.leaf_parents);
    EXPECT_EQ("", structure_error(t, r));
}

TEST_F(Collapse, BalancedEightPacketsFitTheRoot) {
    std::mt19937 rng(2);
    const HostTree t = make_tree(8, balanced(), rng);
    const Result r = collapse(t);
    ASSERT_EQ(1u, r.node_count);
    EXPECT_EQ(1u, r.levels);
    EXPECT_EQ(8u, r.child_counts[0]);
    EXPECT_EQ("", structure_error(t, r));
}

// 16 packets, balanced: root 0 = [0,16), A = 1, A1 = 2, A11 = 3, A12 = 4,
// A2 = 5, A21 = 6, A22 = 7, B = 8, B1 = 9, B11 = 10, B12 = 11, B2 = 12,
// B21 = 13, B22 = 14.
TEST_F(Collapse, EqualSizesOpenTheLowerSlot) {
    std::mt19937 rng(3);
    HostTree t = make_tree(16, balanced(), rng);
    for (std::uint32_t x = 0; x < 15; ++x) set_size(t, x, 4.0f);
    const Result r = collapse(t);
    ASSERT_EQ("", structure_error(t, r));
    // Slot 0 is opened down to packets before B gets a turn in slot 1.
    EXPECT_EQ((std::vector<std::uint32_t>{t.leaf(0), t.leaf(8), 5, 4, t.leaf(1), 12, 11, t.leaf(9)}),
              slot_contents(t, r, 0));
    // A2: its left child is replaced in place, the right ones appended.
    EXPECT_EQ((std::vector<std::uint32_t>{t.leaf(4), t.leaf(6), t.leaf(5), t.leaf(7)}), slot_contents(t, r, 1));
    EXPECT_EQ(5u, r.node_count);
    EXPECT_EQ(2u, r.levels);
}

TEST_F(Collapse, TheLargestBoxIsOpenedFirst) {
    std::mt19937 rng(4);
    HostTree t = make_tree(16, balanced(), rng);
    for (std::uint32_t x = 1; x < 8; ++x) set_size(t, x, 1.0f);
    for (std::uint32_t x = 8; x < 15; ++x) set_size(t, x, 2.0f);
    set_size(t, 0, 3.0f);
    const Result r = collapse(t);
    ASSERT_EQ("", structure_error(t, r));
    EXPECT_EQ((std::vector<std::uint32_t>{1, t.leaf(8), t.leaf(12), t.leaf(10), t.leaf(9), 14, t.leaf(13), t.leaf(11)}),
              slot_contents(t, r, 0));
    EXPECT_EQ("", opening_error(t, r));
}

TEST_F(Collapse, RandomTreesAreSoundCollapses) {
    std::mt19937 rng(5);
    for (std::uint32_t L : {3u, 9u, 31u, 257u, 3000u}) {
        const HostTree t = make_tree(L, random_split(rng), rng);
        const Result r = collapse(t);
        const std::string error = structure_error(t, r);
        EXPECT_EQ("", error) << "L = " << L;
        if (error.empty()) EXPECT_EQ("", opening_error(t, r)) << "L = " << L;
    }
}

// A chain is the deepest binary tree: one level per seven opened nodes.
TEST_F(Collapse, ChainCollapsesLevelByLevel) {
    std::mt19937 rng(6);
    const HostTree t = make_tree(
        300, [](std::uint32_t lo, std::uint32_t) { return lo + 1; }, rng);
    const Result r = collapse(t);
    ASSERT_EQ("", structure_error(t, r));
    EXPECT_EQ("", opening_error(t, r));
    EXPECT_EQ(43u, r.node_count);  // ceil(299 / 7)
    EXPECT_EQ(43u, r.levels);
}

#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
// On one multiprocessor the grid has fewer threads than the widest levels,
// so threads take several turns per pass.
TEST_F(Collapse, LevelsWiderThanTheGrid) {
    hr::set_multiprocessor_count(0, 1);
    std::mt19937 rng(7);
    const HostTree t = make_tree(1u << 15, balanced(), rng);
    const Result r = collapse(t);
    ASSERT_EQ("", structure_error(t, r));
    EXPECT_EQ("", opening_error(t, r));
    const HostTree u = make_tree(40000, random_split(rng), rng);
    const Result s = collapse(u);
    EXPECT_EQ("", structure_error(u, s));
}
#endif

TEST_F(Collapse, NonFiniteSizesStillTerminate) {
    std::mt19937 rng(8);
    // NaN everywhere: nothing is opened beyond the node itself, so the
    // collapse copies the binary tree one node per node.
    HostTree nan_tree = make_tree(200, random_split(rng), rng);
    for (std::uint32_t x = 0; x + 1 < nan_tree.L; ++x) set_corners(nan_tree, x, 70000.0f, 70000.0f);
    ASSERT_TRUE(std::isnan(nan_tree.size(0)));
    const Result a = collapse(nan_tree);
    EXPECT_EQ("", structure_error(nan_tree, a));
    EXPECT_EQ(nan_tree.L - 1, a.node_count);
    for (std::uint32_t v = 0; v < a.node_count; ++v) EXPECT_EQ(2u, a.child_counts[v]);

    // Infinite everywhere: ties all the way, the lower slot wins.
    HostTree inf_tree = make_tree(8, balanced(), rng);
    for (std::uint32_t x = 0; x < 7; ++x) set_corners(inf_tree, x, -70000.0f, 70000.0f);
    ASSERT_TRUE(std::isinf(inf_tree.size(0)));
    const Result b = collapse(inf_tree);
    ASSERT_EQ(1u, b.node_count);
    EXPECT_EQ((std::vector<std::uint32_t>{inf_tree.leaf(0), inf_tree.leaf(4), inf_tree.leaf(2), inf_tree.leaf(1),
                                          inf_tree.leaf(6), inf_tree.leaf(5), inf_tree.leaf(3), inf_tree.leaf(7)}),
              slot_contents(inf_tree, b, 0));

    // A mixture on a random tree.
    HostTree mixed = make_tree(500, random_split(rng), rng);
    for (std::uint32_t x = 0; x + 1 < mixed.L; ++x) {
        const unsigned pick = rng() % 3;
        if (pick == 0) set_corners(mixed, x, 70000.0f, 70000.0f);
        if (pick == 1) set_corners(mixed, x, -70000.0f, 70000.0f);
    }
    EXPECT_EQ("", structure_error(mixed, collapse(mixed)));
}

#if defined(NOLITH_HOST_FLAVOUR)  // the host runtime's test hooks
TEST_F(Collapse, SinglePacketMakesNoNodeAndNoPacketsNothing) {
    std::mt19937 rng(9);
    const HostTree t = make_tree(1, balanced(), rng);
    hr::clear_failures();
    const Result r = collapse(t);
    EXPECT_EQ(0u, r.node_count);
    EXPECT_EQ(kNone, r.leaf_parents[0]);

    ConvertBinary2BVH8Params empty{};
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(convert_binary_tree_to_bvh8(empty, 0, stream));
    EXPECT_EQ(0u, hr::calls(hr::Operation::Launch));
}

TEST_F(Collapse, RefusesDevicesWithoutCooperativeLaunch) {
    std::mt19937 rng(10);
    const HostTree t = make_tree(20, random_split(rng), rng);
    hr::set_cooperative_launch(0, false);
    hr::clear_failures();
    try {
        collapse(t);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Device does not support Cooperative Launch", e.what());
    }
    EXPECT_EQ(0u, hr::calls(hr::Operation::Launch));
    hr::reset_device_properties();
}
#endif

}  // namespace
