// The pieces of one projector ray, in its order: the counts k of a span
// (whose samples pass the inside test) each close the step from sample k - 1,
// which is credited whole to the cell of sample k when both lie in one cell
// and otherwise cut at the voxel boundaries. The one enumeration that the
// projector's literal ray and its adjoint share.
#pragma once

#include "core/inside_span.h"
#include "core/scan_geometry.h"
#include "operators/split_step.h"

namespace tomproj {

// Calls credit(cell, length) for every piece of the steps closed by the
// counts [first, last) (first >= 1) of the ray from s along d, step by
// step, piece by piece.
template <class Credit>
inline void for_each_piece(const scan::Point3& source, const scan::Point3& dir, int first, int last,
                           Credit&& credit) {
  const double d[3] = {dir.x, dir.y, dir.z};
  const double s[3] = {source.x, source.y, source.z};
  double p[3], q[3];
  int fp[3], fq[3];
  for (int a = 0; a < 3; ++a) {
    p[a] = scan::sample_coordinate(first - 1, d[a], s[a]);
    fp[a] = cell_of(p[a]);
  }
  PieceTable table;
  for (int k = first; k < last; ++k) {
    for (int a = 0; a < 3; ++a) {
      q[a] = scan::sample_coordinate(k, d[a], s[a]);
      fq[a] = cell_of(q[a]);
    }
    if (fq[0] == fp[0] && fq[1] == fp[1] && fq[2] == fp[2]) {
      credit(fq, 1.0);
    } else {
      split_step_cells(p, q, d, fp, fq, table);
      for (int n = 0; n <= table.count; ++n) credit(table.zahyo[n], table.ll[n]);
    }
    for (int a = 0; a < 3; ++a) {
      p[a] = q[a];
      fp[a] = fq[a];
    }
  }
}

// Every piece of the whole ray from s along d. Only the samples that pass the
// inside test close a credited step; they form one span of counts, found
// exactly. The source lies far outside the box, so sample 0 never passes
// and every credited step has a previous sample.
template <class Credit>
inline void for_each_ray_piece(const scan::Point3& source, const scan::Point3& dir, int samples_per_ray,
                               Credit&& credit) {
  const scan::CountSpan span = scan::inside_span(source, dir, samples_per_ray);
  if (span.empty()) return;
  const int first = span.first < 1 ? 1 : span.first;
  for_each_piece(source, dir, first, span.last, credit);
}

}  // namespace tomproj
