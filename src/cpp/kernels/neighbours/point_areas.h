#pragma once
// The area each point of a cloud stands for, from its nearest neighbours: the
// scale of a scaled normal when only the points are known (the normal solver).

#include <cuda_runtime.h>

#include <cstdint>

// Neighbours that set a point's area: pi r^2 / kAreaNeighbours, r the distance
// to the kAreaNeighbours-th nearest other point.
constexpr int kAreaNeighbours = 8;

struct PointSpacing {
    // Median over the points of the distance to the nearest other point;
    // 0 when no point has one.
    float median_nearest = 0.0f;
};

// For `n` points given as coordinate planes (x at planes[0..n), y, z after
// it), within the box of lower corner `lower` and longest side `extent`:
// areas[i] = pi r_i^2 / (kAreaNeighbours m_i), with r_i the distance to the
// kAreaNeighbours-th nearest point that is not at point i's place and m_i
// the points at that place (itself included), which share its area. A point
// with fewer such neighbours within three grid cells uses those it has; one
// with none gets -1. Queued on `stream`; the host waits twice, for the medians
// that size the search grid and for the spacing it returns.
PointSpacing estimate_point_areas(const float* planes, std::uint32_t n, const float lower[3], float extent,
                                  float* areas, cudaStream_t stream);
