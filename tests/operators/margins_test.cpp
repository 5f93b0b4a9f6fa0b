// Rays built to land on the cases that the batch tracer's shortcuts must
// leave to the general split or to the tie rule: each test fails when the
// margin or rule it guards is narrowed. The rays need not have unit
// directions; the tracer and the literal step-by-step sum take any.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/support/kernels.h"
#include "tests/support/test_volumes.h"
#include "operators/nonzero_region.h"
#include "operators/projector.h"
#include "operators/ray_batch.h"

namespace {

struct Ray {
  scan::Point3 source;
  double d[3];
};

// The ray from source along d summed literally: every sample tested, every
// step split by the literal rendering, each piece added in double and
// rounded to float32.
float literal_sum(const Ray& ray, const float* volume) {
  const double s[3] = {ray.source.x, ray.source.y, ray.source.z};
  float sample = 0.0f;
  for (int k = 1; k < tomproj::kSamplesPerRay; ++k) {
    double p[3], q[3];
    for (int a = 0; a < 3; ++a) {
      p[a] = scan::sample_coordinate(k - 1, ray.d[a], s[a]);
      q[a] = scan::sample_coordinate(k, ray.d[a], s[a]);
    }
    if (!scan::inside(q[0], q[1], q[2])) continue;
    oracle::Split split;
    if (!oracle::split_step(p, q, ray.d, split)) {
      split.c = 0;
      split.ll[0] = 1.0;
      for (int a = 0; a < 3; ++a) split.zahyo[0][a] = static_cast<int>(std::floor(q[a]));
    }
    for (int n = 0; n <= split.c; ++n) {
      const int* cell = split.zahyo[n];
      sample = static_cast<float>(static_cast<double>(sample) +
                                  static_cast<double>(volume[scan::volume_index_of_cell(cell[0], cell[1], cell[2])]) *
                                      split.ll[n]);
    }
  }
  return sample;
}

// Every batch kernel traces the rays (one batch per source, the rays of a
// batch taken in turn from `rays`) as the literal sum does; NaN samples
// must agree as NaN.
void expect_literal(const std::vector<Ray>& rays, const std::vector<float>& volume) {
  const tomproj::NonzeroBox box = tomproj::nonzero_box(volume.data());
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    if (kernel == kernels::Kernel::scalar) continue;  // no batches
    SCOPED_TRACE(kernels::kernel_name(kernel));
    const int width = tomproj::batch_rays(kernel);
    for (std::size_t r = 0; r < rays.size(); ++r) {
      // A batch shares its source: this ray's, with the rest of its lanes
      // taken from its neighbours' directions.
      std::vector<tomproj::BatchRay> batch(static_cast<std::size_t>(width));
      std::vector<Ray> lanes(static_cast<std::size_t>(width));
      for (int i = 0; i < width; ++i) {
        lanes[static_cast<std::size_t>(i)] = Ray{rays[r].source, {0, 0, 0}};
        const Ray& from = rays[(r + static_cast<std::size_t>(i)) % rays.size()];
        for (int a = 0; a < 3; ++a) lanes[static_cast<std::size_t>(i)].d[a] = from.d[a];
        for (int a = 0; a < 3; ++a) batch[static_cast<std::size_t>(i)].d[a] = from.d[a];
      }
      tomproj::span_batch(kernel, rays[r].source, box, batch.data());
      std::vector<float> samples(static_cast<std::size_t>(width));
      const float* in = volume.data();
      float* out = samples.data();
      tomproj::trace_batch(kernel, rays[r].source, batch.data(), &in, 1, 1, &out);
      for (int i = 0; i < width; ++i) {
        const float want = literal_sum(lanes[static_cast<std::size_t>(i)], volume.data());
        const float got = samples[static_cast<std::size_t>(i)];
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(got)) << "ray " << r << " lane " << i << ": " << got;
        } else {
          EXPECT_EQ(testdata::bits(got), testdata::bits(want))
              << "ray " << r << " lane " << i << ": " << got << " vs " << want;
        }
      }
    }
  }
}

// Along y the rays move by 1 + 2^-30 a step, so that at one step q is a
// whole number while p lies 2^-30 past the next one (falling), or p is a whole
// number and q lies 2^-30 short of the one after (rising): the general split
// puts that crossing at fraction 1 or 0 where the larger floor gives about
// 2^-30 ~ 9.3e-10 or 1 - 9.3e-10. The tracer's margin of 1e-9 must send these
// steps to the general split; any narrower margin adds the wrong pieces.
// Other rays step exactly one cell from whole numbers (fractions exactly 0
// and 1) while crossing x and z elsewhere.
TEST(TracerMargins, StepsThatCrossWithinTheMarginGoToTheGeneralSplit) {
  const double e = std::ldexp(1.0, -30);
  std::vector<Ray> rays;
  for (int i = 0; i < 8; ++i) {
    const double dx = 0.25 + 0.0625 * i, dz = 0.03125 * (i % 3);
    // Falling: at k = 205, q = -5 exactly and p = -4 + 2^-30.
    rays.push_back(Ray{{-30.1, 200.0 + 205.0 * e, 0.4}, {dx * 0.25, -(1.0 + e), dz}});
    // Rising: at k = 290, p = -10 exactly and q = -9 + 2^-30.
    rays.push_back(Ray{{-40.2, -300.0 - 290.0 * e, -0.3}, {dx * 0.25, 1.0 + e, -dz}});
    // Exactly one cell a step along y from whole numbers, both ways.
    rays.push_back(Ray{{-30.1, 200.0, 1.5}, {dx * 0.25, -1.0, dz}});
    rays.push_back(Ray{{-30.1, -200.0, 1.5}, {dx * 0.25, 1.0, dz}});
  }
  std::vector<float> volume = testdata::random_volume(5);
  testdata::mark_unreachable(volume);
  expect_literal(rays, volume);
}

// x and y crossed at the same fraction at every step: the cell after the
// first crossing is p's cell advanced on x, the lower axis, and the middle
// piece has length 0. A zero length hides the choice of cell unless the voxel
// is not finite, so the voxels beside the diagonal on the x side hold NaN:
// the right rule adds NaN x 0 (a NaN sample), the other rule 0 x a finite
// value.
TEST(TracerMargins, FirstCrossingTiesGoToTheLowerAxisEvenWhereOnlyNaNShows) {
  std::vector<float> volume = testdata::random_volume(9);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int cz = -62; cz < 63; ++cz)
    for (int cy = -63; cy < 63; ++cy) {
      volume[scan::volume_index_of_cell(cy + 1, cy, cz)] = nan;
    }
  std::vector<Ray> rays;
  for (int i = 0; i < 8; ++i) {
    const double a = 0.6 + 0.05 * i;
    rays.push_back(Ray{{-150.3 + 0.01 * i, -150.3 + 0.01 * i, 0.45 + 0.1 * i}, {a, a, 0.002 * i}});
  }
  expect_literal(rays, volume);
}

// Nonzero voxels only on the three lower edges of a box of cells (and one at
// its upper corner, which puts the box's upper bounds away from them), and
// rays that move one cell a step through whole numbers on two axes, falling
// on one and rising on the other, so that a single step goes from
// p = (lo, lo' - 1) to q = (lo - 1, lo'): the falling axis leaves the
// box's lower bound at the very count at which the rising axis enters it.
// That step's middle piece lies in the edge cell (lo, lo') with the whole
// length, its other pieces and every other step of the ray outside the box.
// With the zero-step skip's lower bound at lo - 1, the falling axis's counts
// end (q <= lo - 1) just where the rising axis's begin (q > lo' - 1): the
// counts of the axes do not meet, the one more count is never added, and
// the ray is left out (its sample is 0). Each edge is crossed both ways.
TEST(TracerMargins, StepsWhoseMiddlePieceAloneTouchesTheLowerEdgesAreKept) {
  const int lo[3] = {-20, -15, -10}, hi[3] = {25, 20, 15};
  std::vector<float> volume(scan::kVolumeSamples, 0.0f);
  const std::vector<float> values = testdata::random_volume(13, 0.5f, 2.0f);
  auto set = [&](const int cell[3]) {
    const std::size_t i = scan::volume_index_of_cell(cell[0], cell[1], cell[2]);
    volume[i] = values[i];
  };
  // Axis a at its lower bound, axis b too, the third along the box.
  for (int a = 0; a < 3; ++a) {
    const int b = (a + 1) % 3, other = (a + 2) % 3;
    for (int u = lo[other]; u <= hi[other]; ++u) {
      int cell[3];
      cell[a] = lo[a];
      cell[b] = lo[b];
      cell[other] = u;
      set(cell);
    }
  }
  set(hi);
  const tomproj::NonzeroBox box = tomproj::nonzero_box(volume.data());
  for (int a = 0; a < 3; ++a) {
    ASSERT_EQ(box.lo[a], lo[a]);
    ASSERT_EQ(box.hi[a], hi[a]);
  }
  // At count K, p is (lo[fall], lo[rise] - 1) and q (lo[fall] - 1, lo[rise]);
  // the third axis drifts slowly within the box.
  const int K = 60;
  std::vector<Ray> rays;
  for (int fall = 0; fall < 3; ++fall) {
    for (int rise = 0; rise < 3; ++rise) {
      if (rise == fall) continue;
      const int other = 3 - fall - rise;
      for (int i = 0; i < 8; ++i) {
        double s[3], d[3];
        s[fall] = lo[fall] + (K - 1);
        d[fall] = -1.0;
        s[rise] = lo[rise] - K;
        d[rise] = 1.0;
        d[other] = 0.03125 * (i - 4);
        s[other] = 0.5 * (lo[other] + hi[other]) + 0.3 - K * d[other];
        rays.push_back(Ray{{s[0], s[1], s[2]}, {d[0], d[1], d[2]}});
      }
    }
  }
  expect_literal(rays, volume);
}

}  // namespace
