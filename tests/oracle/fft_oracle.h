// The centred radix-2 FFT written out literally, step by step, with none of
// the shortcuts of the reconstructor: every call takes and releases its own
// working storage, every stage rebuilds its index table, every twiddle factor
// is computed where it is used, and the reorder walks the table entry by
// entry. The tests hold the fast transforms to this rendering bit for bit.
#pragma once

#include <vector>

namespace oracle {

// Centred transform of n complex samples in place; sign +1 forward, -1 inverse
// (which divides by n).
void shifted_fft_1d(float* re, float* im, int n, int sign);

// Every row (length W), then every column (length H), in place. Needs H <= W.
void shifted_fft_2d(float* re, float* im, int W, int H, int sign);

// What one transform of length n does, as recorded while it runs.
struct FftTrace {
  int stages = 0;
  std::vector<std::vector<int>> index_tables;  // the table of each stage
  // Per stage: every butterfly as (top, bottom, twiddle exponent idx[top]).
  std::vector<std::vector<std::vector<int>>> butterflies;
};

// Runs the transform steps of length n on zero data, recording the tables
// and the butterfly pairs.
FftTrace trace_shifted_fft(int n);

}  // namespace oracle
