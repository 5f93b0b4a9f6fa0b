// tomproj: the forward projector. Asks for a Volume file and an output name
// (or takes both from the command line), projects the Volume along every ray
// of the circular cone-beam scan and writes the ProjectionStack.
#include <vector>

#include "core/command_line.h"
#include "core/console_names.h"
#include "core/failure.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/run_report.h"
#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include "operators/projector.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomproj",
    "Usage: tomproj                  (asks for INPUT and OUTPUT)\n"
    "       tomproj INPUT OUTPUT",
    "Projects the Volume INPUT (128 x 128 x 128 float32) along every ray of\n"
    "the circular cone-beam scan and writes the ProjectionStack OUTPUT (256\n"
    "views x 256 rows x 256 columns, float32). Without INPUT and OUTPUT it\n"
    "asks for both names on the console. Progress (the view numbers) and the\n"
    "time taken go to standard output.\n"
    "Exit status: 0 complete, 1 a file cannot be used (\"error input data\",\n"
    "\"error output data\"), 2 a usage error.",
    {},
    1,
    tomio::Console::dialogue};

}  // namespace

int main(int argc, char** argv) {
  const tomio::RunClock clock;
  return tomio::run_tool(kSpec, argc, argv, [&](const tomio::CommandLine& line) {
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
