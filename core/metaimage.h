// MetaImage (.mhd) headers, so that 3-D viewers can open the headerless
// sample files in place.
#pragma once

#include <string>

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

// The header's name beside a raw file: its extension replaced by ".mhd".
std::string header_path_for(const std::string& raw_path);

}  // namespace toolkit
