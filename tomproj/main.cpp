// tomproj: the forward projector. Asks for a Volume file and an output name,
// projects the Volume along every ray of the circular cone-beam scan and
// writes the ProjectionStack.
#include <new>
#include <vector>

#include "common/console_names.h"
#include "common/failure.h"
#include "common/output_file.h"
#include "common/parallel.h"
#include "common/raw_image.h"
#include "common/run_report.h"
#include "common/scan_geometry.h"
#include "tomproj/projector.h"

int main() {
  tomio::set_program_name("tomproj");
  const tomio::RunClock clock;
  try {
    std::vector<float> volume(scan::kVolumeSamples);
    std::vector<float> stack(scan::kStackSamples, 0.0f);

    const tomio::FileNames names = tomio::ask_file_names();
    tomio::load_float_image(names.input, volume.data(), volume.size());
    // Claimed before the projection, so that a name that cannot be written
    // is reported at once instead of after all the work.
    tomio::OutputFile output(names.output);

    tomio::ViewProgress progress(scan::kViews);
    tomproj::project_stack(volume.data(), stack.data(), tomio::available_threads(),
                           [&](int view) { progress.finished(view); });

    tomio::save_float_image(std::move(output), stack.data(), stack.size());
    tomio::print_time_line(clock.seconds());
  } catch (const std::bad_alloc&) {
    tomio::fail_run("not enough memory for the run");
  }
  return 0;
}
