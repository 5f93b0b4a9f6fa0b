#include "operators/backprojection.h"

#include <stdexcept>
#include <vector>

#include "core/vector_lanes.h"

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

namespace {

// The walk's work for one stack: each ray's sample p over its detector sum
// q, credited p * sub_min / q (formed in the walk's lanes) into the
// accumulator.
struct CreditSamples {
  const float* proj;
  const float* detector_sum;
  double* volume_acc;
  // Without a weight a sample adds nothing, so its ray is not walked at all.
  bool wanted(int v, int r, int c, double& sample, double& weight) const {
    const std::size_t s = scan::stack_index(v, r, c);
    sample = proj[s];
    weight = detector_sum[s];
    return weight != 0;
  }
  // In column order, so that every voxel sums in the order view, row, column.
  void credit(const ZSlab& slab, const RayBatch& batch, const RaySegments& seg) const {
    for (int j = 0; j < batch.count; ++j) add_lane_credits(slab, seg, j, batch.count, volume_acc);
  }
};

}  // namespace

void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view, int threads,
                       const std::function<void(int)>& on_view_done) {
  CreditSamples policy{proj, detector_sum, volume_acc};
  walk_views_in_slabs(first_view, last_view, threads, volume_acc, policy, on_view_done);
}

namespace {

// Stacks credited together in one walk (at most kStacksPerWalk): their
// accumulators of a voxel lie side by side (one cache line for eight), and
// one vector operation forms the credits of two stacks (a vector every
// processor has), each lane the scalar p * sub_min / q.
constexpr int kStacksPerVector = 2;
typedef lanes::Lanes<kStacksPerVector>::Real StackCredits;
typedef lanes::Lanes<kStacksPerVector>::RealUnaligned StackCreditsInMemory;

// The walk's work for up to kStacksPerWalk stacks, into an interleaved
// accumulator of `width` values per voxel (the count rounded up to whole
// vectors; the spare lanes credit 0). The rays are walked with unit samples
// and weights, whose credits are the segment lengths sub_min themselves
// (sub_min * 1 / 1); each stack's credit p * sub_min / q is then formed as
// the single walk forms it.
struct CreditStacks {
  const float* const* projs;
  int count;
  const float* detector_sum;
  double* accumulator;
  std::size_t width;

  bool wanted(int v, int r, int c, double& sample, double& weight) const {
    sample = 1.0;
    weight = 1.0;
    return detector_sum[scan::stack_index(v, r, c)] != 0;
  }
  // In column order, so that every voxel sums in the order view, row, column.
  void credit(const ZSlab& slab, const RayBatch& batch, const RaySegments& seg) const {
    const int vectors = static_cast<int>(width) / kStacksPerVector;
    for (int j = 0; j < batch.count; ++j) {
      const std::size_t s = scan::stack_index(batch.view, batch.row, batch.column[j]);
      const double q = detector_sum[s];
      StackCredits samples[kStacksPerWalk / kStacksPerVector] = {};
      for (int m = 0; m < count; ++m) samples[m / kStacksPerVector][m % kStacksPerVector] = projs[m][s];
      const int segments = seg.count[j];
      const bool next_lane = j + 1 < batch.count;
      for (int i = first_segment_in_slab(slab, seg, j); i < segments; ++i) {
        // The next lane mostly crosses the same voxels: fetch them ahead.
        // (Past its own count a lane's voxels are left-over values, kept on
        // the grid.)
        if (next_lane)
          __builtin_prefetch(accumulator + (seg.voxel(i, j + 1) & (scan::kVolumeSamples - 1)) * width, 1);
        double* a = accumulator + seg.voxel(i, j) * width;
        const double sub_min = seg.credit(i, j);
        for (int g = 0; g < vectors; ++g) {
          StackCreditsInMemory* at = reinterpret_cast<StackCreditsInMemory*>(a + g * kStacksPerVector);
          *at = *at + samples[g] * sub_min / q;
        }
      }
    }
  }
};

// Up to kStacksPerWalk stacks in one walk.
void backproject_stack_group(const float* const* projs, const float* detector_sum,
                             double* const* volume_accs, int count, int first_view, int last_view,
                             int threads, const std::function<void(int)>& on_view_done) {
  const std::size_t width =
      static_cast<std::size_t>((count + kStacksPerVector - 1) / kStacksPerVector) * kStacksPerVector;
  std::vector<double> acc(scan::kVolumeSamples * width, 0.0);
  for (int m = 0; m < count; ++m)
    for (std::size_t k = 0; k < scan::kVolumeSamples; ++k) acc[k * width + static_cast<std::size_t>(m)] = volume_accs[m][k];
  CreditStacks policy{projs, count, detector_sum, acc.data(), width};
  walk_views_in_slabs(first_view, last_view, threads, nullptr, policy, on_view_done);
  for (int m = 0; m < count; ++m)
    for (std::size_t k = 0; k < scan::kVolumeSamples; ++k) volume_accs[m][k] = acc[k * width + static_cast<std::size_t>(m)];
}

}  // namespace

void backproject_stacks(const float* const* projs, const float* detector_sum,
                        double* const* volume_accs, int count, int first_view, int last_view,
                        int threads, const std::function<void(int)>& on_view_done) {
  if (count == 1) {
    backproject_views(projs[0], detector_sum, volume_accs[0], first_view, last_view, threads,
                      on_view_done);
    return;
  }
  for (int first = 0; first < count; first += kStacksPerWalk) {
    const int group = count - first < kStacksPerWalk ? count - first : kStacksPerWalk;
    // Every view is done once the last group has walked it.
    const bool last = first + group == count;
    backproject_stack_group(projs + first, detector_sum, volume_accs + first, group, first_view,
                            last_view, threads, last ? on_view_done : std::function<void(int)>());
  }
}

}  // namespace tomrec
