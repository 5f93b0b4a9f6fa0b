// The cone projector and its transpose on scans other than the defined one:
// every kernel against the literal rendering bit for bit, voxel-aligned
// boxes against their exact chord lengths, the adjoint identity, and the
// independence of the bits from the thread count and from walking several
// volumes together.
#include "operators/cone_projector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/failure.h"
#include "tests/operators/adjoint_identity.h"
#include "tests/oracle/cone_projector_oracle.h"
#include "tests/support/bit_compare.h"
#include "tests/support/cone_scans.h"
#include "tests/support/expect_failure.h"
#include "tests/support/kernels.h"

namespace {

using testdata::circular_vectors;
using testdata::grid_of;

constexpr double kDegree = 3.14159265358979323846 / 180.0;

struct Scan {
  const char* name;
  geom::VolumeGrid grid;
  geom::ConeVectors rays;
};

// Odd sizes, anisotropic voxels, an off-centre volume, an offset
// non-square detector and a short arc.
Scan short_arc_scan() {
  return {"short arc", grid_of(9, 11, 13, 0.7, 1.1, 0.9, 1.3, -0.8, 2.1),
          circular_vectors(7, 12, 1.3, 1.7, 0.9, -2.6, 40.0, 70.0, testdata::arc_angles(5, 10 * kDegree, 200 * kDegree))};
}

// Even sizes, unit voxels centred on the axis, odd detector counts: the
// central row and column run in voxel planes, and the views at multiples
// of 45 degrees meet many planes of two axes at once.
Scan plane_ties_scan() {
  return {"plane ties", grid_of(8, 10, 12, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0),
          circular_vectors(9, 9, 2.0, 2.0, 0.0, 0.0, 20.0, 40.0, {0.0, 45 * kDegree, 90 * kDegree, 135 * kDegree})};
}

// A free trajectory: sources and tilted panels placed at random around the
// volume.
Scan free_scan() {
  Scan s{"free", grid_of(10, 7, 9, 1.2, 0.6, 0.8, -0.5, 0.4, 0.3), {}};
  s.rays.rows = 6;
  s.rays.columns = 11;
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int view = 0; view < 6; ++view) {
    const double a = view * 1.1, tilt = 0.3 * u(gen);
    const double src[3] = {30 * std::sin(a), -30 * std::cos(a), 8 * u(gen)};
    const double det[3] = {-25 * std::sin(a) + u(gen), 25 * std::cos(a) + u(gen), 3 * u(gen)};
    const double col[3] = {1.1 * std::cos(a), 1.1 * std::sin(a), 0.2 * u(gen)};
    const double row[3] = {tilt, 0.1 * u(gen), -1.4};
    s.rays.vectors.insert(s.rays.vectors.end(), src, src + 3);
    s.rays.vectors.insert(s.rays.vectors.end(), det, det + 3);
    s.rays.vectors.insert(s.rays.vectors.end(), col, col + 3);
    s.rays.vectors.insert(s.rays.vectors.end(), row, row + 3);
  }
  return s;
}

std::vector<Scan> scans() { return {short_arc_scan(), plane_ties_scan(), free_scan()}; }

std::vector<float> project(kernels::Kernel kernel, const Scan& s, const std::vector<float>& volume, int threads) {
  std::vector<float> stack(static_cast<std::size_t>(s.rays.samples()));
  const float* in = volume.data();
  float* out = stack.data();
  tomproj::cone_project_with(kernel, s.grid, s.rays, &in, 1, &out, threads);
  return stack;
}

std::vector<float> back(kernels::Kernel kernel, const Scan& s, const std::vector<float>& stack, int threads) {
  std::vector<float> volume(static_cast<std::size_t>(s.grid.voxels()));
  tomproj::cone_project_adjoint_with(kernel, s.grid, s.rays, stack.data(), volume.data(), threads);
  return volume;
}

// A stack with a few zero samples, which the transpose skips.
std::vector<float> sparse_stack(const Scan& s, std::uint32_t seed) {
  std::vector<float> y = testdata::random_samples(s.rays.samples(), seed);
  for (std::size_t i = 0; i < y.size(); i += 5) y[i] = 0.0f;
  return y;
}

TEST(ConeProjector, EveryKernelMatchesTheRenderingBitForBit) {
  for (const Scan& s : scans()) {
    const std::vector<float> x = testdata::random_samples(s.grid.voxels(), 3);
    const std::vector<float> y = sparse_stack(s, 4);
    std::vector<float> want_forward(static_cast<std::size_t>(s.rays.samples()));
    std::vector<float> want_back(static_cast<std::size_t>(s.grid.voxels()));
    oracle::cone_project(s.grid, s.rays, x.data(), want_forward.data());
    oracle::cone_project_adjoint(s.grid, s.rays, y.data(), want_back.data());
    for (kernels::Kernel k : testdata::runnable_kernels()) {
      SCOPED_TRACE(std::string(s.name) + ", kernel " + kernels::kernel_name(k));
      EXPECT_TRUE(testdata::same_bits(project(k, s, x, 2), want_forward));
      EXPECT_TRUE(testdata::same_bits(back(k, s, y, 2), want_back));
    }
  }
}

// A volume whose nonzero voxels fill only an off-centre box: the walk
// starts and ends at that box's planes, and must meet the very pieces of
// the whole walk there.
TEST(ConeProjector, WalksCutToTheNonzeroBoxMatchTheRenderingBitForBit) {
  for (const Scan& s : scans()) {
    std::vector<float> x = testdata::random_samples(s.grid.voxels(), 5);
    for (std::int64_t iz = 0; iz < s.grid.nz; ++iz)
      for (std::int64_t iy = 0; iy < s.grid.ny; ++iy)
        for (std::int64_t ix = 0; ix < s.grid.nx; ++ix)
          if (ix < 2 || ix > s.grid.nx - 4 || iy < 1 || iy > s.grid.ny - 3 || iz < 3 || iz > s.grid.nz - 2)
            x[ix + s.grid.nx * (iy + s.grid.ny * iz)] = 0.0f;
    std::vector<float> want(static_cast<std::size_t>(s.rays.samples()));
    oracle::cone_project(s.grid, s.rays, x.data(), want.data());
    for (kernels::Kernel k : testdata::runnable_kernels()) {
      SCOPED_TRACE(std::string(s.name) + ", kernel " + kernels::kernel_name(k));
      EXPECT_TRUE(testdata::same_bits(project(k, s, x, 2), want));
    }
  }
}

// The length (mm) of the segment from the source to the pixel centre inside
// the box of voxels [lo, hi) (index order x, y, z), in world coordinates.
double chord(const geom::VolumeGrid& g, const geom::ConeVectors& r, std::int64_t view, std::int64_t row,
             std::int64_t col, const std::int64_t lo[3], const std::int64_t hi[3]) {
  const double* v = r.vectors.data() + 12 * view;
  const double cu = col - 0.5 * (r.columns - 1), cv = row - 0.5 * (r.rows - 1);
  const double n[3] = {double(g.nx), double(g.ny), double(g.nz)};
  const double size[3] = {g.dx, g.dy, g.dz}, origin[3] = {g.origin_x, g.origin_y, g.origin_z};
  const double sign[3] = {1, -1, -1};
  long double t0 = 0, t1 = 1, len2 = 0;
  for (int a = 0; a < 3; ++a) {
    const long double s = v[a], e = (long double)v[3 + a] + cu * v[6 + a] + cv * v[9 + a] - s;
    len2 += e * e;
    // The box's planes in world coordinates.
    const long double p = origin[a] + sign[a] * (lo[a] - n[a] / 2) * size[a];
    const long double q = origin[a] + sign[a] * (hi[a] - n[a] / 2) * size[a];
    const long double bl = std::min(p, q), bh = std::max(p, q);
    if (e == 0) {
      if (s < bl || s >= bh) return 0.0;
      continue;
    }
    const long double ta = (bl - s) / e, tb = (bh - s) / e;
    t0 = std::max(t0, std::min(ta, tb));
    t1 = std::min(t1, std::max(ta, tb));
  }
  return t1 > t0 ? static_cast<double>((t1 - t0) * std::sqrt(len2)) : 0.0;
}

TEST(ConeProjector, VoxelAlignedBoxesGiveTheirChordLengths) {
  Scan even{"even", grid_of(10, 12, 16, 0.5, 0.25, 0.4, -0.6, 0.35, -0.9),
            circular_vectors(14, 10, 0.6, 0.45, -1.1, 0.7, 12.0, 20.0, testdata::arc_angles(7, -30 * kDegree, 150 * kDegree))};
  for (const Scan& s : {short_arc_scan(), even, free_scan()}) {
    SCOPED_TRACE(s.name);
    const std::int64_t lo[3] = {2, 1, 3}, hi[3] = {s.grid.nx - 3, s.grid.ny - 2, s.grid.nz - 2};
    const float value = 1.5f;
    std::vector<float> x(static_cast<std::size_t>(s.grid.voxels()), 0.0f);
    for (std::int64_t iz = lo[2]; iz < hi[2]; ++iz)
      for (std::int64_t iy = lo[1]; iy < hi[1]; ++iy)
        for (std::int64_t ix = lo[0]; ix < hi[0]; ++ix) x[ix + s.grid.nx * (iy + s.grid.ny * iz)] = value;
    const std::vector<float> stack = project(kernels::process_kernel(), s, x, 2);
    std::int64_t hit = 0;
    for (std::int64_t view = 0; view < s.rays.views(); ++view)
      for (std::int64_t row = 0; row < s.rays.rows; ++row)
        for (std::int64_t col = 0; col < s.rays.columns; ++col) {
          const double want = value * chord(s.grid, s.rays, view, row, col, lo, hi);
          const float got = stack[(view * s.rays.rows + row) * s.rays.columns + col];
          hit += want > 0;
          // One float32 rounding, and the walk's rounding of the plane times.
          const double tolerance = std::numeric_limits<float>::epsilon() * want + 1e-9;
          EXPECT_NEAR(got, want, tolerance) << "view " << view << " row " << row << " col " << col;
        }
    EXPECT_GT(hit, s.rays.samples() / 4) << "the boxes must be seen by many rays";
  }
}

TEST(ConeProjector, TransposeSatisfiesTheAdjointIdentity) {
  for (const Scan& s : scans()) {
    SCOPED_TRACE(s.name);
    const std::vector<float> x = testdata::random_samples(s.grid.voxels(), 11);
    const std::vector<float> y = testdata::random_samples(s.rays.samples(), 12);
    const kernels::Kernel k = kernels::process_kernel();
    const quanttest::IdentityFigures f = quanttest::adjoint_identity(x, project(k, s, x, 2), y, back(k, s, y, 2));
    EXPECT_LT(f.relative, 1e-6);
  }
}

// Enough rays, slabs and row blocks to be shared unevenly among threads.
Scan threaded_scan() {
  return {"threaded", grid_of(40, 22, 26, 0.8, 1.0, 0.9, 0.5, -1.0, 0.7),
          circular_vectors(21, 33, 1.2, 1.1, 0.4, -0.9, 60.0, 100.0, testdata::arc_angles(9, 0.2, 360 * kDegree))};
}

TEST(ConeProjector, ThreadCountDoesNotChangeABit) {
  const Scan s = threaded_scan();
  const std::vector<float> x = testdata::random_samples(s.grid.voxels(), 21);
  const std::vector<float> y = sparse_stack(s, 22);
  const kernels::Kernel k = kernels::process_kernel();
  const std::vector<float> forward = project(k, s, x, 1), backward = back(k, s, y, 1);
  for (int threads : {2, 7}) {
    SCOPED_TRACE(threads);
    EXPECT_TRUE(testdata::same_bits(project(k, s, x, threads), forward));
    EXPECT_TRUE(testdata::same_bits(back(k, s, y, threads), backward));
  }
}

TEST(ConeProjector, SeveralVolumesPerWalkGiveEachVolumesOwnStack) {
  const Scan s = short_arc_scan();
  for (int count : {3, 11}) {
    std::vector<std::vector<float>> volumes, stacks;
    std::vector<const float*> in;
    std::vector<float*> out;
    for (int j = 0; j < count; ++j) {
      volumes.push_back(testdata::random_samples(s.grid.voxels(), 100 + j));
      stacks.emplace_back(static_cast<std::size_t>(s.rays.samples()), -1.0f);
    }
    for (int j = 0; j < count; ++j) {
      in.push_back(volumes[j].data());
      out.push_back(stacks[j].data());
    }
    for (kernels::Kernel k : testdata::runnable_kernels()) {
      tomproj::cone_project_with(k, s.grid, s.rays, in.data(), count, out.data(), 2);
      for (int j = 0; j < count; ++j) {
        SCOPED_TRACE(std::string(kernels::kernel_name(k)) + " volume " + std::to_string(j) + " of " + std::to_string(count));
        EXPECT_TRUE(testdata::same_bits(stacks[j], project(k, s, volumes[j], 1)));
      }
    }
  }
}

TEST(ConeProjector, RefusesScansItCannotWalkAndNamesBothShapes) {
  using tomio::FailureKind;
  const Scan s = short_arc_scan();
  geom::VolumeGrid flat = s.grid;
  flat.ny = 0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "no voxels along y", [&] { tomproj::check_cone_scan(flat, s.rays); }));
  geom::VolumeGrid thin = s.grid;
  thin.dz = -1.0;
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "voxel size along z", [&] { tomproj::check_cone_scan(thin, s.rays); }));
  geom::ConeVectors ragged = s.rays;
  ragged.vectors.pop_back();
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "12 numbers per view", [&] { tomproj::check_cone_scan(s.grid, ragged); }));
  geom::ConeVectors nan = s.rays;
  nan.vectors[12 + 4] = std::nan("");
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "scan vector 4 of view 1", [&] { tomproj::check_cone_scan(s.grid, nan); }));
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "stack has shape (5, 12, 7) but the scan needs (5, 7, 12)", [&] {
    tomproj::require_shape("stack", {5, 12, 7}, tomproj::cone_stack_shape(s.rays));
  }));
  std::vector<float> x(static_cast<std::size_t>(s.grid.voxels())), y(static_cast<std::size_t>(s.rays.samples()));
  EXPECT_TRUE(testrun::fails_with(FailureKind::usage, "thread count 0", [&] {
    tomproj::cone_project_adjoint(s.grid, s.rays, y.data(), x.data(), 0);
  }));
}

}  // namespace
