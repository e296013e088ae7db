#pragma once
// Test hooks of the host runtime: what a GPU cannot be made to do on demand.
// Only tests include this; the product never calls it.

#include "options.h"

#include <cuda_runtime.h>

#include <cstddef>

namespace nolith_host::testing {

enum class Operation { Allocation, Copy, Launch };

// Makes the k-th call (k >= 1, counted from this call) of the given kind
// fail with `code`, without side effects. Allocations are cudaMalloc and
// cudaMallocAsync; copies are every cudaMemcpy*, cudaMemset* and symbol copy;
// launches are ordinary and cooperative kernel launches.
void fail_nth(Operation operation, unsigned long k, cudaError_t code);

// Forgets every pending failure and restarts the call counters.
void clear_failures();

// Calls of the given kind since the last clear_failures().
unsigned long calls(Operation operation);

// Device allocations that are currently live, over all devices.
std::size_t live_allocations();

// Number of emulated devices (at least two, so device switching can be tested).
int device_count();

void set_multiprocessor_count(int device, int count);
void set_cooperative_launch(int device, bool supported);
// Restores the default properties of every device.
void reset_device_properties();

// Overrides what NOLITH_HOST_STREAMS, NOLITH_HOST_SCHEDULE and
// NOLITH_HOST_POISON chose; restore_options() goes back to the environment.
// Changing the stream mode first runs all queued work.
void set_stream_mode(StreamMode mode);
void set_schedule(SchedulePolicy policy);
void set_poison(unsigned char byte);
void restore_options();

// Pieces of stream work queued and not yet run, over all devices.
std::size_t pending_work();

// Times the host has waited for stream work (synchronisations, event waits,
// blocking copies and frees, thrust algorithms on a stream) since start-up.
unsigned long host_waits();

}  // namespace nolith_host::testing
