// Binary radix tree topology over leaf codes: the exact trees of small
// inputs, and validity of random trees.
#include "gpu.h"
#include "host_runtime/test_support.h"
#include "kernels/build_binary_tree/binary_topology.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct Topology {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> nodes;
    std::vector<std::uint32_t> parents;
};

Topology build(const std::vector<std::uint64_t>& codes) {
    const std::uint32_t L = static_cast<std::uint32_t>(codes.size());
    test::DeviceBuffer<std::uint64_t> leaf_codes(codes);
    test::DeviceBuffer<BinaryNode> nodes(L - 1);
    test::DeviceBuffer<std::uint32_t> parents(2 * L - 1);
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(build_binary_topology(leaf_codes.get(), nodes.get(), parents.get(), L, stream));
    Topology t;
    for (const BinaryNode& n : nodes.download()) t.nodes.emplace_back(n.left, n.right);
    t.parents = parents.download();
    return t;
}

using Nodes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

TEST(BinaryTopology, SmallInputsGiveTheirExactTrees) {
    Topology two = build({7, 9});
    EXPECT_EQ(two.nodes, (Nodes{{1, 2}}));
    EXPECT_EQ(two.parents, (std::vector<std::uint32_t>{kNone, 0, 0}));

    Topology three = build({4, 4, 4});
    EXPECT_EQ(three.nodes, (Nodes{{1, 4}, {2, 3}}));
    EXPECT_EQ(three.parents, (std::vector<std::uint32_t>{kNone, 0, 1, 1, 0}));

    // Equal codes: the index tie-break alone shapes the tree.
    EXPECT_EQ(build({0, 0, 0, 0, 0}).nodes, (Nodes{{3, 8}, {4, 5}, {6, 7}, {1, 2}}));
    EXPECT_EQ(build({1, 2, 4, 5, 19, 24, 25, 30}).nodes,
              (Nodes{{3, 4}, {7, 8}, {9, 10}, {1, 2}, {11, 5}, {6, 14}, {12, 13}}));
    EXPECT_EQ(build({0, 0, 1, 1}).nodes, (Nodes{{1, 2}, {3, 4}, {5, 6}}));
}

TEST(BinaryTopology, ASingleLeafIsTheRoot) {
    test::DeviceBuffer<std::uint64_t> codes(std::vector<std::uint64_t>{42});
    test::DeviceBuffer<std::uint32_t> parents(std::vector<std::uint32_t>{7});
    cudaStream_t stream = nullptr;
    EXPECT_CUDA(build_binary_topology(codes.get(), nullptr, parents.get(), 1, stream));
    EXPECT_EQ(parents.download(), std::vector<std::uint32_t>{kNone});
}

// Every internal node and leaf is reached exactly once from the root, the
// parent links agree with the child links, and each node's leaves are a
// contiguous range split into a lower and an upper part.
TEST(BinaryTopology, RandomCodesWithRunsGiveValidTrees) {
    std::mt19937_64 rng(5);
    for (std::uint32_t L : {2u, 3u, 17u, 256u, 1000u}) {
        std::vector<std::uint64_t> codes(L);
        for (auto& c : codes) c = rng() % (L / 2 + 1) * 0x9E3779B97F4A7Cull;  // many equal neighbours
        std::sort(codes.begin(), codes.end());
        const Topology t = build(codes);
        std::vector<int> seen(2 * L - 1, 0);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> range(2 * L - 1);
        // Post-order over the tree, from the root.
        std::vector<std::pair<std::uint32_t, bool>> stack{{0, false}};
        while (!stack.empty()) {
            auto [x, done] = stack.back();
            stack.pop_back();
            if (x >= L - 1) {
                range[x] = {x - (L - 1), x - (L - 1)};
                ++seen[x];
                continue;
            }
            const auto [left, right] = t.nodes[x];
            if (!done) {
                ++seen[x];
                ASSERT_LT(left, 2 * L - 1);
                ASSERT_LT(right, 2 * L - 1);
                ASSERT_EQ(t.parents[left], x);
                ASSERT_EQ(t.parents[right], x);
                stack.push_back({x, true});
                stack.push_back({left, false});
                stack.push_back({right, false});
            } else {
                ASSERT_EQ(range[left].second + 1, range[right].first) << "node " << x << " is not contiguous";
                range[x] = {range[left].first, range[right].second};
                // Internal node x is the node whose range has x at one end.
                ASSERT_TRUE(range[x].first == x || range[x].second == x);
            }
        }
        EXPECT_EQ(range[0], std::make_pair(0u, L - 1));
        EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int s) { return s == 1; })) << "L = " << L;
        EXPECT_EQ(t.parents[0], kNone);
    }
}

}  // namespace
