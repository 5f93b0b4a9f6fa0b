// tomnoise: the ProjectionStack of a scan at a given dose, with seeded
// Poisson (and optionally electronic) noise.
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
#include "sim/dose_noise.h"
#include "core/sample_files.h"

namespace {


const tomio::ToolSpec kSpec{
    "tomnoise",
    "Usage: tomnoise (--i0 I0 | --i0-file FILE) --seed N [--mu M] [--electronic SIGMA]\n"
    "                [--floor F] [--threads N] [--geometry FILE] INPUT OUTPUT",
    "Reads a ProjectionStack of line integrals p (value x length in voxels)\n"
    "and writes the stack a scan with I0 photons per detector pixel would\n"
    "measure: for every sample, whole counts drawn from the Poisson law of\n"
    "mean I0 exp(-M p), plus normal electronic noise of deviation SIGMA\n"
    "counts, raised to F where below F, written as -ln(counts / I0) / M.\n"
    "The random numbers of sample (view, row, column) come from a Philox\n"
    "counter-based generator keyed by the seed and that sample's position,\n"
    "so the output is the same bits at any thread count and on any machine;\n"
    "another seed gives other noise. Reports the mean counts and the share\n"
    "of samples raised to the floor (photon starvation) on standard error.\n"
    "With --geometry, INPUT is a raw float32 stack of a geometry file's scan\n"
    "(docs/geometry.md; views x rows x columns, lengths in mm), M is per unit\n"
    "value and mm, and --i0-file holds one I0 per view of that scan.",
    {
        {"i0", "I0", "photons per pixel without object, every view"},
        {"i0-file", "FILE", "one I0 per view: a text file of 256 numbers (tube-current modulation)"},
        {"seed", "N", "seed of the noise, 0 ... 10^19 - 1 (required)"},
        {"mu", "M", "attenuation per unit value and voxel length (default 0.15: see README)"},
        {"electronic", "SIGMA", "deviation of the electronic noise in counts (default 0)"},
        {"floor", "F", "least counts kept, 0 < F < I0 (default 1)"},
        {"threads", "N", "threads to use (default: the processors available)"},
        {"geometry", "FILE", "a stack of the scan of a geometry file instead of the defined one"},
    },
    1};

// The settings of a scan of `views` views.
toolkit::DoseSettings settings_of(const tomio::CommandLine& line, std::int64_t views) {
  toolkit::DoseSettings s;
  if (line.has("i0") == line.has("i0-file")) tomio::fail_usage("give either --i0 or --i0-file");
  if (!line.has("seed")) tomio::fail_usage("--seed is required: the noise of a run is chosen by it");
  s.seed = tomio::parse_seed(line.value("seed"), "--seed");
  if (line.has("mu")) s.attenuation = tomio::parse_double(line.value("mu"), "--mu");
  if (line.has("electronic")) s.electronic = tomio::parse_double(line.value("electronic"), "--electronic");
  if (line.has("floor")) s.floor = tomio::parse_double(line.value("floor"), "--floor");
  s.i0 = line.has("i0") ? toolkit::constant_i0(tomio::parse_double(line.value("i0"), "--i0"), views)
                        : toolkit::read_i0_file(line.value("i0-file"), views);
  toolkit::check_dose_settings(s, views);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected INPUT and OUTPUT");
    // The stack's shape: the defined scan's, or a geometry file's.
    const std::optional<geom::Geometry> geometry = geom::general_geometry_option(line);
    const toolkit::StackShape shape =
        geometry ? toolkit::StackShape{geometry->views(), geometry->rows, geometry->columns}
                 : toolkit::StackShape{scan::kViews, scan::kRows, scan::kColumns};
    const toolkit::DoseSettings settings = settings_of(line, shape.views);
    const int threads = tomio::thread_count(line);
    std::vector<float> stack =
        toolkit::read_float_samples(line.positional()[0], static_cast<std::size_t>(shape.views * shape.rows * shape.columns));
    // Claimed before the work, so that a name that cannot be written is
    // reported at once.
    tomio::OutputFile target(line.positional()[1]);
    const toolkit::DoseTally tally =
        toolkit::add_dose_noise(settings, shape, stack.data(), stack.data(), 0, shape.views, threads);
    tomio::save_float_image(std::move(target), stack.data(), stack.size());
    const double n = tally.samples > 0 ? static_cast<double>(tally.samples) : 1.0;
    std::fprintf(stderr,
                 "tomnoise: mean counts %.6g per sample (expected %.6g); %zu of %zu samples "
                 "(%.4g%%) raised to the floor of %g (photon starvation)\n",
                 tally.counts / n, tally.expected_counts / n, tally.starved, tally.samples,
                 100.0 * static_cast<double>(tally.starved) / n, settings.floor);
    if (tally.non_finite > 0) {
      std::fprintf(stderr, "tomnoise: warning: %zu NaN input samples passed through as NaN\n",
                   tally.non_finite);
    }
    return 0;
  });
}
