// tomfdk: FDK reconstruction of a projector stack, in the Volume's own units.
#include <optional>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "core/geometry.h"
#include "core/geometry_option.h"
#include "core/raw_image.h"
#include "recon/fdk.h"
#include "recon/fdk_circular.h"
#include "core/command_line.h"
#include "core/progress.h"
#include "core/sample_files.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomfdk",
    "Usage: tomfdk [--filter ram-lak|shepp-logan|cosine|hamming|hann] [--cutoff C]\n"
    "              [--threads N] [--geometry FILE [--parker-smoothing Q]] INPUT OUTPUT",
    "Reconstructs a ProjectionStack made by the projector (its flat panel, rows,\n"
    "columns and source orbit, no rebinning) by the Feldkamp method: cosine\n"
    "pre-weighting, a ramp along the detector rows zero-padded to 512 samples\n"
    "with the chosen window, and voxel-driven backprojection with distance\n"
    "weighting and bilinear detector interpolation at the voxel centres\n"
    "x = ix - 63.5, y = 64.5 - iy, z = 64.5 - iz. The Volume is in the units of\n"
    "the projected one: a uniform object of value v reconstructs to about v.\n"
    "The windows are functions of the fraction f of the detector's Nyquist\n"
    "frequency, zero above the cutoff C (0 < C <= 1, default 1), with x = f/C:\n"
    "ram-lak 1, shepp-logan sin(pi x/2)/(pi x/2), cosine cos(pi x/2),\n"
    "hamming 0.54 + 0.46 cos(pi x), hann 0.5 + 0.5 cos(pi x).\n"
    "The output is the same bits at any thread count.\n"
    "With --geometry, a stack of line integrals (lengths in mm) of a circular\n"
    "scan of a geometry file (docs/geometry.md), raw float32 of its shape,\n"
    "reconstructed onto its grid in 1/mm: Parker weights on an arc under 360\n"
    "degrees (smoothing Q in (0, 1], default 1, Parker's own), Wang's weights\n"
    "on a detector shifted off the central ray.",
    {
        {"filter", "NAME", "window of the ramp (default ram-lak)"},
        {"cutoff", "C", "cutoff as a fraction of the Nyquist frequency (default 1)"},
        {"threads", "N", "threads to use (default: the processors available)"},
        {"geometry", "FILE", "the circular scan of a geometry file instead of the defined one"},
        {"parker-smoothing", "Q", "smoothing of the short-scan weights, (0, 1] (default 1)"},
    },
    1};

// FDK on a circular scan of a geometry file; its checks run before the
// stack is read.
int reconstruct_on_geometry(const tomio::CommandLine& line, const geom::Geometry& g,
                            const quant::FdkOptions& defined_options) {
  const geom::CircularScan scan = geom::circular_scan(g);
  quant::FdkCircularOptions options;
  options.window = defined_options.window;
  options.cutoff = defined_options.cutoff;
  options.threads = defined_options.threads;
  options.parker_smoothing = tomio::parse_double(line.value("parker-smoothing", "1"), "--parker-smoothing");
  quant::check_fdk_scan(scan, options);
  const std::size_t samples = static_cast<std::size_t>(scan.angles_deg.size()) *
                              static_cast<std::size_t>(scan.rows * scan.columns);
  const std::vector<float> stack = toolkit::read_float_samples(line.positional()[0], samples);
  const std::size_t voxels = static_cast<std::size_t>(g.grid.voxels());
  tomio::OutputFile target(line.positional()[1], voxels * sizeof(float));
  std::vector<float> volume(voxels);
  toolkit::Progress progress("tomfdk: steps", static_cast<int>(quant::fdk_circular_step_count(scan)));
  quant::fdk_circular(scan, stack.data(), volume.data(), options, [&](std::int64_t) { progress.step(); });
  tomio::save_float_image(std::move(target), volume.data(), volume.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected INPUT and OUTPUT");
    quant::FdkOptions options;
    options.window = quant::fdk_window_from_name(line.value("filter", "ram-lak"));
    options.cutoff = tomio::parse_double(line.value("cutoff", "1"), "--cutoff");
    if (!(options.cutoff > 0.0 && options.cutoff <= 1.0))
      tomio::fail_usage("--cutoff must lie in (0, 1]");
    options.threads = tomio::thread_count(line);
    toolkit::refuse_outputs_over_inputs({line.positional()[1]}, {line.positional()[0]});
    if (const std::optional<geom::Geometry> g = geom::general_geometry_option(line))
      return reconstruct_on_geometry(line, *g, options);
    const std::vector<float> stack = toolkit::read_stack(line.positional()[0]);
    // Claimed before the work, so that a name that cannot be written is
    // reported at once.
    tomio::OutputFile target(line.positional()[1], scan::kVolumeSamples * sizeof(float));
    std::vector<float> volume(scan::kVolumeSamples);
    toolkit::Progress progress("tomfdk: steps", quant::fdk_step_count());
    quant::fdk_reconstruct(stack.data(), volume.data(), options, [&](int) { progress.step(); });
    toolkit::write_samples(std::move(target), volume, toolkit::FileKind::Volume);
    return 0;
  });
}
