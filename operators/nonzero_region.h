// The part of a Volume that can add anything to a detector sample.
//
// A piece whose voxel holds +0.0 or -0.0 adds a zero to its sample, and a
// float32 sum that starts at +0.0 is left exactly as it was by adding a zero
// (it never becomes -0.0). The steps of a ray whose pieces all lie in zero
// voxels can therefore be left out without changing a bit. Every piece of a
// step lies in a cell whose coordinates run between those of the cells of p
// and q, which differ by at most one on each axis; so a step can only add
// something when the cell of q lies within one cell of the box of nonzero
// voxels (for the pieces up to q), or when the cell of p lies in that box,
// p being the sample before q.
#pragma once

#include "core/inside_span.h"
#include "core/scan_geometry.h"

namespace tomproj {

// The smallest box of cells (cx, cy, cz) that holds every voxel whose value is
// not zero (NaN and infinities count as not zero).
struct NonzeroBox {
  bool empty = true;
  int lo[3] = {0, 0, 0};  // lowest cx, cy, cz
  int hi[3] = {0, 0, 0};  // highest cx, cy, cz
};

NonzeroBox nonzero_box(const float* volume);

// The smallest box that holds both boxes: for several Volumes traced along
// the same rays, the steps outside it add zeros to every one of them.
NonzeroBox box_union(const NonzeroBox& a, const NonzeroBox& b);

// A span of counts, within [0, count), outside which no step of the ray from
// s along d has a piece in a nonzero voxel (it may hold counts that add
// nothing).
scan::CountSpan counts_near_box(const NonzeroBox& box, const scan::Point3& s, const scan::Point3& d,
                                int count);

// The two parts of counts_near_box, for callers that search the axes
// themselves: the open bounds of one axis (false when the axis cannot narrow
// the counts and is left out), and the span that the axes' spans give.
bool near_box_bounds(const NonzeroBox& box, int axis, int& lo, int& hi);
scan::CountSpan near_box_span(scan::CountSpan axes, int count);

}  // namespace tomproj
