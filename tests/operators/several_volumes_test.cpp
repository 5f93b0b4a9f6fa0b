// Several Volumes projected in one trace: each stack must be the bits of its
// Volume's own projection, with every kernel this processor runs.
#include <gtest/gtest.h>

#include <vector>

#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include "tests/oracle/projector_oracle.h"
#include "tests/support/bit_compare.h"
#include "tests/support/kernels.h"
#include "tests/support/test_volumes.h"
#include "operators/projector.h"
#include "operators/ray_batch.h"

namespace {

// Stacks of which only the views written are ever touched (and paged in).
using Stack = std::vector<float, tomio::UninitializedAllocator<float>>;

// Volumes that differ in every way the trace can tell: a ball in empty
// space (whose nonzero box is smaller than the others'), random values with
// the voxels no ray reads marked NaN, an empty Volume, sharp planes, and a
// lone voxel at a corner of the traced box; and, for the traces of more
// than one group of Volumes, the same again with other values.
std::vector<std::vector<float>> differing_volumes() {
  std::vector<std::vector<float>> volumes;
  volumes.push_back(testdata::ball_of(testdata::random_volume(41), 70.0, 60.0, 55.0, 30.0));
  volumes.push_back(testdata::random_volume(42));
  testdata::mark_unreachable(volumes.back());
  volumes.emplace_back(scan::kVolumeSamples, 0.0f);
  volumes.push_back(testdata::structured_volume());
  std::vector<float> corner(scan::kVolumeSamples, 0.0f);
  corner[scan::volume_index(2, 3, 4)] = 5.5f;
  volumes.push_back(corner);
  volumes.push_back(testdata::random_volume(43));
  volumes.push_back(testdata::ball_of(testdata::random_volume(44), 60.0, 70.0, 64.0, 20.0));
  volumes.emplace_back(scan::kVolumeSamples, 0.0f);
  volumes.push_back(testdata::structured_volume());
  return volumes;
}

// The block of one view.
std::vector<float> view_of(const Stack& stack, int view) {
  const float* first = stack.data() + scan::stack_index(view, 0, 0);
  return std::vector<float>(first, first + scan::kViewSamples);
}

TEST(SeveralVolumes, EachViewIsTheSingleVolumesView) {
  const std::vector<std::vector<float>> volumes = differing_volumes();
  std::vector<const float*> in;
  for (const std::vector<float>& v : volumes) in.push_back(v.data());
  std::vector<Stack> stacks(volumes.size(), Stack(scan::kStackSamples));
  std::vector<float*> out;
  for (Stack& s : stacks) out.push_back(s.data());
  Stack alone(scan::kStackSamples);
  for (kernels::Kernel kernel : testdata::runnable_kernels()) {
    for (int count : {2, 5, 9}) {
      for (int view : {0, 45, 128}) {
        if (kernel == kernels::Kernel::scalar && view != 45) continue;  // (slow)
        tomproj::project_view_volumes_with(kernel, view, in.data(), count, out.data());
        for (int j = 0; j < count; ++j) {
          tomproj::project_view_with(kernel, view, in[static_cast<std::size_t>(j)], alone.data());
          EXPECT_TRUE(testdata::same_bits(view_of(stacks[static_cast<std::size_t>(j)], view),
                                          view_of(alone, view)))
              << "kernel " << kernels::kernel_name(kernel) << ", " << count << " volumes, view "
              << view << ", volume " << j;
        }
      }
    }
  }
  // And the literal rendering, for one view of the last batch.
  for (std::size_t j = 0; j < volumes.size(); ++j) {
    std::vector<float> literal(scan::kStackSamples, 0.0f);
    oracle::project_view(128, volumes[j].data(), literal.data());
    const std::vector<float> want(literal.begin() + static_cast<std::ptrdiff_t>(scan::stack_index(128, 0, 0)),
                                  literal.begin() + static_cast<std::ptrdiff_t>(scan::stack_index(129, 0, 0)));
    EXPECT_TRUE(testdata::same_bits(view_of(stacks[j], 128), want)) << "volume " << j;
  }
}

}  // namespace
