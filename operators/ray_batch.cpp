#include "operators/ray_batch.h"

#include <cstring>

#include <initializer_list>

#include "core/vector_lanes.h"
#include "operators/nonzero_region.h"
#include "operators/projector.h"
#include "operators/split_step.h"

namespace tomproj {
namespace {

constexpr int kMaxSlots = 4;  // a step has at most four pieces

// The pieces of one step of every lane, slot n holding piece n: its Volume
// position and length, or no position (-1) where the lane has fewer pieces
// or is not credited.
template <int L>
struct LanePieces {
  long position[kMaxSlots][L];
  double length[kMaxSlots][L];
  // Each slot's value x length in the given Volume; +0.0 for an empty slot.
  void values(const float* volume, double (&slot)[kMaxSlots][L]) const {
    for (int n = 0; n < kMaxSlots; ++n)
      for (int l = 0; l < L; ++l)
        slot[n][l] = position[n][l] < 0 ? 0.0 : static_cast<double>(volume[position[n][l]]) * length[n][l];
  }
};

// One step of the lanes whose step the vector formulation does not cover, cut
// by the general split one lane at a time: pieces 0 ... c go to slots 0 ... c.
// d, p and q hold one array of lanes per axis.
template <int L>
void split_lanes(int active, const double (&d)[3][L], const double (&p)[3][L], const double (&q)[3][L],
                 int spacing, LanePieces<L>& pieces) {
  for (int n = 0; n < kMaxSlots; ++n)
    for (int l = 0; l < L; ++l) pieces.position[n][l] = -1;
  for (int l = 0; l < L; ++l) {
    if (!(active & (1 << l))) continue;
    const double pl[3] = {p[0][l], p[1][l], p[2][l]}, ql[3] = {q[0][l], q[1][l], q[2][l]};
    const double dl[3] = {d[0][l], d[1][l], d[2][l]};
    const int fp[3] = {cell_of(pl[0]), cell_of(pl[1]), cell_of(pl[2])};
    const int fq[3] = {cell_of(ql[0]), cell_of(ql[1]), cell_of(ql[2])};
    PieceTable t;
    if (fp[0] == fq[0] && fp[1] == fq[1] && fp[2] == fq[2]) {
      t.ll[0] = 1.0;  // a whole step, in the cell of q
      for (int a = 0; a < 3; ++a) t.zahyo[0][a] = fq[a];
    } else {
      split_step_cells(pl, ql, dl, fp, fq, t);
    }
    for (int n = 0; n <= t.count; ++n) {
      const int* cell = t.zahyo[n];
      pieces.position[n][l] = static_cast<long>(scan::volume_index_of_cell(cell[0], cell[1], cell[2])) * spacing;
      pieces.length[n][l] = t.ll[n];
    }
  }
}

// The tracer and the span search, compiled once per instruction set.
namespace portable {
typedef lanes::PortableOps<4> Ops;
#include "operators/lane_tracer.inc"
#include "operators/lane_spans.inc"
}  // namespace portable

#if TOM_X86_KERNELS
namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
typedef lanes::Avx2Ops Ops;
#include "operators/lane_tracer.inc"
#include "operators/lane_spans.inc"
#pragma GCC pop_options
}  // namespace avx2

namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
typedef lanes::Avx512Ops Ops;
#include "operators/lane_tracer.inc"
#include "operators/lane_spans.inc"
#pragma GCC pop_options
}  // namespace avx512
#endif

// The most lanes of any kernel's group.
constexpr int kWidestLanes = 8;
static_assert(portable::Ops::kLanes <= kWidestLanes, "a group's record holds its lanes");
#if TOM_X86_KERNELS
static_assert(avx2::Ops::kLanes <= kWidestLanes && avx512::Ops::kLanes <= kWidestLanes,
              "a group's record holds its lanes");
#endif

// Groups of lanes per batch.
constexpr int kPortableGroups = 4;
constexpr int kAvx2Groups = 4;
constexpr int kAvx512Groups = 4;

#if TOM_X86_KERNELS
__attribute__((target("avx2,fma"))) void trace_batch_avx2(const scan::Point3& source,
                                                           const BatchRay* rays,
                                                           const float* const* volumes, int count,
                                                           int spacing, float* const* samples) {
  avx2::trace_volumes<avx2::Ops, kAvx2Groups>(source, rays, volumes, count, spacing, samples);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void trace_batch_avx512(
    const scan::Point3& source, const BatchRay* rays, const float* const* volumes, int count,
    int spacing, float* const* samples) {
  avx512::trace_volumes<avx512::Ops, kAvx512Groups>(source, rays, volumes, count, spacing, samples);
}

__attribute__((target("avx2,fma"))) void adjoint_avx2(const scan::Point3& source, const BatchRay* rays,
                                                       int count, const double* samples, double* acc,
                                                       int* const* start, int* const* position,
                                                       double* const* amount, int* const* three_counts) {
  avx2::adjoint_lanes<avx2::Ops>(source, rays, count, samples, acc, start, position, amount, three_counts);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void adjoint_avx512(
    const scan::Point3& source, const BatchRay* rays, int count, const double* samples, double* acc,
    int* const* start, int* const* position, double* const* amount, int* const* three_counts) {
  avx512::adjoint_lanes<avx512::Ops>(source, rays, count, samples, acc, start, position, amount,
                                     three_counts);
}

__attribute__((target("avx2,fma"))) void span_batch_avx2(const scan::Point3& source,
                                                          const NonzeroBox& box, BatchRay* rays) {
  for (int g = 0; g < kAvx2Groups; ++g) avx2::group_spans<avx2::Ops>(source, box, rays + g * avx2::Ops::kLanes);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx2,fma"))) void span_batch_avx512(
    const scan::Point3& source, const NonzeroBox& box, BatchRay* rays) {
  for (int g = 0; g < kAvx512Groups; ++g)
    avx512::group_spans<avx512::Ops>(source, box, rays + g * avx512::Ops::kLanes);
}
#endif

}  // namespace

int batch_rays(Kernel kernel) {
  switch (kernel) {
    case Kernel::portable:
      return kPortableGroups * portable::Ops::kLanes;
#if TOM_X86_KERNELS
    case Kernel::avx2:
      return kAvx2Groups * avx2::Ops::kLanes;
    case Kernel::avx512:
      return kAvx512Groups * avx512::Ops::kLanes;
#endif
    default:
      break;
  }
  return 1;
}

void span_batch(Kernel kernel, const scan::Point3& source, const NonzeroBox& box, BatchRay* rays) {
  switch (kernel) {
    case Kernel::portable:
      for (int g = 0; g < kPortableGroups; ++g)
        portable::group_spans<portable::Ops>(source, box, rays + g * portable::Ops::kLanes);
      break;
#if TOM_X86_KERNELS
    case Kernel::avx2:
      span_batch_avx2(source, box, rays);
      break;
    case Kernel::avx512:
      span_batch_avx512(source, box, rays);
      break;
#endif
    default:
      break;
  }
}

void trace_batch(Kernel kernel, const scan::Point3& source, const BatchRay* rays,
                 const float* const* volumes, int count, int spacing, float* const* samples) {
  switch (kernel) {
    case Kernel::portable:
      portable::trace_volumes<portable::Ops, kPortableGroups>(source, rays, volumes, count, spacing,
                                                             samples);
      break;
#if TOM_X86_KERNELS
    case Kernel::avx2:
      trace_batch_avx2(source, rays, volumes, count, spacing, samples);
      break;
    case Kernel::avx512:
      trace_batch_avx512(source, rays, volumes, count, spacing, samples);
      break;
#endif
    default:
      break;
  }
}

void adjoint_batches(Kernel kernel, const scan::Point3& source, const BatchRay* rays, int count,
                     const double* samples, double* acc, AdjointScratch& scratch) {
  // Two records of a group: every count of a ray, four slots, the widest
  // lanes.
  const std::size_t room = static_cast<std::size_t>(kSamplesPerRay) * kMaxSlots * kWidestLanes;
  if (scratch.position.size() < 2 * room) {
    scratch.start.resize(2 * kWidestLanes);
    scratch.position.resize(2 * room);
    scratch.amount.resize(2 * room);
    scratch.three_counts.resize(2 * static_cast<std::size_t>(kSamplesPerRay));
  }
  int* const start[2] = {scratch.start.data(), scratch.start.data() + kWidestLanes};
  int* const position[2] = {scratch.position.data(), scratch.position.data() + room};
  double* const amount[2] = {scratch.amount.data(), scratch.amount.data() + room};
  int* const three_counts[2] = {scratch.three_counts.data(), scratch.three_counts.data() + kSamplesPerRay};
  switch (kernel) {
    case Kernel::portable:
      portable::adjoint_lanes<portable::Ops>(source, rays, count, samples, acc, start, position, amount,
                                             three_counts);
      break;
#if TOM_X86_KERNELS
    case Kernel::avx2:
      adjoint_avx2(source, rays, count, samples, acc, start, position, amount, three_counts);
      break;
    case Kernel::avx512:
      adjoint_avx512(source, rays, count, samples, acc, start, position, amount, three_counts);
      break;
#endif
    default:
      break;
  }
}

}  // namespace tomproj
