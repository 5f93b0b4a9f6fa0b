// MetaImage (.mhd) files as the input and output of a scan of a geometry:
// a header read back and held to the geometry, its raw data read, and the
// raw file's name beside a header that is written.
//
// The header read is the uncompressed, little-endian, one-channel float32
// image that metaimage_header writes and that 3-D tools save: keys
// "Key = value" one a line, DimSize required, ElementSpacing (default 1) and
// Offset (also Origin or Position; default 0) in the header's frame,
// TransformMatrix (also Rotation or Orientation) the identity when given,
// and ElementDataFile last, naming the raw file relative to the header's
// folder. Every fault is an input Failure "HEADER:LINE: KEY: REASON".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/metaimage.h"
#include "core/sample_files.h"

namespace toolkit {

struct MetaImageInput {
  std::string header;     // the header's path
  std::string data_file;  // the raw file, relative to the working folder
  std::int64_t size[3] = {0, 0, 0};
  double spacing[3] = {1.0, 1.0, 1.0};
  double offset[3] = {0.0, 0.0, 0.0};
  // The lines of DimSize, ElementSpacing and Offset (0: not given).
  int size_line = 0, spacing_line = 0, offset_line = 0;
};

// Whether a name is a MetaImage header's (it ends in ".mhd", any case).
bool is_metaimage_name(const std::string& path);

// The header of `path`, read and checked for the form above.
MetaImageInput read_metaimage_header(const std::string& path);

// An input Failure naming the header's line when the image is not the
// geometry's Volume or stack: its DimSize must be the shape, its
// ElementSpacing and Offset the voxel size (or pitch) and the place of
// sample (0, 0, 0) of metaimage_placement, to a millionth of a millimetre
// (relative to the size of the value when that is larger).
void check_metaimage_placement(const MetaImageInput& image, FileKind kind, const geom::Geometry& g);

// The samples of a geometry's Volume or stack from a header and its raw
// file: the header read and held to the geometry before the samples are
// allocated.
std::vector<float> read_metaimage_samples(const std::string& header_path, FileKind kind, const geom::Geometry& g);

// The raw file a header NAME.mhd is written with: NAME.raw beside it.
std::string raw_path_for_header(const std::string& header_path);

}  // namespace toolkit
