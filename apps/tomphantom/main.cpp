// tomphantom: writes a test Volume: the Shepp-Logan head or a simple shape.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "core/geometry_option.h"
#include "core/raw_image.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_shapes.h"
#include "core/sample_files.h"

namespace {


const tomio::ToolSpec kSpec{
    "tomphantom",
    "Usage: tomphantom SHAPE [options] OUTPUT\n"
    "  tomphantom shepp-logan [--form modified|kak-slaney] [--scale S] OUTPUT\n"
    "  tomphantom ball --centre X,Y,Z --radius R [--value V] OUTPUT\n"
    "  tomphantom box --from X,Y,Z --to X,Y,Z [--value V] OUTPUT\n"
    "  tomphantom ones OUTPUT\n"
    "  tomphantom voxel --index IX,IY,IZ [--value V] OUTPUT\n"
    "  tomphantom random --seed N [--range LO,HI] OUTPUT\n"
    "  tomphantom random-ellipsoids --seed N [--count LO,HI] [--values LO,HI]\n"
    "             [--sizes LO,HI] OUTPUT\n"
    "  tomphantom inserts OUTPUT\n"
    "  tomphantom description FILE OUTPUT\n"
    "Shapes made of ellipsoids, boxes and cylinders (shepp-logan, ball, box,\n"
    "random-ellipsoids, inserts, description) also take --oversample N,\n"
    "--description-out FILE and --threads N.\n"
    "Every shape also takes --geometry FILE (the grid of a geometry file).\n",
    "Writes a Volume file (128 x 128 x 128 float32, x fastest). Shapes are\n"
    "sampled at the voxel centres x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz\n"
    "(coordinates in voxels, origin at the grid centre). The head is the\n"
    "higher-contrast Shepp-Logan phantom (skull 1, brain 0.2); one unit of its\n"
    "frame is S voxels, so its skull reaches 0.92 S along y (58 voxels at the\n"
    "default S = 63, inside the traced box). A ball holds the voxels whose\n"
    "centre is within R of its centre, a box those whose centre lies in\n"
    "[from, to] on every axis. random draws uniform values in [LO, HI) from\n"
    "splitmix64 seeded with N (the same file on every machine).\n"
    "--form kak-slaney gives Kak and Slaney's head with its original low\n"
    "contrasts (skull 2, brain 1.02). random-ellipsoids draws 5 ... 15\n"
    "ellipsoids (--count) with values uniform in [0.05, 0.5) (--values),\n"
    "semi-axes uniform in [3, 30) voxels (--sizes), turned by phi and psi\n"
    "uniform in [0, 360) and theta in [0, 180) degrees, centred at random\n"
    "where they stay one voxel inside the traced box; values add where they\n"
    "overlap. inserts is a water cylinder (0.2, radius 50, height 90) with\n"
    "eight rods of radius 6 at contrasts +100, +10, +5, +2, +1, -1, -5 and\n"
    "-100 per cent. description voxelises a phantom description file (one\n"
    "shape per line: KIND value=V centre=X,Y,Z size=A,B,C\n"
    "[angles=PHI,THETA,PSI] [name=NAME]); --description-out writes one.\n"
    "--oversample N makes each voxel the mean of N^3 sub-samples.\n"
    "With --geometry, the Volume is raw float32 on the grid of a geometry file\n"
    "(docs/geometry.md) and every coordinate, radius and size is in mm in its\n"
    "frame (origin at the isocentre); the shapes are sampled at that grid's\n"
    "voxel centres (or N^3 sub-samples). The head's scale S defaults to 63/128\n"
    "of the grid's smallest width; random-ellipsoids keep one voxel inside\n"
    "the grid, or inside --field-of-view D,H (the square inscribed in a circle\n"
    "of diameter D about the axis, height H); voxel takes indices of that grid.",
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
        {"form", "F", "shepp-logan: modified (default) or kak-slaney"},
        {"count", "LO,HI", "random-ellipsoids: how many, at least and at most (default 5,15)"},
        {"values", "LO,HI", "random-ellipsoids: value range (default 0.05,0.5)"},
        {"sizes", "LO,HI", "random-ellipsoids: semi-axis range in voxels (default 3,30)"},
        {"oversample", "N", "N^3 sub-samples per voxel (default 1: the voxel centre)"},
        {"description-out", "FILE", "also write the phantom's description"},
        {"threads", "N", "threads to use (default: the processors available)"},
        {"geometry", "FILE", "the grid of a geometry file instead of the defined one (mm)"},
        {"field-of-view", "D,H", "random-ellipsoids with --geometry: diameter and height in mm"},
    },
    1};

scan::Point3 point_option(const tomio::CommandLine& line, const std::string& name) {
  if (!line.has(name)) tomio::fail_usage("this shape needs --" + name);
  const std::vector<double> v = tomio::parse_doubles(line.value(name), 3, "--" + name);
  return scan::Point3{v[0], v[1], v[2]};
}

float value_option(const tomio::CommandLine& line) {
  return tomio::parse_float_value(line.value("value", "1"), "--value");
}

// Options that make no sense for the shape are refused rather than ignored.
void allow_only(const tomio::CommandLine& line, const std::vector<std::string>& allowed) {
  for (const auto& item : line.sequence()) {
    if (item.first.empty() || item.first == "geometry") continue;
    bool ok = false;
    for (const std::string& a : allowed) ok = ok || a == item.first;
    if (!ok) tomio::fail_usage("option --" + item.first + " does not apply to this shape");
  }
}

// Options every shape made of ellipsoids, boxes and cylinders takes.
const std::vector<std::string> kContinuousOptions = {"oversample", "description-out", "threads"};

std::vector<std::string> with_continuous(std::vector<std::string> allowed) {
  allowed.insert(allowed.end(), kContinuousOptions.begin(), kContinuousOptions.end());
  return allowed;
}

double scale_option(const tomio::CommandLine& line) {
  return tomio::parse_double(line.value("scale", "63"), "--scale");
}

// The shape as ellipsoids, boxes and cylinders, when it is one; nullopt for
// the shapes that are voxel patterns only (ones, voxel, random).
// On a geometry's grid (`geometry` given), in mm.
std::optional<toolkit::Phantom> make_phantom(const std::string& shape, const tomio::CommandLine& line,
                                             const geom::Geometry* geometry) {
  if (shape == "shepp-logan") {
    allow_only(line, with_continuous({"scale", "form"}));
    const std::string form = line.value("form", "modified");
    const double scale = geometry && !line.has("scale") ? toolkit::grid_head_scale(geometry->grid) : scale_option(line);
    if (form == "modified") return toolkit::modified_shepp_logan(scale);
    if (form == "kak-slaney") return toolkit::kak_slaney_shepp_logan(scale);
    tomio::fail_usage("--form must be modified or kak-slaney");
  }
  if (shape == "ball" || shape == "box") {
    toolkit::Shape s;
    s.value = value_option(line);
    if (shape == "ball") {
      allow_only(line, with_continuous({"centre", "radius", "value"}));
      if (!line.has("radius")) tomio::fail_usage("ball needs --radius");
      s.kind = toolkit::ShapeKind::ellipsoid;
      s.centre = point_option(line, "centre");
      s.size[0] = s.size[1] = s.size[2] = tomio::parse_double(line.value("radius"), "--radius");
    } else {
      allow_only(line, with_continuous({"from", "to", "value"}));
      const scan::Point3 lo = point_option(line, "from"), hi = point_option(line, "to");
      s.kind = toolkit::ShapeKind::box;
      s.centre = scan::Point3{(lo.x + hi.x) / 2, (lo.y + hi.y) / 2, (lo.z + hi.z) / 2};
      s.size[0] = (hi.x - lo.x) / 2;
      s.size[1] = (hi.y - lo.y) / 2;
      s.size[2] = (hi.z - lo.z) / 2;
    }
    return toolkit::Phantom{{s}};
  }
  if (shape == "random-ellipsoids") {
    allow_only(line, with_continuous({"seed", "count", "values", "sizes", "field-of-view"}));
    if (!line.has("seed")) tomio::fail_usage("random-ellipsoids needs --seed");
    toolkit::RandomEllipsoidSettings r;
    const std::vector<int> count = tomio::parse_ints(line.value("count", "5,15"), 2, "--count");
    r.count_lo = count[0];
    r.count_hi = count[1];
    const std::vector<double> values = tomio::parse_doubles(line.value("values", "0.05,0.5"), 2, "--values");
    r.value_lo = values[0];
    r.value_hi = values[1];
    const std::vector<double> sizes = tomio::parse_doubles(line.value("sizes", "3,30"), 2, "--sizes");
    r.size_lo = sizes[0];
    r.size_hi = sizes[1];
    const std::uint64_t seed = tomio::parse_seed(line.value("seed"), "--seed");
    if (line.has("field-of-view") && !geometry) tomio::fail_usage("--field-of-view is in mm: it needs --geometry");
    if (!geometry) return toolkit::random_ellipsoids(seed, r);
    if (!line.has("field-of-view")) return toolkit::random_ellipsoids_in(seed, r, toolkit::grid_field_box(geometry->grid));
    const std::vector<double> field = tomio::parse_doubles(line.value("field-of-view"), 2, "--field-of-view");
    return toolkit::random_ellipsoids_in(seed, r, toolkit::field_of_view_box(field[0], field[1]));
  }
  if (shape == "inserts") {
    allow_only(line, kContinuousOptions);
    return toolkit::insert_cylinder();
  }
  return std::nullopt;
}

// The shapes sampled by their own code, and the voxel patterns; on a
// geometry's grid (`grid` given) only the voxel patterns.
std::vector<float> make_volume(const std::string& shape, const tomio::CommandLine& line,
                               const geom::VolumeGrid* grid) {
  if (shape == "shepp-logan") {
    allow_only(line, with_continuous({"scale"}));
    return toolkit::shepp_logan_volume(scale_option(line));
  }
  if (shape == "ball") {
    allow_only(line, with_continuous({"centre", "radius", "value"}));
    if (!line.has("radius")) tomio::fail_usage("ball needs --radius");
    const double radius = tomio::parse_double(line.value("radius"), "--radius");
    return toolkit::ball_volume(point_option(line, "centre"), radius, value_option(line));
  }
  if (shape == "box") {
    allow_only(line, with_continuous({"from", "to", "value"}));
    return toolkit::box_volume(point_option(line, "from"), point_option(line, "to"),
                               value_option(line));
  }
  if (shape == "ones") {
    allow_only(line, {});
    return grid ? std::vector<float>(static_cast<std::size_t>(grid->voxels()), 1.0f) : toolkit::constant_volume(1.0f);
  }
  if (shape == "voxel") {
    allow_only(line, {"index", "value"});
    if (!line.has("index")) tomio::fail_usage("voxel needs --index");
    const std::vector<int> i = tomio::parse_ints(line.value("index"), 3, "--index");
    if (grid) return toolkit::single_voxel_on_grid(*grid, i[0], i[1], i[2], value_option(line));
    if (i[0] < 0 || i[0] >= scan::NX || i[1] < 0 || i[1] >= scan::NY || i[2] < 0 ||
        i[2] >= scan::NZ) {
      tomio::fail_usage("--index must lie in the grid, 0 ... 127 on each axis");
    }
    return toolkit::single_voxel_volume(i[0], i[1], i[2], value_option(line));
  }
  if (shape == "random") {
    allow_only(line, {"seed", "range"});
    if (!line.has("seed")) tomio::fail_usage("random needs --seed");
    const std::uint64_t seed = tomio::parse_seed(line.value("seed"), "--seed");
    const std::vector<float> range = tomio::parse_float_values(line.value("range", "0,1"), 2, "--range");
    if (!(range[0] < range[1])) tomio::fail_usage("--range needs LO < HI (as float32 values)");
    return grid ? toolkit::random_samples(seed, range[0], range[1], static_cast<std::size_t>(grid->voxels()))
                : toolkit::random_volume(seed, range[0], range[1]);
  }
  tomio::fail_usage("unknown shape \"" + shape + "\"");
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


// The shapes that predate oversampling keep their own sampling at the voxel
// centres unless asked otherwise, so that their files stay what they were.
bool own_sampling_of(const std::string& shape, const tomio::CommandLine& line) {
  return !line.has("oversample") && !line.has("form") &&
         (shape == "shepp-logan" || shape == "ball" || shape == "box");
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    const std::vector<std::string>& args = line.positional();
    const bool from_file = !args.empty() && args[0] == "description";
    if (args.size() != (from_file ? 3u : 2u)) {
      tomio::fail_usage(from_file ? "expected description FILE OUTPUT" : "expected a SHAPE and an OUTPUT file");
    }
    const std::string& shape = args[0];
    const std::string& output = args.back();
    // The grid of a geometry file, read and checked before anything else.
    const std::optional<geom::Geometry> geometry = geom::general_geometry_option(line);
    std::optional<toolkit::Phantom> phantom;
    if (from_file) {
      allow_only(line, kContinuousOptions);
      phantom = toolkit::read_description(args[1]);
    } else {
      phantom = make_phantom(shape, line, geometry ? &*geometry : nullptr);
    }
    const bool own_sampling = !geometry && own_sampling_of(shape, line);
    if (phantom && (!own_sampling || line.has("description-out"))) {
      toolkit::check_phantom(*phantom);
    }
    // Claimed before the work, so that a name that cannot be written is
    // reported at once.
    std::optional<tomio::OutputFile> description_target;
    if (phantom && line.has("description-out")) description_target.emplace(line.value("description-out"));
    tomio::OutputFile target(output);
    std::vector<float> volume;
    if (phantom && !own_sampling) {
      const int oversample = tomio::parse_int(line.value("oversample", "1"), "--oversample");
      volume = geometry ? toolkit::voxelise_on_grid(*phantom, geometry->grid, oversample, tomio::thread_count(line))
                        : toolkit::voxelise(*phantom, oversample, tomio::thread_count(line));
    } else {
      volume = make_volume(shape, line, geometry ? &geometry->grid : nullptr);
    }
    // Filling the whole grid is what "ones" and "random" are for.
    if (!geometry && shape != "ones" && shape != "random") {
      const std::size_t outside = voxels_outside_traced_box(volume);
      if (outside > 0) {
        std::fprintf(stderr,
                     "tomphantom: warning: %zu voxel(s) of the shape lie outside the traced box "
                     "(-63 < x < 62, -62 < y, z < 63) and no projection sees them\n",
                     outside);
      }
    }
    if (description_target) toolkit::write_description(std::move(*description_target), *phantom);
    tomio::save_float_image(std::move(target), volume.data(), volume.size());
    return 0;
  });
}
