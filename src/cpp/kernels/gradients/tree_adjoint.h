#pragma once
// From the far-field adjoints that the gradient walk added per node and leaf
// packet to the gradient of every element: the exact transpose of the
// expansions. A record's values are a linear projection of its moments (their
// trace-free parts), and the moments are sums of per-element terms about the
// record's centre, so an adjoint is a quadratic polynomial in an element's
// offset from that centre; polynomials move down the tree exactly (the
// transpose of the build's M2M shifts), and each element evaluates its
// packet's. The centres are weighted means of the elements below them, and
// what the walk's terms owe to their centres goes down the same way.

#include "records.h"

#include <cstdint>

template <typename Geometry>
struct TreeAdjointParams {
    const BVH8Node* nodes;
    const LeafPointers* leaf_pointers;
    const TailorCoefficientsTraceFree* node_far_field;  // the records the walk evaluated
    const TailorCoefficientsTraceFree* leaf_far_field;
    const AABB* leaf_aabbs;  // the leaf packets' records
    const PacketRange* packets;
    std::uint32_t num_packets;
    SoAView<Geometry> geometry;
    std::uint32_t num_elements;
    std::uint32_t node_count;  // BVH8 nodes
    std::uint32_t levels;      // BVH8 levels, root included
    float scene_scale;
    const float* node_adjoints;    // far_field_adjoint.h's 18 per node, from the walk
    const float* packet_adjoints;  // and per packet
    // In: the walk's exact terms per element (scene units); out: the whole
    // gradient in caller units (the layout of compute_brute_force_vjp).
    float* element_planes;
};

// Queues the pass on `stream` (scratch buffers are its own, stream-ordered).
// Needs a tree (node_count > 0). Returns the first failed status (reported);
// a failed scratch allocation throws DeviceAllocationError.
template <typename Geometry>
cudaError_t tree_adjoint_to_elements(const TreeAdjointParams<Geometry>& params, cudaStream_t stream);
