#include "operators/projector_adjoint.h"

#include <algorithm>
#include <cstddef>

#include "core/parallel.h"
#include "operators/projector.h"
#include "operators/ray_pieces.h"

namespace tomproj {

namespace {

inline std::size_t voxel_of_cell(const int cell[3]) {
  return scan::volume_index_of_cell(cell[0], cell[1], cell[2]);
}

// Runs of neighbouring views summed apart: enough to keep two to eight
// threads busy, few enough that their double volumes (16 MiB each) stay
// small. A fixed number, so that the order of the sums never depends on
// the thread count.
constexpr int kRuns = 8;

}  // namespace

void adjoint_ray(double theta, const scan::Point3& source, int row, int col, double sample,
                 double* acc) {
  // The pieces are found exactly as project_ray finds them.
  const scan::Point3 dir = ray_direction(theta, row, col);
  // The sum of the voxel last credited is held in a register while the ray
  // stays in it: the same additions in the same order, without a store and
  // a load between them.
  std::size_t held = scan::volume_index_of_cell(0, 0, 0);
  double value = acc[held];
  for_each_ray_piece(source, dir, kSamplesPerRay, [&](const int cell[3], double length) {
    const std::size_t voxel = voxel_of_cell(cell);
    if (voxel != held) {
      acc[held] = value;
      held = voxel;
      value = acc[held];
    }
    value += sample * length;
  });
  acc[held] = value;
}

void project_adjoint_views(const float* stack, const std::vector<int>& views, float* volume,
                           int threads, const std::function<void(int)>& on_view_done) {
  const int view_count = static_cast<int>(views.size());
  const int runs = std::max(1, std::min(kRuns, view_count));
  std::vector<std::vector<double>> sums(static_cast<std::size_t>(runs));
  tomio::parallel_for(runs, threads, [&](int run, int) {
    std::vector<double>& acc = sums[static_cast<std::size_t>(run)];
    acc.assign(scan::kVolumeSamples, 0.0);
    const int begin = static_cast<int>(static_cast<long long>(view_count) * run / runs);
    const int end = static_cast<int>(static_cast<long long>(view_count) * (run + 1) / runs);
    for (int i = begin; i < end; ++i) {
      const int view = views[static_cast<std::size_t>(i)];
      const double theta = scan::view_angle(view);
      const scan::Point3 source = scan::source_of_view(theta);
      for (int row = 0; row < scan::kRows; ++row)
        for (int col = 0; col < scan::kColumns; ++col) {
          const float sample = stack[scan::stack_index(view, row, col)];
          if (sample != 0.0f) adjoint_ray(theta, source, row, col, sample, acc.data());
        }
      if (on_view_done) on_view_done(view);
    }
  });
  // The runs are added in order, voxel by voxel; slices of the volume are
  // shared out among the threads.
  tomio::parallel_for(scan::NZ, threads, [&](int iz, int) {
    const std::size_t begin = scan::volume_index(0, 0, iz), end = begin + scan::NX * scan::NY;
    for (std::size_t i = begin; i < end; ++i) {
      double total = 0.0;
      for (const std::vector<double>& acc : sums) total += acc[i];
      volume[i] = static_cast<float>(total);
    }
  });
}

void project_adjoint(const float* stack, float* volume, int threads,
                     const std::function<void(int)>& on_view_done) {
  std::vector<int> views(scan::kViews);
  for (int v = 0; v < scan::kViews; ++v) views[static_cast<std::size_t>(v)] = v;
  project_adjoint_views(stack, views, volume, threads, on_view_done);
}

}  // namespace tomproj
