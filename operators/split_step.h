// Cutting one unit step of a projector ray at the voxel boundaries it crosses.
//
// A step from sample p to sample q (q = p + d up to rounding, |d| = 1) whose
// end points lie in different cells passes through two, three or four voxels.
// The split finds, from p, q and d alone, the fraction of the step at which
// the ray meets the boundary of each crossed axis, orders the crossings along
// the ray (equal fractions in axis order x, y, z, an uncrossed axis counting
// as fraction 0), and cuts the step into pieces with their lengths and cells.
// Nothing is carried from one step to the next.
#pragma once

#include <cmath>

namespace tomproj {

struct PieceTable {
  int count = 0;         // crossed axes c; the pieces are 0 ... c
  double ll[4] = {};     // piece lengths, fractions of the unit step
  int zahyo[4][3] = {};  // cell coordinates (cx, cy, cz) of each piece
};

// floor for the coordinates of the traced region, |x| far below 2^31.
inline int cell_of(double x) {
  const int i = static_cast<int>(x);
  return i - (x < static_cast<double>(i) ? 1 : 0);
}

// Rounds towards zero. For x in (-1, 0) this gives +0.0 where trunc gives
// -0.0; the boundary then differs only in the sign of a zero, which can only
// change the sign of a zero-length piece, and adding a signed zero to a sum
// of float32 samples gives the same bits.
inline double toward_zero(double x) { return static_cast<double>(static_cast<long long>(x)); }

// Splits the step p -> q with direction d, given the cells fp of p and fq of q,
// which differ on at least one axis.
inline void split_step_cells(const double p[3], const double q[3], const double d[3],
                             const int fp[3], const int fq[3], PieceTable& t) {
  double fraction[3];
  int c = 0;
  for (int a = 0; a < 3; ++a) {
    if (fq[a] != fp[a]) {
      ++c;
      // The whole number between p and q: taken from q when d*q is not
      // negative (a negative zero counts as not negative), else from p.
      const double b = (d[a] * q[a] >= 0.0) ? toward_zero(q[a]) : toward_zero(p[a]);
      fraction[a] = (b - p[a]) / d[a];
    } else {
      fraction[a] = 0.0;
    }
  }
  t.count = c;
  t.zahyo[0][0] = fp[0];
  t.zahyo[0][1] = fp[1];
  t.zahyo[0][2] = fp[2];
  if (c == 1) {
    // The two uncrossed fractions are 0 and the crossed one is not negative,
    // so it is the largest.
    const double f = fraction[0] + fraction[1] + fraction[2];
    t.ll[0] = f;
    t.ll[1] = 1.0 - f;
  } else {
    // Stable ascending order of the three fractions: equal values keep axis
    // order. Adjacent compare-exchanges on "strictly greater" keep ties.
    int order[3] = {0, 1, 2};
    auto exchange = [&](int i, int j) {
      if (fraction[order[i]] > fraction[order[j]]) {
        const int tmp = order[i];
        order[i] = order[j];
        order[j] = tmp;
      }
    };
    exchange(0, 1);
    exchange(1, 2);
    exchange(0, 1);
    const int first = 3 - c;
    t.ll[0] = fraction[order[first]];
    for (int n = 1; n < c; ++n) {
      t.ll[n] = fraction[order[first + n]] - fraction[order[first + n - 1]];
      t.zahyo[n][0] = t.zahyo[n - 1][0];
      t.zahyo[n][1] = t.zahyo[n - 1][1];
      t.zahyo[n][2] = t.zahyo[n - 1][2];
      const int axis = order[first + n - 1];
      t.zahyo[n][axis] = fq[axis];
    }
    t.ll[c] = 1.0 - fraction[order[2]];
  }
  t.zahyo[c][0] = fq[0];
  t.zahyo[c][1] = fq[1];
  t.zahyo[c][2] = fq[2];
}

// The split of the step p -> q, for a step that crosses at least one axis.
inline void split_step(const double p[3], const double q[3], const double d[3], PieceTable& t) {
  const int fp[3] = {cell_of(p[0]), cell_of(p[1]), cell_of(p[2])};
  const int fq[3] = {cell_of(q[0]), cell_of(q[1]), cell_of(q[2])};
  split_step_cells(p, q, d, fp, fq, t);
}

}  // namespace tomproj
