// The two sides of the adjoint identity <A x, y> = <x, A^T y>, summed in
// double, and how far apart they are.
#pragma once

#include <cmath>
#include <cstdio>
#include <vector>

namespace quanttest {

struct IdentityFigures {
  double forward = 0.0;   // <A x, y>
  double backward = 0.0;  // <x, A^T y>
  double relative = 0.0;  // |difference| / sum of |terms of <A x, y>|
};

inline IdentityFigures adjoint_identity(const std::vector<float>& x, const std::vector<float>& ax,
                                        const std::vector<float>& y, const std::vector<float>& aty) {
  IdentityFigures f;
  double scale = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    f.forward += static_cast<double>(ax[i]) * y[i];
    scale += std::fabs(static_cast<double>(ax[i]) * y[i]);
  }
  for (std::size_t i = 0; i < x.size(); ++i) f.backward += static_cast<double>(x[i]) * aty[i];
  f.relative = std::fabs(f.forward - f.backward) / scale;
  std::printf("<Ax,y> %.17g  <x,A^T y> %.17g  |difference| / sum|terms| %.3g, / |<Ax,y>| %.3g\n",
              f.forward, f.backward, f.relative,
              std::fabs(f.forward - f.backward) / std::fabs(f.forward));
  return f;
}

}  // namespace quanttest
