#pragma once
// Collapse of the binary tree into the 8-wide tree, level by level, in one
// cooperative kernel.

#include "records.h"

// L >= 2: checks cooperative-launch support (throws std::runtime_error
// "Device does not support Cooperative Launch"), then launches the collapse
// cooperatively with one wave of resident 256-thread blocks. After the kernel,
// *params.node_count holds the number of BVH8 nodes and *params.level_counter
// the number of BVH8 levels (the depth of the tree, root level included).
// L = 1: leaf_parents[0] = 0xFFFFFFFF and the node count 0; L = 0: nothing.
// Returns the first failed status (already reported).
cudaError_t convert_binary_tree_to_bvh8(const ConvertBinary2BVH8Params& params, int device, cudaStream_t stream);
