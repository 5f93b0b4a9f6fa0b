#include "sim/counter_random.h"

namespace toolkit {

PhiloxBlock philox4x32(PhiloxBlock c, std::uint64_t key) {
  constexpr std::uint32_t kM0 = 0xD2511F53u, kM1 = 0xCD9E8D57u;
  constexpr std::uint32_t kW0 = 0x9E3779B9u, kW1 = 0xBB67AE85u;
  std::uint32_t k0 = static_cast<std::uint32_t>(key), k1 = static_cast<std::uint32_t>(key >> 32);
  for (int round = 0; round < 10; ++round) {
    if (round > 0) {
      k0 += kW0;
      k1 += kW1;
    }
    const std::uint64_t p0 = static_cast<std::uint64_t>(kM0) * c[0];
    const std::uint64_t p1 = static_cast<std::uint64_t>(kM1) * c[2];
    c = PhiloxBlock{static_cast<std::uint32_t>(p1 >> 32) ^ c[1] ^ k0, static_cast<std::uint32_t>(p1),
                    static_cast<std::uint32_t>(p0 >> 32) ^ c[3] ^ k1, static_cast<std::uint32_t>(p0)};
  }
  return c;
}

double unit_interval(std::uint32_t high, std::uint32_t low) {
  const std::uint64_t bits = (static_cast<std::uint64_t>(high) << 21) ^ (low >> 11);
  return static_cast<double>(bits & ((std::uint64_t{1} << 53) - 1)) * (1.0 / 9007199254740992.0);
}

UniformStream::UniformStream(std::uint64_t key, std::uint32_t item, std::uint32_t stream)
    : key_(key), item_(item), stream_(stream) {}

double UniformStream::next() {
  if (second_ready_) {
    second_ready_ = false;
    return unit_interval(words_[2], words_[3]);
  }
  words_ = philox4x32(PhiloxBlock{item_, stream_, block_++, 0u}, key_);
  second_ready_ = true;
  return unit_interval(words_[0], words_[1]);
}

}  // namespace toolkit
