#pragma once
// Stream work. Every copy, fill, free, launch and event record is a piece of
// work queued on a stream, ordered after what CUDA orders it after: earlier
// work on the same stream, the legacy default stream's work for blocking
// streams and the other way round, and the events a stream was told to wait
// for. In immediate mode work runs as soon as it is queued; in deferred mode
// it runs when the host waits for it, and only what that wait needs runs.
// Among work that may run, the most recently queued runs first, so that work
// left unordered by a missing dependency runs in the order that breaks it.
// Releases of memory (and event markers, which lead to them) run instead the
// moment what they are ordered after has run, so that work on other streams
// that is not ordered before a release finds its memory gone.

#include <cuda_runtime.h>

#include <functional>
#include <memory>

namespace nolith_host {

struct Work;
using WorkHandle = std::shared_ptr<Work>;

// Queues `job` on a stream that stream_device() accepted, after `also_after`
// (if any). Runs it before returning in immediate mode.
WorkHandle enqueue(cudaStream_t stream, std::function<void()> job, const WorkHandle& also_after = nullptr);

// Queues the release of memory on a stream, to run as early as stream order
// allows. When it runs while work queued before it has not (work of other
// streams, not ordered before it), `check` runs once that work has run too.
WorkHandle enqueue_release(cudaStream_t stream, std::function<void()> release, std::function<void()> check);

// Returns once `work` and everything it is ordered after has run.
void wait_for(const WorkHandle& work);

// Runs everything queued on a stream (and what it is ordered after).
void synchronize_stream(cudaStream_t stream);

// Runs everything queued for a device.
void synchronize_device(int device);

// Pieces of work queued and not yet run, over all devices.
std::size_t pending_work();

}  // namespace nolith_host
