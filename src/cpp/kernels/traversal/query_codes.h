#pragma once
// The Morton codes by which compute orders its queries, so that a warp's 32
// queries lie close together: codes within the queries' own bounding box.
// Coded in the scene's box instead, queries outside it would clamp onto its
// faces, and a warp of them would span much of the space around the scene.

#include "records.h"

#include <cstdint>

// Queues, on `stream`, the bounding box of the n points (into `box`, six
// words of scratch) and then their codes; nothing waits for the host or
// makes the host wait. A NaN coordinate takes no part in the box and
// quantises to 0.
cudaError_t compute_query_codes(const Vec3* points, std::uint32_t n, std::uint64_t* codes, std::uint32_t* box,
                                cudaStream_t stream);
