#include "tomrec/backprojection.h"

#include <stdexcept>
#include <vector>

namespace tomrec {

void backproject_ray(const float* proj, const float* detector_sum, int v, int r, int c,
                     double* volume_acc, const double source_xyz[3], const double detector_xyz[3],
                     int NX, int NY, int NZ, double dist) {
  if (NX != scan::NX || NY != scan::NY || NZ != scan::NZ) {
    throw std::invalid_argument("backproject_ray: the grid is fixed at 128 x 128 x 128");
  }
  const std::size_t s = scan::stack_index(v, r, c);
  const double q = detector_sum[s];
  // Without a weight the sample adds nothing, so its ray need not be walked.
  if (q == 0) return;
  const double p = proj[s];
  trace_ray(source_xyz, detector_xyz, dist, [&](std::size_t k, int, double sub_min) {
    volume_acc[k] += p * sub_min / q;
  });
}

void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view, int threads,
                       const std::function<void(int)>& on_view_done) {
  // Without a weight a sample adds nothing, so its ray is not walked at all.
  auto weighted = [&](int v, int r, int c, double& sample, double& weight) {
    const std::size_t s = scan::stack_index(v, r, c);
    sample = proj[s];
    weight = detector_sum[s];
    return weight != 0;
  };
  walk_views_in_slabs(
      first_view, last_view, threads, volume_acc, weighted,
      [&](const ZSlab& slab, const RayBatch& batch, const RaySegments& seg) {
        // In column order, so that every voxel sums in the order view, row,
        // column.
        for (int j = 0; j < batch.count; ++j) {
          add_lane_credits(slab, seg, j, batch.count, volume_acc);
        }
      },
      on_view_done);
}

void backproject_stacks(const float* const* projs, const float* detector_sum,
                        double* const* volume_accs, int count, int first_view, int last_view,
                        int threads, const std::function<void(int)>& on_view_done) {
  if (count == 1) {
    backproject_views(projs[0], detector_sum, volume_accs[0], first_view, last_view, threads,
                      on_view_done);
    return;
  }
  if (count < 1) return;
  // The rays are walked with unit samples and weights, whose credits are the
  // segment lengths sub_min themselves (sub_min * 1 / 1); each stack's
  // credit p * sub_min / q is then formed as the single walk forms it.
  auto weighted = [&](int v, int r, int c, double& sample, double& weight) {
    sample = 1.0;
    weight = 1.0;
    return detector_sum[scan::stack_index(v, r, c)] != 0;
  };
  walk_views_in_slabs(
      first_view, last_view, threads, nullptr, weighted,
      [&](const ZSlab& slab, const RayBatch& batch, const RaySegments& seg) {
        std::vector<double> samples(static_cast<std::size_t>(count));
        // In column order, so that every voxel sums in the order view, row,
        // column.
        for (int j = 0; j < batch.count; ++j) {
          const std::size_t s = scan::stack_index(batch.view, batch.row, batch.column[j]);
          const double q = detector_sum[s];
          for (int m = 0; m < count; ++m) samples[static_cast<std::size_t>(m)] = projs[m][s];
          const int segments = seg.count[j];
          int i = 0;
          while (i < segments && !slab.holds(z_index_of_voxel(seg.voxel(i, j)))) ++i;
          for (; i < segments; ++i) {
            const std::uint32_t k = seg.voxel(i, j);
            const double sub_min = seg.credit(i, j);
            for (int m = 0; m < count; ++m) {
              volume_accs[m][k] += samples[static_cast<std::size_t>(m)] * sub_min / q;
            }
          }
        }
      },
      on_view_done);
}

}  // namespace tomrec
