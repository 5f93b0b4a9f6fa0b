#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/scan_geometry.h"
#include "tests/operators/adjoint_identity.h"
#include "operators/projector.h"
#include "operators/projector_adjoint.h"
#include "sim/phantom_shapes.h"

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
  EXPECT_LT(quanttest::adjoint_identity(x, ax, y, aty).relative, 1e-6);
}

}  // namespace
