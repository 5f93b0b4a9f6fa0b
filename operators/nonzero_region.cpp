#include "operators/nonzero_region.h"

#include <algorithm>

namespace tomproj {

NonzeroBox nonzero_box(const float* volume) {
  int ilo[3] = {scan::NX, scan::NY, scan::NZ}, ihi[3] = {-1, -1, -1};
  for (int iz = 0; iz < scan::NZ; ++iz) {
    for (int iy = 0; iy < scan::NY; ++iy) {
      const float* line = volume + scan::volume_index(0, iy, iz);
      int first = -1, last = -1;
      for (int ix = 0; ix < scan::NX; ++ix) {
        if (line[ix] != 0.0f) {  // true for NaN too
          if (first < 0) first = ix;
          last = ix;
        }
      }
      if (first < 0) continue;
      const int index_lo[3] = {first, iy, iz}, index_hi[3] = {last, iy, iz};
      for (int a = 0; a < 3; ++a) {
        ilo[a] = std::min(ilo[a], index_lo[a]);
        ihi[a] = std::max(ihi[a], index_hi[a]);
      }
    }
  }
  NonzeroBox box;
  if (ihi[0] < 0) return box;
  box.empty = false;
  // (The y and z indices run against their coordinates.)
  box.lo[0] = scan::cell_x(ilo[0]);
  box.hi[0] = scan::cell_x(ihi[0]);
  box.lo[1] = scan::cell_y(ihi[1]);
  box.hi[1] = scan::cell_y(ilo[1]);
  box.lo[2] = scan::cell_z(ihi[2]);
  box.hi[2] = scan::cell_z(ilo[2]);
  return box;
}

NonzeroBox box_union(const NonzeroBox& a, const NonzeroBox& b) {
  if (a.empty) return b;
  if (b.empty) return a;
  NonzeroBox box;
  box.empty = false;
  for (int axis = 0; axis < 3; ++axis) {
    box.lo[axis] = std::min(a.lo[axis], b.lo[axis]);
    box.hi[axis] = std::max(a.hi[axis], b.hi[axis]);
  }
  return box;
}

bool near_box_bounds(const NonzeroBox& box, int axis, int& lo, int& hi) {
  // The cell of q is within one cell of the box when lo - 1 <= q < hi + 2 on
  // the axis; the open bounds lo - 2 and hi + 2 take in at least those
  // counts. The spare cell on each side is needed: the one more count is
  // added only after the axes' spans are met, and a step on which one axis
  // leaves the box just as another enters it (p = (lo, lo' - 1) to
  // q = (lo - 1, lo'), whose middle piece lies in the box) must lie in the
  // spans of both. Callers credit only counts inside the inside span, and
  // an axis whose bounds take in the inside test's bounds cannot narrow that
  // span, so it is left out (leaving out an axis only widens the counts,
  // which is always exact: the extra steps add zeros).
  lo = box.lo[axis] - 2;
  hi = box.hi[axis] + 2;
  return !(lo <= scan::kInsideLo[axis] && hi >= scan::kInsideHi[axis]);
}

scan::CountSpan near_box_span(scan::CountSpan axes, int count) {
  if (axes.empty()) return scan::CountSpan{0, 0};
  // The sample of the count before is p, so one more count follows.
  return scan::CountSpan{axes.first, std::min(axes.last + 1, count)};
}

scan::CountSpan counts_near_box(const NonzeroBox& box, const scan::Point3& s, const scan::Point3& d,
                                int count) {
  if (box.empty) return scan::CountSpan{0, 0};
  const double sc[3] = {s.x, s.y, s.z}, dc[3] = {d.x, d.y, d.z};
  scan::CountSpan span{0, count};
  for (int a = 0; a < 3; ++a) {
    int lo, hi;
    if (!near_box_bounds(box, a, lo, hi)) continue;
    const scan::CountSpan axis = scan::detail::axis_span(sc[a], dc[a], lo, hi, count);
    span.first = std::max(span.first, axis.first);
    span.last = std::min(span.last, axis.last);
  }
  return near_box_span(span, count);
}

}  // namespace tomproj
