#include "operators/cone_kernels.h"

#include <cstdint>

#include "core/vector_lanes.h"

namespace tomproj {
namespace {

// The walk, compiled once per instruction set.
namespace scalar {
typedef lanes::PortableOps<1> Ops;
#include "operators/cone_walk.inc"
}  // namespace scalar

namespace portable {
typedef lanes::PortableOps<4> Ops;
#include "operators/cone_walk.inc"
}  // namespace portable

#if TOM_X86_KERNELS
namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
typedef lanes::Avx2Ops Ops;
#include "operators/cone_walk.inc"
#pragma GCC pop_options
}  // namespace avx2

namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
typedef lanes::Avx512Ops Ops;
#include "operators/cone_walk.inc"
#pragma GCC pop_options
}  // namespace avx512

__attribute__((target("avx2,fma"))) void forward_avx2(const LaneGroup& g, const float* const* volumes,
                                                       int count, double (*sums)[kMaxLanes]) {
  avx2::forward_volumes<avx2::Ops>(g, volumes, count, sums);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void forward_avx512(
    const LaneGroup& g, const float* const* volumes, int count, double (*sums)[kMaxLanes]) {
  avx512::forward_volumes<avx512::Ops>(g, volumes, count, sums);
}

__attribute__((target("avx2,fma"))) void adjoint_avx2(const LaneGroup& g, const double* sample,
                                                       std::int64_t base, double* acc, std::int64_t room,
                                                       std::int64_t* at, double* amount) {
  avx2::adjoint_lanes<avx2::Ops>(g, sample, base, acc, room, at, amount);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void adjoint_avx512(
    const LaneGroup& g, const double* sample, std::int64_t base, double* acc, std::int64_t room,
    std::int64_t* at, double* amount) {
  avx512::adjoint_lanes<avx512::Ops>(g, sample, base, acc, room, at, amount);
}
#endif

}  // namespace

int cone_lanes(kernels::Kernel kernel) {
  switch (kernel) {
    case kernels::Kernel::portable:
      return portable::kVectors * portable::Ops::kLanes;
#if TOM_X86_KERNELS
    case kernels::Kernel::avx2:
      return avx2::kVectors * avx2::Ops::kLanes;
    case kernels::Kernel::avx512:
      return avx512::kVectors * avx512::Ops::kLanes;
#endif
    default:
      break;
  }
  return scalar::kVectors * scalar::Ops::kLanes;
}

void cone_forward_lanes(kernels::Kernel kernel, const LaneGroup& g, const float* const* volumes,
                        int count, double (*sums)[kMaxLanes]) {
  switch (kernel) {
    case kernels::Kernel::portable:
      portable::forward_volumes<portable::Ops>(g, volumes, count, sums);
      return;
#if TOM_X86_KERNELS
    case kernels::Kernel::avx2:
      forward_avx2(g, volumes, count, sums);
      return;
    case kernels::Kernel::avx512:
      forward_avx512(g, volumes, count, sums);
      return;
#endif
    default:
      scalar::forward_volumes<scalar::Ops>(g, volumes, count, sums);
      return;
  }
}

void cone_adjoint_lanes(kernels::Kernel kernel, const LaneGroup& g, const double* sample,
                        std::int64_t base, double* acc, std::int64_t room, std::int64_t* at,
                        double* amount) {
  switch (kernel) {
    case kernels::Kernel::portable:
      portable::adjoint_lanes<portable::Ops>(g, sample, base, acc, room, at, amount);
      return;
#if TOM_X86_KERNELS
    case kernels::Kernel::avx2:
      adjoint_avx2(g, sample, base, acc, room, at, amount);
      return;
    case kernels::Kernel::avx512:
      adjoint_avx512(g, sample, base, acc, room, at, amount);
      return;
#endif
    default:
      scalar::adjoint_lanes<scalar::Ops>(g, sample, base, acc, room, at, amount);
      return;
  }
}

}  // namespace tomproj
