// The --geometry FILE option every tool takes: the scan of a geometry file
// (core/geometry_file.h), read and checked before anything else is read or
// allocated, so that a fault is named with its field and line at once.
#pragma once

#include <optional>

#include "core/command_line.h"
#include "core/geometry.h"

namespace geom {

// The scan of `--geometry FILE` when it is not the defined one. Nothing
// without the option, and nothing for the defined preset: a tool then keeps
// its own defined behaviour, bytes and dialogue.
std::optional<Geometry> general_geometry_option(const tomio::CommandLine& line);

}  // namespace geom
