// W values side by side in one vector (GCC/Clang vector extensions), for the
// ray walks that trace several rays at once. Every operation on these types
// is the same IEEE operation in each lane as on a lone double, so the width
// and the instruction set that carries them do not change a bit. The
// compiler maps the generic operations onto the target's vector unit (SSE2,
// AVX, NEON, ...); the few operations that have no generic form come per
// instruction set below.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>  // (which also declares the builtins below)
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

// Floors of W lanes, exact, on any processor: the nearest integer (adding and
// taking away 1.5 * 2^52 rounds |b| < 2^51 to an integer exactly) less one
// where that lies above b. It never gives -0.0 where floor does; the walks
// cannot tell, as a point on an integer always has its cell moved.
template <int W>
struct PortableFloor {
  typedef typename Lanes<W>::Real Real;
  static inline __attribute__((always_inline)) Real floor(Real b) {
    const double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
    const Real nearest = (b + kRoundingShift) - kRoundingShift;
    return (nearest > b) ? nearest - 1.0 : nearest;
  }
};

#if defined(__x86_64__) || defined(__i386__)
// The rounding instructions of AVX and AVX-512, towards -inf without the
// inexact signal. Builtins rather than intrinsics, so that they expand inside
// whichever function of that instruction set inlines them.
constexpr int kFloorMode = 0x09;

// (Templates, so that the builtin is looked up only where a function of its
// instruction set instantiates them.)
struct Avx2Floor {
  template <class Real>
  static inline __attribute__((always_inline)) Real floor(Real b) {
    static_assert(sizeof(Real) == 32, "four lanes");
    return __builtin_ia32_roundpd256(b, kFloorMode);
  }
};

struct Avx512Floor {
  template <class Real>
  static inline __attribute__((always_inline)) Real floor(Real b) {
    static_assert(sizeof(Real) == 64, "eight lanes");
    return __builtin_ia32_rndscalepd_mask(b, kFloorMode, b, static_cast<unsigned char>(0xff),
                                          4 /* the current rounding direction */);
  }
};
#endif

}  // namespace lanes

#pragma GCC diagnostic pop
