#include "operators/backprojection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/oracle/backprojection_oracle.h"
#include "tests/support/kernels.h"
#include "tests/support/test_volumes.h"
#include "operators/rec_geometry.h"

namespace {

using testdata::bits;

struct Segment {
  std::size_t k;
  int iz;
  double length;
};

std::vector<Segment> segments_of(const double source[3], const double detector[3]) {
  std::vector<Segment> out;
  tomrec::trace_ray(source, detector, tomrec::kDist, [&](std::size_t k, int iz, double sub) {
    out.push_back(Segment{k, iz, sub});
    return true;
  });
  return out;
}

std::vector<Segment> segments_of(int v, int r, int c) {
  double source[3], detector[3];
  oracle::ray_ends(v, r, c, source, detector);
  return segments_of(source, detector);
}

// Stacks with random samples, and detector sums that are random with every
// seventh one (and a whole row) exactly 0, so that the skip is exercised.
struct Stacks {
  std::vector<float> proj, detector_sum;
  explicit Stacks(std::uint32_t seed)
      : proj(scan::kStackSamples), detector_sum(scan::kStackSamples) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> value(-3.0f, 5.0f), weight(0.25f, 200.0f);
    for (std::size_t i = 0; i < proj.size(); ++i) {
      proj[i] = value(gen);
      detector_sum[i] = (i % 7 == 3 || (i / 256) % 256 == 100) ? 0.0f : weight(gen);
    }
  }
};

// Unit sample values and weights: the credits are the segment lengths.
constexpr double kOnes[tomrec::kLanes] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

void expect_identical(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  std::size_t differ = 0, first = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (bits(a[i]) != bits(b[i])) {
      if (differ++ == 0) first = i;
    }
  }
  EXPECT_EQ(differ, 0u) << "first difference at " << first << ": " << a[first] << " vs "
                        << b[first];
}

TEST(Backprojection, CentralRayOfViewZero) {
  double source[3], detector[3];
  oracle::ray_ends(0, 128, 128, source, detector);
  EXPECT_EQ(source[0], 0.0);
  EXPECT_EQ(source[1], -256.0);
  EXPECT_EQ(detector[1], 256.0);
  const tomrec::RayStart ray = tomrec::ray_start(source, detector, tomrec::kDist);
  EXPECT_EQ(ray.span.first, 195);
  const std::vector<Segment> segs = segments_of(source, detector);
  ASSERT_EQ(segs.size(), 123u);
  EXPECT_EQ(segs[0].k, 1064640u);
  EXPECT_EQ(segs[0].k, scan::volume_index(64, 125, 64));
  EXPECT_EQ(segs[0].length, 2.0);
  double total = 0.0;
  for (std::size_t i = 1; i < segs.size(); ++i) {
    EXPECT_EQ(segs[i].k, scan::volume_index(64, 124 - static_cast<int>(i), 64)) << i;
    EXPECT_EQ(segs[i].length, 1.0) << i;
    EXPECT_NE(segs[i].k, scan::volume_index(64, 124, 64));
    total += segs[i].length;
  }
  EXPECT_EQ(total + segs[0].length, 124.0);
  EXPECT_EQ(segs.back().k, scan::volume_index(64, 2, 64));

  // Through the public call: 2*p/q at the first voxel, nothing at (64,124,64).
  std::vector<float> proj(scan::kStackSamples, 0.0f), sums(scan::kStackSamples, 0.0f);
  const std::size_t s = scan::stack_index(0, 128, 128);
  ASSERT_EQ(s, 32896u);
  proj[s] = 3.0f;
  sums[s] = 7.0f;
  std::vector<double> acc(scan::kVolumeSamples, 0.0);
  tomrec::backproject_ray(proj.data(), sums.data(), 0, 128, 128, acc.data(), source, detector,
                          128, 128, 128, tomrec::kDist);
  EXPECT_EQ(acc[1064640], 3.0 * 2.0 / 7.0);
  EXPECT_EQ(acc[scan::volume_index(64, 124, 64)], 0.0);
  EXPECT_EQ(acc[scan::volume_index(64, 123, 64)], 3.0 / 7.0);
}

TEST(Backprojection, CentralRayOfViewSixtyFour) {
  const std::vector<Segment> segs = segments_of(64, 128, 128);
  ASSERT_EQ(segs.size(), 124u);
  for (std::size_t i = 0; i < segs.size(); ++i) {
    EXPECT_EQ(segs[i].k, scan::volume_index(125 - static_cast<int>(i), 64, 64)) << i;
    EXPECT_EQ(segs[i].length, 1.0) << i;
  }
}

TEST(Backprojection, RaysThatAddNothingOrStayInOnePlane) {
  EXPECT_TRUE(segments_of(16, 0, 0).empty());
  for (int v : {0, 5, 64, 99, 200}) {
    for (int c = 0; c < 256; c += 17) {
      for (const Segment& s : segments_of(v, 128, c)) EXPECT_EQ(s.iz, 64) << v << " " << c;
    }
  }
  // Upper rows stay at iz <= 64, lower rows at iz >= 65: the slab split of
  // two threads relies on this.
  for (int v : {0, 33, 128}) {
    for (int r : {0, 60, 127, 129, 200, 255}) {
      for (int c = 0; c < 256; c += 9) {
        for (const Segment& s : segments_of(v, r, c)) {
          if (r < 128) {
            EXPECT_LE(s.iz, 64);
          } else {
            EXPECT_GE(s.iz, 65);
          }
        }
      }
    }
  }
  // A sample of value 0 adds +0.0; one without weight adds nothing at all.
  std::vector<float> proj(scan::kStackSamples, 0.0f), sums(scan::kStackSamples, 1.0f);
  std::vector<double> acc(scan::kVolumeSamples, 0.0);
  double source[3], detector[3];
  oracle::ray_ends(3, 40, 77, source, detector);
  proj[scan::stack_index(3, 40, 77)] = 5.0f;
  sums[scan::stack_index(3, 40, 77)] = 0.0f;
  tomrec::backproject_ray(proj.data(), sums.data(), 3, 40, 77, acc.data(), source, detector, 128,
                          128, 128, tomrec::kDist);
  for (double a : acc) ASSERT_EQ(bits(a), bits(0.0));
}

TEST(Backprojection, EqualDistancesGoToTheLowerAxis) {
  // Step (1, 1, 0): x and y reach their boundaries together; x wins, only x
  // gets the full width next, and y (a point on its boundary, moved on by the
  // tolerance rule) is 2 away, so every later segment ends on x again.
  const double source[3] = {-70.5, -70.5, 0.25}, detector[3] = {441.5, 441.5, 0.25};
  const std::vector<Segment> segs = segments_of(source, detector);
  ASSERT_GT(segs.size(), 3u);
  EXPECT_EQ(segs[0].length, 0.5);
  EXPECT_EQ(segs[0].k, scan::volume_index_of_cell(-62, -62, 0));
  for (std::size_t i = 1; i < segs.size(); ++i) {
    const int cell = -61 + static_cast<int>(i) - 1;
    EXPECT_EQ(segs[i].k, scan::volume_index_of_cell(cell, cell, 0)) << i;
    EXPECT_EQ(segs[i].length, 1.0) << i;
  }
  // x against z, and y against z, each with the same literal outcome.
  const double rays[][6] = {
      {-70.5, 0.3, -70.5, 441.5, 0.3, 441.5},   {0.3, -70.25, -70.25, 0.3, 441.75, 441.75},
      {-70.5, -70.5, -70.5, 441.5, 441.5, 441.5}, {61.5, 62.5, 62.5, -450.5, -449.5, -449.5},
      {10.0, -300.0, 5.0, 10.0, 212.0, 5.0},     {-0.5, -256.0, 0.5, 0.5, 256.0, -0.5}};
  for (const auto& ray : rays) {
    std::vector<float> proj(scan::kStackSamples, 0.0f), sums(scan::kStackSamples, 0.0f);
    proj[7] = 1.5f;
    sums[7] = 3.0f;
    std::vector<double> fast(scan::kVolumeSamples, 0.0), literal(scan::kVolumeSamples, 0.0);
    tomrec::backproject_ray(proj.data(), sums.data(), 0, 0, 7, fast.data(), ray, ray + 3, 128,
                            128, 128, tomrec::kDist);
    oracle::backproject_ray(proj.data(), sums.data(), 0, 0, 7, literal.data(), ray, ray + 3, 128,
                            128, 128, tomrec::kDist);
    expect_identical(fast, literal);
  }
}

TEST(Backprojection, ShortLinesRunOutOfCounts) {
  // With few counts the budget, not the box, ends the walk: a segment counted
  // at or after 2*dist is not credited.
  const double source[3] = {-10.25, -10.5, 0.75}, detector[3] = {10.75, 10.5, -0.5};
  for (double dist : {0.5, 3.0, 10.0, 25.0}) {
    std::vector<float> proj(scan::kStackSamples, 0.0f), sums(scan::kStackSamples, 0.0f);
    proj[0] = 1.0f;
    sums[0] = 1.0f;
    std::vector<double> fast(scan::kVolumeSamples, 0.0), literal(scan::kVolumeSamples, 0.0);
    tomrec::backproject_ray(proj.data(), sums.data(), 0, 0, 0, fast.data(), source, detector, 128,
                            128, 128, dist);
    oracle::backproject_ray(proj.data(), sums.data(), 0, 0, 0, literal.data(), source, detector,
                            128, 128, 128, dist);
    expect_identical(fast, literal);
  }
}

// Every ray of a few whole views, fast walk against the literal loop, into
// one double accumulator in the run's order.
TEST(Backprojection, WholeViewsMatchTheLiteralLoop) {
  const Stacks stacks(11);
  for (int v : {0, 1, 37, 64, 128, 200}) {
    std::vector<double> fast(scan::kVolumeSamples, 0.0), literal(scan::kVolumeSamples, 0.0);
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (int r = 0; r < 256; ++r) {
      for (int c = 0; c < 256; ++c) {
        double detector[3];
        tomrec::detector_point(rays, r, c, detector);
        tomrec::backproject_ray(stacks.proj.data(), stacks.detector_sum.data(), v, r, c,
                                fast.data(), rays.source, detector, 128, 128, 128, tomrec::kDist);
      }
    }
    oracle::backproject_views(stacks.proj.data(), stacks.detector_sum.data(), literal.data(), v,
                              v + 1);
    expect_identical(fast, literal);
  }
}

TEST(Backprojection, RayEndsOfTheRun) {
  double source[3], detector[3];
  oracle::ray_ends(0, 128, 128, source, detector);
  EXPECT_EQ(bits(detector[0]), bits(0.0));  // -0.0 before the clamp
  EXPECT_EQ(detector[2], 0.0);
  oracle::ray_ends(0, 0, 255, source, detector);
  EXPECT_NEAR(detector[0], -133.552060, 1e-6);
  EXPECT_NEAR(detector[1], 252.643716, 1e-6);
  EXPECT_EQ(detector[2], 128.0);
  oracle::ray_ends(0, 255, 0, source, detector);
  EXPECT_NEAR(detector[0], 134.690212, 1e-6);
  EXPECT_NEAR(detector[1], 252.544148, 1e-6);
  EXPECT_EQ(detector[2], -127.0);
  oracle::ray_ends(64, 0, 0, source, detector);
  EXPECT_EQ(source[0], 256.0);
  EXPECT_EQ(bits(source[1]), bits(0.0));
  oracle::ray_ends(128, 0, 0, source, detector);
  EXPECT_EQ(bits(source[0]), bits(0.0));
  EXPECT_EQ(source[1], 256.0);
  // The program's ray geometry gives the same bits for every ray of these views.
  for (int v : {0, 1, 64, 128, 192, 255}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (int r = 0; r < 256; r += 5) {
      for (int c = 0; c < 256; ++c) {
        double d[3];
        tomrec::detector_point(rays, r, c, d);
        oracle::ray_ends(v, r, c, source, detector);
        for (int a = 0; a < 3; ++a) {
          ASSERT_EQ(bits(rays.source[a]), bits(source[a])) << v;
          ASSERT_EQ(bits(d[a]), bits(detector[a])) << v << " " << r << " " << c;
        }
      }
    }
  }
}

// Every kernel the processor can run leaves the very same segments as the
// scalar one (one ray at a time), for every ray of a view and for slabs that
// stop rays; the process's kernel is held to the literal loop by the tests
// above.
TEST(Backprojection, EveryKernelLeavesTheSameSegments) {
  using Walk = std::function<void(const tomrec::RayStart*, const double*, const double*,
                                  tomrec::ZSlab, tomrec::RaySegments&)>;
  std::vector<std::pair<std::string, Walk>> walks;
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    walks.emplace_back(kernels::kernel_name(kernel),
                       [kernel](const tomrec::RayStart* rays, const double* sample,
                                const double* weight, tomrec::ZSlab slab,
                                tomrec::RaySegments& out) {
                         tomrec::walk_rays_with(kernel, rays, sample, weight, tomrec::kLanes,
                                                slab, out);
                       });
  }
  ASSERT_EQ(walks[0].first, "scalar");
  auto reference = std::make_unique<tomrec::RaySegments>();
  auto other = std::make_unique<tomrec::RaySegments>();
  auto same_segments = [&](const tomrec::RayStart* batch, const double* sample,
                           const double* weights, tomrec::ZSlab slab, const std::string& where) {
    walks[0].second(batch, sample, weights, slab, *reference);
    for (std::size_t w = 1; w < walks.size(); ++w) {
      walks[w].second(batch, sample, weights, slab, *other);
      for (int l = 0; l < tomrec::kLanes; ++l) {
        SCOPED_TRACE(walks[w].first + " " + where + " lane " + std::to_string(l));
        ASSERT_EQ(reference->count[l], other->count[l]);
        ASSERT_EQ(reference->ran_out[l], other->ran_out[l]);
        ASSERT_EQ(bits(reference->total[l]), bits(other->total[l]));
        for (int i = 0; i < reference->count[l]; ++i) {
          ASSERT_EQ(reference->voxel(i, l), other->voxel(i, l)) << i;
          ASSERT_EQ(bits(reference->credit(i, l)), bits(other->credit(i, l))) << i;
        }
      }
    }
  };
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> value(-2.0, 3.0), weight(0.5, 50.0);
  for (int v : {21, 130}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    for (const tomrec::ZSlab slab :
         {tomrec::kWholeGrid, tomrec::ZSlab{40, 64}, tomrec::ZSlab{70, 90}}) {
      for (int r = 0; r < 256; r += 3) {
        for (int c = 0; c < 256; c += tomrec::kLanes) {
          tomrec::RayStart batch[tomrec::kLanes];
          double sample[tomrec::kLanes], weights[tomrec::kLanes];
          for (int l = 0; l < tomrec::kLanes; ++l) {
            double d[3];
            tomrec::detector_point(rays, r, c + l, d);
            batch[l] = tomrec::ray_start(rays.source, d, tomrec::kDist);
            // Every other batch has the unit values of the weight tool.
            const bool unit = (c / tomrec::kLanes) % 2 == 1;
            sample[l] = unit ? 1.0 : value(gen);
            weights[l] = unit ? 1.0 : weight(gen);
          }
          same_segments(batch, sample, weights, slab,
                        std::to_string(v) + " " + std::to_string(r) + " " + std::to_string(c));
          if (HasFatalFailure()) return;
        }
      }
    }
  }
  // Lines along grid diagonals, where distances tie at every count and the
  // walks that order by products must fall back to dividing; with few
  // counts, the budget ends them.
  const double lines[][6] = {
      {-70.5, -70.5, 0.25, 441.5, 441.5, 0.25},  {-70.5, 0.3, -70.5, 441.5, 0.3, 441.5},
      {0.3, -70.25, -70.25, 0.3, 441.75, 441.75}, {-70.5, -70.5, -70.5, 441.5, 441.5, 441.5},
      {61.5, 62.5, 62.5, -450.5, -449.5, -449.5}, {10.0, -300.0, 5.0, 10.0, 212.0, 5.0},
      {-0.5, -256.0, 0.5, 0.5, 256.0, -0.5},      {-10.25, -10.5, 0.75, 10.75, 10.5, -0.5}};
  for (double dist : {tomrec::kDist, 10.0, 3.0}) {
    tomrec::RayStart batch[tomrec::kLanes];
    double sample[tomrec::kLanes], weights[tomrec::kLanes];
    for (int l = 0; l < tomrec::kLanes; ++l) {
      const double* line = lines[l % 8];
      batch[l] = tomrec::ray_start(line, line + 3, dist);
      sample[l] = value(gen);
      weights[l] = weight(gen);
    }
    same_segments(batch, sample, weights, tomrec::kWholeGrid, "lines " + std::to_string(dist));
    same_segments(batch, sample, weights, tomrec::ZSlab{60, 66}, "lines in a slab");
  }
}

// The lines through the walk's product guard: at one count two axes reach
// their boundaries at equal quotients num / step while the products
// num * (1 / step) differ, the lower axis's product being the larger; the
// tie rule gives the segment to the lower axis. The walk orders by products
// only where the smallest times (1 + 1e-14) is still below the runner-up.
//  - Rays of the scan's central column (found by a search over every ray of
//    every view), whose products differ by one unit of rounding: narrowing
//    the guard to 1 + 0 lets the one-ulp product order pick the other axis,
//    which then gets the full cell next, and each of these rays then leaves
//    other segments than the literal walk.
//  - Lines built for it (found by a search over doubles): from
//    (1 - n, 1 - n, 0.5), steps x and y one unit of rounding apart, so that
//    n / step_x == n / step_y while the products lie two units apart, cut
//    into 4 counts (a step of (detector - source) / 4, exact): narrowing the
//    guard even to 1 + 2^-52 lets the products pick y, and the second
//    segment's length differs in its last bits.
// Every kernel is held to the literal walk here, as the scalar one shares
// the guard.
TEST(Backprojection, ProductOrderWithinTheGuardFallsBackToQuotients) {
  struct Line {
    double source[3], detector[3], dist;
  };
  std::vector<Line> lines;
  const int rays_of_scan[][2] = {{0, 30},    {0, 226},   {28, 15},   {28, 25},   {28, 33},
                                 {28, 52},   {28, 204},  {28, 223},  {28, 231},  {28, 241},
                                 {175, 16},  {175, 72},  {175, 100}, {175, 156}, {175, 184},
                                 {175, 240}, {192, 30},  {192, 226}, {247, 86},  {247, 100},
                                 {247, 114}, {247, 142}, {247, 156}, {247, 170}};
  for (const auto& vr : rays_of_scan) {
    const tomrec::ViewRays rays = tomrec::view_rays(vr[0]);
    Line line{{rays.source[0], rays.source[1], rays.source[2]}, {}, tomrec::kDist};
    tomrec::detector_point(rays, vr[1], scan::NX, line.detector);
    lines.push_back(line);
  }
  // n, step_x, step_y.
  const double built[][3] = {{0x1.52b6c577aap-1, 0x1.3d338974ee259p-2, 0x1.3d338974ee25ap-2},
                             {0x1.6519567754p-1, 0x1.519604eb16cfap-2, 0x1.519604eb16cfbp-2},
                             {0x1.6a44761b66p-1, 0x1.5873aeb584278p-2, 0x1.5873aeb584279p-2},
                             {0x1.44c1c6853ap-1, 0x1.3a7c894a91a19p-2, 0x1.3a7c894a91a1ap-2},
                             {0x1.4d8fdf2cd6p-1, 0x1.2af29d542a9d6p-2, 0x1.2af29d542a9d7p-2},
                             {0x1.71f07062a2p-1, 0x1.3f8c4bb5e3806p-2, 0x1.3f8c4bb5e3807p-2},
                             {0x1.4074bbb9a4p-1, 0x1.3f079c23d099fp-2, 0x1.3f079c23d09ap-2},
                             {0x1.76676f392cp-1, 0x1.45e8dabdd439ap-2, 0x1.45e8dabdd439bp-2}};
  for (const auto& b : built) {
    const double n = b[0];
    Line line{{1.0 - n, 1.0 - n, 0.5}, {}, 2.0};
    line.detector[0] = line.source[0] + 4.0 * b[1];
    line.detector[1] = line.source[1] + 4.0 * b[2];
    line.detector[2] = line.source[2] + 4.0 * 0.015625;
    const tomrec::RayStart ray = tomrec::ray_start(line.source, line.detector, line.dist);
    ASSERT_EQ(bits(ray.step[0]), bits(b[1]));
    ASSERT_EQ(bits(ray.step[1]), bits(b[2]));
    lines.push_back(line);
  }
  auto out = std::make_unique<tomrec::RaySegments>();
  for (std::size_t first = 0; first < lines.size(); first += tomrec::kLanes) {
    const int count = static_cast<int>(std::min<std::size_t>(tomrec::kLanes, lines.size() - first));
    tomrec::RayStart batch[tomrec::kLanes];
    std::vector<std::vector<std::pair<long, double>>> literal(tomrec::kLanes);
    for (int l = 0; l < count; ++l) {
      const Line& line = lines[first + static_cast<std::size_t>(l)];
      batch[l] = tomrec::ray_start(line.source, line.detector, line.dist);
      oracle::walk_segments(line.source, line.detector, 128, 128, 128, line.dist,
                            [&](long k, double sub_min) { literal[l].emplace_back(k, sub_min); });
    }
    for (kernels::Kernel kernel : testdata::runnable_kernels()) {
      tomrec::walk_rays_with(kernel, batch, kOnes, kOnes, count, tomrec::kWholeGrid, *out);
      for (int l = 0; l < count; ++l) {
        // The first segment that differs, or the count past the shorter walk.
        const std::size_t segments = static_cast<std::size_t>(out->count[l]);
        std::size_t i = 0;
        while (i < segments && i < literal[l].size() &&
               static_cast<long>(out->voxel(static_cast<int>(i), l)) == literal[l][i].first &&
               bits(out->credit(static_cast<int>(i), l)) == bits(literal[l][i].second)) {
          ++i;
        }
        EXPECT_TRUE(i == segments && i == literal[l].size())
            << kernels::kernel_name(kernel) << " line " << first + static_cast<std::size_t>(l)
            << ": " << segments << " segments against " << literal[l].size()
            << ", the first difference at segment " << i;
      }
    }
  }
}

TEST(SlabBackprojection, SlabsCoverTheGridInOrder) {
  for (int threads = 1; threads <= 9; ++threads) {
    const std::vector<tomrec::ZSlab> slabs = tomrec::plan_slabs(threads);
    ASSERT_FALSE(slabs.empty());
    EXPECT_LE(static_cast<int>(slabs.size()), threads);
    EXPECT_EQ(slabs.front().iz_first, 0);
    EXPECT_EQ(slabs.back().iz_last, 127);
    for (std::size_t i = 0; i < slabs.size(); ++i) {
      EXPECT_LE(slabs[i].iz_first, slabs[i].iz_last);
      if (i > 0) {
        EXPECT_EQ(slabs[i].iz_first, slabs[i - 1].iz_last + 1);
      }
    }
  }
  const std::vector<tomrec::ZSlab> halves = tomrec::plan_slabs(2);
  ASSERT_EQ(halves.size(), 2u);
  EXPECT_EQ(halves[0].iz_last, 64);
}

// The iz of every segment that the rays of row r of a view leave.
std::vector<bool> row_planes(const tomrec::ViewRays& rays, int r) {
  std::vector<bool> touched(scan::NZ, false);
  auto out = std::make_unique<tomrec::RaySegments>();
  for (int c0 = 0; c0 < 2 * scan::NX; c0 += tomrec::kLanes) {
    tomrec::RayStart batch[tomrec::kLanes];
    for (int l = 0; l < tomrec::kLanes; ++l) {
      double detector[3];
      tomrec::detector_point(rays, r, c0 + l, detector);
      batch[l] = tomrec::ray_start(rays.source, detector, tomrec::kDist);
    }
    tomrec::walk_rays(batch, kOnes, kOnes, tomrec::kLanes, tomrec::kWholeGrid, *out);
    for (int l = 0; l < tomrec::kLanes; ++l) {
      for (int i = 0; i < out->count[l]; ++i) {
        touched[static_cast<std::size_t>(tomrec::z_index_of_voxel(out->voxel(i, l)))] = true;
      }
    }
  }
  return touched;
}

// The row skip keeps every row for every one-plane slab that one of its
// segments lies in. The skip has no margin of its own: the reach's radius
// past the box is all there is. The diagonal view 32 puts the box's
// farthest corner (-63, 63), 89.1 from the z axis, on its central column,
// the farthest along its line that any inside point of the view lies:
// narrowing the radius below that corner (to 89) cuts the heights of rows
// 36 and 82 short of their last segments' planes (iz 2 and 33).
TEST(SlabBackprojection, RowSkipKeepsEveryRowThatReachesTheSlab) {
  for (int v : {32, 96, 160, 224, 0, 13}) {
    const tomrec::ViewRays rays = tomrec::view_rays(v);
    const tomrec::ViewReach reach = tomrec::view_reach(rays);
    int skipped = 0;
    for (int r = 0; r < 2 * scan::NY; ++r) {
      const std::vector<bool> touched = row_planes(rays, r);
      for (int iz = 0; iz < scan::NZ; ++iz) {
        if (touched[static_cast<std::size_t>(iz)] &&
            !tomrec::row_may_reach(rays, reach, r, tomrec::ZSlab{iz, iz}) && ++skipped <= 5) {
          ADD_FAILURE() << "view " << v << " row " << r << " skipped for iz " << iz;
        }
      }
    }
    EXPECT_EQ(skipped, 0) << "view " << v;
  }
}

// The same through the slab driver and whole Volumes: samples only on the
// columns around the central one of a diagonal view (weight 0 elsewhere), so
// that the rays that run into the box's farthest corner are the only ones
// walked, against the literal loop, for thread counts whose slabs are down
// to one plane (a radius of 89 leaves out segments at 128 threads).
TEST(SlabBackprojection, RaysIntoTheFarCornerMatchTheLiteralLoop) {
  const int v = 32;
  std::vector<float> proj(scan::kStackSamples, 0.0f), sums(scan::kStackSamples, 0.0f);
  std::mt19937 gen(17);
  std::uniform_real_distribution<float> value(-3.0f, 5.0f), weight(0.25f, 200.0f);
  for (int r = 0; r < 2 * scan::NY; ++r) {
    for (int c = 124; c <= 132; ++c) {
      proj[scan::stack_index(v, r, c)] = value(gen);
      sums[scan::stack_index(v, r, c)] = weight(gen);
    }
  }
  std::vector<double> literal(scan::kVolumeSamples, 0.0);
  oracle::backproject_views(proj.data(), sums.data(), literal.data(), v, v + 1);
  for (int threads : {2, 3, 7, 32, 128}) {
    std::vector<double> fast(scan::kVolumeSamples, 0.0);
    tomrec::backproject_views(proj.data(), sums.data(), fast.data(), v, v + 1, threads, nullptr);
    SCOPED_TRACE(threads);
    expect_identical(fast, literal);
  }
}

// Any number of threads gives the sums of the single sequential loop.
TEST(SlabBackprojection, ThreadCountsMatchTheLiteralLoop) {
  const Stacks stacks(5);
  const int first = 63, last = 65;
  std::vector<double> literal(scan::kVolumeSamples, 0.0);
  oracle::backproject_views(stacks.proj.data(), stacks.detector_sum.data(), literal.data(), first,
                            last);
  for (int threads : {1, 2, 3, 4}) {
    std::vector<double> fast(scan::kVolumeSamples, 0.0);
    std::vector<int> reported;
    tomrec::backproject_views(stacks.proj.data(), stacks.detector_sum.data(), fast.data(), first,
                              last, threads, [&](int v) { reported.push_back(v); });
    SCOPED_TRACE(threads);
    expect_identical(fast, literal);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<int>{63, 64}));
  }
}

}  // namespace
