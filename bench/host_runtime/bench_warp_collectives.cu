// Cost of one warp collective per lane in the host runtime: each lane of a
// grid runs a chain of dependent collectives; the figure is wall time divided
// by (lanes x collectives). Blocks run on all cores, so on two cores the
// figure is about half the cost of one collective on one core.
#include "gpu.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr unsigned kBlocks = 8;
constexpr unsigned kThreads = 256;

__global__ void shfl_xor_chain_kernel(unsigned* out, int rounds) {
    unsigned value = threadIdx.x;
    for (int r = 0; r < rounds; ++r) value += __shfl_xor_sync(0xffffffffu, value, r & 31);
    out[blockIdx.x * blockDim.x + threadIdx.x] = value;
}

__global__ void ballot_chain_kernel(unsigned* out, int rounds) {
    unsigned value = threadIdx.x;
    for (int r = 0; r < rounds; ++r) value += __ballot_sync(0xffffffffu, (value >> (r & 7)) & 1u);
    out[blockIdx.x * blockDim.x + threadIdx.x] = value;
}

__global__ void syncthreads_chain_kernel(unsigned* out, int rounds) {
    for (int r = 0; r < rounds; ++r) __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = rounds;
}

template <auto Kernel>
void run_chain(benchmark::State& state) {
    const int rounds = static_cast<int>(state.range(0));
    unsigned* out = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&out), kBlocks * kThreads * sizeof(unsigned));
    for (auto _ : state) {
        nolith_cuda::launch<Kernel>(dim3(kBlocks), dim3(kThreads), 0, nullptr, out, rounds);
        cudaDeviceSynchronize();  // the launch may be queued (NOLITH_HOST_STREAMS=deferred)
    }
    cudaFree(out);
    const double lane_collectives = double(kBlocks) * kThreads * rounds * state.iterations();
    // Printed in seconds with an SI prefix: "20n" is 20 ns per lane and collective.
    state.counters["per_lane_collective"] =
        benchmark::Counter(lane_collectives, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(run_chain<shfl_xor_chain_kernel>)->Name("shfl_xor_sync")->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(run_chain<ballot_chain_kernel>)->Name("ballot_sync")->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(run_chain<syncthreads_chain_kernel>)->Name("syncthreads")->Arg(256)->Unit(benchmark::kMillisecond);
