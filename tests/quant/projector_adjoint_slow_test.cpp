#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/scan_geometry.h"
#include "tomproj/projector.h"
#include "tomproj/projector_adjoint.h"
#include "tools/toolkit/phantom_shapes.h"

namespace {

// <A x, y> = <x, A^T y> over the whole scan, every ray of every view.
TEST(ProjectorAdjointSlow, AdjointIdentityOverTheWholeScan) {
  const std::vector<float> x = toolkit::random_volume(21, 0.0f, 1.0f);
  std::vector<float> y(scan::kStackSamples);
  std::uint64_t state = 22;
  for (float& v : y) v = static_cast<float>(toolkit::splitmix64(state) >> 40) / (1 << 24) * 2.0f - 1.0f;
  std::vector<float> ax(scan::kStackSamples), aty(scan::kVolumeSamples);
  tomproj::project_stack(x.data(), ax.data(), 2, nullptr);
  tomproj::project_adjoint(y.data(), aty.data(), 2);
  double forward = 0.0, backward = 0.0, scale = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    forward += static_cast<double>(ax[i]) * y[i];
    scale += std::fabs(static_cast<double>(ax[i]) * y[i]);
  }
  for (std::size_t i = 0; i < x.size(); ++i) backward += static_cast<double>(x[i]) * aty[i];
  const double relative = std::fabs(forward - backward) / scale;
  std::printf("<Ax,y> %.17g  <x,A^T y> %.17g  |difference| / sum|terms| %.3g,"
              " / |<Ax,y>| %.3g\n",
              forward, backward, relative, std::fabs(forward - backward) / std::fabs(forward));
  EXPECT_LT(relative, 1e-6);
}

}  // namespace
