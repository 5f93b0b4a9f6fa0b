// The lane walk for processors with AVX-512: groups of eight lanes, one
// register each, the comparisons in mask registers. Every lane carries out
// the walk of detail::walk_lanes (whose comments explain each step) with the
// same IEEE operations, but for one difference of method: it divides all
// three distances at every count and compares the quotients, as the
// definition does, where the generic walk orders them by products first and
// divides only the winner. The generic walk takes that shortcut only where it
// provably picks the same winner, so both leave the same bits.
#include "tomrec/backprojection.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace tomrec {
namespace detail {

bool has_avx512() {
  static const bool available =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  return available;
}

#define TOMREC_AVX512 __attribute__((target("avx512f,avx512dq")))

namespace {

TOMREC_AVX512 inline __m512d load(const double* p) { return _mm512_loadu_pd(p); }

TOMREC_AVX512 inline __mmask8 lanes_set(const long long* flags) {
  return _mm512_cmpneq_epi64_mask(_mm512_loadu_si512(flags), _mm512_setzero_si512());
}

// The walk of G groups of eight lanes, one register each; the groups walk
// in turn, so that each one's long chain of dependent operations overlaps
// the others'. Two kinds of batch skip work that cannot change a bit: where the slab
// cannot end any lane's walk (SlabEnds false), no segment is ever past it;
// where every sample and weight is 1 (Scaled false), each credit
// sub_min * 1 / 1 is sub_min itself.
template <int G, bool SlabEnds, bool Scaled>
TOMREC_AVX512 __attribute__((noinline)) void walk_groups(const LaneStart& start, int count,
                                                         const ZSlab& slab, RaySegments& out,
                                                         const double* accumulator) {
  static_assert(8 * G == kLanes && kBlockLanes == 8, "a register for every block of a batch");
  __m512d b[G][3], step[G][3], sign[G][3], moved_ahead[G][3], ahead[G][3];
  __m512d scale_up[G], scale_down[G], counts_left[G], past_above[G], past_below[G], total[G];
  __mmask8 active[G], previous[G][3], stopped[G];
  __m512i counted[G];
  const double inf = __builtin_inf();
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) {
    const int l = 8 * g;
#pragma GCC unroll 3
    for (int a = 0; a < 3; ++a) {
      b[g][a] = load(&start.b[a][l]);
      step[g][a] = load(&start.step[a][l]);
      sign[g][a] = load(&start.sign[a][l]);
      moved_ahead[g][a] = load(&start.moved_ahead[a][l]);
      ahead[g][a] = load(&start.ahead[a][l]);
      previous[g][a] = 0;
    }
    scale_up[g] = load(&start.scale_up[l]);
    scale_down[g] = load(&start.scale_down[l]);
    counts_left[g] = load(&start.remaining[l]);
    active[g] = lanes_set(&start.active[l]);
    // A segment is past the slab when its z index iz = NZ/2 - floor(z) is
    // below the slab on a rising ray, above it on a falling one, either on a
    // flat one. On the floor of z (integers, exact) that is floor(z) above
    // past_above or below past_below, with the side that cannot end the walk
    // put out of reach.
    past_above[g] = _mm512_mask_blend_pd(lanes_set(&start.falling[l]),
                                         _mm512_set1_pd(double(scan::NZ / 2 - slab.iz_first)),
                                         _mm512_set1_pd(inf));
    past_below[g] = _mm512_mask_blend_pd(lanes_set(&start.rising[l]),
                                         _mm512_set1_pd(double(scan::NZ / 2 - slab.iz_last)),
                                         _mm512_set1_pd(-inf));
    stopped[g] = 0;
    counted[g] = _mm512_setzero_si512();
    total[g] = _mm512_setzero_pd();
  }

  const __m512d near_low = _mm512_set1_pd(1e-6), near_high = _mm512_set1_pd(0.999999);
  const __m512d x_lo = _mm512_set1_pd(scan::kInsideXLo), x_hi = _mm512_set1_pd(scan::kInsideXHi);
  const __m512d y_lo = _mm512_set1_pd(scan::kInsideYLo), y_hi = _mm512_set1_pd(scan::kInsideYHi);
  const __m512d z_lo = _mm512_set1_pd(scan::kInsideZLo), z_hi = _mm512_set1_pd(scan::kInsideZHi);
  // The Volume position, ix + NX*iy + NX*NY*iz, as centre + floor(x) -
  // (NX*NY*floor(z) + NX*floor(y)): small integers, so every order and the
  // fused product-sum give it exactly.
  const __m512d centre = _mm512_set1_pd(double(scan::NX / 2) + double(scan::NX) * (scan::NY / 2) +
                                        double(scan::NX) * scan::NY * (scan::NZ / 2));
  const __m512d plane = _mm512_set1_pd(double(scan::NX) * scan::NY);
  const __m512d row = _mm512_set1_pd(double(scan::NX));
  const __m512i one_count = _mm512_set1_epi64(1);

  const int fewest = fewest_counts(start, kLanes);
  for (int i = 0;; ++i) {
    const __m512d counts_used = _mm512_set1_pd(i + 1.0);
    __mmask8 any = active[0];
#pragma GCC unroll 4
    for (int g = 1; g < G; ++g) any = _kor_mask8(any, active[g]);
    if (_kortestz_mask8_u8(any, any)) break;
    if (i == kMaxSegments) {
      throw std::length_error("a ray has more segments than the grid has planes");
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      __m512d floors[3], num[3];
#pragma GCC unroll 3
      for (int a = 0; a < 3; ++a) {
        floors[a] = _mm512_maskz_roundscale_pd(0xff, b[g][a],
                                               _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m512d d = _mm512_sub_pd(b[g][a], floors[a]);
        // Not near a boundary: 1e-6 <= d <= 0.999999 (d is never NaN).
        const __mmask8 clear_of =
            _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(d, near_low, _CMP_GE_OQ), d, near_high,
                                    _CMP_LE_OQ);
        // Both candidate distances, (cell + moved_ahead) - b and (cell +
        // ahead) - b, formed while the tolerance test runs.
        const __m512d num_moved =
            _mm512_sub_pd(_mm512_add_pd(floors[a], moved_ahead[g][a]), b[g][a]);
        const __m512d num_plain = _mm512_sub_pd(_mm512_add_pd(floors[a], ahead[g][a]), b[g][a]);
        num[a] = _mm512_mask_blend_pd(clear_of, num_moved, num_plain);
        // The axis that ended the previous segment gets one full cell: its
        // distance becomes the sign of its step, whose quotient is exactly
        // |1 / step|.
        num[a] = _mm512_mask_mov_pd(num[a], previous[g][a], sign[g][a]);
      }
      // Every distance divided out and compared as written: the divider
      // keeps up with eight lanes, so no products need to order them first.
      __m512d sub[3];
#pragma GCC unroll 3
      for (int a = 0; a < 3; ++a) sub[a] = _mm512_div_pd(num[a], step[g][a]);
      const __mmask8 lower1 = _mm512_cmp_pd_mask(sub[1], sub[0], _CMP_LT_OQ);
      __m512d sub_min = _mm512_mask_blend_pd(lower1, sub[0], sub[1]);
      const __mmask8 lower2 = _mm512_cmp_pd_mask(sub[2], sub_min, _CMP_LT_OQ);
      sub_min = _mm512_mask_blend_pd(lower2, sub_min, sub[2]);
      previous[g][2] = lower2;
      previous[g][1] = _kandn_mask8(lower2, lower1);
      previous[g][0] = _knot_mask8(_kor_mask8(lower1, lower2));

      // The segment, and the end of the lane's walk at its first segment
      // past the slab. (Idle lanes leave values that are never read.)
      const __m512d position = _mm512_sub_pd(
          _mm512_add_pd(floors[0], centre),
          _mm512_fmadd_pd(floors[2], plane, _mm512_mul_pd(floors[1], row)));
      const __m256i k = _mm512_maskz_cvttpd_epi32(0xff, position);
      _mm256_store_si256(reinterpret_cast<__m256i*>(out.voxel_row(i, 8 * g)), k);
      // The first ray's credits are added first, right after the walk.
      if (g == 0 && accumulator != nullptr) {
        __builtin_prefetch(accumulator + static_cast<std::uint32_t>(
                                             _mm_cvtsi128_si32(_mm256_castsi256_si128(k))),
                           1);
      }
      _mm512_store_pd(out.credit_row(i, 8 * g),
                      Scaled ? _mm512_div_pd(_mm512_mul_pd(sub_min, scale_up[g]), scale_down[g])
                             : sub_min);
      if (SlabEnds) {
        const __mmask8 past =
            _kor_mask8(_mm512_cmp_pd_mask(floors[2], past_above[g], _CMP_GT_OQ),
                       _mm512_cmp_pd_mask(floors[2], past_below[g], _CMP_LT_OQ));
        stopped[g] = _kor_mask8(stopped[g], _kand_mask8(active[g], past));
        active[g] = _kandn_mask8(past, active[g]);
      }
      counted[g] = _mm512_mask_add_epi64(counted[g], active[g], counted[g], one_count);
      // (A total is never -0.0, so leaving it is adding +0.0.)
      total[g] = _mm512_mask_add_pd(total[g], active[g], total[g], sub_min);

#pragma GCC unroll 3
      for (int a = 0; a < 3; ++a) {
        b[g][a] = _mm512_add_pd(b[g][a], _mm512_mul_pd(sub_min, step[g][a]));
      }
      __mmask8 inside = _mm512_mask_cmp_pd_mask(active[g], b[g][0], x_lo, _CMP_GT_OQ);
      inside = _mm512_mask_cmp_pd_mask(inside, b[g][0], x_hi, _CMP_LT_OQ);
      inside = _mm512_mask_cmp_pd_mask(inside, b[g][1], y_lo, _CMP_GT_OQ);
      inside = _mm512_mask_cmp_pd_mask(inside, b[g][1], y_hi, _CMP_LT_OQ);
      inside = _mm512_mask_cmp_pd_mask(inside, b[g][2], z_lo, _CMP_GT_OQ);
      inside = _mm512_mask_cmp_pd_mask(inside, b[g][2], z_hi, _CMP_LT_OQ);
      // Counts left after this one: counts_left - (i + 1) > 0, in integers.
      active[g] = i + 1 < fewest
                      ? inside
                      : _mm512_mask_cmp_pd_mask(inside, counts_left[g], counts_used, _CMP_GT_OQ);
    }
  }
  alignas(64) long long counted_lanes[kLanes], stopped_lanes[kLanes];
  alignas(64) double total_lanes[kLanes];
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) {
    _mm512_store_si512(&counted_lanes[8 * g], counted[g]);
    _mm512_store_si512(&stopped_lanes[8 * g],
                       _mm512_maskz_mov_epi64(stopped[g], _mm512_set1_epi64(-1)));
    _mm512_store_pd(&total_lanes[8 * g], total[g]);
  }
  finish_lanes(counted_lanes, stopped_lanes, total_lanes, count < kLanes ? count : kLanes, out, 0);
}

}  // namespace

TOMREC_AVX512 void walk_lanes_avx512(const RayStart* rays, const double* sample,
                                     const double* weight, int count, const ZSlab& slab,
                                     RaySegments& out, const double* accumulator) {
  LaneStart start;
  start_lanes(rays, sample, weight, count, kLanes, start);
  // Every segment starts at a point inside the box, so its z index lies
  // within [iz_low, iz_high]; a slab that holds that range on a lane's side
  // of travel never ends its walk.
  const int iz_low = scan::NZ / 2 - (scan::kInsideZHi - 1);
  const int iz_high = scan::NZ / 2 - scan::kInsideZLo;
  bool slab_ends = false, scaled = false;
  for (int l = 0; l < kLanes; ++l) {
    if (!start.active[l]) continue;
    // A z index falls as z rises: below the slab on a rising or flat ray,
    // above it on a falling or flat one.
    const bool may_go_below = start.falling[l] == 0, may_go_above = start.rising[l] == 0;
    slab_ends = slab_ends || (may_go_below && slab.iz_first > iz_low) ||
                (may_go_above && slab.iz_last < iz_high);
    scaled = scaled || start.scale_up[l] != 1.0 || start.scale_down[l] != 1.0;
  }
  constexpr int G = kLanes / 8;
  if (slab_ends) {
    if (scaled) {
      walk_groups<G, true, true>(start, count, slab, out, accumulator);
    } else {
      walk_groups<G, true, false>(start, count, slab, out, accumulator);
    }
  } else if (scaled) {
    walk_groups<G, false, true>(start, count, slab, out, accumulator);
  } else {
    walk_groups<G, false, false>(start, count, slab, out, accumulator);
  }
}

}  // namespace detail
}  // namespace tomrec

#endif
