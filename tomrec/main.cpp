// tomrec: the reconstructor. Asks for a ProjectionStack file and an output
// name, reconstructs the Volume by filtered backprojection and writes it.
#include <new>

#include "common/failure.h"
#include "common/parallel.h"
#include "common/run_report.h"
#include "tomrec/reconstruction.h"

int main() {
  tomio::set_program_name("tomrec");
  const tomio::RunClock clock;
  try {
    tomrec::run_reconstruction(tomio::available_threads());
    tomio::print_time_line(clock.seconds());
  } catch (const std::bad_alloc&) {
    tomio::fail_run("not enough memory for the run");
  }
  return 0;
}
