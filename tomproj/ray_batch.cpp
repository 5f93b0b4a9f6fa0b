#include "tomproj/ray_batch.h"

#if defined(__x86_64__) || defined(__i386__)
#define TOM_X86_KERNELS 1
#include <immintrin.h>
#endif

#include <cstring>

#include <initializer_list>

#include "tomproj/nonzero_region.h"
#include "tomproj/projector.h"
#include "tomproj/split_step.h"

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

#define TOM_LANE_OP static inline __attribute__((always_inline))

// Four lanes in the compiler's generic vectors, for every processor: the
// compiler maps them onto whatever vector unit the target has (SSE2, NEON,
// ...). Masks are lanes of all ones or zeros, as in the AVX2 set.
namespace portable {
struct Ops {
  static constexpr int kLanes = 4;
  typedef double Real __attribute__((vector_size(32)));
  typedef long long Mask __attribute__((vector_size(32)));
  typedef float Singles __attribute__((vector_size(16)));
  TOM_LANE_OP Real splat(double x) { return Real{x, x, x, x}; }
  TOM_LANE_OP Real load(const double* p) {
    Real a;
    std::memcpy(&a, p, sizeof a);
    return a;
  }
  TOM_LANE_OP void store(double* p, Real a) { std::memcpy(p, &a, sizeof a); }
  TOM_LANE_OP Real add(Real a, Real b) { return a + b; }
  TOM_LANE_OP Real sub(Real a, Real b) { return a - b; }
  TOM_LANE_OP Real mul(Real a, Real b) { return a * b; }
  // The second operand where either is NaN, as the x86 instructions do.
  TOM_LANE_OP Real min(Real a, Real b) { return a < b ? a : b; }
  TOM_LANE_OP Real max(Real a, Real b) { return a > b ? a : b; }
  TOM_LANE_OP Real floor(Real a) {
    for (int l = 0; l < kLanes; ++l) a[l] = __builtin_floor(a[l]);
    return a;
  }
  // c - a*b for whole numbers, exact either way.
  TOM_LANE_OP Real fnmadd(Real a, Real b, Real c) { return c - a * b; }
  TOM_LANE_OP Mask lt(Real a, Real b) { return a < b; }
  TOM_LANE_OP Mask gt(Real a, Real b) { return a > b; }
  TOM_LANE_OP Mask ge(Real a, Real b) { return a >= b; }
  TOM_LANE_OP Mask eq(Real a, Real b) { return a == b; }
  TOM_LANE_OP Mask ne(Real a, Real b) { return a != b; }  // true where either is NaN
  TOM_LANE_OP Mask both(Mask a, Mask b) { return a & b; }
  TOM_LANE_OP Mask either(Mask a, Mask b) { return a | b; }
  TOM_LANE_OP Mask but_not(Mask a, Mask b) { return a & ~b; }
  TOM_LANE_OP int bits(Mask m) {
    int b = 0;
    for (int l = 0; l < kLanes; ++l) b |= (m[l] != 0) << l;
    return b;
  }
  TOM_LANE_OP bool any(Mask m) { return bits(m) != 0; }
  TOM_LANE_OP Mask mask_of(unsigned b) {
    return Mask{-static_cast<long long>(b & 1), -static_cast<long long>((b >> 1) & 1),
                -static_cast<long long>((b >> 2) & 1), -static_cast<long long>((b >> 3) & 1)};
  }
  TOM_LANE_OP Real select(Mask m, Real yes, Real no) { return m ? yes : no; }
  TOM_LANE_OP Real zero_unless(Mask m, Real a) { return m ? a : Real{}; }
  TOM_LANE_OP Real max_where(Mask m, Real a, Real b) { return m ? max(a, b) : a; }
  TOM_LANE_OP Real div_where(Mask m, Real n, Real d, Real otherwise) { return m ? n / d : otherwise; }
  TOM_LANE_OP Real mul_where(Mask m, Real a, Real b) { return m ? a * b : Real{}; }
  // Volume positions are whole-number doubles, as in the AVX2 set.
  typedef Real Index;
  TOM_LANE_OP Index index_of(Real position) { return position; }
  TOM_LANE_OP Index index_splat(int i) { return splat(i); }
  TOM_LANE_OP Index index_add(Index a, Index b) { return a + b; }
  TOM_LANE_OP Index index_sub(Index a, Index b) { return a - b; }
  TOM_LANE_OP Index index_select(Mask m, Index yes, Index no) { return m ? yes : no; }
  // Lanes outside m are not read and come back +0.0.
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index position) {
    Real v{};
    for (int l = 0; l < kLanes; ++l)
      if (m[l]) v[l] = volume[static_cast<long>(position[l])];
    return v;
  }
  TOM_LANE_OP Real to_float_precision(Real a) {
    return __builtin_convertvector(__builtin_convertvector(a, Singles), Real);
  }
  TOM_LANE_OP void store_floats(float* out, Real a) {
    const Singles s = __builtin_convertvector(a, Singles);
    std::memcpy(out, &s, sizeof s);
  }
};
#include "tomproj/lane_tracer.inc"
#include "tomproj/lane_spans.inc"
}  // namespace portable

#if TOM_X86_KERNELS
// Four lanes in AVX2 registers; masks are lanes of all ones or zeros.
namespace avx2 {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
struct Ops {
  static constexpr int kLanes = 4;
  typedef __m256d Real;
  typedef __m256d Mask;
  TOM_LANE_OP Real splat(double x) { return _mm256_set1_pd(x); }
  TOM_LANE_OP Real load(const double* p) { return _mm256_load_pd(p); }
  TOM_LANE_OP void store(double* p, Real a) { _mm256_store_pd(p, a); }
  TOM_LANE_OP Real add(Real a, Real b) { return _mm256_add_pd(a, b); }
  TOM_LANE_OP Real sub(Real a, Real b) { return _mm256_sub_pd(a, b); }
  TOM_LANE_OP Real mul(Real a, Real b) { return _mm256_mul_pd(a, b); }
  TOM_LANE_OP Real min(Real a, Real b) { return _mm256_min_pd(a, b); }
  TOM_LANE_OP Real max(Real a, Real b) { return _mm256_max_pd(a, b); }
  TOM_LANE_OP Real floor(Real a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
  // c - a*b for whole numbers, where the fused and the separate forms agree.
  TOM_LANE_OP Real fnmadd(Real a, Real b, Real c) { return _mm256_fnmadd_pd(a, b, c); }
  TOM_LANE_OP Mask lt(Real a, Real b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  TOM_LANE_OP Mask gt(Real a, Real b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  TOM_LANE_OP Mask ge(Real a, Real b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
  TOM_LANE_OP Mask eq(Real a, Real b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  TOM_LANE_OP Mask ne(Real a, Real b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
  TOM_LANE_OP Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
  TOM_LANE_OP Mask either(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  TOM_LANE_OP Mask but_not(Mask a, Mask b) { return _mm256_andnot_pd(b, a); }
  TOM_LANE_OP bool any(Mask m) { return _mm256_movemask_pd(m) != 0; }
  TOM_LANE_OP int bits(Mask m) { return _mm256_movemask_pd(m); }
  TOM_LANE_OP Mask mask_of(unsigned bits) {
    const __m256i lane = _mm256_setr_epi64x(1, 2, 4, 8);
    const __m256i set = _mm256_and_si256(_mm256_set1_epi64x(bits), lane);
    return _mm256_castsi256_pd(_mm256_cmpeq_epi64(set, lane));
  }
  TOM_LANE_OP Real select(Mask m, Real yes, Real no) { return _mm256_blendv_pd(no, yes, m); }
  TOM_LANE_OP Real zero_unless(Mask m, Real a) { return _mm256_and_pd(m, a); }
  TOM_LANE_OP Real max_where(Mask m, Real a, Real b) { return select(m, _mm256_max_pd(a, b), a); }
  TOM_LANE_OP Real div_where(Mask m, Real n, Real d, Real otherwise) {
    return select(m, _mm256_div_pd(n, d), otherwise);
  }
  TOM_LANE_OP Real mul_where(Mask m, Real a, Real b) { return _mm256_and_pd(m, _mm256_mul_pd(a, b)); }
  // Volume positions stay whole-number doubles in this set; every index
  // operation is the exact double one.
  typedef __m256d Index;
  TOM_LANE_OP Index index_of(Real position) { return position; }
  TOM_LANE_OP Index index_splat(int i) { return splat(i); }
  TOM_LANE_OP Index index_add(Index a, Index b) { return add(a, b); }
  TOM_LANE_OP Index index_sub(Index a, Index b) { return sub(a, b); }
  TOM_LANE_OP Index index_select(Mask m, Index yes, Index no) { return select(m, yes, no); }
  // The float32 Volume samples at the positions of the lanes of m, widened;
  // other lanes read position 0 and are unspecified.
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index position) {
    const __m128i i = _mm256_cvttpd_epi32(_mm256_and_pd(m, position));
    return _mm256_cvtps_pd(_mm_i32gather_ps(volume, i, 4));
  }
  TOM_LANE_OP Real to_float_precision(Real a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
  TOM_LANE_OP void store_floats(float* out, Real a) { _mm_storeu_ps(out, _mm256_cvtpd_ps(a)); }
};
#include "tomproj/lane_tracer.inc"
#include "tomproj/lane_spans.inc"
#pragma GCC pop_options
}  // namespace avx2

// Eight lanes in AVX-512 registers; masks are mask registers.
namespace avx512 {
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
struct Ops {
  static constexpr int kLanes = 8;
  typedef __m512d Real;
  typedef __mmask8 Mask;
  TOM_LANE_OP Real splat(double x) { return _mm512_set1_pd(x); }
  TOM_LANE_OP Real load(const double* p) { return _mm512_load_pd(p); }
  TOM_LANE_OP void store(double* p, Real a) { _mm512_store_pd(p, a); }
  TOM_LANE_OP Real add(Real a, Real b) { return _mm512_add_pd(a, b); }
  TOM_LANE_OP Real sub(Real a, Real b) { return _mm512_sub_pd(a, b); }
  TOM_LANE_OP Real mul(Real a, Real b) { return _mm512_mul_pd(a, b); }
  TOM_LANE_OP Real min(Real a, Real b) { return _mm512_min_pd(a, b); }
  TOM_LANE_OP Real max(Real a, Real b) { return _mm512_max_pd(a, b); }
  TOM_LANE_OP Real floor(Real a) {
    return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  }
  TOM_LANE_OP Real fnmadd(Real a, Real b, Real c) { return _mm512_fnmadd_pd(a, b, c); }
  TOM_LANE_OP Mask lt(Real a, Real b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  TOM_LANE_OP Mask gt(Real a, Real b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  TOM_LANE_OP Mask ge(Real a, Real b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
  TOM_LANE_OP Mask eq(Real a, Real b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  TOM_LANE_OP Mask ne(Real a, Real b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
  TOM_LANE_OP Mask both(Mask a, Mask b) { return a & b; }
  TOM_LANE_OP Mask either(Mask a, Mask b) { return a | b; }
  TOM_LANE_OP Mask but_not(Mask a, Mask b) { return a & ~b; }
  TOM_LANE_OP bool any(Mask m) { return m != 0; }
  TOM_LANE_OP int bits(Mask m) { return m; }
  TOM_LANE_OP Mask mask_of(unsigned bits) { return static_cast<Mask>(bits); }
  TOM_LANE_OP Real select(Mask m, Real yes, Real no) { return _mm512_mask_blend_pd(m, no, yes); }
  TOM_LANE_OP Real zero_unless(Mask m, Real a) { return _mm512_maskz_mov_pd(m, a); }
  TOM_LANE_OP Real max_where(Mask m, Real a, Real b) { return _mm512_mask_max_pd(a, m, a, b); }
  TOM_LANE_OP Real div_where(Mask m, Real n, Real d, Real otherwise) {
    return _mm512_mask_div_pd(otherwise, m, n, d);
  }
  TOM_LANE_OP Real mul_where(Mask m, Real a, Real b) { return _mm512_maskz_mul_pd(m, a, b); }
  // Volume positions as 32-bit integers: their sums and selections take
  // half-width registers, which cost half as much as full ones.
  typedef __m256i Index;
  TOM_LANE_OP Index index_of(Real position) { return _mm512_cvttpd_epi32(position); }
  TOM_LANE_OP Index index_splat(int i) { return _mm256_set1_epi32(i); }
  TOM_LANE_OP Index index_add(Index a, Index b) { return _mm256_add_epi32(a, b); }
  TOM_LANE_OP Index index_sub(Index a, Index b) { return _mm256_sub_epi32(a, b); }
  TOM_LANE_OP Index index_select(Mask m, Index yes, Index no) { return _mm256_mask_blend_epi32(m, no, yes); }
  // Lanes outside m are not read and come back +0.0.
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index i) {
    return _mm512_cvtps_pd(_mm256_mmask_i32gather_ps(_mm256_setzero_ps(), m, i, volume, 4));
  }
  TOM_LANE_OP Real to_float_precision(Real a) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(a)); }
  TOM_LANE_OP void store_floats(float* out, Real a) { _mm256_storeu_ps(out, _mm512_cvtpd_ps(a)); }
};
#include "tomproj/lane_tracer.inc"
#include "tomproj/lane_spans.inc"
#pragma GCC pop_options
}  // namespace avx512
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

}  // namespace tomproj
