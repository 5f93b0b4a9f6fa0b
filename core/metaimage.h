// MetaImage (.mhd) headers, so that 3-D viewers can open the headerless
// sample files in place.
#pragma once

#include <cstdint>
#include <string>

#include "core/geometry.h"
#include "core/sample_files.h"

namespace toolkit {

// The header text for a raw file of the kind, naming it as `data_file`
// (relative to the header's folder).
//
// A Volume is placed in the grid's frame turned half a turn about the x
// axis, (X, Y, Z) = (x, -y, -z), where the y and z indices grow along their
// axes as the x index does: index (0, 0, 0) is the voxel centre
// (-NX/2 + 0.5, -(NY/2 + 0.5), -(NZ/2 + 0.5)) and the TransformMatrix is the
// identity. A turn, not a mirror: objects keep their handedness in viewers.
// A stack is shown in index space: columns, rows, views.
std::string metaimage_header(FileKind kind, const std::string& data_file);

// The header of a raw file of a geometry's Volume or ProjectionStack (valid
// geometries only). For the defined scan (geom::is_defined) it is the text
// above, byte for byte. Otherwise:
//  - a Volume is placed as above, in the scan's frame turned half a turn
//    about the x axis, (X, Y, Z) = (x, -y, -z), with the identity
//    TransformMatrix: DimSize nx ny nz, ElementSpacing dx dy dz, Offset the
//    centre of voxel (0, 0, 0) in that frame;
//  - a stack is placed in the detector's plane, X along the column step u
//    and Y along the row step v (down), in mm from the point where the
//    perpendicular from the source meets the detector, and Z counting
//    views: DimSize columns rows views, ElementSpacing pitch_column
//    pitch_row 1, Offset the centre of pixel (0, 0) and 0. A geometry of
//    free vectors has no such point: its stack takes the pitch of view 0 and
//    the detector's centre as (0, 0).
// The defined scan's stack stays in index space (Offset 0 0 0, spacing 1),
// as tommhd has always written it.
std::string metaimage_header(FileKind kind, const geom::Geometry& g, const std::string& data_file);

// Where a geometry's Volume or stack lies in its header's frame (the text
// above): the sizes, the spacing and the place of sample (0, 0, 0), in the
// header's axis order (x, y, z: columns, rows, views for a stack).
struct MetaImagePlacement {
  std::int64_t size[3];
  double spacing[3];
  double offset[3];
};
MetaImagePlacement metaimage_placement(FileKind kind, const geom::Geometry& g);

// The header's name beside a raw file: its extension replaced by ".mhd".
std::string header_path_for(const std::string& raw_path);

}  // namespace toolkit
