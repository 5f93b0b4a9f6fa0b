#include "core/metaimage.h"

#include <cmath>
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

MetaImagePlacement metaimage_placement(FileKind kind, const geom::Geometry& g) {
  geom::validate(g);
  MetaImagePlacement p{};
  if (geom::is_defined(g)) {
    const bool volume = kind == FileKind::Volume;
    const scan::Point3 first = scan::voxel_centre(0, 0, 0);
    p.size[0] = volume ? scan::NX : scan::kColumns;
    p.size[1] = volume ? scan::NY : scan::kRows;
    p.size[2] = volume ? scan::NZ : scan::kViews;
    for (int k = 0; k < 3; ++k) p.spacing[k] = 1.0;
    p.offset[0] = volume ? first.x : 0.0;
    p.offset[1] = volume ? -first.y : 0.0;
    p.offset[2] = volume ? -first.z : 0.0;
    return p;
  }
  if (kind == FileKind::Volume) {
    const geom::VolumeGrid& v = g.grid;
    const geom::Point3 first = geom::voxel_centre(v, 0, 0, 0);
    p = MetaImagePlacement{{v.nx, v.ny, v.nz}, {v.dx, v.dy, v.dz}, {first.x + 0.0, -first.y + 0.0, -first.z + 0.0}};
    return p;
  }
  double pitch_column = g.pitch_column, pitch_row = g.pitch_row;
  double centre_u = g.offset_u, centre_v = g.offset_v;
  if (g.form == geom::ViewForm::vectors) {
    const double* u = g.vectors.data() + 6;
    const double* w = g.vectors.data() + 9;
    pitch_column = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    pitch_row = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    centre_u = centre_v = 0.0;
  }
  const double u0 = centre_u - (static_cast<double>(g.columns) - 1.0) / 2.0 * pitch_column;
  const double v0 = centre_v - (static_cast<double>(g.rows) - 1.0) / 2.0 * pitch_row;
  p = MetaImagePlacement{{g.columns, g.rows, g.views()}, {pitch_column, pitch_row, 1.0}, {u0 + 0.0, v0 + 0.0, 0.0}};
  return p;
}

std::string metaimage_header(FileKind kind, const geom::Geometry& g, const std::string& data_file) {
  geom::validate(g);
  if (geom::is_defined(g)) return metaimage_header(kind, data_file);
  const auto n = [](double v) { return geom::number_text(v); };
  const MetaImagePlacement p = metaimage_placement(kind, g);
  std::ostringstream h;
  h << "ObjectType = Image\n"
    << "NDims = 3\n"
    << "BinaryData = True\n"
    << "BinaryDataByteOrderMSB = False\n"
    << "CompressedData = False\n"
    << "TransformMatrix = 1 0 0 0 1 0 0 0 1\n"
    << "Offset = " << n(p.offset[0]) << ' ' << n(p.offset[1]) << ' ' << n(p.offset[2]) << '\n'
    << "DimSize = " << p.size[0] << ' ' << p.size[1] << ' ' << p.size[2] << '\n'
    << "ElementSpacing = " << n(p.spacing[0]) << ' ' << n(p.spacing[1]) << ' ' << n(p.spacing[2]) << '\n'
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
