#include "eval/slices.h"

#include "core/scan_geometry.h"
#include "core/command_line.h"

namespace toolkit {

using scan::NX;
using scan::NY;
using scan::NZ;

SliceAxis parse_slice_axis(const std::string& text) {
  if (text == "axial") return SliceAxis::Axial;
  if (text == "coronal") return SliceAxis::Coronal;
  if (text == "sagittal") return SliceAxis::Sagittal;
  tomio::fail_usage("slice orientation \"" + text + "\" is not axial, coronal or sagittal");
}

int slice_count(SliceAxis axis) {
  switch (axis) {
    case SliceAxis::Axial: return NZ;
    case SliceAxis::Coronal: return NY;
    case SliceAxis::Sagittal: return NX;
  }
  return 0;
}

Plane volume_slice(const std::vector<float>& volume, SliceAxis axis, int index) {
  if (index < 0 || index >= slice_count(axis)) {
    tomio::fail_usage("slice index " + std::to_string(index) + " is outside 0 ... " +
                      std::to_string(slice_count(axis) - 1));
  }
  Plane p;
  switch (axis) {
    case SliceAxis::Axial:
      p.width = NX;
      p.height = NY;
      break;
    case SliceAxis::Coronal:
      p.width = NX;
      p.height = NZ;
      break;
    case SliceAxis::Sagittal:
      p.width = NY;
      p.height = NZ;
      break;
  }
  p.values.resize(static_cast<std::size_t>(p.width) * p.height);
  for (int row = 0; row < p.height; ++row) {
    for (int col = 0; col < p.width; ++col) {
      std::size_t at = 0;
      switch (axis) {
        case SliceAxis::Axial: at = scan::volume_index(col, row, index); break;
        case SliceAxis::Coronal: at = scan::volume_index(col, index, row); break;
        case SliceAxis::Sagittal: at = scan::volume_index(index, col, row); break;
      }
      p.values[static_cast<std::size_t>(row) * p.width + col] = volume[at];
    }
  }
  return p;
}

Plane stack_view(const std::vector<float>& stack, int view) {
  if (view < 0 || view >= scan::kViews) {
    tomio::fail_usage("view " + std::to_string(view) + " is outside 0 ... " +
                      std::to_string(scan::kViews - 1));
  }
  Plane p;
  p.width = scan::kColumns;
  p.height = scan::kRows;
  const std::size_t first = scan::stack_index(view, 0, 0);
  p.values.assign(stack.begin() + static_cast<std::ptrdiff_t>(first),
                  stack.begin() + static_cast<std::ptrdiff_t>(first + scan::kViewSamples));
  return p;
}

}  // namespace toolkit
