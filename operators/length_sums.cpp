#include "operators/length_sums.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/scan_geometry.h"
#include "operators/slab_walk.h"

namespace tomweight {

namespace {

// The walk's work for the weight files: every ray walked with sample 1 and
// weight 1, whose credits are the segment lengths; each voxel sums its
// lengths in the order view, row, column as the reconstruction adds them,
// and each ray's total is its detector sum.
struct SumLengths {
  double* volume_acc;
  float* detector_sum;

  bool wanted(int, int, int, double& sample, double& weight) const {
    sample = 1.0;
    weight = 1.0;
    return true;
  }
  void credit(const tomrec::ZSlab& slab, const tomrec::RayBatch& batch,
              const tomrec::RaySegments& seg) const {
    for (int j = 0; j < batch.count; ++j) {
      const bool last_in_slab = tomrec::add_lane_credits(slab, seg, j, batch.count, volume_acc);
      // The slab that holds a ray's last segment has walked the whole ray
      // from its entry; that slab alone writes the ray's sum.
      if (seg.ran_out[j] && last_in_slab) {
        detector_sum[scan::stack_index(batch.view, batch.row, batch.column[j])] =
            static_cast<float>(seg.total[j]);
      }
    }
  }
};

}  // namespace

void compute_length_sums(float* detector_sum, float* voxel_sum, int threads,
                         const std::function<void(int)>& on_view_done) {
  std::vector<double> volume_acc(scan::kVolumeSamples, 0.0);
  std::fill(detector_sum, detector_sum + scan::kStackSamples, 0.0f);
  SumLengths policy{volume_acc.data(), detector_sum};
  tomrec::walk_views_in_slabs(0, scan::kViews, threads, volume_acc.data(), policy, on_view_done);
  for (std::size_t i = 0; i < scan::kVolumeSamples; ++i) {
    voxel_sum[i] = static_cast<float>(volume_acc[i]);
  }
}

}  // namespace tomweight
