// The windows of the FDK row filter as functions of frequency, for filters
// of any length and pitch (the names are in recon/fdk.h).
#pragma once

#include "recon/fdk.h"

namespace quant {

// The window's gain at the fraction f (0 ... 1) of the detector's Nyquist
// frequency for a cutoff in (0, 1]: zero above the cutoff, and each shape
// reaches its end value at the cutoff.
double fdk_window_gain(FdkWindow window, double f, double cutoff);

}  // namespace quant
