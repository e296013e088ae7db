#pragma once
// The collapse's parent tables, recovered from a finished BVH8: the parent of
// every node, the node holding every leaf packet and every node's occupied
// slots. The build frees them; refitting a tree's expansions needs them again.

#include "records.h"

#include <cstdint>

// node_parents (node_count), leaf_parents (leaves), child_counts (node_count).
// The root's parent is 0xFFFFFFFF; with no node, leaf_parents[0] is too.
// Returns the first failed status (already reported).
cudaError_t recover_parent_tables(const BVH8Node* nodes, const LeafPointers* leaf_pointers, std::uint32_t node_count,
                                  std::uint32_t leaves, std::uint32_t* node_parents, std::uint32_t* leaf_parents,
                                  std::uint32_t* child_counts, cudaStream_t stream);
