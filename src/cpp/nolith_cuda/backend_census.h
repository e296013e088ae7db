#pragma once
// The work census of an engine's compute, for the benchmarks and tests: the
// walk of compute counting its work. Not a member of the product's backend.

#include "nolith_cuda/nolith_backend.h"

#include <cstdint>
#include <vector>

struct WorkCensus;

// compute on `backend`, counting the walk's work per batch of 32
// Morton-ordered queries into `census` and the exact passes over each leaf
// packet into `packet_passes`; blocks until counted. Needs a tree (more than
// 32 elements) and at least one query.
template <typename Geometry>
typename NolithBackend<Geometry>::Result work_census(const NolithBackend<Geometry>& backend, const float* queries,
                                                     unsigned long n, float beta, float epsilon,
                                                     cudaStream_t stream, std::vector<WorkCensus>& census,
                                                     std::vector<std::uint32_t>& packet_passes);

// The seconds the walk's kernel of compute takes on `backend` for each of
// `repeats` calls, measured by events on the default stream around the
// launch alone (after one call to warm up). Needs a tree and queries.
template <typename Geometry>
std::vector<double> walk_kernel_seconds(const NolithBackend<Geometry>& backend, const float* queries, unsigned long n,
                                        float beta, float epsilon, int repeats);
