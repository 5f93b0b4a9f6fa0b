#include "tomproj/ray_batch.h"

#include <algorithm>
#include <vector>

namespace tomproj {
namespace {

// W lanes of doubles. Every operation below is the same IEEE operation in
// each lane as in the single-ray code, so the instruction set that carries
// them does not change a bit.
template <int W>
struct Lanes {
  typedef double vd __attribute__((vector_size(8 * W)));
  typedef long long vl __attribute__((vector_size(8 * W)));
  typedef int vi __attribute__((vector_size(4 * W)));
  typedef float vf __attribute__((vector_size(4 * W)));
  // The same lanes in memory that need not be aligned to the vector size.
  typedef double vd_unaligned __attribute__((vector_size(8 * W), aligned(8)));
};

constexpr int kGroups = 4;  // independent vectors per batch
constexpr int kSlots = 4;   // a step has at most four pieces
constexpr int kMaxCounts = 512;

#define TOM_INLINE inline __attribute__((always_inline))

template <int W>
TOM_INLINE typename Lanes<W>::vd splat(double x) {
  typename Lanes<W>::vd v = {};
  return v + x;
}

template <int W>
TOM_INLINE typename Lanes<W>::vl splat_mask(long long x) {
  typename Lanes<W>::vl v = {};
  return v + x;
}

// Rounds towards zero, for |x| far below 2^31. For x in (-1, 0) this gives
// +0.0 where trunc gives -0.0: a boundary that differs only in the sign of a
// zero can only change the sign of a zero-length piece, and adding a signed
// zero to the sample gives the same bits.
template <int W>
TOM_INLINE typename Lanes<W>::vd toward_zero(typename Lanes<W>::vd x) {
  typedef typename Lanes<W>::vd vd;
  typedef typename Lanes<W>::vi vi;
  return __builtin_convertvector(__builtin_convertvector(x, vi), vd);
}

// Volume position of the cells (cx, cy, cz), exact in double.
template <int W>
TOM_INLINE typename Lanes<W>::vd position_of(typename Lanes<W>::vd cx, typename Lanes<W>::vd cy,
                                             typename Lanes<W>::vd cz) {
  return (splat<W>(scan::NX / 2) + cx) + splat<W>(scan::NX) * (splat<W>(scan::NY / 2) - cy) +
         splat<W>(scan::NX * scan::NY) * (splat<W>(scan::NZ / 2) - cz);
}

// The float32 Volume samples at W positions (exact whole numbers), widened.
template <int W>
TOM_INLINE typename Lanes<W>::vd load_lanes(const float* volume, typename Lanes<W>::vd position) {
  const typename Lanes<W>::vi i = __builtin_convertvector(position, typename Lanes<W>::vi);
  // Built from one initialiser: filling lanes one by one goes through memory.
  static_assert(W == 4, "the loads are written out for four lanes");
  return typename Lanes<W>::vd{volume[i[0]], volume[i[1]], volume[i[2]], volume[i[3]]};
}

// Traces W rays over the counts [k0, k1) and writes, for every count and
// each of its four piece slots, the value x length that the piece adds, or
// +0.0 where the step has no such piece or the ray's sample at that count
// does not pass the inside test. Adding +0.0 leaves a float32 sum unchanged
// (a sum that starts at +0.0 never becomes -0.0), so the slots can be summed
// in order without knowing which are pieces.
template <int W>
TOM_INLINE void trace_group(const scan::Point3& source, const BatchRay* r, int k0, int k1,
                            const float* volume, typename Lanes<W>::vd_unaligned* out) {
  typedef typename Lanes<W>::vd vd;
  typedef typename Lanes<W>::vl vl;
  const vd zero = splat<W>(0.0), one = splat<W>(1.0);
  vd dx, dy, dz, first, last;
  for (int l = 0; l < W; ++l) {
    dx[l] = r[l].d[0];
    dy[l] = r[l].d[1];
    dz[l] = r[l].d[2];
    first[l] = r[l].first;
    last[l] = r[l].last;
  }
  const vd sx = splat<W>(source.x), sy = splat<W>(source.y), sz = splat<W>(source.z);
  // Steps of the Volume position for one cell along +y and +z.
  const vd stride_y = splat<W>(-scan::NX), stride_z = splat<W>(-scan::NX * scan::NY);
  const vl m0 = splat_mask<W>(0), m1 = splat_mask<W>(-1), m2 = splat_mask<W>(-2),
           m3 = splat_mask<W>(-3);

  // The sample before the first count, formed afresh like every sample.
  vd kd = splat<W>(k0 - 1);
  vd px = kd * dx + sx, py = kd * dy + sy, pz = kd * dz + sz;
  vd tpx = toward_zero<W>(px), tpy = toward_zero<W>(py), tpz = toward_zero<W>(pz);
  vd fpx = px < tpx ? tpx - one : tpx;
  vd fpy = py < tpy ? tpy - one : tpy;
  vd fpz = pz < tpz ? tpz - one : tpz;
  vd posp = position_of<W>(fpx, fpy, fpz);

  for (int k = k0; k < k1; ++k, out += kSlots) {
    kd = splat<W>(k);
    const vd qx = kd * dx + sx, qy = kd * dy + sy, qz = kd * dz + sz;
    const vd tqx = toward_zero<W>(qx), tqy = toward_zero<W>(qy), tqz = toward_zero<W>(qz);
    const vd fqx = qx < tqx ? tqx - one : tqx;
    const vd fqy = qy < tqy ? tqy - one : tqy;
    const vd fqz = qz < tqz ? tqz - one : tqz;
    const vl active = (kd >= first) & (kd < last);

    // Crossed axes and the fraction of the step at each crossing; 0.0 for an
    // axis that is not crossed. The boundary is the whole number between p
    // and q: from q when d*q is not negative, else from p.
    const vl crx = fqx != fpx, cry = fqy != fpy, crz = fqz != fpz;
    const vd bx = (dx * qx < zero) ? tpx : tqx;
    const vd by = (dy * qy < zero) ? tpy : tqy;
    const vd bz = (dz * qz < zero) ? tpz : tqz;
    const vd fx = crx ? (bx - px) / (crx ? dx : one) : zero;
    const vd fy = cry ? (by - py) / (cry ? dy : one) : zero;
    const vd fz = crz ? (bz - pz) / (crz ? dz : one) : zero;

    // Rank of each axis in ascending order of fraction, equal fractions in
    // axis order; counted negatively (a true comparison is -1).
    const vl rx = (fy < fx) + (fz < fx);
    const vl ry = (fx <= fy) + (fz < fy);
    const vl rz = (fx <= fz) + (fy <= fz);
    const vd asc0 = (rx == m0) ? fx : ((ry == m0) ? fy : fz);
    const vd asc1 = (rx == m1) ? fx : ((ry == m1) ? fy : fz);
    const vd asc2 = (rx == m2) ? fx : ((ry == m2) ? fy : fz);

    // With c crossed axes the pieces fill slots 3-c ... 3.
    const vl crossed = crx + cry + crz;  // -c
    const vl c3 = crossed == m3, c2 = crossed == m2, c1 = crossed == m1, c0 = crossed == m0;
    const vl valid0 = c3 & active;
    const vl valid1 = (c3 | c2) & active;
    const vl valid2 = (c3 | c2 | c1) & active;
    const vd len1 = c2 ? asc1 : asc1 - asc0;
    const vd len2 = c1 ? asc2 : asc2 - asc1;
    const vd len3 = c0 ? one : one - asc2;

    // Cells: the first piece lies in the cell of p, each later one in the
    // cell entered at the crossing before it, the last in the cell of q.
    // Positions are exact whole numbers; a lane whose sample is not inside
    // reads position 0 and adds +0.0.
    const vd posq = position_of<W>(fqx, fqy, fqz);
    const vd step_x = fqx - fpx, step_y = (fqy - fpy) * stride_y, step_z = (fqz - fpz) * stride_z;
    const vl ax1 = valid0 & (rx == m0), ay1 = valid0 & (ry == m0), az1 = valid0 & (rz == m0);
    const vl ax2 = ax1 | (valid1 & (rx == m1)), ay2 = ay1 | (valid1 & (ry == m1)),
             az2 = az1 | (valid1 & (rz == m1));
    const vd pos1 = posp + (ax1 ? step_x : zero) + (ay1 ? step_y : zero) + (az1 ? step_z : zero);
    const vd pos2 = posp + (ax2 ? step_x : zero) + (ay2 ? step_y : zero) + (az2 ? step_z : zero);

    out[0] = valid0 ? load_lanes<W>(volume, valid0 ? posp : zero) * asc0 : zero;
    out[1] = valid1 ? load_lanes<W>(volume, valid1 ? pos1 : zero) * len1 : zero;
    out[2] = valid2 ? load_lanes<W>(volume, valid2 ? pos2 : zero) * len2 : zero;
    out[3] = active ? load_lanes<W>(volume, active ? posq : zero) * len3 : zero;

    px = qx;
    py = qy;
    pz = qz;
    fpx = fqx;
    fpy = fqy;
    fpz = fqz;
    tpx = tqx;
    tpy = tqy;
    tpz = tqz;
    posp = posq;
  }
}

template <int W>
TOM_INLINE void trace_batch_lanes(const scan::Point3& source, const BatchRay* rays,
                                  const float* volume, float* samples) {
  typedef typename Lanes<W>::vd vd;
  typedef typename Lanes<W>::vf vf;
  typedef typename Lanes<W>::vd_unaligned vd_unaligned;
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
  for (int g = 0; g < kGroups; ++g) {
    trace_group<W>(source, rays + g * W, k0, k1, volume, slots + g * group_slots);
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
