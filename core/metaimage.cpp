#include "core/metaimage.h"

#include <sstream>

#include "core/scan_geometry.h"

namespace toolkit {

std::string metaimage_header(FileKind kind, const std::string& data_file) {
  std::ostringstream h;
  h << "ObjectType = Image\n"
    << "NDims = 3\n"
    << "BinaryData = True\n"
    << "BinaryDataByteOrderMSB = False\n"
    << "CompressedData = False\n";
  if (kind == FileKind::Volume) {
    // The header's frame is the grid's own turned half a turn about the x
    // axis (X = x, Y = -y, Z = -z), in which every index grows along its
    // axis: a header with a rotation in it (y and z indices running against
    // their axes) is read by ITK, but tools that trace rays through the
    // image's box without its rotation (plastimatch drr) then miss it.
    const scan::Point3 first = scan::voxel_centre(0, 0, 0);
    h << "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
      << "Offset = " << first.x << ' ' << -first.y << ' ' << -first.z << '\n'
      << "DimSize = " << scan::NX << ' ' << scan::NY << ' ' << scan::NZ << '\n';
  } else {
    h << "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
      << "Offset = 0 0 0\n"
      << "DimSize = " << scan::kColumns << ' ' << scan::kRows << ' ' << scan::kViews << '\n';
  }
  h << "ElementSpacing = 1 1 1\n"
    << "ElementType = MET_FLOAT\n"
    << "ElementByteOrderMSB = False\n"
    << "ElementDataFile = " << data_file << '\n';
  return h.str();
}

std::string header_path_for(const std::string& raw_path) {
  const std::string::size_type slash = raw_path.find_last_of('/');
  const std::string::size_type dot = raw_path.find_last_of('.');
  const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? raw_path.substr(0, dot) : raw_path) + ".mhd";
}

}  // namespace toolkit
