#include "tools/tomweight/length_sums.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/scan_geometry.h"
#include "tomrec/slab_walk.h"

namespace tomweight {

void compute_length_sums(float* detector_sum, float* voxel_sum, int threads,
                         const std::function<void(int)>& on_view_done) {
  std::vector<double> volume_acc(scan::kVolumeSamples, 0.0);
  std::fill(detector_sum, detector_sum + scan::kStackSamples, 0.0f);
  tomrec::walk_views_in_slabs(
      0, scan::kViews, threads, volume_acc.data(),
      [](int, int, int, double& sample, double& weight) {
        sample = 1.0;
        weight = 1.0;
        return true;
      },
      [&](const tomrec::ZSlab& slab, const tomrec::RayBatch& batch,
          const tomrec::RaySegments& seg) {
        for (int j = 0; j < batch.count; ++j) {
          // The credit of a sample 1 with weight 1 is the segment's length, in
          // column order as the reconstruction adds it.
          const bool last_in_slab =
              tomrec::add_lane_credits(slab, seg, j, batch.count, volume_acc.data());
          // The slab that holds a ray's last segment has walked the whole ray
          // from its entry; that slab alone writes the ray's sum.
          if (seg.ran_out[j] && last_in_slab) {
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
