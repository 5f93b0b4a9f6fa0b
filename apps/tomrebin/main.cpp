// tomrebin: turns the projector's ProjectionStack into the one the
// reconstructor expects for the same scan.
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "core/progress.h"
#include "recon/rebinning.h"
#include "core/sample_files.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomrebin",
    "Usage: tomrebin [--threads N] INPUT OUTPUT",
    "Reads a ProjectionStack in the projector's ray geometry (flat panel,\n"
    "positive column offsets towards +x at view 0) and writes the stack in\n"
    "the reconstructor's geometry (curved row of detector points, mirrored\n"
    "columns). Every output sample (view, row, column) is the input view read\n"
    "by bilinear interpolation where the reconstructor's ray of that sample\n"
    "meets the projector's panel: at column u' + 128 and row 128 - v', with\n"
    "u = column - 128, g = atan2(u, 512), p = sqrt(256^2 + u^2),\n"
    "u' = -512 p sin 2g / (256 + p cos 2g), v' = 512 (128 - row) / (256 + p cos 2g).\n"
    "Points off the panel read 0.",
    {
        {"threads", "N", "threads to use (default: the processors available)"},
    },
    1};

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected INPUT and OUTPUT");
    const int threads = tomio::thread_count(line);
    toolkit::refuse_outputs_over_inputs({line.positional()[1]}, {line.positional()[0]});
    const std::vector<float> input = toolkit::read_stack(line.positional()[0]);
    // Claimed before the work, so that a name that cannot be written is
    // reported at once.
    tomio::OutputFile target(line.positional()[1], scan::kStackSamples * sizeof(float));
    std::vector<float> output(scan::kStackSamples);
    toolkit::Progress progress("tomrebin: views", scan::kViews);
    toolkit::rebin_stack(input.data(), output.data(), threads, [&](int) { progress.step(); });
    toolkit::write_samples(std::move(target), output, toolkit::FileKind::Stack);
    return 0;
  });
}
