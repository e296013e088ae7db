// Streams, events and the queue of stream work (see streams.h).

#include "streams.h"

#include "options.h"
#include "runtime_state.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <queue>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nolith_host {

struct Work {
    std::function<void()> job;
    std::vector<WorkHandle> after;  // cleared once this work has run
    std::uint64_t sequence = 0;
    int device = 0;
    bool done = false;
    // A release's check of its memory, for when it ran ahead of earlier work.
    std::function<void()> check;
    std::chrono::steady_clock::time_point finished;
};

}  // namespace nolith_host

using nolith_host::WorkHandle;

struct CUstream_st {
    int device;
    bool blocking;  // orders with the legacy default stream
    WorkHandle last;
};

struct CUevent_st {
    int device;
    unsigned flags;
    WorkHandle marker;  // the point of the stream the last record captured; null before
};

namespace nolith_host {

namespace {

struct Queue {
    // Held while work runs, so that work runs one piece at a time and never
    // while another host thread changes the queue.
    std::mutex mutex;
    std::uint64_t sequence = 0;
    std::vector<WorkHandle> pending;  // in queueing order
    // Pending work that runs as soon as what it is ordered after has run
    // (releases and markers), in queueing order.
    std::vector<WorkHandle> early;
    // The checks of releases that ran while work queued before them was
    // pending, by the release's place in the queue: they run once that work has.
    std::vector<std::pair<std::uint64_t, std::function<void()>>> overtaken;
    std::set<CUstream_st*> streams;
    std::set<CUevent_st*> events;
    std::array<CUstream_st, kDeviceCount> legacy{};
    // cudaStreamPerThread: one blocking stream per host thread and device.
    std::map<std::pair<std::thread::id, int>, CUstream_st> per_thread;
};

// Times the host waited for stream work: a query that must not block shows
// up here.
std::atomic<unsigned long> host_waits{0};

Queue& queue() {
    static Queue* q = [] {
        auto* made = new Queue();  // never destroyed: work may be queued during shutdown
        for (int d = 0; d < kDeviceCount; ++d) made->legacy[d] = CUstream_st{d, true, nullptr};
        return made;
    }();
    return *q;
}

bool is_legacy(cudaStream_t stream) { return stream == nullptr || stream == cudaStreamLegacy; }

CUstream_st& state_of(Queue& q, cudaStream_t stream) {
    const int device = current_device();
    if (is_legacy(stream)) return q.legacy[device];
    if (stream == cudaStreamPerThread) {
        auto key = std::make_pair(std::this_thread::get_id(), device);
        auto it = q.per_thread.find(key);
        if (it == q.per_thread.end()) it = q.per_thread.emplace(key, CUstream_st{device, true, nullptr}).first;
        return it->second;
    }
    return *stream;
}

void add_if_pending(std::vector<WorkHandle>& after, const WorkHandle& w) {
    if (w && !w->done) after.push_back(w);
}

// Whether work queued before the `sequence`-th has not run yet.
bool earlier_pending(const Queue& q, std::uint64_t sequence) {
    for (const WorkHandle& p : q.pending) {
        if (p->sequence >= sequence) return false;
        if (!p->done) return true;
    }
    return false;
}

void complete(Queue& q, Work* w) {
    if (w->check && earlier_pending(q, w->sequence)) q.overtaken.emplace_back(w->sequence, std::move(w->check));
    if (w->job) w->job();
    w->done = true;
    w->finished = std::chrono::steady_clock::now();
    w->job = nullptr;
    w->check = nullptr;
    w->after.clear();
}

// Runs the early work whose dependencies have all run, telling `ran` of each.
// Work only depends on earlier work, so one pass in queueing order finds
// what each completion makes ready.
template <typename Ran>
void run_early(Queue& q, Ran&& ran) {
    for (const WorkHandle& e : q.early) {
        if (e->done) continue;
        if (!std::all_of(e->after.begin(), e->after.end(), [](const WorkHandle& b) { return b->done; })) continue;
        complete(q, e.get());
        ran(e.get());
    }
    q.early.erase(std::remove_if(q.early.begin(), q.early.end(), [](const WorkHandle& w) { return w->done; }),
                  q.early.end());
}

// Runs the pending work in `targets` and everything it is ordered after,
// latest first among what may run; early work runs the moment it may
// (caller holds the queue mutex).
void run(Queue& q, const std::vector<WorkHandle>& targets) {
    std::vector<Work*> closure;
    std::unordered_map<Work*, std::vector<Work*>> dependents;
    std::unordered_map<Work*, unsigned> waiting;
    std::vector<Work*> stack;
    for (const WorkHandle& t : targets) {
        if (t && !t->done && !waiting.count(t.get())) {
            waiting[t.get()] = 0;
            stack.push_back(t.get());
        }
    }
    while (!stack.empty()) {
        Work* w = stack.back();
        stack.pop_back();
        closure.push_back(w);
        for (const WorkHandle& before : w->after) {
            if (before->done) continue;
            ++waiting[w];
            dependents[before.get()].push_back(w);
            if (!waiting.count(before.get())) {
                waiting[before.get()] = 0;
                stack.push_back(before.get());
            }
        }
    }
    auto later_first = [](const Work* a, const Work* b) { return a->sequence < b->sequence; };
    std::priority_queue<Work*, std::vector<Work*>, decltype(later_first)> ready(later_first);
    for (Work* w : closure) {
        if (waiting[w] == 0) ready.push(w);
    }
    auto release_dependents = [&](Work* w) {
        const auto it = dependents.find(w);
        if (it == dependents.end()) return;
        for (Work* d : it->second) {
            if (--waiting[d] == 0) ready.push(d);
        }
    };
    while (!ready.empty()) {
        Work* w = ready.top();
        ready.pop();
        if (w->done) continue;  // early work that ran ahead of its turn
        complete(q, w);
        release_dependents(w);
        run_early(q, release_dependents);
    }
    q.pending.erase(std::remove_if(q.pending.begin(), q.pending.end(), [](const WorkHandle& w) { return w->done; }),
                    q.pending.end());
    // Once the work a release overtook has run, see whether it touched the memory.
    for (auto it = q.overtaken.begin(); it != q.overtaken.end();) {
        if (earlier_pending(q, it->first)) {
            ++it;
        } else {
            it->second();
            it = q.overtaken.erase(it);
        }
    }
}

WorkHandle enqueue_locked(Queue& q, cudaStream_t stream, std::function<void()> job, const WorkHandle& also_after,
                          bool early = false, std::function<void()> check = nullptr) {
    CUstream_st& s = state_of(q, stream);
    auto w = std::make_shared<Work>();
    w->job = std::move(job);
    w->sequence = ++q.sequence;
    w->device = s.device;
    w->check = std::move(check);
    add_if_pending(w->after, s.last);
    add_if_pending(w->after, also_after);
    // The legacy default stream waits for the blocking streams of its device, and they wait for it.
    if (&s == &q.legacy[s.device]) {
        for (CUstream_st* other : q.streams) {
            if (other->blocking && other->device == s.device) add_if_pending(w->after, other->last);
        }
        for (auto& [key, other] : q.per_thread) {
            if (other.device == s.device) add_if_pending(w->after, other.last);
        }
    } else if (s.blocking) {
        add_if_pending(w->after, q.legacy[s.device].last);
    }
    s.last = w;
    q.pending.push_back(w);
    if (early) q.early.push_back(w);
    if (options().streams == StreamMode::Immediate || (early && w->after.empty())) run(q, {w});
    return w;
}

bool live_event(Queue& q, cudaEvent_t event) { return q.events.count(event) != 0; }

}  // namespace

cudaError_t stream_device(cudaStream_t stream, int* device) {
    if (is_legacy(stream) || stream == cudaStreamPerThread) {
        *device = current_device();
        return cudaSuccess;
    }
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.streams.count(stream)) return cudaErrorInvalidResourceHandle;
    *device = stream->device;
    return cudaSuccess;
}

WorkHandle enqueue(cudaStream_t stream, std::function<void()> job, const WorkHandle& also_after) {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return enqueue_locked(q, stream, std::move(job), also_after);
}

WorkHandle enqueue_release(cudaStream_t stream, std::function<void()> release, std::function<void()> check) {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return enqueue_locked(q, stream, std::move(release), nullptr, true, std::move(check));
}

void wait_for(const WorkHandle& work) {
    host_waits.fetch_add(1, std::memory_order_relaxed);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    run(q, {work});
}

void synchronize_stream(cudaStream_t stream) {
    host_waits.fetch_add(1, std::memory_order_relaxed);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    run(q, {state_of(q, stream).last});
}

void synchronize_device(int device) {
    host_waits.fetch_add(1, std::memory_order_relaxed);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    std::vector<WorkHandle> targets;
    for (const WorkHandle& w : q.pending) {
        if (w->device == device) targets.push_back(w);
    }
    run(q, targets);
}

std::size_t pending_work() {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    return q.pending.size();
}

namespace testing {

std::size_t pending_work() { return nolith_host::pending_work(); }

unsigned long host_waits() { return nolith_host::host_waits.load(std::memory_order_relaxed); }

}  // namespace testing

}  // namespace nolith_host

using namespace nolith_host;

extern "C" {

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
    if (!stream) return record(cudaErrorInvalidValue);
    auto* s = new CUstream_st{current_device(), (flags & cudaStreamNonBlocking) == 0, nullptr};
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.streams.insert(s);
    *stream = s;
    return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamDefault); }

cudaError_t cudaStreamGetFlags(cudaStream_t stream, unsigned int* flags) {
    if (!flags) return record(cudaErrorInvalidValue);
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    // The default streams are blocking; a created stream keeps the flags it was made with.
    *flags = is_legacy(stream) || stream == cudaStreamPerThread || stream->blocking ? cudaStreamDefault
                                                                                   : cudaStreamNonBlocking;
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (is_legacy(stream) || stream == cudaStreamPerThread) return record(cudaErrorInvalidResourceHandle);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.streams.erase(stream)) return record(cudaErrorInvalidResourceHandle);
    // Work still queued on it stays queued and runs when waited for, as on a GPU.
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    synchronize_stream(stream);
    return cudaSuccess;
}

// A query waits for the stream: the host is asking whether its work is done.
cudaError_t cudaStreamQuery(cudaStream_t stream) { return cudaStreamSynchronize(stream); }

cudaError_t cudaDeviceSynchronize(void) {
    synchronize_device(current_device());
    return cudaSuccess;
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (!event) return record(cudaErrorInvalidValue);
    auto* e = new CUevent_st{current_device(), flags, nullptr};
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.events.insert(e);
    *event = e;
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return cudaEventCreateWithFlags(event, cudaEventDefault); }

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!q.events.erase(event)) return record(cudaErrorInvalidResourceHandle);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!live_event(q, event)) return record(cudaErrorInvalidResourceHandle);
    // An event belongs to the device it was created on; so must the stream.
    if (device != event->device) return record(cudaErrorInvalidResourceHandle);
    event->marker = enqueue_locked(q, stream, nullptr, nullptr, true);
    return cudaSuccess;
}

// Querying an event waits for it: the host is asking whether it is done.
cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!live_event(q, event)) return record(cudaErrorInvalidResourceHandle);
    host_waits.fetch_add(1, std::memory_order_relaxed);
    run(q, {event->marker});
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) { return cudaEventSynchronize(event); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (!ms) return record(cudaErrorInvalidValue);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!live_event(q, start) || !live_event(q, end)) return record(cudaErrorInvalidResourceHandle);
    if (!start->marker || !end->marker) return record(cudaErrorInvalidResourceHandle);
    // As on a GPU, events created without timing cannot be timed.
    if ((start->flags | end->flags) & cudaEventDisableTiming) return record(cudaErrorInvalidResourceHandle);
    if (!start->marker->done || !end->marker->done) return record(cudaErrorNotReady);
    *ms = std::chrono::duration<float, std::milli>(end->marker->finished - start->marker->finished).count();
    return cudaSuccess;
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int) {
    int device;
    if (cudaError_t status = stream_device(stream, &device)) return record(status);
    Queue& q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    if (!live_event(q, event)) return record(cudaErrorInvalidResourceHandle);
    (void)enqueue_locked(q, stream, nullptr, event->marker, true);
    return cudaSuccess;
}

}  // extern "C"
