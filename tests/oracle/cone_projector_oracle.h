// The cone projector and its transpose written out literally: every plane
// time of every axis inside the ray's stretch in the box is listed and
// sorted (x before y before z among equal times), each piece's voxel is
// found by counting the planes met so far, and the sums run in plain loops.
// The tests hold the lane kernels to this rendering bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "core/geometry.h"

namespace oracle {

struct ConePiece {
  std::int64_t voxel;  // flat index, x fastest
  double length;       // mm
};

// The pieces of the ray of pixel (row, col) of view `view`, in walk order.
std::vector<ConePiece> cone_ray_pieces(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                                       std::int64_t view, std::int64_t row, std::int64_t col);

// Every sample: the double sum of value x length over the ray's pieces,
// rounded to float32.
void cone_project(const geom::VolumeGrid& grid, const geom::ConeVectors& rays, const float* volume,
                  float* stack);

// Every voxel: the double sum of sample x length over the pieces credited
// to it, rays in order (view, row, column), rounded to float32.
void cone_project_adjoint(const geom::VolumeGrid& grid, const geom::ConeVectors& rays,
                          const float* stack, float* volume);

}  // namespace oracle
