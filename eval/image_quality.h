// Image-quality figures of a Volume against a reference: the structural
// similarity (SSIM) in 3-D and per axial slice, and the contrast-to-noise
// ratio of the named inserts of a phantom.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/phantom_description.h"

namespace toolkit {

struct SsimFigures {
  double data_range = 0.0;    // max - min of the reference
  double ssim = 0.0;          // 3-D, mean over the voxels the window fits
  std::vector<double> axial;  // 2-D, per axial slice iz = 0 ... NZ-1
};

// SSIM as scikit-image's structural_similarity computes it with
// gaussian_weights=True, sigma=1.5, use_sample_covariance=False,
// K1 = 0.01, K2 = 0.03 and data_range = max - min of `first` (finite values):
// the local means, variances and covariance are Gaussian-weighted (11 taps,
// radius 5, weights exp(-x^2 / 4.5) normalised, each axis in turn, samples
// beyond an edge mirrored about it: d c b a | a b c d), and the SSIM map is
// averaged over the voxels at least 5 from every face. The axial figures
// do the same in 2-D on each slice, with the same data range.
SsimFigures structural_similarity(const std::vector<float>& first, const std::vector<float>& second);

// Whether SSIM's 11-voxel window fits a grid of nz x ny x nx voxels.
bool ssim_window_fits(std::int64_t nz, std::int64_t ny, std::int64_t nx);

// The same on a Volume of nz x ny x nx voxels (x fastest), one the window
// fits (a usage Failure otherwise); the axial figures are per slice
// iz = 0 ... nz-1.
SsimFigures structural_similarity(const std::vector<float>& first, const std::vector<float>& second, std::int64_t nz,
                                  std::int64_t ny, std::int64_t nx);

// The contrast of one insert in a Volume against the phantom's background.
struct InsertContrast {
  std::string name;
  std::size_t insert_voxels = 0, background_voxels = 0;  // background: the ring
  double insert_mean = 0.0, background_mean = 0.0, background_sd = 0.0;
  double cnr = 0.0;  // (insert mean - background mean) / background deviation
};

// For every named shape of the phantom other than the background: the
// insert is the voxels whose centre lies in the shape shrunk to 70% of its
// size (clear of the blurred edge); its background is the ring around it,
// the voxels whose centre lies in the shape grown to 250% but not to 150%,
// within the slices of the insert's core (its z extent), in the shape named
// "background" (the first shape when none is) shrunk to 90%, and in no other
// named shape grown to 150%. A local ring, so that slow shading across the
// object (cupping, the cone's fall-off along z) does not count as noise.
std::vector<InsertContrast> insert_contrasts(const Phantom& phantom, const std::vector<float>& volume);

}  // namespace toolkit
