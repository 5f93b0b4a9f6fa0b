// tomrec: the reconstructor. Asks for a ProjectionStack file and an output
// name, reconstructs the Volume by filtered backprojection and writes it.
#include "common/failure.h"
#include "common/parallel.h"
#include "common/run_report.h"
#include "tomrec/reconstruction.h"

int main() {
  const tomio::RunClock clock;
  return tomio::run_main("tomrec", [&] {
    tomrec::run_reconstruction(tomio::available_threads());
    tomio::print_time_line(clock.seconds());
    return 0;
  }, tomio::Console::dialogue);
}
