#include "recon/fdk_window.h"

#include <cmath>

#include "core/scan_geometry.h"

namespace quant {

double fdk_window_gain(FdkWindow window, double f, double cutoff) {
  if (f > cutoff) return 0.0;
  const double x = f / cutoff;
  switch (window) {
    case FdkWindow::ram_lak:
      return 1.0;
    case FdkWindow::shepp_logan: {
      const double a = scan::kPi * x / 2.0;
      return a == 0.0 ? 1.0 : std::sin(a) / a;
    }
    case FdkWindow::cosine:
      return std::cos(scan::kPi * x / 2.0);
    case FdkWindow::hamming:
      return 0.54 + 0.46 * std::cos(scan::kPi * x);
    case FdkWindow::hann:
      return 0.5 + 0.5 * std::cos(scan::kPi * x);
  }
  return 1.0;
}

}  // namespace quant
