// Launch validation and block dispatch: ordinary grids over a worker pool,
// cooperative grids with one OS thread per block.

#include "host_launch.h"

#include "runtime_state.h"
#include "sanitizers.h"
#include "scheduler.h"
#include "streams.h"

#include <xmmintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace nolith_host {

namespace {

// Kernels run with denormals flushed to zero, as fast-math device code does.
class FlushDenormals {
public:
    FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~FlushDenormals() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
};

struct Grid {
    const char* kernel_name;
    dim3 grid;
    dim3 block;
    std::size_t dynamic_shared_bytes;
    const std::function<void()>* body;
    bool cooperative;
    GridBarrier* barrier;
};

void run_one_block(const Grid& g, unsigned long long linear_block) {
    BlockRun block;
    block.kernel_name = g.kernel_name;
    block.cooperative = g.cooperative;
    block.grid_barrier = g.barrier;
    block.body = g.body;
    const uint3 index = make_uint3(static_cast<unsigned>(linear_block % g.grid.x),
                                   static_cast<unsigned>((linear_block / g.grid.x) % g.grid.y),
                                   static_cast<unsigned>(linear_block / (static_cast<unsigned long long>(g.grid.x) * g.grid.y)));
    run_block(block, index, g.grid, g.block, g.dynamic_shared_bytes);
}

// Persistent workers for ordinary launches; the launching thread helps too.
// Blocks are handed out as threads become free, except in the race-check
// build: there block b always runs on participant b % participants, so that
// neighbouring blocks run on different OS threads, which ThreadSanitizer
// keeps unordered (blocks on one OS thread are ordered by the scheduler).
class WorkerPool {
public:
    WorkerPool() {
        const unsigned cores = std::max(race::kEnabled ? 2u : 1u, std::thread::hardware_concurrency());
        for (unsigned i = 1; i < cores; ++i) workers_.emplace_back([this, i] { work(i); });
    }

    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
    }

    void run(const Grid& grid, unsigned long long blocks) {
        Job job{&grid, blocks};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            ++generation_;
        }
        wake_.notify_all();
        const unsigned long long mine = drain(job, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        job.finished += mine;
        // The job lives on this stack: wait until no worker holds it any more.
        done_.wait(lock, [&] { return job.finished == job.blocks && job.users == 0; });
        job_ = nullptr;
    }

private:
    struct Job {
        const Grid* grid;
        unsigned long long blocks;
        std::atomic<unsigned long long> next{0};
        unsigned long long finished = 0;
        unsigned users = 0;
    };

    unsigned long long drain(Job& job, unsigned participant) {
        FlushDenormals flush;
        unsigned long long count = 0;
        if (race::kEnabled) {
            const unsigned participants = static_cast<unsigned>(workers_.size()) + 1;
            for (unsigned long long b = participant; b < job.blocks; b += participants, ++count) {
                run_one_block(*job.grid, b);
            }
            return count;
        }
        for (unsigned long long b = job.next.fetch_add(1); b < job.blocks; b = job.next.fetch_add(1)) {
            run_one_block(*job.grid, b);
            ++count;
        }
        return count;
    }

    void work(unsigned participant) {
        unsigned long long seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || (job_ && generation_ != seen); });
            if (stopping_) return;
            seen = generation_;
            Job& job = *job_;
            ++job.users;
            lock.unlock();
            const unsigned long long mine = drain(job, participant);
            lock.lock();
            job.finished += mine;
            --job.users;
            done_.notify_all();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    unsigned long long generation_ = 0;
    bool stopping_ = false;
};

// OS threads for cooperative grids, one per block and all running at once,
// since a grid sync needs the whole grid resident. They are kept between
// launches: creating them costs more than a small kernel, several times more
// in the race-check build.
class CooperativePool {
public:
    ~CooperativePool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    void run(const Grid& grid, unsigned blocks) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (threads_.size() < blocks) {
            const unsigned index = static_cast<unsigned>(threads_.size());
            threads_.emplace_back([this, index] { work(index); });
        }
        grid_ = &grid;
        blocks_ = blocks;
        remaining_ = blocks;
        ++generation_;
        wake_.notify_all();
        done_.wait(lock, [&] { return remaining_ == 0; });
        grid_ = nullptr;
    }

private:
    void work(unsigned index) {
        unsigned long long seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            if (index >= blocks_) continue;
            const Grid* grid = grid_;
            lock.unlock();
            {
                FlushDenormals flush;
                run_one_block(*grid, index);
            }
            lock.lock();
            if (--remaining_ == 0) done_.notify_all();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const Grid* grid_ = nullptr;
    unsigned blocks_ = 0;
    unsigned remaining_ = 0;
    unsigned long long generation_ = 0;
    bool stopping_ = false;
};

cudaError_t check_configuration(dim3 grid, dim3 block, std::size_t dynamic_shared_bytes, int device) {
    const cudaDeviceProp& p = device_properties(device);
    const unsigned long long threads = static_cast<unsigned long long>(block.x) * block.y * block.z;
    if (!grid.x || !grid.y || !grid.z || !threads) return cudaErrorInvalidConfiguration;
    if (threads > static_cast<unsigned long long>(p.maxThreadsPerBlock) ||
        block.x > static_cast<unsigned>(p.maxThreadsDim[0]) || block.y > static_cast<unsigned>(p.maxThreadsDim[1]) ||
        block.z > static_cast<unsigned>(p.maxThreadsDim[2])) {
        return cudaErrorInvalidConfiguration;
    }
    if (grid.x > static_cast<unsigned>(p.maxGridSize[0]) || grid.y > static_cast<unsigned>(p.maxGridSize[1]) ||
        grid.z > static_cast<unsigned>(p.maxGridSize[2])) {
        return cudaErrorInvalidConfiguration;
    }
    if (dynamic_shared_bytes > p.sharedMemPerBlock) return cudaErrorInvalidValue;
    return cudaSuccess;
}

std::mutex launch_mutex;

}  // namespace

cudaError_t launch_kernel(const char* kernel_name, dim3 grid, dim3 block, std::size_t dynamic_shared_bytes,
                          cudaStream_t stream, bool cooperative, const std::function<void()>& body) {
    int stream_dev;
    if (cudaError_t status = stream_device(stream, &stream_dev)) return record(status);
    // A launch runs on the current device; a stream of another device is not a handle it knows.
    if (stream_dev != current_device()) return record(cudaErrorInvalidResourceHandle);
    if (cudaError_t status = check_configuration(grid, block, dynamic_shared_bytes, current_device())) {
        return record(status);
    }
    const unsigned long long blocks = static_cast<unsigned long long>(grid.x) * grid.y * grid.z;
    if (cooperative) {
        const cudaDeviceProp& p = device_properties(current_device());
        if (!p.cooperativeLaunch) return record(cudaErrorNotSupported);
        const int per_sm = resident_blocks_per_multiprocessor(static_cast<int>(block.x * block.y * block.z),
                                                              dynamic_shared_bytes);
        if (blocks > static_cast<unsigned long long>(per_sm) * p.multiProcessorCount) {
            return record(cudaErrorCooperativeLaunchTooLarge);
        }
    }
    if (cudaError_t injected = injected_failure(testing::Operation::Launch)) return record(injected);

    // The launch is stream work: it runs when the stream gets to it.
    enqueue(stream, [=]() {
        std::lock_guard<std::mutex> lock(launch_mutex);
        if (cooperative) {
            static CooperativePool pool;
            GridBarrier barrier(static_cast<unsigned>(blocks));
            const Grid g{kernel_name, grid, block, dynamic_shared_bytes, &body, true, &barrier};
            pool.run(g, static_cast<unsigned>(blocks));
        } else {
            static WorkerPool pool;
            const Grid g{kernel_name, grid, block, dynamic_shared_bytes, &body, false, nullptr};
            pool.run(g, blocks);
        }
    });
    return cudaSuccess;
}

void fence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

long long int clock64_impl() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace nolith_host

long long int clock64() { return nolith_host::clock64_impl(); }
