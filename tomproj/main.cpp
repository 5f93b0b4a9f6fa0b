// tomproj: the forward projector. Asks for a Volume file and an output name,
// projects the Volume along every ray of the circular cone-beam scan and
// writes the ProjectionStack.
#include <vector>

#include "common/console_names.h"
#include "common/failure.h"
#include "common/output_file.h"
#include "common/parallel.h"
#include "common/raw_image.h"
#include "common/run_report.h"
#include "common/scan_geometry.h"
#include "common/uninitialized_allocator.h"
#include "tomproj/projector.h"

int main() {
  const tomio::RunClock clock;
  return tomio::run_main("tomproj", [&] {
    std::vector<float> volume(scan::kVolumeSamples);
    // Every sample is written by the projection of its view before anything
    // reads it, so the stack is not cleared first: its pages are then first
    // touched by the threads that fill them.
    std::vector<float, tomio::UninitializedAllocator<float>> stack(scan::kStackSamples);

    const tomio::FileNames names = tomio::ask_file_names();
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
  }, tomio::Console::dialogue);
}
