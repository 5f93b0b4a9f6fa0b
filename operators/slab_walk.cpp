#include "operators/slab_walk.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tomrec {

namespace {

// Straight-line estimate of the segments a thread walks for one ray to cover
// the slab [lo, hi]: the ray is walked from its entry until it leaves the
// slab, and crossings are spread evenly along it.
struct RayEstimate {
  double z_in, z_out;  // z at the entry and at the end of the inside span
  double segments;     // estimated segments between them
};

double walked_segments(const RayEstimate& e, int lo, int hi) {
  // The slab's z range: iz = NZ/2 - floor(z), so [NZ/2 - hi, NZ/2 - lo + 1).
  const double z_lo = scan::cell_z(hi), z_hi = scan::cell_z(lo) + 1;
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
  if (!ray.z_bounded) return true;
  return ray.iz_hi >= slab.iz_first && ray.iz_lo <= slab.iz_last;
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
  const int iz_lo = z_index_of_height(z_hi), iz_hi = z_index_of_height(z_lo);
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

}  // namespace tomrec
