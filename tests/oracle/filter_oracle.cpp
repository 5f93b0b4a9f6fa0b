#include "tests/oracle/filter_oracle.h"

#include <cmath>

#include "tests/oracle/fft_oracle.h"

namespace oracle {

void build_radial_weight(float* radial_weight, int NX, int NY) {
  for (int i = 0; i < 2 * NY; i++) {
    const int dy = NY - i;
    for (int j = 0; j < 2 * NX; j++) {
      const int dx = j - NX;
      const double rho = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy);
      if (rho < NX) {
        radial_weight[i * 2 * NX + j] = static_cast<float>(static_cast<float>(rho) * 10.0 + 1.0);
      } else {
        radial_weight[i * 2 * NX + j] = 0;
      }
    }
  }
}

void filter_view(float* proj, int v, float* plane_re, float* plane_im, const float* radial_weight,
                 int NX, int NY) {
  const long first = 4L * NX * NY * v;
  for (int p = 0; p < 4 * NX * NY; p++) {
    plane_re[p] = proj[first + p];
    plane_im[p] = 0;
  }
  shifted_fft_2d(plane_re, plane_im, 2 * NX, 2 * NY, 1);
  for (int i = 0; i < 2 * NY; i++) {
    for (int j = 0; j < 2 * NX; j++) {
      const int p = i * 2 * NX + j;
      plane_re[p] = plane_re[p] * radial_weight[p];
      plane_im[p] = plane_im[p] * radial_weight[p];
    }
  }
  shifted_fft_2d(plane_re, plane_im, 2 * NX, 2 * NY, -1);
  for (int p = 0; p < 4 * NX * NY; p++) {
    proj[first + p] = plane_re[p];
    plane_im[p] = 0;
  }
}

void filter_projections(float* proj, float* plane_re, float* plane_im, float* radial_weight, int NX,
                        int NY, int NZ) {
  build_radial_weight(radial_weight, NX, NY);
  for (int v = 0; v < 2 * NZ; v++) filter_view(proj, v, plane_re, plane_im, radial_weight, NX, NY);
}

}  // namespace oracle
