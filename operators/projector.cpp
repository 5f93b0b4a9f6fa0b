#include "operators/projector.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/parallel.h"
#include "operators/nonzero_region.h"
#include "operators/ray_batch.h"
#include "operators/ray_pieces.h"

namespace tomproj {

using scan::NX;
using scan::NY;
using scan::NZ;

namespace {

// The fan angle of a column and the cone angle of a pixel do not depend on
// the view; their sines and cosines are taken once per run.
struct AngleTables {
  std::vector<double> sin_gamma, cos_gamma;  // per column
  std::vector<double> sin_beta, cos_beta;    // per row and column
};

double fan_angle(int col) { return std::atan2(col - NX, 2 * kDistance); }

double cone_angle(int row, int col) {
  const double v = NY - row;
  const int u = col - NX;
  return std::atan2(v, std::sqrt(4 * 4 * NX * NX + u * u));
}

const AngleTables& angle_tables() {
  static const AngleTables tables = [] {
    AngleTables t;
    t.sin_gamma.resize(2 * NX);
    t.cos_gamma.resize(2 * NX);
    t.sin_beta.resize(4 * NX * NY);
    t.cos_beta.resize(4 * NX * NY);
    for (int col = 0; col < 2 * NX; ++col) {
      t.sin_gamma[col] = std::sin(fan_angle(col));
      t.cos_gamma[col] = std::cos(fan_angle(col));
      for (int row = 0; row < 2 * NY; ++row) {
        t.sin_beta[row * 2 * NX + col] = std::sin(cone_angle(row, col));
        t.cos_beta[row * 2 * NX + col] = std::cos(cone_angle(row, col));
      }
    }
    return t;
  }();
  return tables;
}

// Four products and two sums, in exactly this order.
scan::Point3 direction_from(double st, double ct, double sg, double cg, double sb, double cb) {
  const double dx = (-st * cg * cb) + (ct * sg * cb);
  const double dy = (ct * cg * cb) + (st * sg * cb);
  return scan::Point3{dx, dy, sb};
}

}  // namespace

scan::Point3 ray_direction(double theta, int row, int col) {
  const double gamma = fan_angle(col);
  const double beta = cone_angle(row, col);
  return direction_from(std::sin(theta), std::cos(theta), std::sin(gamma), std::cos(gamma),
                        std::sin(beta), std::cos(beta));
}

void batch_directions(double sin_theta, double cos_theta, int row, int col0, int width,
                      BatchRay* rays) {
  const AngleTables& t = angle_tables();
  for (int i = 0; i < width; ++i) {
    const int col = col0 + i;
    const int pixel = row * 2 * NX + col;
    const scan::Point3 d = direction_from(sin_theta, cos_theta, t.sin_gamma[col], t.cos_gamma[col],
                                          t.sin_beta[pixel], t.cos_beta[pixel]);
    rays[i] = BatchRay{{d.x, d.y, d.z}, 0, 0};
  }
}

namespace {

inline std::size_t voxel_of_cell(const int cell[3]) {
  return scan::volume_index_of_cell(cell[0], cell[1], cell[2]);
}

// One piece's contribution to each Volume's sample: product and sum in
// double, rounded to float32 when stored back into the sample.
inline void add_piece(const float* const* volumes, int count, const int cell[3], double length,
                      float* samples) {
  const std::size_t voxel = voxel_of_cell(cell);
  for (int j = 0; j < count; ++j) {
    samples[j] = static_cast<float>(static_cast<double>(samples[j]) +
                                    static_cast<double>(volumes[j][voxel]) * length);
  }
}

}  // namespace

float project_ray(double theta, const scan::Point3& source, int row, int col, const float* volume) {
  float sample;
  project_ray_volumes(theta, source, row, col, &volume, 1, &sample);
  return sample;
}

void project_ray_volumes(double theta, const scan::Point3& source, int row, int col,
                         const float* const* volumes, int count, float* samples) {
  const scan::Point3 dir = ray_direction(theta, row, col);
  for (int j = 0; j < count; ++j) samples[j] = 0.0f;

  for_each_ray_piece(source, dir, kSamplesPerRay, [&](const int cell[3], double length) {
    add_piece(volumes, count, cell, length, samples);
  });
}

namespace {

// The union of the Volumes' nonzero boxes.
NonzeroBox nonzero_box_of(const float* const* volumes, int count) {
  NonzeroBox box;
  for (int j = 0; j < count; ++j) box = box_union(box, nonzero_box(volumes[j]));
  return box;
}

// Volumes traced together, at most this many per trace.
constexpr int kVolumesPerTrace = 8;

// Several Volumes in one array, a voxel's values side by side: a trace
// through them then reads one cache line where separate Volumes take one
// each. Volume j's voxel i is starts[j][spacing * i].
struct InterleavedVolumes {
  std::vector<float> values;
  std::vector<const float*> starts;
  int spacing = 1;
};

InterleavedVolumes interleave_volumes(const float* const* volumes, int count) {
  InterleavedVolumes v;
  v.spacing = count;
  v.values.resize(scan::kVolumeSamples * static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < scan::kVolumeSamples; ++i)
    for (int j = 0; j < count; ++j) v.values[i * static_cast<std::size_t>(count) + static_cast<std::size_t>(j)] = volumes[j][i];
  for (int j = 0; j < count; ++j) v.starts.push_back(v.values.data() + j);
  return v;
}

// One view of `count` Volumes with a kernel, whose voxel i is
// volumes[j][spacing * i] (spacing 1 for the scalar kernel); `box` holds the
// nonzero part of every Volume, outside which the batches skip the steps
// (they add only zeros).
void project_view_in(Kernel kernel, int view, const float* const* volumes, int count, int spacing,
                     const NonzeroBox& box, float* const* stacks) {
  const double theta = scan::view_angle(view);
  const scan::Point3 source = scan::source_of_view(theta);
  std::vector<float> samples(static_cast<std::size_t>(count));
  if (kernel == Kernel::scalar) {
    for (int row = 0; row < 2 * NY; ++row)
      for (int col = 0; col < 2 * NX; ++col) {
        project_ray_volumes(theta, source, row, col, volumes, count, samples.data());
        for (int j = 0; j < count; ++j) stacks[j][scan::stack_index(view, row, col)] = samples[static_cast<std::size_t>(j)];
      }
    return;
  }
  const double st = std::sin(theta), ct = std::cos(theta);
  const int width = batch_rays(kernel);
  std::vector<BatchRay> batch(static_cast<std::size_t>(width));
  std::vector<float*> out(static_cast<std::size_t>(count));
  for (int row = 0; row < 2 * NY; ++row) {
    for (int col0 = 0; col0 < 2 * NX; col0 += width) {
      batch_directions(st, ct, row, col0, width, batch.data());
      span_batch(kernel, source, box, batch.data());
      for (int j = 0; j < count; ++j) out[static_cast<std::size_t>(j)] = stacks[j] + scan::stack_index(view, row, col0);
      trace_batch(kernel, source, batch.data(), volumes, count, spacing, out.data());
    }
  }
}

// Runs work(first, volumes, count, spacing, box) for the Volumes in traces
// of at most kVolumesPerTrace (first: the index of a trace's first Volume),
// interleaved where the kernel traces several at once.
template <class Work>
void in_traces(Kernel kernel, const float* const* volumes, int count, Work&& work) {
  for (int first = 0; first < count; first += kVolumesPerTrace) {
    const int n = std::min(kVolumesPerTrace, count - first);
    const NonzeroBox box = nonzero_box_of(volumes + first, n);
    if (kernel == Kernel::scalar || n == 1) {
      work(first, volumes + first, n, 1, box);
    } else {
      const InterleavedVolumes together = interleave_volumes(volumes + first, n);
      work(first, together.starts.data(), n, together.spacing, box);
    }
  }
}

void project_stacks_with(Kernel kernel, const float* const* volumes, float* const* stacks,
                         int count, int threads, const std::function<void(int)>& on_view_done) {
  in_traces(kernel, volumes, count,
            [&](int first, const float* const* in, int n, int spacing, const NonzeroBox& box) {
              // A view is done once the last trace has passed it.
              const bool last = first + n == count;
              tomio::parallel_for(2 * NY, threads, [&](int view, int) {
                project_view_in(kernel, view, in, n, spacing, box, stacks + first);
                if (last && on_view_done) on_view_done(view);
              });
            });
}

}  // namespace

void project_view(int view, const float* volume, float* stack) {
  project_view_with(kernels::process_kernel(), view, volume, stack);
}

void project_view_with(Kernel kernel, int view, const float* volume, float* stack) {
  project_view_volumes_with(kernel, view, &volume, 1, &stack);
}

void project_view_volumes_with(Kernel kernel, int view, const float* const* volumes, int count,
                               float* const* stacks) {
  in_traces(kernel, volumes, count,
            [&](int first, const float* const* in, int n, int spacing, const NonzeroBox& box) {
              project_view_in(kernel, view, in, n, spacing, box, stacks + first);
            });
}

void project_stack(const float* volume, float* stack, int threads,
                   const std::function<void(int)>& on_view_done) {
  project_stacks_with(kernels::process_kernel(), &volume, &stack, 1, threads, on_view_done);
}

void project_stacks(const float* const* volumes, float* const* stacks, int count, int threads,
                    const std::function<void(int)>& on_view_done) {
  project_stacks_with(kernels::process_kernel(), volumes, stacks, count, threads, on_view_done);
}

}  // namespace tomproj
