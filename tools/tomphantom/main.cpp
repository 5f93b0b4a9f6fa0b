// tomphantom: writes a test Volume: the Shepp-Logan head or a simple shape.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/scan_geometry.h"
#include "tools/toolkit/command_line.h"
#include "tools/toolkit/phantom_shapes.h"
#include "tools/toolkit/sample_files.h"

namespace {

using toolkit::UsageError;

const toolkit::ToolSpec kSpec{
    "tomphantom",
    "Usage: tomphantom SHAPE [options] OUTPUT\n"
    "  tomphantom shepp-logan [--scale S] OUTPUT\n"
    "  tomphantom ball --centre X,Y,Z --radius R [--value V] OUTPUT\n"
    "  tomphantom box --from X,Y,Z --to X,Y,Z [--value V] OUTPUT\n"
    "  tomphantom ones OUTPUT\n"
    "  tomphantom voxel --index IX,IY,IZ [--value V] OUTPUT\n"
    "  tomphantom random --seed N [--range LO,HI] OUTPUT\n",
    "Writes a Volume file (128 x 128 x 128 float32, x fastest). Shapes are\n"
    "sampled at the voxel centres x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz\n"
    "(coordinates in voxels, origin at the grid centre). The head is the\n"
    "higher-contrast Shepp-Logan phantom (skull 1, brain 0.2); one unit of its\n"
    "frame is S voxels, so its skull reaches 0.92 S along y (58 voxels at the\n"
    "default S = 63, inside the traced box). A ball holds the voxels whose\n"
    "centre is within R of its centre, a box those whose centre lies in\n"
    "[from, to] on every axis. random draws uniform values in [LO, HI) from\n"
    "splitmix64 seeded with N (the same file on every machine).",
    {
        {"scale", "S", "head: voxels per unit of the phantom frame (default 63)"},
        {"centre", "X,Y,Z", "ball: centre in voxel coordinates"},
        {"radius", "R", "ball: radius in voxels"},
        {"from", "X,Y,Z", "box: lower corner in voxel coordinates"},
        {"to", "X,Y,Z", "box: upper corner in voxel coordinates"},
        {"index", "IX,IY,IZ", "voxel: the voxel's indices"},
        {"value", "V", "value of the shape (default 1)"},
        {"seed", "N", "random: seed, a whole number >= 0"},
        {"range", "LO,HI", "random: value range (default 0,1)"},
    },
    1};

scan::Point3 point_option(const toolkit::CommandLine& line, const std::string& name) {
  if (!line.has(name)) throw UsageError("this shape needs --" + name);
  const std::vector<double> v = toolkit::parse_doubles(line.value(name), 3, "--" + name);
  return scan::Point3{v[0], v[1], v[2]};
}

float value_option(const toolkit::CommandLine& line) {
  return toolkit::parse_float_value(line.value("value", "1"), "--value");
}

// Options that make no sense for the shape are refused rather than ignored.
void allow_only(const toolkit::CommandLine& line, const std::vector<std::string>& allowed) {
  for (const auto& item : line.sequence()) {
    if (item.first.empty()) continue;
    bool ok = false;
    for (const std::string& a : allowed) ok = ok || a == item.first;
    if (!ok) throw UsageError("option --" + item.first + " does not apply to this shape");
  }
}

std::vector<float> make_volume(const std::string& shape, const toolkit::CommandLine& line) {
  if (shape == "shepp-logan") {
    allow_only(line, {"scale"});
    const double scale =
        toolkit::parse_double(line.value("scale", "63"), "--scale");
    if (!(scale > 0.0)) throw UsageError("--scale must be positive");
    return toolkit::shepp_logan_volume(scale);
  }
  if (shape == "ball") {
    allow_only(line, {"centre", "radius", "value"});
    if (!line.has("radius")) throw UsageError("ball needs --radius");
    const double radius = toolkit::parse_double(line.value("radius"), "--radius");
    if (radius < 0.0) throw UsageError("--radius must not be negative");
    return toolkit::ball_volume(point_option(line, "centre"), radius, value_option(line));
  }
  if (shape == "box") {
    allow_only(line, {"from", "to", "value"});
    return toolkit::box_volume(point_option(line, "from"), point_option(line, "to"),
                               value_option(line));
  }
  if (shape == "ones") {
    allow_only(line, {});
    return toolkit::constant_volume(1.0f);
  }
  if (shape == "voxel") {
    allow_only(line, {"index", "value"});
    if (!line.has("index")) throw UsageError("voxel needs --index");
    const std::vector<int> i = toolkit::parse_ints(line.value("index"), 3, "--index");
    if (i[0] < 0 || i[0] >= scan::NX || i[1] < 0 || i[1] >= scan::NY || i[2] < 0 ||
        i[2] >= scan::NZ) {
      throw UsageError("--index must lie in the grid, 0 ... 127 on each axis");
    }
    return toolkit::single_voxel_volume(i[0], i[1], i[2], value_option(line));
  }
  if (shape == "random") {
    allow_only(line, {"seed", "range"});
    if (!line.has("seed")) throw UsageError("random needs --seed");
    const std::string seed_text = line.value("seed");
    if (seed_text.empty() || seed_text.find_first_not_of("0123456789") != std::string::npos ||
        seed_text.size() > 19) {
      throw UsageError("--seed: \"" + seed_text + "\" is not a whole number from 0 to 10^19 - 1");
    }
    const std::uint64_t seed = std::stoull(seed_text);
    const std::vector<float> range = toolkit::parse_float_values(line.value("range", "0,1"), 2, "--range");
    if (!(range[0] < range[1])) throw UsageError("--range needs LO < HI (as float32 values)");
    return toolkit::random_volume(seed, range[0], range[1]);
  }
  throw UsageError("unknown shape \"" + shape + "\"");
}

// Voxels with a value whose centre lies outside the box the projector
// traces: no ray sees them, so a shape that has some is not what its
// projections show.
std::size_t voxels_outside_traced_box(const std::vector<float>& volume) {
  std::size_t outside = 0;
  for (int iz = 0; iz < scan::NZ; ++iz)
    for (int iy = 0; iy < scan::NY; ++iy)
      for (int ix = 0; ix < scan::NX; ++ix) {
        if (volume[scan::volume_index(ix, iy, iz)] == 0.0f) continue;
        const scan::Point3 p = toolkit::voxel_centre(ix, iy, iz);
        if (!scan::inside(p.x, p.y, p.z)) ++outside;
      }
  return outside;
}

}  // namespace

int main(int argc, char** argv) {
  return toolkit::run_tool(kSpec, argc, argv, [](const toolkit::CommandLine& line) {
    if (line.positional().size() != 2) throw UsageError("expected a SHAPE and an OUTPUT file");
    const std::string& shape = line.positional()[0];
    const std::vector<float> volume = make_volume(shape, line);
    // Filling the whole grid is what "ones" and "random" are for.
    if (shape != "ones" && shape != "random") {
      const std::size_t outside = voxels_outside_traced_box(volume);
      if (outside > 0) {
        std::fprintf(stderr,
                     "tomphantom: warning: %zu voxel(s) of the shape lie outside the traced box "
                     "(-63 < x < 62, -62 < y, z < 63) and no projection sees them\n",
                     outside);
      }
    }
    toolkit::write_samples(line.positional()[1], volume, toolkit::FileKind::Volume);
    return 0;
  });
}
