#include "operators/projector_adjoint.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <utility>

#include "core/parallel.h"
#include "operators/nonzero_region.h"
#include "operators/projector.h"
#include "operators/ray_batch.h"
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

// The whole traced box as a box of cells: it narrows no ray's span, so the
// batches credit every count that passes the inside test.
NonzeroBox whole_box() {
  NonzeroBox box;
  box.empty = false;
  for (int a = 0; a < 3; ++a) {
    box.lo[a] = scan::kInsideLo[a];
    box.hi[a] = scan::kInsideHi[a];
  }
  return box;
}

// Adds the transpose of one view's rays into acc, in the order row, column:
// one ray at a time with the scalar kernel, in batches of neighbouring
// columns with the others.
void adjoint_view(Kernel kernel, const float* stack, int view, double* acc, AdjointScratch& scratch) {
  const double theta = scan::view_angle(view);
  const scan::Point3 source = scan::source_of_view(theta);
  if (kernel == Kernel::scalar) {
    for (int row = 0; row < scan::kRows; ++row)
      for (int col = 0; col < scan::kColumns; ++col) {
        const float sample = stack[scan::stack_index(view, row, col)];
        if (sample != 0.0f) adjoint_ray(theta, source, row, col, sample, acc);
      }
    return;
  }
  static const NonzeroBox box = whole_box();
  const double st = std::sin(theta), ct = std::cos(theta);
  const int width = batch_rays(kernel);
  std::vector<BatchRay> row_rays(static_cast<std::size_t>(scan::kColumns));
  std::vector<double> samples(static_cast<std::size_t>(scan::kColumns));
  for (int row = 0; row < scan::kRows; ++row) {
    const float* line = stack + scan::stack_index(view, row, 0);
    if (std::all_of(line, line + scan::kColumns, [](float s) { return s == 0.0f; })) continue;
    for (int col0 = 0; col0 < scan::kColumns; col0 += width) {
      BatchRay* batch = row_rays.data() + col0;
      batch_directions(st, ct, row, col0, width, batch);
      span_batch(kernel, source, box, batch);
    }
    for (std::size_t col = 0; col < samples.size(); ++col) {
      samples[col] = line[col];
      // Rays whose sample is zero add only zeros.
      if (line[col] == 0.0f) row_rays[col].first = row_rays[col].last = 0;
    }
    adjoint_batches(kernel, source, row_rays.data(), scan::kColumns, samples.data(), acc, scratch);
  }
}

// The runs' double volumes, added in the order of the runs, voxel by voxel,
// starting from +0.0: each run is added as soon as every run before it has
// been and then released, so that only the runs under way and those waiting
// for an earlier one are held.
class RunSums {
 public:
  explicit RunSums(int runs) : waiting_(static_cast<std::size_t>(runs)) {}

  void finished(int run, std::vector<double>&& sums) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_[static_cast<std::size_t>(run)] = std::move(sums);
    while (next_ < waiting_.size() && !waiting_[next_].empty()) {
      std::vector<double>& sums_next = waiting_[next_];
      if (total_.empty()) {
        // The first run becomes the total: 0.0 + s, in place.
        for (double& s : sums_next) s = 0.0 + s;
        total_ = std::move(sums_next);
      } else {
        for (std::size_t i = 0; i < total_.size(); ++i) total_[i] += sums_next[i];
      }
      std::vector<double>().swap(sums_next);
      ++next_;
    }
  }

  // The total, once every run has finished.
  const std::vector<double>& total() const { return total_; }

 private:
  std::mutex mutex_;
  std::vector<std::vector<double>> waiting_;
  std::size_t next_ = 0;
  std::vector<double> total_;
};

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

void project_adjoint_views_with(kernels::Kernel kernel, const float* stack, const std::vector<int>& views,
                                float* volume, int threads, const std::function<void(int)>& on_view_done) {
  const int view_count = static_cast<int>(views.size());
  const int runs = std::max(1, std::min(kRuns, view_count));
  RunSums sums(runs);
  std::vector<AdjointScratch> scratch(static_cast<std::size_t>(std::max(1, threads)));
  tomio::parallel_for(runs, threads, [&](int run, int worker) {
    std::vector<double> acc(scan::kVolumeSamples, 0.0);
    const int begin = static_cast<int>(static_cast<long long>(view_count) * run / runs);
    const int end = static_cast<int>(static_cast<long long>(view_count) * (run + 1) / runs);
    for (int i = begin; i < end; ++i) {
      const int view = views[static_cast<std::size_t>(i)];
      adjoint_view(kernel, stack, view, acc.data(), scratch[static_cast<std::size_t>(worker)]);
      if (on_view_done) on_view_done(view);
    }
    sums.finished(run, std::move(acc));
  });
  const std::vector<double>& total = sums.total();
  tomio::parallel_for(scan::NZ, threads, [&](int iz, int) {
    const std::size_t begin = scan::volume_index(0, 0, iz), end = begin + scan::NX * scan::NY;
    for (std::size_t i = begin; i < end; ++i) volume[i] = static_cast<float>(total[i]);
  });
}

void project_adjoint_views(const float* stack, const std::vector<int>& views, float* volume,
                           int threads, const std::function<void(int)>& on_view_done) {
  project_adjoint_views_with(kernels::process_kernel(), stack, views, volume, threads, on_view_done);
}

void project_adjoint(const float* stack, float* volume, int threads,
                     const std::function<void(int)>& on_view_done) {
  std::vector<int> views(scan::kViews);
  for (int v = 0; v < scan::kViews; ++v) views[static_cast<std::size_t>(v)] = v;
  project_adjoint_views(stack, views, volume, threads, on_view_done);
}

}  // namespace tomproj
