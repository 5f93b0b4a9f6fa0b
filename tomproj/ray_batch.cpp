#include "tomproj/ray_batch.h"

#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "common/vector_lanes.h"

namespace tomproj {
namespace {

using lanes::Lanes;

constexpr int kGroups = 4;  // independent vectors per batch
constexpr int kSlots = 4;   // a step has at most four pieces
constexpr int kMaxCounts = 512;

#define TOM_INLINE inline __attribute__((always_inline))

template <int W>
TOM_INLINE typename Lanes<W>::Real splat(double x) {
  typename Lanes<W>::Real v = {};
  return v + x;
}

template <int W>
TOM_INLINE typename Lanes<W>::Mask splat_mask(long long x) {
  typename Lanes<W>::Mask v = {};
  return v + x;
}

// Four lanes rounded to whole numbers by one rounding instruction, with
// exactly the result of std::trunc (kTowardZero) or std::floor (kFloor).
constexpr int kTowardZero = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
constexpr int kFloor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;

template <int W, int Mode>
__attribute__((target("avx2"))) TOM_INLINE typename Lanes<W>::Real rounded(
    typename Lanes<W>::Real x) {
  static_assert(W == 4, "four lanes");
  return reinterpret_cast<typename Lanes<W>::Real>(
      _mm256_round_pd(reinterpret_cast<__m256d>(x), Mode));
}

// Volume position of the cells (cx, cy, cz), exact in double.
template <int W>
TOM_INLINE typename Lanes<W>::Real position_of(typename Lanes<W>::Real cx, typename Lanes<W>::Real cy,
                                             typename Lanes<W>::Real cz) {
  return (splat<W>(scan::NX / 2) + cx) + splat<W>(scan::NX) * (splat<W>(scan::NY / 2) - cy) +
         splat<W>(scan::NX * scan::NY) * (splat<W>(scan::NZ / 2) - cz);
}

// The float32 Volume samples at W positions (exact whole numbers), widened.
template <int W>
TOM_INLINE typename Lanes<W>::Real load_lanes(const float* volume, typename Lanes<W>::Real position) {
  const typename Lanes<W>::Index i = __builtin_convertvector(position, typename Lanes<W>::Index);
  // Built from one initialiser: filling lanes one by one goes through memory.
  static_assert(W == 4, "the loads are written out for four lanes");
  return typename Lanes<W>::Real{volume[i[0]], volume[i[1]], volume[i[2]], volume[i[3]]};
}

// True when some lane of the mask is set.
template <class Mask>
__attribute__((target("avx2"))) TOM_INLINE bool any_lane(Mask mask) {
  static_assert(sizeof(Mask) == 32, "four 64-bit lanes");
  return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask)) != 0;
}

// One value of each of W rays, as lanes.
template <int W, class Field>
TOM_INLINE typename Lanes<W>::Real lanes_of(const BatchRay* rays, const Field& field) {
  static_assert(W == 4, "written out for four lanes");
  return typename Lanes<W>::Real{field(rays[0]), field(rays[1]), field(rays[2]), field(rays[3])};
}

// Traces H groups of W rays over the counts [k0, k1) and writes, for every
// count and each of its four piece slots, the value x length that the piece
// adds, or +0.0 where the step has no such piece or the ray's sample at that
// count does not pass the inside test. Adding +0.0 leaves a float32 sum
// unchanged (a sum that starts at +0.0 never becomes -0.0), so the slots can
// be summed in order without knowing which are pieces. The groups advance
// statement by statement together: one step of one group is a long chain of
// dependent operations, and two chains side by side keep the processor busy.
template <int W, int H>
__attribute__((target("avx2"))) TOM_INLINE void trace_groups(const scan::Point3& source, const BatchRay* r, int k0, int k1,
                             const float* volume, typename Lanes<W>::RealUnaligned* const* outs) {
  typedef typename Lanes<W>::Real vd;
  typedef typename Lanes<W>::Mask vl;
  const vd zero = splat<W>(0.0), one = splat<W>(1.0);
  const vd sx = splat<W>(source.x), sy = splat<W>(source.y), sz = splat<W>(source.z);
  // Steps of the Volume position for one cell along +y and +z.
  const vd stride_y = splat<W>(-scan::NX), stride_z = splat<W>(-scan::NX * scan::NY);
  const vl m0 = splat_mask<W>(0), m1 = splat_mask<W>(-1), m2 = splat_mask<W>(-2),
           m3 = splat_mask<W>(-3);

  vd dx[H], dy[H], dz[H], first[H], last[H];
  vd px[H], py[H], pz[H], tpx[H], tpy[H], tpz[H], fpx[H], fpy[H], fpz[H], posp[H];
  typename Lanes<W>::RealUnaligned* out[H];
  for (int h = 0; h < H; ++h) {
    const BatchRay* g = r + h * W;
    dx[h] = lanes_of<W>(g, [](const BatchRay& ray) { return ray.d[0]; });
    dy[h] = lanes_of<W>(g, [](const BatchRay& ray) { return ray.d[1]; });
    dz[h] = lanes_of<W>(g, [](const BatchRay& ray) { return ray.d[2]; });
    first[h] = lanes_of<W>(g, [](const BatchRay& ray) { return static_cast<double>(ray.first); });
    last[h] = lanes_of<W>(g, [](const BatchRay& ray) { return static_cast<double>(ray.last); });
    // The sample before the first count, formed afresh like every sample.
    const vd kd = splat<W>(k0 - 1);
    px[h] = kd * dx[h] + sx;
    py[h] = kd * dy[h] + sy;
    pz[h] = kd * dz[h] + sz;
    tpx[h] = rounded<W, kTowardZero>(px[h]);
    tpy[h] = rounded<W, kTowardZero>(py[h]);
    tpz[h] = rounded<W, kTowardZero>(pz[h]);
    fpx[h] = rounded<W, kFloor>(px[h]);
    fpy[h] = rounded<W, kFloor>(py[h]);
    fpz[h] = rounded<W, kFloor>(pz[h]);
    posp[h] = position_of<W>(fpx[h], fpy[h], fpz[h]);
    out[h] = outs[h];
  }

  for (int k = k0; k < k1; ++k) {
    const vd kd = splat<W>(k);
    vd qx[H], qy[H], qz[H], tqx[H], tqy[H], tqz[H], fqx[H], fqy[H], fqz[H];
    vl active[H], crx[H], cry[H], crz[H];
    vd fx[H], fy[H], fz[H];
    for (int h = 0; h < H; ++h) {
      qx[h] = kd * dx[h] + sx;
      qy[h] = kd * dy[h] + sy;
      qz[h] = kd * dz[h] + sz;
      tqx[h] = rounded<W, kTowardZero>(qx[h]);
      tqy[h] = rounded<W, kTowardZero>(qy[h]);
      tqz[h] = rounded<W, kTowardZero>(qz[h]);
      fqx[h] = rounded<W, kFloor>(qx[h]);
      fqy[h] = rounded<W, kFloor>(qy[h]);
      fqz[h] = rounded<W, kFloor>(qz[h]);
      active[h] = (kd >= first[h]) & (kd < last[h]);
    }
    // Crossed axes and the fraction of the step at each crossing; 0.0 for an
    // axis that is not crossed. The boundary is the whole number between p
    // and q: from q when d*q is not negative, else from p.
    for (int h = 0; h < H; ++h) {
      crx[h] = fqx[h] != fpx[h];
      cry[h] = fqy[h] != fpy[h];
      crz[h] = fqz[h] != fpz[h];
      const vd bx = (dx[h] * qx[h] < zero) ? tpx[h] : tqx[h];
      const vd by = (dy[h] * qy[h] < zero) ? tpy[h] : tqy[h];
      const vd bz = (dz[h] * qz[h] < zero) ? tpz[h] : tqz[h];
      fx[h] = crx[h] ? (bx - px[h]) / (crx[h] ? dx[h] : one) : zero;
      fy[h] = cry[h] ? (by - py[h]) / (cry[h] ? dy[h] : one) : zero;
      fz[h] = crz[h] ? (bz - pz[h]) / (crz[h] ? dz[h] : one) : zero;
    }
    for (int h = 0; h < H; ++h) {
      // Rank of each axis in ascending order of fraction, equal fractions in
      // axis order; counted negatively (a true comparison is -1).
      const vl rx = (fy[h] < fx[h]) + (fz[h] < fx[h]);
      const vl ry = (fx[h] <= fy[h]) + (fz[h] < fy[h]);
      const vl rz = (fx[h] <= fz[h]) + (fy[h] <= fz[h]);
      const vd asc0 = (rx == m0) ? fx[h] : ((ry == m0) ? fy[h] : fz[h]);
      const vd asc1 = (rx == m1) ? fx[h] : ((ry == m1) ? fy[h] : fz[h]);
      const vd asc2 = (rx == m2) ? fx[h] : ((ry == m2) ? fy[h] : fz[h]);

      // With c crossed axes the pieces fill slots 3-c ... 3.
      const vl crossed = crx[h] + cry[h] + crz[h];  // -c
      const vl c3 = crossed == m3, c2 = crossed == m2, c1 = crossed == m1, c0 = crossed == m0;
      const vl valid0 = c3 & active[h];
      const vl valid1 = (c3 | c2) & active[h];
      const vl valid2 = (c3 | c2 | c1) & active[h];
      const vd len1 = c2 ? asc1 : asc1 - asc0;
      const vd len2 = c1 ? asc2 : asc2 - asc1;
      const vd len3 = c0 ? one : one - asc2;

      // Cells: the first piece lies in the cell of p, each later one in the
      // cell entered at the crossing before it, the last in the cell of q.
      // Positions are exact whole numbers; a lane whose sample is not inside
      // reads position 0 and adds +0.0.
      const vd posq = position_of<W>(fqx[h], fqy[h], fqz[h]);
      const vd step_x = fqx[h] - fpx[h], step_y = (fqy[h] - fpy[h]) * stride_y,
               step_z = (fqz[h] - fpz[h]) * stride_z;
      // Steps that cross all three axes are rare (a few in a hundred), so
      // the first slot is worked out only when some lane has one.
      vl ax1 = m0, ay1 = m0, az1 = m0;
      vd pos1 = posp[h];
      if (any_lane(valid0)) {
        ax1 = valid0 & (rx == m0);
        ay1 = valid0 & (ry == m0);
        az1 = valid0 & (rz == m0);
        pos1 = posp[h] + (ax1 ? step_x : zero) + (ay1 ? step_y : zero) + (az1 ? step_z : zero);
        out[h][0] = valid0 ? load_lanes<W>(volume, valid0 ? posp[h] : zero) * asc0 : zero;
      } else {
        out[h][0] = zero;
      }
      const vl ax2 = ax1 | (valid1 & (rx == m1)), ay2 = ay1 | (valid1 & (ry == m1)),
               az2 = az1 | (valid1 & (rz == m1));
      const vd pos2 = posp[h] + (ax2 ? step_x : zero) + (ay2 ? step_y : zero) + (az2 ? step_z : zero);

      out[h][1] = valid1 ? load_lanes<W>(volume, valid1 ? pos1 : zero) * len1 : zero;
      out[h][2] = valid2 ? load_lanes<W>(volume, valid2 ? pos2 : zero) * len2 : zero;
      out[h][3] = active[h] ? load_lanes<W>(volume, active[h] ? posq : zero) * len3 : zero;
      out[h] += kSlots;
      posp[h] = posq;
    }
    for (int h = 0; h < H; ++h) {
      px[h] = qx[h];
      py[h] = qy[h];
      pz[h] = qz[h];
      fpx[h] = fqx[h];
      fpy[h] = fqy[h];
      fpz[h] = fqz[h];
      tpx[h] = tqx[h];
      tpy[h] = tqy[h];
      tpz[h] = tqz[h];
    }
  }
}

template <int W>
__attribute__((target("avx2"))) TOM_INLINE void trace_batch_lanes(const scan::Point3& source, const BatchRay* rays,
                                  const float* volume, float* samples) {
  typedef typename Lanes<W>::Real vd;
  typedef typename Lanes<W>::Single vf;
  typedef typename Lanes<W>::RealUnaligned vd_unaligned;
  const int n = kGroups * W;
  int k0 = 1 << 30, k1 = 0;
  for (int i = 0; i < n; ++i) {
    if (rays[i].last > rays[i].first) {
      k0 = std::min(k0, rays[i].first);
      k1 = std::max(k1, rays[i].last);
    }
  }
  if (k1 <= k0) {
    for (int i = 0; i < n; ++i) samples[i] = 0.0f;
    return;
  }
  // The source lies far outside the box, so count 0 never passes and every
  // credited step has a previous sample.
  k0 = std::max(k0, 1);
  const int counts = k1 - k0;
  const std::size_t group_slots = static_cast<std::size_t>(kMaxCounts) * kSlots;
  thread_local std::vector<double> storage;
  storage.resize(kGroups * group_slots * W);
  vd_unaligned* slots = reinterpret_cast<vd_unaligned*>(storage.data());
  constexpr int kInterleaved = 2;
  static_assert(kGroups % kInterleaved == 0, "groups are traced in pairs");
  for (int g = 0; g < kGroups; g += kInterleaved) {
    vd_unaligned* outs[kInterleaved];
    for (int h = 0; h < kInterleaved; ++h) outs[h] = slots + (g + h) * group_slots;
    trace_groups<W, kInterleaved>(source, rays + g * W, k0, k1, volume, outs);
  }
  // The sums of the groups are independent chains; interleaving them keeps
  // the float32 rounding of one from waiting on another.
  vd sum[kGroups];
  for (int g = 0; g < kGroups; ++g) sum[g] = splat<W>(0.0);
  for (int i = 0; i < counts * kSlots; ++i) {
    for (int g = 0; g < kGroups; ++g) {
      const vd added = sum[g] + slots[g * group_slots + i];
      sum[g] = __builtin_convertvector(__builtin_convertvector(added, vf), vd);
    }
  }
  for (int g = 0; g < kGroups; ++g)
    for (int l = 0; l < W; ++l) samples[g * W + l] = static_cast<float>(sum[g][l]);
}

__attribute__((target("avx2"))) void trace_batch_avx2(const scan::Point3& source,
                                                       const BatchRay* rays, const float* volume,
                                                       float* samples) {
  trace_batch_lanes<4>(source, rays, volume, samples);
}

}  // namespace

int batch_rays(BatchKernel kernel) {
  switch (kernel) {
    case BatchKernel::kAvx2:
      return kGroups * 4;
    case BatchKernel::kNone:
      break;
  }
  return 1;
}

bool batch_kernel_supported(BatchKernel kernel) {
  __builtin_cpu_init();
  switch (kernel) {
    case BatchKernel::kAvx2:
      return __builtin_cpu_supports("avx2");
    case BatchKernel::kNone:
      return true;
  }
  return false;
}

BatchKernel best_batch_kernel() {
  static const BatchKernel best =
      batch_kernel_supported(BatchKernel::kAvx2) ? BatchKernel::kAvx2 : BatchKernel::kNone;
  return best;
}

void trace_batch(BatchKernel kernel, const scan::Point3& source, const BatchRay* rays,
                 const float* volume, float* samples) {
  if (kernel == BatchKernel::kAvx2) trace_batch_avx2(source, rays, volume, samples);
}

}  // namespace tomproj
