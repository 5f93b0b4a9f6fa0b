#include "recon/shifted_fft.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TOMREC_FFT_X86 1
#endif

#include "core/failure.h"
#include "core/kernel_dispatch.h"
#include "core/scan_geometry.h"

namespace tomrec {
namespace fft {
namespace {

constexpr int kMaxLog2 = 24;
static_assert(kMaxFftLength == 1 << kMaxLog2, "table of plans covers every accepted length");

int log2_of(int n) {
  int k = 0;
  while ((1 << k) < n) ++k;
  return k;
}

void require_sign(int sign) {
  if (sign != 1 && sign != -1) {
    tomio::fail_run("FFT sign " + std::to_string(sign) +
                    " is neither +1 (forward) nor -1 (inverse)");
  }
}

// The index table of stage s, built as the butterfly network defines it: all
// zeros, then for t = 0 ... s-1 the block [base, 2*base) from the block below
// it. It ends as idx[j] = span * rev_s(j / span).
void build_index_table(int n, int s, std::vector<int>& idx) {
  const int span = n / (1 << s);
  std::fill(idx.begin(), idx.end(), 0);
  for (int t = 0; t <= s - 1; ++t) {
    const int base = span * (1 << t);
    for (int j = base; j <= 2 * base - 1; ++j) idx[j] = n / (1 << (t + 1)) + idx[j - base];
  }
}

std::unique_ptr<FftPlan> build_plan(int n) {
  auto plan = std::make_unique<FftPlan>();
  plan->n = n;
  // The stage count is the truncated quotient of two natural logarithms; for
  // every accepted length it equals log2(n) (checked below).
  plan->stages = static_cast<int>(std::log(static_cast<double>(n)) / std::log(2.0));
  if (plan->stages != log2_of(n)) {
    tomio::fail_run("FFT of length " + std::to_string(n) + ": stage count " +
                    std::to_string(plan->stages) + " is not log2 of the length");
  }
  std::vector<int> idx(static_cast<std::size_t>(n));
  for (int s = 1; s <= plan->stages; ++s) {
    build_index_table(n, s, idx);
    const int span = n / (1 << s);
    const int groups = 1 << (s - 1);
    plan->group_offset.push_back(static_cast<int>(plan->exponent.size()));
    for (int g = 0; g < groups; ++g) {
      const int top = 2 * span * g;
      const int e = idx[top];
      for (int k = top; k < top + span; ++k) {
        if (idx[k] != e) tomio::fail_run("FFT index table is not constant over a butterfly group");
      }
      // The product first, then the division by n, as every twiddle is defined.
      const double theta = e * scan::kTwoPi / n;
      const double sine = std::sin(theta);
      plan->exponent.push_back(e);
      plan->cos_table.push_back(std::cos(theta));
      plan->sin_table[0].push_back(1 * sine);
      plan->sin_table[1].push_back(-1 * sine);
    }
  }
  plan->last_index_table = idx;

  // The reorder: butterfly output j goes to position idx[j] (for a repeated
  // position the larger j would win; a power of two repeats none), then the
  // two halves are exchanged, then each odd position i < n/2 is exchanged with
  // n - i and both imaginary parts negated.
  std::vector<int> at(static_cast<std::size_t>(n), -1);
  for (int j = 0; j < n; ++j) at[idx[j]] = j;
  const int h = n / 2;
  plan->source.resize(static_cast<std::size_t>(n));
  plan->negate_im.assign(static_cast<std::size_t>(n), 0u);
  for (int p = 0; p < n; ++p) plan->source[p] = at[(p + h) % n];
  for (int i = 1; i < h; i += 2) {
    std::swap(plan->source[i], plan->source[n - i]);
    plan->negate_im[i] ^= 0x80000000u;
    plan->negate_im[n - i] ^= 0x80000000u;
  }
  for (int p = 0; p < n; ++p) {
    if (plan->source[p] < 0) tomio::fail_run("FFT reorder leaves a position unfilled");
  }
  return plan;
}

// ---------------------------------------------------------------------------
// Butterflies over a batch of L sequences, element i of lane l at i*L + l.
// Per lane exactly: a = yr*c + yi*d and b = yi*c - yr*d in double, then the
// bottom gets x - (a, b) and the top x + (a, b), each rounded to float32.

// Calls group(top, span, c, d) for every butterfly group of every stage in
// order: the pairs (k, k + span) for k = top ... top + span - 1 share the
// twiddle factor (c, d).
template <typename Group>
void for_each_group(const FftPlan& plan, int sign, Group&& group) {
  const double* sin_table = plan.sin_table[sign == 1 ? 0 : 1].data();
  for (int s = 1; s <= plan.stages; ++s) {
    const int span = plan.n >> s;
    const int groups = 1 << (s - 1);
    const int offset = plan.group_offset[s - 1];
    for (int g = 0; g < groups; ++g) {
      group(2 * span * g, span, plan.cos_table[offset + g], sin_table[offset + g]);
    }
  }
}

template <int L>
void butterflies_portable(const FftPlan& plan, float* re, float* im, int sign) {
  for_each_group(plan, sign, [re, im](int top, int span, double c, double d) {
    for (int k = top; k < top + span; ++k) {
      float* tr = re + static_cast<std::size_t>(k) * L;
      float* ti = im + static_cast<std::size_t>(k) * L;
      float* br = re + static_cast<std::size_t>(k + span) * L;
      float* bi = im + static_cast<std::size_t>(k + span) * L;
      for (int l = 0; l < L; ++l) {
        const double yr = br[l];
        const double yi = bi[l];
        const double a = yr * c + yi * d;
        const double b = yi * c - yr * d;
        const double xr = tr[l];
        const double xi = ti[l];
        br[l] = static_cast<float>(xr - a);
        bi[l] = static_cast<float>(xi - b);
        tr[l] = static_cast<float>(xr + a);
        ti[l] = static_cast<float>(xi + b);
      }
    }
  });
}

#ifdef TOMREC_FFT_X86

// Four lanes of one butterfly in double; the same operations as the portable
// kernel, lane for lane (no fused multiply-add: the target enables AVX2 only).
__attribute__((target("avx2"))) inline void butterfly4(float* tr, float* ti, float* br, float* bi,
                                                       __m256d c, __m256d d) {
  const __m256d yr = _mm256_cvtps_pd(_mm_loadu_ps(br));
  const __m256d yi = _mm256_cvtps_pd(_mm_loadu_ps(bi));
  const __m256d xr = _mm256_cvtps_pd(_mm_loadu_ps(tr));
  const __m256d xi = _mm256_cvtps_pd(_mm_loadu_ps(ti));
  const __m256d a = _mm256_add_pd(_mm256_mul_pd(yr, c), _mm256_mul_pd(yi, d));
  const __m256d b = _mm256_sub_pd(_mm256_mul_pd(yi, c), _mm256_mul_pd(yr, d));
  _mm_storeu_ps(br, _mm256_cvtpd_ps(_mm256_sub_pd(xr, a)));
  _mm_storeu_ps(bi, _mm256_cvtpd_ps(_mm256_sub_pd(xi, b)));
  _mm_storeu_ps(tr, _mm256_cvtpd_ps(_mm256_add_pd(xr, a)));
  _mm_storeu_ps(ti, _mm256_cvtpd_ps(_mm256_add_pd(xi, b)));
}

// One butterfly group over a batch of 8 lanes.
__attribute__((target("avx2"))) void group_avx2(float* re, float* im, int top, int span, double cs,
                                                double ds) {
  const __m256d c = _mm256_set1_pd(cs);
  const __m256d d = _mm256_set1_pd(ds);
  for (int k = top; k < top + span; ++k) {
    float* tr = re + static_cast<std::size_t>(k) * 8;
    float* ti = im + static_cast<std::size_t>(k) * 8;
    float* br = re + static_cast<std::size_t>(k + span) * 8;
    float* bi = im + static_cast<std::size_t>(k + span) * 8;
    butterfly4(tr, ti, br, bi, c, d);
    butterfly4(tr + 4, ti + 4, br + 4, bi + 4, c, d);
  }
}

void butterflies_avx2(const FftPlan& plan, float* re, float* im, int sign) {
  static_assert(kLanes == 8, "the vector kernel handles batches of 8 lanes");
  for_each_group(plan, sign, [re, im](int top, int span, double c, double d) {
    group_avx2(re, im, top, span, c, d);
  });
}

// Transposes the 8x8 block held in v[0..7] (row q, element l -> row l, element q).
__attribute__((target("avx2"))) inline void transpose8(__m256 v[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);
  const __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);
  const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
  const __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
  const __m256 t4 = _mm256_unpacklo_ps(v[4], v[5]);
  const __m256 t5 = _mm256_unpackhi_ps(v[4], v[5]);
  const __m256 t6 = _mm256_unpacklo_ps(v[6], v[7]);
  const __m256 t7 = _mm256_unpackhi_ps(v[6], v[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  v[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  v[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  v[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  v[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  v[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  v[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  v[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  v[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Eight whole rows r0 ... r0+7 (W >= 16) into the batch: lane l = row r0+l,
// the real parts half-swapped.
__attribute__((target("avx2"))) void load_rows_avx2(const float* in_re, const float* in_im, int W,
                                                    int r0, float* re, float* im) {
  const int h = W / 2;
  const std::size_t stride = static_cast<std::size_t>(W);
  const float* rows_re = in_re + static_cast<std::size_t>(r0) * stride;
  const float* rows_im = in_im ? in_im + static_cast<std::size_t>(r0) * stride : nullptr;
  __m256 v[8];
  for (int i0 = 0; i0 < W; i0 += 8) {
    const int from = (i0 + h) % W;
    for (int l = 0; l < 8; ++l) v[l] = _mm256_loadu_ps(rows_re + l * stride + from);
    transpose8(v);
    for (int q = 0; q < 8; ++q) _mm256_storeu_ps(re + static_cast<std::size_t>(i0 + q) * 8, v[q]);
    if (rows_im) {
      for (int l = 0; l < 8; ++l) v[l] = _mm256_loadu_ps(rows_im + l * stride + i0);
      transpose8(v);
      for (int q = 0; q < 8; ++q) _mm256_storeu_ps(im + static_cast<std::size_t>(i0 + q) * 8, v[q]);
    } else {
      for (int q = 0; q < 8; ++q)
        _mm256_storeu_ps(im + static_cast<std::size_t>(i0 + q) * 8, _mm256_setzero_ps());
    }
  }
}

// The batch back into eight whole rows, through the reorder and the scale.
__attribute__((target("avx2"))) void store_rows_avx2(const FftPlan& plan, const float* re,
                                                     const float* im, float scale, float* out_re,
                                                     float* out_im, int W, int r0) {
  const std::size_t stride = static_cast<std::size_t>(W);
  float* rows_re = out_re + static_cast<std::size_t>(r0) * stride;
  float* rows_im = out_im + static_cast<std::size_t>(r0) * stride;
  const __m256 s = _mm256_set1_ps(scale);
  const int* source = plan.source.data();
  const std::uint32_t* negate = plan.negate_im.data();
  __m256 v[8];
  for (int p0 = 0; p0 < W; p0 += 8) {
    for (int q = 0; q < 8; ++q) {
      v[q] = _mm256_mul_ps(_mm256_loadu_ps(re + static_cast<std::size_t>(source[p0 + q]) * 8), s);
    }
    transpose8(v);
    for (int l = 0; l < 8; ++l) _mm256_storeu_ps(rows_re + l * stride + p0, v[l]);
    for (int q = 0; q < 8; ++q) {
      const __m256 x = _mm256_loadu_ps(im + static_cast<std::size_t>(source[p0 + q]) * 8);
      const __m256 m = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(negate[p0 + q])));
      v[q] = _mm256_mul_ps(_mm256_xor_ps(x, m), s);
    }
    transpose8(v);
    for (int l = 0; l < 8; ++l) _mm256_storeu_ps(rows_im + l * stride + p0, v[l]);
  }
}

// Eight whole columns c0 ... c0+7 into the batch, the real parts half-swapped.
__attribute__((target("avx2"))) void load_columns_avx2(const float* in_re, const float* in_im,
                                                       int W, int H, int c0, float* re, float* im) {
  const int h = H / 2;
  const std::size_t stride = static_cast<std::size_t>(W);
  for (int i = 0; i < H; ++i) {
    const std::size_t from = static_cast<std::size_t>((i + h) % H) * stride + c0;
    _mm256_storeu_ps(re + static_cast<std::size_t>(i) * 8, _mm256_loadu_ps(in_re + from));
    const __m256 x = in_im ? _mm256_loadu_ps(in_im + static_cast<std::size_t>(i) * stride + c0)
                           : _mm256_setzero_ps();
    _mm256_storeu_ps(im + static_cast<std::size_t>(i) * 8, x);
  }
}

__attribute__((target("avx2"))) void store_columns_avx2(const FftPlan& plan, const float* re,
                                                        const float* im, float scale,
                                                        const float* weight, float* out_re,
                                                        float* out_im, int W, int H, int c0) {
  const std::size_t stride = static_cast<std::size_t>(W);
  const __m256 s = _mm256_set1_ps(scale);
  for (int p = 0; p < H; ++p) {
    const std::size_t from = static_cast<std::size_t>(plan.source[p]) * 8;
    const std::size_t to = static_cast<std::size_t>(p) * stride + c0;
    __m256 xr = _mm256_mul_ps(_mm256_loadu_ps(re + from), s);
    if (weight) xr = _mm256_mul_ps(xr, _mm256_loadu_ps(weight + to));
    _mm256_storeu_ps(out_re + to, xr);
    if (out_im) {
      const __m256 m = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(plan.negate_im[p])));
      __m256 xi = _mm256_mul_ps(_mm256_xor_ps(_mm256_loadu_ps(im + from), m), s);
      if (weight) xi = _mm256_mul_ps(xi, _mm256_loadu_ps(weight + to));
      _mm256_storeu_ps(out_im + to, xi);
    }
  }
}

// The AVX2 form runs under the process's AVX2 and AVX-512 kernels.
bool detect_vector_kernel() {
  const kernels::Kernel k = kernels::process_kernel();
  return k == kernels::Kernel::avx2 || k == kernels::Kernel::avx512;
}

#else

bool detect_vector_kernel() { return false; }

#endif

std::atomic<bool>& vector_kernel_flag() {
  static std::atomic<bool> flag{detect_vector_kernel()};
  return flag;
}

bool vector_kernel_on() { return vector_kernel_flag().load(std::memory_order_relaxed); }

void butterflies(const FftPlan& plan, float* re, float* im, int sign) {
#ifdef TOMREC_FFT_X86
  if (vector_kernel_on()) {
    butterflies_avx2(plan, re, im, sign);
    return;
  }
#endif
  butterflies_portable<kLanes>(plan, re, im, sign);
}

// The divisor D of the inverse, applied as a multiplication by the exact
// reciprocal of the power of two: the same correctly rounded quotient.
float inverse_scale(const FftPlan& plan, int sign) {
  return sign == -1 ? 1.0f / static_cast<float>(plan.n) : 1.0f;
}

float negated_if(float x, std::uint32_t mask) {
  std::uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  bits ^= mask;
  std::memcpy(&x, &bits, sizeof bits);
  return x;
}

// Lanes [0, lanes) of the batch from rows r0 ..., the rest zero.
void load_rows_portable(const float* in_re, const float* in_im, int W, int r0, int lanes, float* re,
                        float* im) {
  const int h = W / 2;
  for (int i = 0; i < W; ++i) {
    for (int l = 0; l < kLanes; ++l) {
      const std::size_t b = static_cast<std::size_t>(i) * kLanes + l;
      if (l < lanes) {
        const std::size_t row = static_cast<std::size_t>(r0 + l) * W;
        re[b] = in_re[row + (i + h) % W];
        im[b] = in_im ? in_im[row + i] : 0.0f;
      } else {
        re[b] = 0.0f;
        im[b] = 0.0f;
      }
    }
  }
}

void store_rows_portable(const FftPlan& plan, const float* re, const float* im, float scale,
                         float* out_re, float* out_im, int W, int r0, int lanes) {
  for (int l = 0; l < lanes; ++l) {
    const std::size_t row = static_cast<std::size_t>(r0 + l) * W;
    for (int p = 0; p < W; ++p) {
      const std::size_t from = static_cast<std::size_t>(plan.source[p]) * kLanes + l;
      out_re[row + p] = re[from] * scale;
      out_im[row + p] = negated_if(im[from], plan.negate_im[p]) * scale;
    }
  }
}

void load_columns_portable(const float* in_re, const float* in_im, int W, int H, int c0, int lanes,
                           float* re, float* im) {
  const int h = H / 2;
  for (int i = 0; i < H; ++i) {
    const std::size_t from_re = static_cast<std::size_t>((i + h) % H) * W + c0;
    const std::size_t from_im = static_cast<std::size_t>(i) * W + c0;
    for (int l = 0; l < kLanes; ++l) {
      const std::size_t b = static_cast<std::size_t>(i) * kLanes + l;
      re[b] = l < lanes ? in_re[from_re + l] : 0.0f;
      im[b] = l < lanes && in_im ? in_im[from_im + l] : 0.0f;
    }
  }
}

void store_columns_portable(const FftPlan& plan, const float* re, const float* im, float scale,
                            const float* weight, float* out_re, float* out_im, int W, int H, int c0,
                            int lanes) {
  for (int p = 0; p < H; ++p) {
    const std::size_t from = static_cast<std::size_t>(plan.source[p]) * kLanes;
    const std::size_t to = static_cast<std::size_t>(p) * W + c0;
    for (int l = 0; l < lanes; ++l) {
      float xr = re[from + l] * scale;
      if (weight) xr = xr * weight[to + l];
      out_re[to + l] = xr;
      if (out_im) {
        float xi = negated_if(im[from + l], plan.negate_im[p]) * scale;
        if (weight) xi = xi * weight[to + l];
        out_im[to + l] = xi;
      }
    }
  }
}

// The batch storage and the scale of one pass over sequences of length n.
struct Batch {
  float* re;
  float* im;
  float scale;
};

Batch start_pass(const FftPlan& plan, int n, int sign, const char* what, Workspace& ws) {
  if (plan.n != n) {
    tomio::fail_run(std::string("FFT ") + what + " pass: plan of length " + std::to_string(plan.n) +
                    " for sequences of length " + std::to_string(n));
  }
  require_sign(sign);
  reserve(ws, n);
  return Batch{ws.re.data(), ws.im.data(), inverse_scale(plan, sign)};
}

}  // namespace

void reserve(Workspace& ws, int n) {
  const std::size_t size = static_cast<std::size_t>(n) * kLanes;
  if (ws.re.size() < size) {
    ws.re.resize(size);
    ws.im.resize(size);
  }
}

bool vector_kernel_available() { return detect_vector_kernel(); }

void use_vector_kernel(bool on) { vector_kernel_flag().store(on && detect_vector_kernel()); }

const FftPlan& plan_for(int n) {
  if (!is_fft_length(n)) {
    tomio::fail_run("FFT length " + std::to_string(n) + " is not a power of two from 2 to " +
                    std::to_string(kMaxFftLength));
  }
  static std::array<std::once_flag, kMaxLog2 + 1> once;
  static std::array<std::unique_ptr<FftPlan>, kMaxLog2 + 1> plans;
  const int k = log2_of(n);
  std::call_once(once[k], [n, k] { plans[k] = build_plan(n); });
  return *plans[k];
}

void row_pass(const FftPlan& row, const float* in_re, const float* in_im, float* out_re,
              float* out_im, int W, int H, int sign, Workspace& ws) {
  const Batch batch = start_pass(row, W, sign, "row", ws);
  float* re = batch.re;
  float* im = batch.im;
  const float scale = batch.scale;
  for (int r0 = 0; r0 < H; r0 += kLanes) {
    const int lanes = std::min(kLanes, H - r0);
#ifdef TOMREC_FFT_X86
    if (vector_kernel_on() && lanes == kLanes && W >= 16) {
      load_rows_avx2(in_re, in_im, W, r0, re, im);
      butterflies_avx2(row, re, im, sign);
      store_rows_avx2(row, re, im, scale, out_re, out_im, W, r0);
      continue;
    }
#endif
    load_rows_portable(in_re, in_im, W, r0, lanes, re, im);
    butterflies(row, re, im, sign);
    store_rows_portable(row, re, im, scale, out_re, out_im, W, r0, lanes);
  }
}

void column_pass(const FftPlan& column, const float* in_re, const float* in_im, float* out_re,
                 float* out_im, const float* weight, int W, int H, int sign, Workspace& ws) {
  const Batch batch = start_pass(column, H, sign, "column", ws);
  float* re = batch.re;
  float* im = batch.im;
  const float scale = batch.scale;
  for (int c0 = 0; c0 < W; c0 += kLanes) {
    const int lanes = std::min(kLanes, W - c0);
#ifdef TOMREC_FFT_X86
    if (vector_kernel_on() && lanes == kLanes) {
      load_columns_avx2(in_re, in_im, W, H, c0, re, im);
      butterflies_avx2(column, re, im, sign);
      store_columns_avx2(column, re, im, scale, weight, out_re, out_im, W, H, c0);
      continue;
    }
#endif
    load_columns_portable(in_re, in_im, W, H, c0, lanes, re, im);
    butterflies(column, re, im, sign);
    store_columns_portable(column, re, im, scale, weight, out_re, out_im, W, H, c0, lanes);
  }
}

}  // namespace fft

bool is_fft_length(int n) { return n >= 2 && n <= kMaxFftLength && (n & (n - 1)) == 0; }

void shifted_fft_1d(float* re, float* im, int n, int sign) {
  const fft::FftPlan& plan = fft::plan_for(n);
  fft::require_sign(sign);
  thread_local std::vector<float> work_re, work_im;
  work_re.resize(static_cast<std::size_t>(n));
  work_im.resize(static_cast<std::size_t>(n));
  const int h = n / 2;
  for (int i = 0; i < n; ++i) {
    work_re[i] = re[(i + h) % n];
    work_im[i] = im[i];
  }
  fft::butterflies_portable<1>(plan, work_re.data(), work_im.data(), sign);
  const float scale = fft::inverse_scale(plan, sign);
  for (int p = 0; p < n; ++p) {
    re[p] = work_re[plan.source[p]] * scale;
    im[p] = fft::negated_if(work_im[plan.source[p]], plan.negate_im[p]) * scale;
  }
}

void shifted_fft_2d(float* re, float* im, int W, int H, int sign) {
  const fft::FftPlan& row = fft::plan_for(W);
  const fft::FftPlan& column = fft::plan_for(H);
  fft::require_sign(sign);
  thread_local fft::Workspace ws;
  fft::row_pass(row, re, im, re, im, W, H, sign, ws);
  fft::column_pass(column, re, im, re, im, nullptr, W, H, sign, ws);
}

}  // namespace tomrec
