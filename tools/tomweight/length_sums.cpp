#include "tools/tomweight/length_sums.h"

#include <algorithm>
#include <vector>

#include "common/scan_geometry.h"
#include "tomrec/backprojection.h"

namespace tomweight {

void compute_length_sums(float* detector_sum, float* voxel_sum, int threads,
                         const std::function<void(int)>& on_view_done) {
  std::vector<double> volume_acc(scan::kVolumeSamples, 0.0);
  std::fill(detector_sum, detector_sum + scan::kStackSamples, 0.0f);
  tomrec::walk_views_in_slabs(
      0, scan::kViews, threads, [](int, int, int) { return true; },
      [&](const tomrec::RayBatch& batch, const tomrec::SlabSegments& seg) {
        for (int j = 0; j < batch.count; ++j) {
          // A sample 1 times the length, divided by the weight 1, in column
          // order as the reconstruction adds it.
          for (int i = 0; i < seg.count[j]; ++i) volume_acc[seg.voxel[j][i]] += seg.length[j][i];
          // The slab that holds a ray's last segment has walked the whole ray
          // from its entry; that slab alone writes the ray's sum.
          if (seg.ends_in_slab[j]) {
            detector_sum[scan::stack_index(batch.view, batch.row, batch.column[j])] =
                static_cast<float>(seg.total[j]);
          }
        }
      },
      on_view_done);
  for (std::size_t i = 0; i < scan::kVolumeSamples; ++i) {
    voxel_sum[i] = static_cast<float>(volume_acc[i]);
  }
}

}  // namespace tomweight
