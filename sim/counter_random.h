// A counter-based random generator: Philox4x32-10 (Salmon et al., "Parallel
// random numbers: as easy as 1, 2, 3", 2011). Its output is a fixed function
// of a 64-bit key and a 128-bit counter, so the numbers of one item of work
// (a detector sample, say) depend on the seed and that item's own counter
// alone: never on which thread drew them, in which order, or how the work was
// split. Only 32-bit integer arithmetic: the same bits on every machine.
#pragma once

#include <array>
#include <cstdint>

namespace toolkit {

using PhiloxBlock = std::array<std::uint32_t, 4>;

// Ten rounds of Philox4x32 on `counter` with `key` (low word, high word).
PhiloxBlock philox4x32(PhiloxBlock counter, std::uint64_t key);

// A uniform double in [0, 1) on the grid of 2^-53, from two 32-bit words.
double unit_interval(std::uint32_t high, std::uint32_t low);

// The endless stream of uniform numbers of one item: number j comes from
// block j / 2 of the counter {item, stream, j / 2, 0}, so that independent
// draws of one item (the counts and the electronic noise of one sample) use
// separate streams and neither shifts the other.
class UniformStream {
 public:
  UniformStream(std::uint64_t key, std::uint32_t item, std::uint32_t stream);
  double next();

 private:
  std::uint64_t key_;
  std::uint32_t item_, stream_;
  std::uint32_t block_ = 0;
  PhiloxBlock words_{};
  bool second_ready_ = false;
};

}  // namespace toolkit
