// tomproj: the forward projector. Asks for a Volume file and an output name,
// projects the Volume along every ray of the circular cone-beam scan and
// writes the ProjectionStack.
#include <new>
#include <string>
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
  tomio::set_program_name("tomproj");
  const tomio::RunClock clock;
  try {
    std::vector<float> volume(scan::kVolumeSamples);
    // Every sample is written by the projection of its view before anything
    // reads it, so the stack is not cleared first: its pages are then first
    // touched by the threads that fill them.
    std::vector<float, tomio::UninitializedAllocator<float>> stack(scan::kStackSamples);

    const tomio::FileNames names = tomio::ask_file_names();
    tomio::load_float_image(names.input, volume.data(), volume.size());
    // Claimed before the projection, so that a name that cannot be written
    // is reported at once instead of after all the work.
    tomio::OutputFile output(names.output);

    // The views are written out in order while later ones are still being
    // projected. A failed write is kept and reported once the threads are
    // done, the first one ending the writing.
    std::string write_failure;
    tomio::ViewProgress progress(scan::kViews, [&](int view) {
      if (write_failure.empty())
        output.try_write(stack.data() + view * scan::kViewSamples, scan::kViewSamples * sizeof(float),
                         write_failure);
    });
    tomproj::project_stack(volume.data(), stack.data(), tomio::available_threads(),
                           [&](int view) { progress.finished(view); });
    if (!write_failure.empty()) tomio::fail_output(write_failure);
    output.commit();
    tomio::print_time_line(clock.seconds());
  } catch (const std::bad_alloc&) {
    tomio::fail_run("not enough memory for the run");
  }
  return 0;
}
