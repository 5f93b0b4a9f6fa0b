// tomanalytic: the exact ProjectionStack of a phantom description, along
// the projector's own rays.
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "core/geometry_option.h"
#include "sim/phantom_description.h"
#include "sim/phantom_projection.h"
#include "core/progress.h"
#include "core/raw_image.h"
#include "core/sample_files.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomanalytic",
    "Usage: tomanalytic [--threads N] [--geometry FILE] DESCRIPTION OUTPUT",
    "Reads a phantom description (ellipsoids, boxes and cylinders, as\n"
    "tomphantom --description-out writes it) and writes the ProjectionStack\n"
    "of its exact line integrals: for every view, row and column, tomproj's\n"
    "ray (the same source, the same direction), and on it the length of each\n"
    "shape's chord times the shape's value, summed in double and rounded to\n"
    "float32. The ray counts where tomproj traces it: from its last sample\n"
    "before the inside box to its last sample inside. Compared with tomproj's\n"
    "projection of the voxelised phantom, the difference is the voxelisation\n"
    "alone, free of the 'inverse crime' of making data on the grid that\n"
    "reconstructs it.\n"
    "With --geometry, the scan of a geometry file (docs/geometry.md): the\n"
    "description in mm in its frame, and for every view, row and column the\n"
    "half-line from the view's source through the pixel's centre, the whole\n"
    "phantom counted (no traced box); the stack is raw float32 of the\n"
    "geometry's shape (views x rows x columns), in mm x value.",
    {
        {"threads", "N", "threads to use (default: the processors available)"},
        {"geometry", "FILE", "the scan of a geometry file instead of the defined one"},
    },
    1};

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected DESCRIPTION and OUTPUT");
    const int threads = tomio::thread_count(line);
    const std::optional<geom::Geometry> geometry = geom::general_geometry_option(line);
    const toolkit::Phantom phantom = toolkit::read_description(line.positional()[0]);
    if (geometry) {
      const geom::ConeVectors rays = geom::cone_vectors(*geometry);
      tomio::OutputFile target(line.positional()[1], static_cast<std::size_t>(rays.samples()) * sizeof(float));
      toolkit::Progress progress("tomanalytic: views", static_cast<int>(rays.views()));
      const std::vector<float> stack =
          toolkit::analytic_stack_along(phantom, rays, threads, [&](int) { progress.step(); });
      tomio::save_float_image(std::move(target), stack.data(), stack.size());
      return 0;
    }
    if (!toolkit::inside_traced_box(phantom)) {
      std::fprintf(stderr,
                   "tomanalytic: warning: part of the phantom lies outside the traced box "
                   "(-63 < x < 62, -62 < y, z < 63); the projector sees none of it\n");
    }
    tomio::OutputFile target(line.positional()[1]);
    toolkit::Progress progress("tomanalytic: views", scan::kViews);
    const std::vector<float> stack = toolkit::analytic_stack(phantom, threads, [&](int) { progress.step(); });
    toolkit::write_samples(std::move(target), stack, toolkit::FileKind::Stack);
    return 0;
  });
}
