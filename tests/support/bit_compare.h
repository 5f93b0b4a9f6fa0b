// Bit-for-bit comparison of float arrays, for results that are defined to
// the last bit.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "tests/support/test_volumes.h"

namespace testdata {

// Succeeds when every sample has the same bits; otherwise says how many
// differ and shows the first.
inline ::testing::AssertionResult same_bits(const std::vector<float>& got,
                                            const std::vector<float>& want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "sizes differ: " << got.size() << " vs " << want.size();
  }
  std::size_t differ = 0, first = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (bits(got[i]) != bits(want[i]) && differ++ == 0) first = i;
  }
  if (differ == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << differ << " of " << got.size() << " samples differ, first at " << first << ": "
         << got[first] << " vs " << want[first];
}

}  // namespace testdata
