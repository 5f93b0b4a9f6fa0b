#include "tests/oracle/fft_oracle.h"

#include <cmath>
#include <cstdlib>

namespace oracle {

namespace {

// The steps of one transform. When trace is given, records the tables and
// butterflies of every stage.
void transform(float* re, float* im, int n, int sign, FftTrace* trace) {
  int D = 1;
  if (sign == -1) D = n;

  int* idx = static_cast<int*>(std::malloc(sizeof(int) * n));
  float* OR = static_cast<float*>(std::malloc(sizeof(float) * n));
  float* OI = static_cast<float*>(std::malloc(sizeof(float) * n));
  for (int i = 0; i < n; i++) {
    OR[i] = 0;
    OI[i] = 0;
  }

  const int h = n / 2;
  for (int i = 0; i < h; i++) {
    float t = re[i];
    re[i] = re[h + i];
    re[h + i] = t;
  }

  const int S = static_cast<int>(std::log(static_cast<double>(n)) / std::log(2.0));
  if (trace) trace->stages = S;
  for (int s = 1; s <= S; s++) {
    const int span = n / (1 << s);
    const int G = 1 << (s - 1);
    for (int j = 0; j < n; j++) idx[j] = 0;
    for (int t = 0; t <= s - 1; t++) {
      const int base = span * (1 << t);
      for (int j = base; j <= 2 * base - 1; j++) idx[j] = n / (1 << (t + 1)) + idx[j - base];
    }
    if (trace) {
      trace->index_tables.emplace_back(idx, idx + n);
      trace->butterflies.emplace_back();
    }
    for (int g = 0; g < G; g++) {
      for (int k = 2 * span * g; k <= 2 * span * g + span - 1; k++) {
        double theta = idx[k] * 6.28318530717958 / n;
        double c = std::cos(theta);
        double d = sign * std::sin(theta);
        double a = re[k + span] * c + im[k + span] * d;
        double b = im[k + span] * c - re[k + span] * d;
        re[k + span] = static_cast<float>(re[k] - a);
        im[k + span] = static_cast<float>(im[k] - b);
        re[k] = static_cast<float>(re[k] + a);
        im[k] = static_cast<float>(im[k] + b);
        if (trace) trace->butterflies.back().push_back({k, k + span, idx[k]});
      }
    }
  }

  for (int i = 0; i < n; i++) {
    re[i] = re[i] / D;
    im[i] = im[i] / D;
  }

  // Entry j goes to position idx[j]; for a repeated position the larger j wins.
  for (int j = 0; j < n; j++) {
    OR[idx[j]] = re[j];
    OI[idx[j]] = im[j];
  }

  for (int i = 0; i < h; i++) {
    float t = OR[i];
    OR[i] = OR[h + i];
    OR[h + i] = t;
    t = OI[i];
    OI[i] = OI[h + i];
    OI[h + i] = t;
  }

  for (int i = 1; i < h; i += 2) {
    float t = OR[i];
    OR[i] = OR[n - i];
    OR[n - i] = t;
    t = OI[i];
    OI[i] = -OI[n - i];
    OI[n - i] = -t;
  }

  for (int i = 0; i < n; i++) {
    re[i] = OR[i];
    im[i] = OI[i];
  }
  std::free(idx);
  std::free(OR);
  std::free(OI);
}

}  // namespace

void shifted_fft_1d(float* re, float* im, int n, int sign) { transform(re, im, n, sign, nullptr); }

void shifted_fft_2d(float* re, float* im, int W, int H, int sign) {
  float* sr = static_cast<float*>(std::malloc(sizeof(float) * W));
  float* si = static_cast<float*>(std::malloc(sizeof(float) * W));
  for (int i = 0; i < W; i++) {
    sr[i] = 0;
    si[i] = 0;
  }
  for (int r = 0; r < H; r++) {
    for (int c = 0; c < W; c++) {
      sr[c] = re[r * W + c];
      si[c] = im[r * W + c];
    }
    shifted_fft_1d(sr, si, W, sign);
    for (int c = 0; c < W; c++) {
      re[r * W + c] = sr[c];
      im[r * W + c] = si[c];
    }
  }
  for (int i = 0; i < W; i++) {
    sr[i] = 0;
    si[i] = 0;
  }
  for (int c = 0; c < W; c++) {
    for (int r = 0; r < H; r++) {
      sr[r] = re[r * W + c];
      si[r] = im[r * W + c];
    }
    shifted_fft_1d(sr, si, H, sign);
    for (int r = 0; r < H; r++) {
      re[r * W + c] = sr[r];
      im[r * W + c] = si[r];
    }
  }
  std::free(sr);
  std::free(si);
}

FftTrace trace_shifted_fft(int n) {
  FftTrace trace;
  std::vector<float> re(static_cast<std::size_t>(n), 0.0f), im(static_cast<std::size_t>(n), 0.0f);
  transform(re.data(), im.data(), n, 1, &trace);
  return trace;
}

}  // namespace oracle
