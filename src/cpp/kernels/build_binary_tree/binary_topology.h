#pragma once
// Topology of the binary radix tree over leaf packets: internal nodes
// 0 .. L-2 (root 0), leaf packet k at L-1+k.

#include "records.h"

#include <cstdint>

// Queues the topology of L leaves (sorted leaf codes) on `stream`: one thread
// per internal node (L >= 2), then parents[0] = 0xFFFFFFFF (L >= 1). L = 0
// queues nothing. Returns the first failed status (already reported).
cudaError_t build_binary_topology(const std::uint64_t* leaf_codes, BinaryNode* nodes, std::uint32_t* parents,
                                  std::uint32_t leaf_count, cudaStream_t stream);
