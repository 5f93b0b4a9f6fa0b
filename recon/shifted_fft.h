// The reconstructor's centred radix-2 FFT over complex data held as two
// float32 arrays (real parts, imaginary parts), transformed in place.
//
// Centred: position n/2 of the input is the spatial origin and position n/2
// of the output holds zero frequency. With x[m] the input and h = n/2,
//   Y[k] = (1/D) * sum_m x[m] * exp(-sign * 2*pi*i * (m - h) * (k - h) / n),
// D = n for the inverse (sign -1) and 1 for the forward transform (sign +1).
//
// Every output bit is fixed: a decimation-in-frequency butterfly network in
// double whose every result is rounded to float32 when stored, twiddles
// cos/sin of idx * 2pi / n (2pi = 6.28318530717958), the real input half
// swapped before the stages, and the bit-reversed result put into centred
// order with a conjugate reflection of the odd positions. The tables of a
// length are computed once and shared by all threads; several sequences are
// transformed side by side with the very same per-sequence arithmetic.
//
// Accepted lengths: powers of two from 2 to kMaxFftLength. Anything else, or a
// sign other than +1/-1, is a fault of the caller: a run Failure (a message,
// exit status 1) instead of something that is not a transform.
// Unlike a transform whose scratch rows hold W entries, the two-dimensional
// transform accepts any H, also H > W. For n = 2 the result follows the same
// steps but is no centred DFT (the centring identity needs n >= 4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tomrec {

constexpr int kMaxFftLength = 1 << 24;

// True for the lengths that the transforms accept.
bool is_fft_length(int n);

// Centred transform of the n complex samples (re[i], im[i]) in place.
void shifted_fft_1d(float* re, float* im, int n, int sign);

// Centred transform of an image of H rows of W samples (row-major, sample
// (r, c) at r*W + c): every row with length W, then every column with length
// H. The inverse divides by W*H in all.
void shifted_fft_2d(float* re, float* im, int W, int H, int sign);

namespace fft {

// The tables of one length, computed once: per stage and butterfly group the
// twiddle factor, and the final reorder (bit reversal, output half swap and
// odd-position reflection) as one permutation with sign flips.
struct FftPlan {
  int n = 0;
  int stages = 0;
  // Groups of stage s (1-based) start at group_offset[s - 1] in the tables.
  std::vector<int> group_offset;
  std::vector<int> exponent;         // idx of the group's top elements
  std::vector<double> cos_table;     // c = cos(theta)
  std::vector<double> sin_table[2];  // d = sign * sin(theta): [0] sign +1, [1] sign -1
  // Output position p takes butterfly output source[p]; its imaginary part
  // is negated where negate_im[p] (sign bit mask 0 or 0x80000000).
  std::vector<int> source;
  std::vector<std::uint32_t> negate_im;
  std::vector<int> last_index_table;  // idx of the last stage (the bit reversal)
};

// The shared, immutable plan of length n (thread-safe, built on first use).
// Ends the run for a length that is_fft_length refuses.
const FftPlan& plan_for(int n);

// Sequences transformed side by side in one batch.
constexpr int kLanes = 8;

// Working storage of one thread: a batch of kLanes sequences, element i of
// lane l at i*kLanes + l. Grows on demand and is reused.
struct Workspace {
  std::vector<float> re, im;
};

// Makes room for batches of length n, so that a pass over such sequences
// allocates nothing (reserve before handing the workspace to a thread).
void reserve(Workspace& ws, int n);

// One pass of a two-dimensional transform over an image of H rows of W
// samples. The output may be the input (in place).
//
// row_pass: every row with plan `row` (length W). in_im == nullptr stands
// for an all-zero imaginary input.
void row_pass(const FftPlan& row, const float* in_re, const float* in_im, float* out_re,
              float* out_im, int W, int H, int sign, Workspace& ws);

// column_pass: every column with plan `column` (length H). When weight is
// given, every output sample (both parts) is then multiplied by weight[p]
// and stored as float32. out_im == nullptr drops the imaginary result.
void column_pass(const FftPlan& column, const float* in_re, const float* in_im, float* out_re,
                 float* out_im, const float* weight, int W, int H, int sign, Workspace& ws);

// Which butterfly kernel the passes use: the vector kernel where the
// processor has it, else the portable one. Both give the same bits; the
// tests run both.
bool vector_kernel_available();
void use_vector_kernel(bool on);

}  // namespace fft
}  // namespace tomrec
