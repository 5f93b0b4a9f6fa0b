// Two-dimensional cuts of the sample files, as rows of floats ready to be
// windowed into a picture.
#pragma once

#include <string>
#include <vector>

namespace toolkit {

struct Plane {
  int width = 0;
  int height = 0;
  std::vector<float> values;  // row-major, row 0 at the top
};

enum class SliceAxis { Axial, Coronal, Sagittal };

// Parses "axial", "coronal" or "sagittal"; a usage failure otherwise.
SliceAxis parse_slice_axis(const std::string& text);
// The number of slices along the axis (the grid size it cuts).
int slice_count(SliceAxis axis);

// A slice of a Volume at one index of the axis:
//   axial    (fixed iz): rows iy, columns ix  (+y up, +x to the right)
//   coronal  (fixed iy): rows iz, columns ix  (+z up, +x to the right)
//   sagittal (fixed ix): rows iz, columns iy  (+z up, +y to the left)
Plane volume_slice(const std::vector<float>& volume, SliceAxis axis, int index);

// One view of a ProjectionStack: rows are the detector rows (row 0, the
// highest, at the top), columns the detector columns.
Plane stack_view(const std::vector<float>& stack, int view);

}  // namespace toolkit
