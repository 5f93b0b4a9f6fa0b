#include "core/geometry_option.h"

#include "core/geometry_file.h"

namespace geom {

std::optional<Geometry> general_geometry_option(const tomio::CommandLine& line) {
  if (!line.has("geometry")) return std::nullopt;
  Geometry g = read_geometry_file(line.value("geometry", ""));
  if (is_defined(g)) return std::nullopt;
  return g;
}

}  // namespace geom
