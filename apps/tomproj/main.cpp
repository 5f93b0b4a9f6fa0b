// tomproj: the forward projector. Asks for a Volume file and an output name
// (or takes both from the command line), projects the Volume along every ray
// of the circular cone-beam scan and writes the ProjectionStack.
#include <optional>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/console_names.h"
#include "core/failure.h"
#include "core/geometry.h"
#include "core/geometry_option.h"
#include "core/metaimage_input.h"
#include "core/sample_files.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/run_report.h"
#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include "operators/cone_projector.h"
#include "operators/projector.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomproj",
    "Usage: tomproj                  (asks for INPUT and OUTPUT)\n"
    "       tomproj INPUT OUTPUT\n"
    "       tomproj --geometry FILE INPUT[.mhd] OUTPUT[.mhd]",
    "Projects the Volume INPUT (128 x 128 x 128 float32) along every ray of\n"
    "the circular cone-beam scan and writes the ProjectionStack OUTPUT (256\n"
    "views x 256 rows x 256 columns, float32). Without INPUT and OUTPUT it\n"
    "asks for both names on the console. Progress (the view numbers) and the\n"
    "time taken go to standard output.\n"
    "With --geometry, the scan of a geometry file (docs/geometry.md): INPUT is\n"
    "a raw float32 Volume of its shape, OUTPUT its stack (views x rows x\n"
    "columns), each ray's length in mm through every voxel times its value,\n"
    "by the exact voxel walk. The defined preset keeps the defined projector.\n"
    "An INPUT ending in .mhd is a MetaImage header: its DimSize, ElementSpacing\n"
    "and Offset must be the geometry's (as tommhd writes them), and its raw\n"
    "file is read. An OUTPUT ending in .mhd writes OUTPUT.raw and its header.\n"
    "Exit status: 0 complete, 1 a file cannot be used (\"error input data\",\n"
    "\"error output data\"), 2 a usage error.",
    {{"geometry", "FILE", "the scan of a geometry file instead of the defined one"},
     {"threads", "N", "threads of a --geometry run (default: the processors available)"}},
    1,
    tomio::Console::dialogue};

// A scan other than the defined one: the cone walk of core/geometry.h's
// vectors. The geometry is read and checked before anything is allocated.
int project_on_geometry(const tomio::CommandLine& line, const geom::Geometry& g, const tomio::RunClock& clock) {
  const auto& given = line.positional();
  if (given.size() != 2) tomio::fail_usage("with --geometry, name INPUT and OUTPUT");
  const int threads = tomio::thread_count(line);
  geom::check_cone_walk(g);
  const geom::ConeVectors rays = geom::cone_vectors(g);
  tomproj::check_cone_scan(g.grid, rays);
  // A MetaImage output is its raw file and the header beside it.
  const bool header_out = toolkit::is_metaimage_name(given[1]);
  const std::string raw_out = header_out ? toolkit::raw_path_for_header(given[1]) : given[1];
  std::vector<std::string> outputs = {raw_out};
  if (header_out) outputs.push_back(given[1]);
  toolkit::refuse_outputs_over_inputs(outputs, {given[0]});
  const std::vector<float> volume =
      toolkit::is_metaimage_name(given[0])
          ? toolkit::read_metaimage_samples(given[0], toolkit::FileKind::Volume, g)
          : toolkit::read_float_samples(given[0], static_cast<std::size_t>(g.grid.voxels()));
  tomio::OutputFile output(raw_out, static_cast<std::size_t>(rays.samples()) * sizeof(float));
  std::optional<tomio::OutputFile> header;
  if (header_out) header.emplace(given[1]);
  std::vector<float> stack(static_cast<std::size_t>(rays.samples()));
  const float* volumes[1] = {volume.data()};
  float* stacks[1] = {stack.data()};
  tomproj::cone_project(g.grid, rays, volumes, 1, stacks, threads);
  output.write(stack.data(), stack.size() * sizeof(float));
  output.commit();
  if (header) {
    // The header names its raw file beside it.
    const std::string::size_type slash = raw_out.find_last_of('/');
    const std::string text = toolkit::metaimage_header(
        toolkit::FileKind::Stack, g, slash == std::string::npos ? raw_out : raw_out.substr(slash + 1));
    header->write(text.data(), text.size());
    header->commit();
  }
  tomio::print_time_line(clock.seconds());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const tomio::RunClock clock;
  return tomio::run_tool(kSpec, argc, argv, [&](const tomio::CommandLine& line) {
    if (const std::optional<geom::Geometry> g = geom::general_geometry_option(line))
      return project_on_geometry(line, *g, clock);
    const auto& given = line.positional();
    if (!given.empty() && given.size() != 2) {
      tomio::fail_usage("expected INPUT and OUTPUT, or neither (to be asked for them)");
    }
    std::vector<float> volume(scan::kVolumeSamples);
    // Every sample is written by the projection of its view before anything
    // reads it, so the stack is not cleared first: its pages are then first
    // touched by the threads that fill them.
    std::vector<float, tomio::UninitializedAllocator<float>> stack(scan::kStackSamples);

    const tomio::FileNames names =
        given.empty() ? tomio::ask_file_names() : tomio::FileNames{given[0], given[1]};
    tomio::load_float_image(names.input, volume.data(), volume.size());
    // Claimed before the projection, so that a name that cannot be written
    // is reported at once instead of after all the work.
    tomio::OutputFile output(names.output, stack.size() * sizeof(float));

    // The views are written out in order while later ones are still being
    // projected. A failed write ends the projection: no view is started
    // after it, and the failure reaches run_main.
    tomio::ViewProgress progress(scan::kViews, [&](int view) {
      output.write(stack.data() + view * scan::kViewSamples, scan::kViewSamples * sizeof(float));
    });
    tomproj::project_stack(volume.data(), stack.data(), tomio::available_threads(),
                           [&](int view) { progress.finished(view); });
    output.commit();
    tomio::print_time_line(clock.seconds());
    return 0;
  });
}
