#include "tomrec/backprojection.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

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

int z_index(double z) { return NZ / 2 - static_cast<int>(std::floor(z)); }

// Straight-line estimate of the segments a thread walks for one ray to cover
// the slab [lo, hi]: the ray is walked from its entry until it leaves the
// slab, and crossings are spread evenly along it.
struct RayEstimate {
  double z_in, z_out;  // z at the entry and at the end of the inside span
  double segments;     // estimated segments between them
};

double walked_segments(const RayEstimate& e, int lo, int hi) {
  // The slab's z range: iz = NZ/2 - floor(z), so [NZ/2 - hi, NZ/2 - lo + 1).
  const double z_lo = NZ / 2 - hi, z_hi = NZ / 2 - lo + 1;
  const double a = std::min(e.z_in, e.z_out), b = std::max(e.z_in, e.z_out);
  if (b < z_lo || a >= z_hi) return 0.0;
  if (e.z_out == e.z_in) return e.segments;
  const double z_leave = e.z_out > e.z_in ? std::min(e.z_out, z_hi) : std::max(e.z_out, z_lo);
  return e.segments * (z_leave - e.z_in) / (e.z_out - e.z_in);
}

std::vector<RayEstimate> sample_rays() {
  std::vector<RayEstimate> sample;
  for (int v = 0; v < 2 * NY; v += 16) {
    const ViewRays rays = view_rays(v);
    for (int r = 0; r < 2 * NY; r += 16) {
      for (int c = 0; c < 2 * NX; c += 16) {
        double detector[3];
        detector_point(rays, r, c, detector);
        const RayStart ray = ray_start(rays.source, detector, kDist);
        if (ray.span.empty()) continue;
        const double t_in = ray.span.first, t_out = ray.span.last;
        RayEstimate e;
        e.z_in = ray.source[2] + t_in * ray.step[2];
        e.z_out = ray.source[2] + t_out * ray.step[2];
        e.segments = (t_out - t_in) * (std::fabs(ray.step[0]) + std::fabs(ray.step[1]) +
                                       std::fabs(ray.step[2]));
        sample.push_back(e);
      }
    }
  }
  return sample;
}

double slab_cost(const std::vector<RayEstimate>& sample, int lo, int hi) {
  double cost = 0.0;
  for (const RayEstimate& e : sample) cost += walked_segments(e, lo, hi);
  return cost;
}

// Greedy cover of 0 ... NZ-1 by slabs of cost <= limit; empty if more than
// `threads` slabs would be needed.
std::vector<ZSlab> cover(const std::vector<RayEstimate>& sample, int threads, double limit) {
  std::vector<ZSlab> slabs;
  int lo = 0;
  while (lo < NZ) {
    if (static_cast<int>(slabs.size()) == threads) return {};
    int hi = lo;
    while (hi + 1 < NZ && slab_cost(sample, lo, hi + 1) <= limit) ++hi;
    slabs.push_back(ZSlab{lo, hi});
    lo = hi + 1;
  }
  return slabs;
}

}  // namespace

bool may_reach(const RayStart& ray, const ZSlab& slab) {
  if (ray.span.empty()) return false;
  // Past the last count the walked points may run on only if the counts, not
  // the box, ended the span; then nothing bounds them here.
  if (ray.span.last >= ray.counts) return true;
  const double z_in = scan::sample_coordinate(ray.span.first, ray.step[2], ray.source[2]);
  const double z_out = scan::sample_coordinate(ray.span.last, ray.step[2], ray.source[2]);
  const int a = z_index(z_in), b = z_index(z_out);
  const int iz_lo = std::min(a, b) - 1, iz_hi = std::max(a, b) + 1;
  return iz_hi >= slab.iz_first && iz_lo <= slab.iz_last;
}

ViewReach view_reach(const ViewRays& rays) {
  const double radius_squared = 90.0 * 90.0;
  ViewReach reach{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  const double sx = rays.source[0], sy = rays.source[1];
  for (int c = 0; c < 2 * NX; ++c) {
    // |s + u (d - s)|^2 <= R^2 in x and y: a u^2 + 2 b u + k <= 0.
    const double dx = rays.detector_x[c] - sx, dy = rays.detector_y[c] - sy;
    const double a = dx * dx + dy * dy, b = sx * dx + sy * dy;
    const double k = sx * sx + sy * sy - radius_squared;
    if (a == 0) {
      if (k <= 0) return ViewReach{-std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::infinity()};
      continue;
    }
    const double discriminant = b * b - a * k;
    if (discriminant < 0) continue;
    const double root = std::sqrt(discriminant);
    reach.u_first = std::min(reach.u_first, (-b - root) / a);
    reach.u_last = std::max(reach.u_last, (-b + root) / a);
  }
  return reach;
}

bool row_may_reach(const ViewRays& rays, const ViewReach& reach, int r, const ZSlab& slab) {
  if (!(reach.u_first <= reach.u_last)) return false;
  if (std::isinf(reach.u_first) || std::isinf(reach.u_last)) return true;
  double detector[3];
  detector_point(rays, r, 0, detector);
  const double z_source = rays.source[2], rise = detector[2] - z_source;
  const double z_a = z_source + reach.u_first * rise, z_b = z_source + reach.u_last * rise;
  // Heights beyond the box are cut to it, which keeps the indices small.
  const double z_lo = std::max(std::min(z_a, z_b), double(scan::kInsideZLo) - 2.0);
  const double z_hi = std::min(std::max(z_a, z_b), double(scan::kInsideZHi) + 2.0);
  if (z_lo > z_hi) return false;
  const int iz_lo = z_index(z_hi) - 1, iz_hi = z_index(z_lo) + 1;
  return iz_hi >= slab.iz_first && iz_lo <= slab.iz_last;
}

std::vector<ZSlab> plan_slabs(int threads) {
  threads = std::max(1, std::min(threads, NZ));
  if (threads == 1) return {ZSlab{0, NZ - 1}};
  if (threads == 2) return {ZSlab{0, NZ / 2}, ZSlab{NZ / 2 + 1, NZ - 1}};
  const std::vector<RayEstimate> sample = sample_rays();
  // Smallest largest cost that `threads` slabs can reach, by bisection.
  double hi = slab_cost(sample, 0, NZ - 1), lo = 0.0;
  std::vector<ZSlab> best = cover(sample, threads, hi);
  for (int i = 0; i < 40; ++i) {
    const double mid = 0.5 * (lo + hi);
    std::vector<ZSlab> slabs = cover(sample, threads, mid);
    if (slabs.empty()) {
      lo = mid;
    } else {
      hi = mid;
      best = std::move(slabs);
    }
  }
  return best;
}

namespace detail {

void start_lanes(const RayStart* rays, const double* sample, const double* weight, int count,
                 int lanes, LaneStart& start) {
  for (int l = 0; l < lanes; ++l) {
    const bool live = l < count && !rays[l].span.empty();
    for (int a = 0; a < 3; ++a) {
      const double s = live ? rays[l].step[a] : 1.0;
      start.step[a][l] = s;
      start.b[a][l] =
          live ? scan::sample_coordinate(rays[l].span.first, s, rays[l].source[a]) : 0.0;
      start.recip[a][l] = 1.0 / s;
      start.sign[a][l] = std::copysign(1.0, s);
      start.moved_ahead[a][l] = s >= 0 ? 2.0 : -1.0;
      start.ahead[a][l] = s >= 0 ? 1.0 : 0.0;
    }
    start.scale_up[l] = live ? sample[l] : 1.0;
    start.scale_down[l] = live ? weight[l] : 1.0;
    start.remaining[l] = live ? static_cast<double>(rays[l].counts - rays[l].span.first) : 0.0;
    start.active[l] = live ? -1 : 0;
    start.rising[l] = live && rays[l].step[2] > 0 ? -1 : 0;
    start.falling[l] = live && rays[l].step[2] < 0 ? -1 : 0;
  }
}

int fewest_counts(const LaneStart& start, int lanes) {
  int fewest = kMaxSegments + 1;
  for (int l = 0; l < lanes; ++l) {
    if (start.active[l]) fewest = std::min(fewest, static_cast<int>(start.remaining[l]));
  }
  return fewest;
}

void finish_lanes(const long long* counted, const long long* stopped, const double* total,
                  int count, RaySegments& out, int first_lane) {
  for (int l = 0; l < count; ++l) {
    out.count[first_lane + l] = static_cast<int>(counted[l]);
    out.ran_out[first_lane + l] = stopped[l] == 0;
    out.total[first_lane + l] = total[l];
  }
}

#if defined(__x86_64__) || defined(__i386__)
bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

void walk_eight_avx2(const RayStart* rays, const double* sample, const double* weight, int count,
                     const ZSlab& slab, RaySegments& out, int first_lane,
                     const double* accumulator) {
  walk_lanes<4, 2>(rays, sample, weight, count, slab, out, first_lane, accumulator);
}
#endif

void walk_two(const RayStart* rays, const double* sample, const double* weight, int count,
              const ZSlab& slab, RaySegments& out, int first_lane, const double* accumulator) {
  walk_lanes<2, 1>(rays, sample, weight, count, slab, out, first_lane, accumulator);
}

}  // namespace detail

void walk_rays(const RayStart* rays, const double* sample, const double* weight, int count,
               const ZSlab& slab, RaySegments& out, const double* accumulator) {
#if defined(__x86_64__)
  if (detail::has_avx512()) {
    detail::walk_lanes_avx512(rays, sample, weight, count, slab, out, accumulator);
    return;
  }
#endif
  // Narrower walks take the batch in parts; only the first ray's voxels are
  // fetched ahead.
  int part = 2;
  void (*walk)(const RayStart*, const double*, const double*, int, const ZSlab&, RaySegments&,
               int, const double*) = detail::walk_two;
#if defined(__x86_64__) || defined(__i386__)
  if (detail::has_avx2()) {
    part = 8;
    walk = detail::walk_eight_avx2;
  }
#endif
  for (int first = 0; first < count; first += part) {
    walk(rays + first, sample + first, weight + first, count - first < part ? count - first : part,
         slab, out, first, first == 0 ? accumulator : nullptr);
  }
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
