// The iterations' projector pair on any scan: the cone projector of a voxel
// grid and ray vectors, and its exact transpose.
#pragma once

#include <string>

#include "core/geometry.h"
#include "recon/iterative.h"

namespace quant {

// The pair keeps copies of the grid and the vectors. Each view is projected
// on one thread (the iterations run views side by side); the transpose of a
// set of views runs on `threads` z slabs. Both give the same bits at any
// thread count, as the projector does.
ProjectorPair cone_pair(const geom::VolumeGrid& grid, const geom::ConeVectors& rays);

// A name of the scan for the cache of its sums: the grid and every vector,
// hashed (FNV-1a over their bytes), so that two scans differing in any bit
// keep their sums apart.
std::string scan_key(const geom::VolumeGrid& grid, const geom::ConeVectors& rays);

}  // namespace quant
