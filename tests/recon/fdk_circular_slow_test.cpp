// FDK on any circular scan, run on the defined scan as a circular scan:
// the same reconstruction as the defined FDK, to float rounding, and its
// figure on the head.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/geometry.h"
#include "core/scan_geometry.h"
#include "operators/projector.h"
#include "recon/fdk.h"
#include "recon/fdk_circular.h"
#include "sim/phantom_shapes.h"
#include "tests/support/circular_rays.h"

namespace {

double pearson(const std::vector<float>& a, const std::vector<float>& b) {
  double ma = 0.0, mb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= a.size();
  mb /= b.size();
  double sab = 0.0, saa = 0.0, sbb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

TEST(FdkCircularSlow, TheDefinedScanAsACircularScanGivesTheDefinedFdk) {
  geom::CircularScan scan;
  scan.grid = geom::defined_geometry().grid;
  scan.rows = scan::kRows;
  scan.columns = scan::kColumns;
  scan.offset_v = scan.offset_u = -0.5;
  scan.sod = 256.0;
  scan.sdd = 512.0;
  scan.angles_deg = testrun::even_angles(scan::kViews, 0.0, 360.0);
  const std::vector<float> head = toolkit::shepp_logan_volume();
  std::vector<float> stack(scan::kStackSamples);
  tomproj::project_stack(head.data(), stack.data(), 2, [](int) {});

  std::vector<float> defined(scan::kVolumeSamples), general(scan::kVolumeSamples);
  quant::FdkOptions defined_options;
  defined_options.threads = 2;
  quant::fdk_reconstruct(stack.data(), defined.data(), defined_options);
  quant::FdkCircularOptions options;
  options.threads = 2;
  quant::fdk_circular(scan, stack.data(), general.data(), options);

  double worst = 0.0, peak = 0.0;
  for (std::size_t i = 0; i < general.size(); ++i) {
    worst = std::max(worst, std::fabs(double(general[i]) - defined[i]));
    peak = std::max(peak, std::fabs(double(defined[i])));
  }
  EXPECT_LT(worst, 1e-6 * peak);  // measured 1.5e-8 of a peak of 1.1
  EXPECT_NEAR(pearson(head, general), 0.981, 0.0005);
}

}  // namespace
