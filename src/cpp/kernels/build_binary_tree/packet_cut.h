#pragma once
// Leaf packets cut where the Morton curve jumps: the maximal subtrees of at
// most ELEMENTS_PER_LEAF elements of the radix tree over the sorted element
// codes. A fixed run of 32 elements that straddles a jump of the curve spans
// two distant parts of the scene, and its radius, and every radius above it,
// would be several times what its element count calls for.

#include "records.h"

#include <cstdint>

// Queues, for n > ELEMENTS_PER_LEAF sorted codes, one thread per internal
// node of their radix tree: a node of more than ELEMENTS_PER_LEAF elements
// marks the first element of each child that has at most that many (a
// packet) with starts[first] = 1. `starts` (n bytes) must be zero before.
// Returns the launch status (already reported).
cudaError_t mark_packet_starts(const std::uint64_t* codes, std::uint32_t n, std::uint8_t* starts,
                               cudaStream_t stream);

// The number of marks in `starts` (n bytes); blocks until counted.
std::uint32_t count_packet_starts(const std::uint8_t* starts, std::uint32_t n, cudaStream_t stream);

// The packet table from the marks: packets[k] = {first element, count} of
// the k-th marked start, for the `packet_count` marks of `starts` (n bytes).
// Blocks until written.
void fill_packet_table(const std::uint8_t* starts, std::uint32_t n, PacketRange* packets,
                       std::uint32_t packet_count, cudaStream_t stream);
