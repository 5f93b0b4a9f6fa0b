#include "operators/ray_walk.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/vector_lanes.h"
#include "operators/lane_walk.h"

namespace tomrec {

namespace detail {

void start_lanes(const RayStart* rays, const double* sample, const double* weight, int count,
                 int lanes, const ZSlab& slab, LaneStart& start) {
  const double lo[3] = {scan::kInsideXLo, scan::kInsideYLo, scan::kInsideZLo};
  const double hi[3] = {scan::kInsideXHi, scan::kInsideYHi, scan::kInsideZHi};
  start.contained = true;
  for (int l = 0; l < lanes; ++l) {
    const bool live = l < count && !rays[l].span.empty();
    if (live && !stays_in_slab(rays[l], slab)) start.contained = false;
    for (int a = 0; a < 3; ++a) {
      const double s = live ? rays[l].step[a] : 1.0;
      start.step[a][l] = s;
      start.b[a][l] =
          live ? scan::sample_coordinate(rays[l].span.first, s, rays[l].source[a]) : 0.0;
      start.recip[a][l] = 1.0 / s;
      start.sign[a][l] = std::copysign(1.0, s);
      start.moved_ahead[a][l] = s >= 0 ? 2.0 : -1.0;
      start.ahead[a][l] = s >= 0 ? 1.0 : 0.0;
      const bool falls = s < 0;
      start.far[a][l] = s > 0 ? hi[a] : falls ? -lo[a] : std::numeric_limits<double>::infinity();
      start.flip[a][l] = falls ? std::numeric_limits<long long>::min() : 0;
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

// The lane walk, compiled once per instruction set.
namespace generic {
#include "operators/lane_walk.inc"
}  // namespace generic

#if TOM_X86_KERNELS
namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#include "operators/lane_walk.inc"
#pragma GCC pop_options
}  // namespace avx2

namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
#include "operators/lane_walk.inc"
#pragma GCC pop_options
}  // namespace avx512
#endif

}  // namespace detail

namespace {

// One kernel's walk of up to `part` rays into lanes first_lane ... of out.
using WalkPart = void (*)(const RayStart* rays, const double* sample, const double* weight,
                          int count, const ZSlab& slab, RaySegments& out, int first_lane,
                          const double* accumulator);

// One ray at a time, no vector code.
void walk_scalar(const RayStart* rays, const double* sample, const double* weight, int count,
                 const ZSlab& slab, RaySegments& out, int first_lane, const double* accumulator) {
  detail::generic::walk_lanes<1, 1, lanes::PortableOps<1>>(rays, sample, weight, count, slab, out,
                                                    first_lane, accumulator);
}

// Two groups of four lanes in the compiler's generic vectors.
void walk_portable(const RayStart* rays, const double* sample, const double* weight, int count,
                   const ZSlab& slab, RaySegments& out, int first_lane,
                   const double* accumulator) {
  detail::generic::walk_lanes<4, 2, lanes::PortableOps<4>>(rays, sample, weight, count, slab, out,
                                                    first_lane, accumulator);
}

#if TOM_X86_KERNELS
// Two groups of four lanes in AVX2 registers.
__attribute__((target("avx2,fma"))) void walk_avx2(const RayStart* rays, const double* sample,
                                               const double* weight, int count,
                                               const ZSlab& slab, RaySegments& out,
                                               int first_lane, const double* accumulator) {
  detail::avx2::walk_lanes<4, 2, lanes::Avx2Ops>(rays, sample, weight, count, slab, out, first_lane,
                                             accumulator);
}

// Two groups of eight lanes in AVX-512 registers.
__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void walk_avx512(
    const RayStart* rays, const double* sample, const double* weight, int count,
    const ZSlab& slab, RaySegments& out, int first_lane, const double* accumulator) {
  detail::avx512::walk_lanes<8, 2, lanes::Avx512Ops>(rays, sample, weight, count, slab, out,
                                               first_lane, accumulator);
}
#endif

struct KernelWalk {
  WalkPart walk;
  int part;  // rays per call
};

KernelWalk kernel_walk(kernels::Kernel kernel) {
  switch (kernel) {
#if TOM_X86_KERNELS
    case kernels::Kernel::avx512:
      return KernelWalk{walk_avx512, 16};
    case kernels::Kernel::avx2:
      return KernelWalk{walk_avx2, 8};
#endif
    case kernels::Kernel::portable:
      return KernelWalk{walk_portable, 8};
    default:
      return KernelWalk{walk_scalar, 1};
  }
}

}  // namespace

void walk_rays_with(kernels::Kernel kernel, const RayStart* rays, const double* sample,
                    const double* weight, int count, const ZSlab& slab, RaySegments& out,
                    const double* accumulator) {
  // Narrower walks take the batch in parts; only the first ray's voxels are
  // fetched ahead.
  const KernelWalk k = kernel_walk(kernel);
  for (int first = 0; first < count; first += k.part) {
    k.walk(rays + first, sample + first, weight + first,
           count - first < k.part ? count - first : k.part, slab, out, first,
           first == 0 ? accumulator : nullptr);
  }
}

void walk_rays(const RayStart* rays, const double* sample, const double* weight, int count,
               const ZSlab& slab, RaySegments& out, const double* accumulator) {
  walk_rays_with(kernels::process_kernel(), rays, sample, weight, count, slab, out, accumulator);
}

}  // namespace tomrec
