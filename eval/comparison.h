// Figures that say how far one sample file is from another: exact
// differences, error measures, correlation, and the same after the second
// has been fitted to the first by a scale and an offset (a reconstruction's
// units are not the phantom's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/geometry.h"

namespace toolkit {

// The figures of one region. The fit maps the second file into the first's
// units: first ~ fit_scale * second + fit_offset, least squares.
struct RegionFigures {
  std::string name;
  std::size_t samples = 0;           // positions in the region
  std::size_t bitwise_different = 0; // positions whose 32 bits differ
  std::size_t non_finite = 0;        // positions where either value is NaN or infinite
  std::size_t finite = 0;            // positions where both values are finite: the rest uses these
  double max_abs_difference = 0.0;   // |second - first|, largest
  std::size_t max_at = 0;            // file position of the first largest difference
  double first_at_max = 0.0, second_at_max = 0.0;
  double rmse = 0.0;                 // of second - first
  double psnr = 0.0;                 // 20 log10((max - min of first) / rmse); infinite at rmse 0
  double pearson_r = 0.0;            // NaN (undefined) when either has no variance
  double fit_scale = 0.0, fit_offset = 0.0;
  double fit_rmse = 0.0, fit_psnr = 0.0;
  double fit_max_abs_difference = 0.0;  // |fitted second - first|, largest
  std::size_t fit_max_at = 0;
  double mae = 0.0;                  // mean |second - first|
  double nrmse = 0.0;                // rmse / sqrt(mean first^2), as scikit-image's "euclidean"
};

// The figures of a region under the names every report gives them (tomcompare's
// text, kv and JSON, the package's dictionaries), in their order: 19 names.
enum class FigureKind {
  count,     // a number of samples
  number,    // a double; NaN where it is not defined
  position,  // a position in the file
  place,     // the same position as the voxel (x, y, z) or the view, row and column
};
struct NamedFigure {
  const char* name;
  FigureKind kind;
  double number;       // number figures
  std::size_t count;   // count figures; the position of position and place figures
  bool placed;         // position and place figures: their difference is defined
};
std::vector<NamedFigure> named_figures(const RegionFigures& figures, bool stack);

// The positions of a region of the file, in ascending order.
struct Region {
  std::string name;
  std::vector<std::size_t> positions;  // empty with `all` set means every position
  bool all = false;
};

// The figures of the pairs where both values are finite; with no such pair
// they are all NaN (undefined).
RegionFigures compare_region(const std::vector<float>& first, const std::vector<float>& second,
                             const Region& region);

// Sets every figure (not the counts) to NaN: they are not defined.
void mark_undefined(RegionFigures& f);

// Regions of a Volume: the whole grid, the central cube of half the size on
// each axis, and the central axial slice (iz = NZ/2).
std::vector<Region> volume_regions();
// The same on any grid (core/geometry.h): the central cube runs from n/4
// to n - n/4 on each axis, the axial slice is iz = nz/2.
std::vector<Region> volume_regions(const geom::VolumeGrid& grid);
// Regions of a ProjectionStack: the whole stack and the central half of
// the rows and columns of every view.
std::vector<Region> stack_regions();
// The same for a stack of any shape (views x rows x columns).
std::vector<Region> stack_regions(std::int64_t views, std::int64_t rows, std::int64_t columns);

// Regions of a Volume chosen by the user. "cylinder": the voxels whose
// centre lies in the cylinder every view traces, x^2 + y^2 <= 61^2 and
// |z| <= 61. "box": those whose centre lies in [lo, hi] on every axis.
// "mask": those where the mask Volume is nonzero.
struct BoxCorners {
  double lo[3], hi[3];
};
Region traced_cylinder_region();
Region box_region(const BoxCorners& box);
// A mask of any shape: the positions where it is nonzero.
Region mask_region(const std::vector<float>& mask);

// Regions in millimetres on any grid, judged at the voxel centres: the
// cylinder about the rotation axis of that radius and half height (named
// "cylinder"), and the box whose corners are (x, y, z) in mm.
Region cylinder_region(const geom::VolumeGrid& grid, double radius, double half_height);
Region box_region(const BoxCorners& box, const geom::VolumeGrid& grid);

}  // namespace toolkit
