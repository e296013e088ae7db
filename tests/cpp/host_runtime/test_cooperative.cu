#include "gpu.h"

// Cooperative launches (grid sync across blocks on their own OS threads),
// their limits, and device atomics shared by concurrently running blocks.

#include "test_support.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

namespace {

using test::DeviceBuffer;
using test::value_of;
namespace hr = test::hr;
using Cooperative = test::RuntimeTest;
using Atomics = test::RuntimeTest;

// Breadth-first levels of a graph, one pass per level: the grid's threads
// split the current frontier by rank, append newly reached nodes to the next
// frontier through an atomic tail counter, and a grid sync ends each pass.
// A block that ran ahead would read an incomplete frontier and skip its share.
__global__ void bfs_kernel(const int* offsets, const int* targets, int* level, int* frontier_a, int* frontier_b,
                           unsigned* sizes) {
    cg::grid_group grid = cg::this_grid();
    int* current = frontier_a;
    int* next = frontier_b;
    for (int depth = 0;; ++depth) {
        const unsigned count = sizes[depth];  // complete: written before the last grid sync
        if (count == 0) break;
        for (unsigned long long i = grid.thread_rank(); i < count; i += grid.size()) {
            const int v = current[i];
            for (int e = offsets[v]; e < offsets[v + 1]; ++e) {
                const int w = targets[e];
                if (atomicCAS(&level[w], -1, depth + 1) == -1) next[atomicAdd(&sizes[depth + 1], 1u)] = w;
            }
        }
        grid.sync();
        int* const done = current;
        current = next;
        next = done;
    }
}

struct Graph {
    std::vector<int> offsets, targets;
};

Graph make_graph(int nodes) {
    Graph g;
    g.offsets.push_back(0);
    for (int v = 0; v < nodes; ++v) {
        // A chain keeps the graph deep; two pseudo-random edges make frontiers wide.
        if (v + 1 < nodes) g.targets.push_back(v + 1);
        g.targets.push_back(static_cast<int>(value_of(v, 1) % nodes));
        if (v % 3 == 0) g.targets.push_back(static_cast<int>(value_of(v, 2) % nodes));
        g.offsets.push_back(static_cast<int>(g.targets.size()));
    }
    return g;
}

std::vector<int> sequential_levels(const Graph& g, int source) {
    std::vector<int> level(g.offsets.size() - 1, -1);
    std::queue<int> queue;
    level[source] = 0;
    queue.push(source);
    while (!queue.empty()) {
        const int v = queue.front();
        queue.pop();
        for (int e = g.offsets[v]; e < g.offsets[v + 1]; ++e) {
            if (level[g.targets[e]] < 0) {
                level[g.targets[e]] = level[v] + 1;
                queue.push(g.targets[e]);
            }
        }
    }
    return level;
}

int cooperative_grid(int block_size) {
    int device = 0, per_multiprocessor = 0;
    cudaDeviceProp prop;
    EXPECT_CUDA(cudaGetDevice(&device));
    EXPECT_CUDA(cudaGetDeviceProperties(&prop, device));
    EXPECT_CUDA(cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&per_multiprocessor, bfs_kernel, block_size,
                                                                       0, cudaOccupancyDefault));
    return per_multiprocessor * prop.multiProcessorCount;
}

TEST_F(Cooperative, GridSyncSeparatesPassesOfALevelByLevelWorkQueue) {
    constexpr int kNodes = 3000, kBlockSize = 64;
    const Graph g = make_graph(kNodes);
    const std::vector<int> expected = sequential_levels(g, 0);
    const int blocks = cooperative_grid(kBlockSize);
    ASSERT_GE(blocks, 2);

    std::vector<int> level(kNodes, -1), frontier(kNodes, 0);
    level[0] = 0;
    std::vector<unsigned> sizes(kNodes + 2, 0);
    sizes[0] = 1;
    DeviceBuffer<int> offsets(g.offsets), targets(g.targets), d_level(level), a(frontier), b(frontier);
    DeviceBuffer<unsigned> d_sizes(sizes);
    ASSERT_CUDA(nolith_cuda::launch_cooperative<bfs_kernel>(blocks, kBlockSize, 0, nullptr, offsets.get(),
                                                            targets.get(), d_level.get(), a.get(), b.get(),
                                                            d_sizes.get()));
    EXPECT_EQ(d_level.download(), expected);
    const std::vector<unsigned> got_sizes = d_sizes.download();
    const int depth = *std::max_element(expected.begin(), expected.end());
    ASSERT_GT(depth, 10);
    for (int d = 0; d <= depth + 1; ++d) {
        EXPECT_EQ(got_sizes[d], static_cast<unsigned>(std::count(expected.begin(), expected.end(), d)))
            << "level " << d;
    }
}

__global__ void count_blocks_kernel(unsigned* ran) { atomicAdd(ran, 1u); }

TEST_F(Cooperative, GridLargerThanTheResidentBlocksIsRefused) {
    DeviceBuffer<unsigned> ran(1);
    ran.zero();
    const int limit = cooperative_grid(32);
    EXPECT_EQ(cudaErrorCooperativeLaunchTooLarge,
              nolith_cuda::launch_cooperative<count_blocks_kernel>(limit + 1, 32, 0, nullptr, ran.get()));
    EXPECT_EQ(cudaErrorCooperativeLaunchTooLarge, cudaGetLastError());
    ASSERT_CUDA(nolith_cuda::launch_cooperative<count_blocks_kernel>(limit, 32, 0, nullptr, ran.get()));
    EXPECT_EQ(ran.download()[0], static_cast<unsigned>(limit) * 32);

    // Fewer multiprocessors, fewer co-resident blocks.
    int multiprocessors = 0;
    ASSERT_CUDA(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, 0));
    ASSERT_GT(multiprocessors, 1);
    hr::set_multiprocessor_count(0, 1);
    const int small = cooperative_grid(32);
    EXPECT_EQ(small * multiprocessors, limit);
    ran.zero();
    EXPECT_EQ(cudaErrorCooperativeLaunchTooLarge,
              nolith_cuda::launch_cooperative<count_blocks_kernel>(small + 1, 32, 0, nullptr, ran.get()));
    ASSERT_CUDA(nolith_cuda::launch_cooperative<count_blocks_kernel>(small, 32, 0, nullptr, ran.get()));
    EXPECT_EQ(ran.download()[0], static_cast<unsigned>(small) * 32);
}

TEST_F(Cooperative, DeviceWithoutCooperativeLaunchRefusesAndSaysSo) {
    DeviceBuffer<unsigned> ran(1);
    ran.zero();
    hr::set_cooperative_launch(0, false);
    cudaDeviceProp prop;
    int attribute = -1;
    ASSERT_CUDA(cudaGetDeviceProperties(&prop, 0));
    ASSERT_CUDA(cudaDeviceGetAttribute(&attribute, cudaDevAttrCooperativeLaunch, 0));
    EXPECT_EQ(prop.cooperativeLaunch, 0);
    EXPECT_EQ(attribute, 0);
    EXPECT_EQ(cudaErrorNotSupported,
              nolith_cuda::launch_cooperative<count_blocks_kernel>(1, 32, 0, nullptr, ran.get()));
    EXPECT_EQ(ran.download()[0], 0u);
    // Ordinary launches and the other device are unaffected.
    ASSERT_CUDA(nolith_cuda::launch<count_blocks_kernel>(1, 32, 0, nullptr, ran.get()));
    ASSERT_CUDA(cudaDeviceGetAttribute(&attribute, cudaDevAttrCooperativeLaunch, 1));
    EXPECT_EQ(attribute, 1);

    hr::reset_device_properties();
    ASSERT_CUDA(nolith_cuda::launch_cooperative<count_blocks_kernel>(1, 32, 0, nullptr, ran.get()));
    EXPECT_EQ(ran.download()[0], 64u);
}

struct Counters {
    unsigned u32;
    int i32;
    unsigned long long u64;
    float f32;
    unsigned cas_counter;
    int maximum;
    int minimum;
    unsigned exchanged;
};

__host__ __device__ int scrambled(unsigned id) { return static_cast<int>(value_of(id, 5) * 2654435761u); }

// Every thread hammers the same counters; blocks run in parallel on worker threads.
__global__ void hammer_kernel(Counters* c, unsigned* replaced, int iterations) {
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    for (int k = 0; k < iterations; ++k) {
        atomicAdd(&c->u32, 1u);
        atomicAdd(&c->i32, -1);
        atomicAdd(&c->u64, (1ull << 32) + 1);
        atomicAdd(&c->f32, 0.5f);
        unsigned seen = atomicAdd(&c->cas_counter, 0u), assumed;
        do {
            assumed = seen;
            seen = atomicCAS(&c->cas_counter, assumed, assumed + 1);
        } while (seen != assumed);
    }
    atomicMax(&c->maximum, scrambled(id));
    atomicMin(&c->minimum, scrambled(id));
    replaced[id] = atomicExch(&c->exchanged, id + 1);
}

TEST_F(Atomics, ManyBlocksOnOneCounterLoseNoUpdate) {
    constexpr unsigned kBlocks = 64, kThreads = 128, n = kBlocks * kThreads;
    constexpr int kIterations = 40;
    Counters initial{};
    initial.maximum = std::numeric_limits<int>::min();
    initial.minimum = std::numeric_limits<int>::max();
    DeviceBuffer<Counters> counters(std::vector<Counters>{initial});
    DeviceBuffer<unsigned> replaced(n);
    ASSERT_CUDA(nolith_cuda::launch<hammer_kernel>(kBlocks, kThreads, 0, nullptr, counters.get(), replaced.get(),
                                                   kIterations));
    const Counters c = counters.download()[0];
    const unsigned long long updates = static_cast<unsigned long long>(n) * kIterations;
    EXPECT_EQ(c.u32, updates);
    EXPECT_EQ(c.i32, -static_cast<long long>(updates));
    EXPECT_EQ(c.u64, updates * ((1ull << 32) + 1));
    EXPECT_EQ(c.f32, 0.5f * static_cast<float>(updates));  // exact: below 2^24
    EXPECT_EQ(c.cas_counter, updates);
    int maximum = initial.maximum, minimum = initial.minimum;
    for (unsigned id = 0; id < n; ++id) {
        maximum = std::max(maximum, scrambled(id));
        minimum = std::min(minimum, scrambled(id));
    }
    EXPECT_EQ(c.maximum, maximum);
    EXPECT_EQ(c.minimum, minimum);
    // Each exchange replaced a distinct value: the initial 0 and every id + 1 but the final one.
    std::vector<unsigned> values = replaced.download();
    values.push_back(c.exchanged);
    std::sort(values.begin(), values.end());
    for (unsigned i = 0; i <= n; ++i) ASSERT_EQ(values[i], i);
}

}  // namespace
