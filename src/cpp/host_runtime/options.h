#pragma once
// The run-time choices of the host runtime. They come from the environment
// once per process (see README.md) and tests may override them through
// testing.h.

namespace nolith_host {

// Immediate: stream work runs when it is enqueued. Deferred: it waits until
// the host waits for it, so that a missing synchronisation shows.
enum class StreamMode { Immediate, Deferred };

// The order in which a block's scheduler picks the next runnable thread:
// by thread index, by reversed thread index, one warp (lowest first) until it
// blocks, or one warp (highest first, lanes reversed) until it blocks.
enum class SchedulePolicy { RoundRobin, Reverse, Warp, WarpReverse };

struct Options {
    StreamMode streams = StreamMode::Immediate;
    SchedulePolicy schedule = SchedulePolicy::RoundRobin;
    // Fills fresh and freed device memory and shared memory at every block start.
    unsigned char poison = 0xFF;
};

// The current choices (read by the scheduler and the runtime API).
const Options& options();

const char* schedule_name(SchedulePolicy policy);

}  // namespace nolith_host
