// Feldkamp (FDK) reconstruction of a projector stack on the projector's own
// geometry: flat panel 4*NX from the source, source orbit of radius 2*NX,
// row r at height NY - r, column c at offset c - NX along (cos t, sin t, 0),
// 2*NY views over a full turn. The result is in the units of the Volume that
// was projected (a uniform object of value v reconstructs to about v).
//
// Steps: cosine pre-weighting of every detector sample, a 1-D ramp along the
// detector rows (zero-padded to twice the row length, FFTW, a window with a
// cutoff), then voxel-driven backprojection with the inverse-square distance
// weight and bilinear detector interpolation at the voxel centres. Every voxel
// is summed in double over the views in ascending order, so the output is
// the same bits at any thread count.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/kernel_dispatch.h"

namespace quant {

enum class FdkWindow { ram_lak, shepp_logan, cosine, hamming, hann };

// "ram-lak", "shepp-logan", "cosine", "hamming", "hann"; any other name is
// a usage Failure, as are a cutoff outside (0, 1] and fewer than 1 thread.
FdkWindow fdk_window_from_name(const std::string& name);
const char* fdk_window_name(FdkWindow window);
// The names above, in that order, for help texts and benches.
std::vector<std::string> fdk_window_names();

struct FdkOptions {
  FdkWindow window = FdkWindow::ram_lak;
  // Fraction of the detector's Nyquist frequency above which the filter is
  // zero, in (0, 1].
  double cutoff = 1.0;
  int threads = 1;
};

// Length of a padded detector row (twice the row length) and the number of
// its real-FFT frequencies.
constexpr int kFdkPaddedLength = 512;
constexpr int kFdkFrequencies = kFdkPaddedLength / 2 + 1;

// The row filter's frequency response for the padded length: the transform
// of the band-limited ramp kernel sampled at the isocentre pitch, times the
// window, with the backprojection's constant (half the view step, a full
// turn measuring every line twice) and FFTW's 1/N folded in.
std::vector<double> fdk_filter_response(const FdkOptions& options);

// Pre-weights and filters every view. `filtered` receives, per view, the
// filtered samples transposed (row fastest, then column) inside a border of
// zeros, one sample wide before the first row and column and two after the
// last: kFdkViewSamples per view.
constexpr int kFdkBorderedSide = 256 + 3;
constexpr std::size_t kFdkViewSamples =
    static_cast<std::size_t>(kFdkBorderedSide) * kFdkBorderedSide;
void fdk_filter_stack(const float* stack, float* filtered, const FdkOptions& options,
                      const std::function<void(int)>& on_view_done);

// Backprojects filtered views (layout of fdk_filter_stack) into a Volume.
// on_tile_done(tile) is called once per finished tile of voxel columns.
// The voxel columns run in the process's kernel (core/kernel_dispatch.h);
// fdk_backproject_with runs a given one, which this processor must run.
// Every kernel gives the same bits.
void fdk_backproject(const float* filtered, float* volume, int threads,
                     const std::function<void(int)>& on_tile_done);
void fdk_backproject_with(kernels::Kernel kernel, const float* filtered, float* volume, int threads,
                          const std::function<void(int)>& on_tile_done);

// The whole reconstruction: stack (ProjectionStack layout) to Volume.
// on_step_done(done) is called fdk_step_count() times, with done counting
// up (one step per filtered view, then one per tile of backprojected
// voxel columns), from one thread at a time.
int fdk_step_count();
void fdk_reconstruct(const float* stack, float* volume, const FdkOptions& options,
                     const std::function<void(int)>& on_step_done = nullptr);

}  // namespace quant
