// W values side by side in one vector (GCC/Clang vector extensions), for the
// ray walks that trace several rays at once. Every operation on these types
// is the same IEEE operation in each lane as on a lone double, so the width
// and the instruction set that carries them do not change a bit.
#pragma once

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

}  // namespace lanes
