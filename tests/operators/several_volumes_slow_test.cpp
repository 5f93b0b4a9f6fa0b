// Whole runs of several Volumes projected in one trace, against each
// Volume's own run.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/parallel.h"
#include "core/scan_geometry.h"
#include "tests/support/bit_compare.h"
#include "tests/support/test_volumes.h"
#include "operators/projector.h"

namespace {

TEST(SeveralVolumesRun, EveryStackIsTheSingleRun) {
  // A ball phantom in empty space, random values over the whole grid, an
  // empty Volume, and a second phantom: four differing Volumes and one more,
  // so that the Volumes are traced in more than one group.
  std::vector<std::vector<float>> volumes;
  for (double radius : {35.0, 12.0}) {
    std::vector<float> ball(scan::kVolumeSamples, 0.0f);
    for (int iz = 0; iz < scan::NZ; ++iz)
      for (int iy = 0; iy < scan::NY; ++iy)
        for (int ix = 0; ix < scan::NX; ++ix) {
          const double x = ix - 60.5, y = 66.0 - iy, z = 63.0 - iz;
          if (x * x + y * y + z * z < radius * radius)
            ball[scan::volume_index(ix, iy, iz)] = 1.0f + 0.01f * static_cast<float>(ix % 7);
        }
    volumes.push_back(ball);
  }
  volumes.push_back(testdata::random_volume(17));
  volumes.emplace_back(scan::kVolumeSamples, 0.0f);
  volumes.push_back(testdata::structured_volume());
  const int count = static_cast<int>(volumes.size());
  std::vector<const float*> in;
  for (const std::vector<float>& v : volumes) in.push_back(v.data());
  std::vector<std::vector<float>> stacks(volumes.size(), std::vector<float>(scan::kStackSamples));
  std::vector<float*> out;
  for (std::vector<float>& s : stacks) out.push_back(s.data());
  const int threads = tomio::available_threads();
  tomproj::project_stacks(in.data(), out.data(), count, threads, nullptr);
  std::vector<float> alone(scan::kStackSamples);
  for (int j = 0; j < count; ++j) {
    tomproj::project_stack(in[static_cast<std::size_t>(j)], alone.data(), threads, nullptr);
    EXPECT_TRUE(testdata::same_bits(stacks[static_cast<std::size_t>(j)], alone)) << "volume " << j;
  }
}

}  // namespace
