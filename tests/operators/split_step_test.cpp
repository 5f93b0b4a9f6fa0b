#include "operators/split_step.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tests/oracle/projector_oracle.h"
#include "tests/support/test_volumes.h"

namespace {

using testdata::bits;

tomproj::PieceTable fast_split(const double p[3], const double q[3], const double d[3]) {
  tomproj::PieceTable t;
  tomproj::split_step(p, q, d, t);
  return t;
}

// The pieces that the projector adds must agree with the literal split in
// count, cells and every bit of every length (up to the sign of a zero).
void expect_same_pieces(const double p[3], const double q[3], const double d[3]) {
  oracle::Split o;
  ASSERT_TRUE(oracle::split_step(p, q, d, o));
  const tomproj::PieceTable t = fast_split(p, q, d);
  ASSERT_EQ(t.count, o.c);
  for (int n = 0; n <= o.c; ++n) {
    if (o.ll[n] == 0.0) {
      EXPECT_EQ(t.ll[n], 0.0) << "piece " << n;
    } else {
      EXPECT_EQ(bits(t.ll[n]), bits(o.ll[n])) << "piece " << n;
    }
    for (int a = 0; a < 3; ++a) EXPECT_EQ(t.zahyo[n][a], o.zahyo[n][a]) << "piece " << n;
  }
}

TEST(SplitStep, WorkedExamples) {
  {
    const double p[3] = {0.7, 0.5, 0.2}, d[3] = {0.6, 0.8, 0.0}, q[3] = {1.3, 1.3, 0.2};
    oracle::Split o;
    ASSERT_TRUE(oracle::split_step(p, q, d, o));
    EXPECT_EQ(o.ascending_xyz[0], 2);
    EXPECT_EQ(o.ascending_xyz[1], 0);
    EXPECT_EQ(o.ascending_xyz[2], 1);
    const auto t = fast_split(p, q, d);
    ASSERT_EQ(t.count, 2);
    EXPECT_NEAR(t.ll[0], 0.5, 1e-12);
    EXPECT_NEAR(t.ll[1], 0.125, 1e-12);
    EXPECT_NEAR(t.ll[2], 0.375, 1e-12);
    const int cells[3][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}};
    for (int n = 0; n < 3; ++n)
      for (int a = 0; a < 3; ++a) EXPECT_EQ(t.zahyo[n][a], cells[n][a]);
    expect_same_pieces(p, q, d);
  }
  {
    const double s = 1.0 / std::sqrt(3.0);
    const double p[3] = {0.9, 0.8, 0.7}, d[3] = {s, s, s};
    const double q[3] = {p[0] + s, p[1] + s, p[2] + s};
    const auto t = fast_split(p, q, d);
    ASSERT_EQ(t.count, 3);
    EXPECT_NEAR(t.ll[0], 0.1732, 1e-4);
    EXPECT_NEAR(t.ll[1], 0.1732, 1e-4);
    EXPECT_NEAR(t.ll[2], 0.1732, 1e-4);
    EXPECT_NEAR(t.ll[3], 0.4804, 1e-4);
    const int cells[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {1, 1, 1}};
    for (int n = 0; n < 4; ++n)
      for (int a = 0; a < 3; ++a) EXPECT_EQ(t.zahyo[n][a], cells[n][a]);
    expect_same_pieces(p, q, d);
  }
  {
    // x and y crossed at the same fraction: x first, a middle piece of length 0.
    const double h = std::sqrt(0.5);
    const double p[3] = {0.5, 0.5, 0.2}, d[3] = {h, h, 0.0}, q[3] = {0.5 + h, 0.5 + h, 0.2};
    const auto t = fast_split(p, q, d);
    ASSERT_EQ(t.count, 2);
    EXPECT_NEAR(t.ll[0], 0.7071, 1e-4);
    EXPECT_EQ(t.ll[1], 0.0);
    EXPECT_NEAR(t.ll[2], 0.2929, 1e-4);
    EXPECT_EQ(t.zahyo[1][0], 1);
    EXPECT_EQ(t.zahyo[1][1], 0);
    expect_same_pieces(p, q, d);
  }
  {
    // Falling through zero on x: the boundary comes from q and is 0.
    const double p[3] = {0.3, 0.5, 0.5}, d[3] = {-0.6, 0.8, 0.0}, q[3] = {-0.3, 1.3, 0.5};
    const auto t = fast_split(p, q, d);
    ASSERT_EQ(t.count, 2);
    EXPECT_NEAR(t.ll[0], 0.5, 1e-12);
    EXPECT_NEAR(t.ll[1], 0.125, 1e-12);
    EXPECT_NEAR(t.ll[2], 0.375, 1e-12);
    const int cells[3][3] = {{0, 0, 0}, {-1, 0, 0}, {-1, 1, 0}};
    for (int n = 0; n < 3; ++n)
      for (int a = 0; a < 3; ++a) EXPECT_EQ(t.zahyo[n][a], cells[n][a]);
    expect_same_pieces(p, q, d);
  }
}

TEST(SplitStep, WholeUnitGoesToOneSideOnAlignedSteps) {
  // Rising below zero from -3 to -2: boundary trunc(p) = -3, fraction 0, the
  // unit goes to the cell of q.
  const double d[3] = {0.0, 1.0, 0.0};
  const double p1[3] = {0.0, -3.0, 0.0}, q1[3] = {0.0, -2.0, 0.0};
  auto t = fast_split(p1, q1, d);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.ll[0], 0.0);
  EXPECT_EQ(t.ll[1], 1.0);
  EXPECT_EQ(t.zahyo[1][1], -2);
  // Rising above zero from 4 to 5: boundary trunc(q) = 5, fraction 1, the
  // unit goes to the cell of p.
  const double p2[3] = {0.0, 4.0, 0.0}, q2[3] = {0.0, 5.0, 0.0};
  t = fast_split(p2, q2, d);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.ll[0], 1.0);
  EXPECT_EQ(t.ll[1], 0.0);
  EXPECT_EQ(t.zahyo[0][1], 4);
}

TEST(SplitStep, CrossingAtFractionZeroKeepsTheAxisOrderRule) {
  // x is crossed exactly at p (fraction 0) and ties with the uncrossed z;
  // the middle piece then keeps the cell of p on x.
  const double p[3] = {1.0, 0.5, 0.5}, d[3] = {-0.6, 0.8, 0.0}, q[3] = {0.4, 1.3, 0.5};
  expect_same_pieces(p, q, d);
  const double p2[3] = {0.5, 2.0, 0.25}, d2[3] = {0.8, -0.36, 0.48};
  const double q2[3] = {1.3, 1.64, 0.73};
  expect_same_pieces(p2, q2, d2);
}

TEST(SplitStep, AgreesWithLiteralSplitOnRandomAndGridAlignedSteps) {
  std::mt19937_64 gen(12345);
  std::uniform_real_distribution<double> coord(-60.0, 60.0);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> pick(0, 7);
  int splits = 0;
  for (int i = 0; i < 200000; ++i) {
    double d[3];
    double norm;
    do {
      for (double& x : d) x = unit(gen);
      // Axis-parallel and diagonal directions, where ties and zeros occur.
      const int kind = pick(gen);
      if (kind == 0) d[2] = 0.0;
      if (kind == 1) d[1] = d[0];
      if (kind == 2) d[0] = d[1] = d[2];
      if (kind == 3) d[0] = d[1] = 0.0;
      norm = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    } while (norm < 1e-3);
    for (double& x : d) x /= norm;
    double p[3];
    for (int a = 0; a < 3; ++a) {
      p[a] = coord(gen);
      // Start points on boundaries and just beside them.
      const int kind = pick(gen);
      if (kind == 0) p[a] = std::floor(p[a]);
      if (kind == 1) p[a] = std::nextafter(std::floor(p[a]), 1e9);
      if (kind == 2) p[a] = std::nextafter(std::floor(p[a]), -1e9);
    }
    double q[3];
    for (int a = 0; a < 3; ++a) q[a] = p[a] + d[a];
    oracle::Split o;
    if (!oracle::split_step(p, q, d, o)) continue;
    ++splits;
    expect_same_pieces(p, q, d);
    if (HasFailure()) break;
  }
  EXPECT_GT(splits, 100000);
}

TEST(SplitStep, ZeroDirectionComponentIsNeverCrossed) {
  const double p[3] = {3.5, -2.25, 7.0}, d[3] = {1.0, 0.0, 0.0}, q[3] = {4.5, -2.25, 7.0};
  const auto t = fast_split(p, q, d);
  ASSERT_EQ(t.count, 1);
  EXPECT_TRUE(std::isfinite(t.ll[0]));
  EXPECT_EQ(t.ll[0] + t.ll[1], 1.0);
}

}  // namespace
