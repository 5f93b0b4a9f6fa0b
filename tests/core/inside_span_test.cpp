// The span of counts that pass the inside test must be exactly the counts
// that a per-sample test passes, for the rays of both programs and for
// rays that run along or nearly along the grid planes.
#include "core/inside_span.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/scan_geometry.h"
#include "operators/rec_geometry.h"

namespace {

using scan::CountSpan;
using scan::Point3;

// Every count tested on its own, as the ray code of the definition does.
void expect_exact_span(const Point3& s, const Point3& d, int count) {
  const CountSpan span = scan::inside_span(s, d, count);
  int first = -1, last = -1, passes = 0;
  for (int k = 0; k < count; ++k) {
    const bool in = scan::inside(scan::sample_coordinate(k, d.x, s.x), scan::sample_coordinate(k, d.y, s.y),
                                 scan::sample_coordinate(k, d.z, s.z));
    if (in) {
      if (first < 0) first = k;
      last = k + 1;
      ++passes;
    }
  }
  if (passes == 0) {
    ASSERT_TRUE(span.empty()) << "d = " << d.x << " " << d.y << " " << d.z;
    return;
  }
  ASSERT_EQ(passes, last - first) << "the passing counts are not contiguous";
  ASSERT_EQ(span.first, first) << "d = " << d.x << " " << d.y << " " << d.z;
  ASSERT_EQ(span.last, last) << "d = " << d.x << " " << d.y << " " << d.z;
}

TEST(InsideSpan, InsideTestBounds) {
  EXPECT_TRUE(scan::inside_x(61.999));
  EXPECT_FALSE(scan::inside_x(62.0));
  EXPECT_TRUE(scan::inside_x(-62.999));
  EXPECT_FALSE(scan::inside_x(-63.0));
  EXPECT_TRUE(scan::inside_y(62.9));
  EXPECT_TRUE(scan::inside_z(62.9));
  EXPECT_FALSE(scan::inside_y(-62.0));
  EXPECT_FALSE(scan::inside_z(-62.0));
}

TEST(InsideSpan, ReconstructorRaysOfWholeViews) {
  // The reconstructor samples n * step + source with step a 512th of the ray.
  for (int v : {0, 1, 16, 32, 64, 100, 128, 192, 255}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    const Point3 s{rays.source[0], rays.source[1], rays.source[2]};
    for (int r = 0; r < 256; r += 3) {
      for (int c = 0; c < 256; ++c) {
        double det[3];
        tomrec::detector_point(rays, r, c, det);
        const Point3 step{(det[0] - s.x) / (2.0 * tomrec::kDist), (det[1] - s.y) / (2.0 * tomrec::kDist),
                          (det[2] - s.z) / (2.0 * tomrec::kDist)};
        expect_exact_span(s, step, 512);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(InsideSpan, RandomAndNearlyAxisParallelRays) {
  std::mt19937_64 gen(2024);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_real_distribution<double> far(-300.0, 300.0);
  std::uniform_int_distribution<int> pick(0, 5);
  for (int i = 0; i < 20000; ++i) {
    Point3 s{far(gen), far(gen), far(gen)};
    Point3 d{unit(gen), unit(gen), unit(gen)};
    switch (pick(gen)) {
      case 0: d.x = 0.0; break;
      case 1: d.y = -0.0; break;
      case 2: d.z = 1e-17; break;
      case 3: d.x = 1e-9; d.y = 0.0; break;
      case 4: s.z = 0.0; d.z = 0.0; break;
      default: break;
    }
    expect_exact_span(s, d, 512);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
