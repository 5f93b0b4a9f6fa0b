// The lane operations of the ray kernels: W values side by side, one ray
// per lane. Every operation is the same IEEE operation in each lane as on a
// lone double, so the width and the instruction set that carry them do not
// change a bit. One policy per instruction set, all of the same shape:
// PortableOps<W> in the compiler's generic vectors (which it maps onto SSE2,
// NEON, ... or plain registers for W = 1), Avx2Ops and Avx512Ops in the
// intrinsics of those sets. The projector's tracer is written over these
// operations; the reconstructor's walk uses their rounding and the generic
// operators of the same vector types. Processor detection and the choice of
// a kernel are core/kernel_dispatch.h.
#pragma once

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TOM_X86_KERNELS 1
#endif

// (Lane values pass only between inlined functions, so the warning that a
// vector argument's passing differs between instruction sets does not apply.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lanes {

template <int W>
struct Lanes {
  typedef double Real __attribute__((vector_size(8 * W)));
  // The result of comparing Reals: all ones or zero per lane.
  typedef long long Mask __attribute__((vector_size(8 * W)));
  typedef int Index __attribute__((vector_size(4 * W)));
  typedef unsigned Position __attribute__((vector_size(4 * W)));
  typedef float Single __attribute__((vector_size(4 * W)));
  // Reals in memory that need not be aligned to the vector size.
  typedef double RealUnaligned __attribute__((vector_size(8 * W), aligned(8)));
};

#define TOM_LANE_OP static inline __attribute__((always_inline))

// W lanes in the compiler's generic vectors, for every processor. Masks are
// lanes of all ones or zeros, as in the AVX2 set.
template <int W>
struct PortableOps {
  static constexpr int kLanes = W;
  typedef typename Lanes<W>::Real Real;
  typedef typename Lanes<W>::Mask Mask;
  typedef typename Lanes<W>::Single Singles;
  TOM_LANE_OP Real splat(double x) {
    Real a;
    for (int l = 0; l < W; ++l) a[l] = x;
    return a;
  }
  TOM_LANE_OP Real load(const double* p) {
    Real a;
    std::memcpy(&a, p, sizeof a);
    return a;
  }
  TOM_LANE_OP void store(double* p, Real a) { std::memcpy(p, &a, sizeof a); }
  // The same where p need not be aligned to the vector size.
  TOM_LANE_OP Real load_unaligned(const double* p) { return load(p); }
  TOM_LANE_OP void store_unaligned(double* p, Real a) { store(p, a); }
  TOM_LANE_OP Real add(Real a, Real b) { return a + b; }
  TOM_LANE_OP Real sub(Real a, Real b) { return a - b; }
  TOM_LANE_OP Real mul(Real a, Real b) { return a * b; }
  // The second operand where either is NaN, as the x86 instructions do.
  TOM_LANE_OP Real min(Real a, Real b) { return a < b ? a : b; }
  TOM_LANE_OP Real max(Real a, Real b) { return a > b ? a : b; }
  // Exact for |b| < 2^51: the nearest integer (adding and taking away
  // 1.5 * 2^52 rounds to an integer exactly) less one where that lies above
  // b. It gives +0.0 where floor gives -0.0, which no caller can tell apart:
  // the floors are compared, subtracted from and scaled into positions,
  // where the sign of a zero does not show. Larger values come back within
  // a few units of themselves; the only caller that can meet them, the span
  // search, clamps them to the counts.
  TOM_LANE_OP Real floor(Real b) {
    const double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
    const Real nearest = (b + kRoundingShift) - kRoundingShift;
    return (nearest > b) ? nearest - 1.0 : nearest;
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
    for (int l = 0; l < W; ++l) b |= (m[l] != 0) << l;
    return b;
  }
  TOM_LANE_OP bool any(Mask m) { return bits(m) != 0; }
  // Whether the reconstructor's walk orders its three distances by products
  // and divides only the shortest: where a division costs much more than a
  // product (on the processors measured, it does not with AVX2).
  static constexpr bool kQuotientsByProducts = true;
  // Whether any lane of a mask in the compiler's generic vectors is set (the
  // reconstructor's walk keeps its masks so).
  TOM_LANE_OP bool any_lane(typename Lanes<W>::Mask m) { return any(m); }
  // yes where a mask in the generic vectors is set, no elsewhere.
  TOM_LANE_OP Real pick(typename Lanes<W>::Mask m, Real yes, Real no) { return m ? yes : no; }
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
  // The positions as ints, to W ints at out.
  TOM_LANE_OP void store_indices(int* out, Index i) {
    for (int l = 0; l < W; ++l) out[l] = static_cast<int>(i[l]);
  }
  // Lanes outside m are not read and come back +0.0.
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index position) {
    Real v{};
    for (int l = 0; l < W; ++l)
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

#if TOM_X86_KERNELS
// Four lanes in AVX2 registers; masks are lanes of all ones or zeros.
#pragma GCC push_options
#pragma GCC target("avx2,fma")
struct Avx2Ops {
  static constexpr int kLanes = 4;
  typedef __m256d Real;
  typedef __m256d Mask;
  TOM_LANE_OP Real splat(double x) { return _mm256_set1_pd(x); }
  TOM_LANE_OP Real load(const double* p) { return _mm256_load_pd(p); }
  TOM_LANE_OP void store(double* p, Real a) { _mm256_store_pd(p, a); }
  TOM_LANE_OP Real load_unaligned(const double* p) { return _mm256_loadu_pd(p); }
  TOM_LANE_OP void store_unaligned(double* p, Real a) { _mm256_storeu_pd(p, a); }
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
  static constexpr bool kQuotientsByProducts = false;
  TOM_LANE_OP bool any_lane(Lanes<4>::Mask m) { return _mm256_movemask_pd((__m256d)m) != 0; }
  TOM_LANE_OP Lanes<4>::Real pick(Lanes<4>::Mask m, Lanes<4>::Real yes, Lanes<4>::Real no) {
    return (Lanes<4>::Real)_mm256_blendv_pd((__m256d)no, (__m256d)yes, (__m256d)m);
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
  TOM_LANE_OP void store_indices(int* out, Index i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_cvttpd_epi32(i));
  }
  // The float32 Volume samples at the positions of the lanes of m, widened;
  // other lanes read position 0 and are unspecified. (Four loads: on the
  // AVX2 processor measured, AMD Zen 3, the gather instruction takes longer.)
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index position) {
    alignas(16) int at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), _mm256_cvttpd_epi32(_mm256_and_pd(m, position)));
    const __m128 a = _mm_load_ss(volume + at[0]), b = _mm_load_ss(volume + at[1]);
    const __m128 c = _mm_load_ss(volume + at[2]), d = _mm_load_ss(volume + at[3]);
    return _mm256_cvtps_pd(_mm_movelh_ps(_mm_unpacklo_ps(a, b), _mm_unpacklo_ps(c, d)));
  }
  TOM_LANE_OP Real to_float_precision(Real a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
  TOM_LANE_OP void store_floats(float* out, Real a) { _mm_storeu_ps(out, _mm256_cvtpd_ps(a)); }
};
#pragma GCC pop_options

// Eight lanes in AVX-512 registers; masks are mask registers.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512dq,avx2,fma")
struct Avx512Ops {
  static constexpr int kLanes = 8;
  typedef __m512d Real;
  typedef __mmask8 Mask;
  TOM_LANE_OP Real splat(double x) { return _mm512_set1_pd(x); }
  TOM_LANE_OP Real load(const double* p) { return _mm512_load_pd(p); }
  TOM_LANE_OP void store(double* p, Real a) { _mm512_store_pd(p, a); }
  TOM_LANE_OP Real load_unaligned(const double* p) { return _mm512_loadu_pd(p); }
  TOM_LANE_OP void store_unaligned(double* p, Real a) { _mm512_storeu_pd(p, a); }
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
  static constexpr bool kQuotientsByProducts = true;
  TOM_LANE_OP bool any_lane(Lanes<8>::Mask m) { return _mm512_movepi64_mask((__m512i)m) != 0; }
  TOM_LANE_OP Lanes<8>::Real pick(Lanes<8>::Mask m, Lanes<8>::Real yes, Lanes<8>::Real no) {
    return (Lanes<8>::Real)_mm512_mask_blend_pd(_mm512_movepi64_mask((__m512i)m), (__m512d)no, (__m512d)yes);
  }
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
  TOM_LANE_OP void store_indices(int* out, Index i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), i);
  }
  // Lanes outside m are not read and come back +0.0.
  TOM_LANE_OP Real gather_at(Mask m, const float* volume, Index i) {
    return _mm512_cvtps_pd(_mm256_mmask_i32gather_ps(_mm256_setzero_ps(), m, i, volume, 4));
  }
  TOM_LANE_OP Real to_float_precision(Real a) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(a)); }
  TOM_LANE_OP void store_floats(float* out, Real a) { _mm256_storeu_ps(out, _mm512_cvtpd_ps(a)); }
};
#pragma GCC pop_options
#endif

}  // namespace lanes

#pragma GCC diagnostic pop
