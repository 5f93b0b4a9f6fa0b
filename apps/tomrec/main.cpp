// tomrec: the reconstructor. Asks for a ProjectionStack file and an output
// name (or takes both from the command line), reconstructs the Volume by
// filtered backprojection and writes it.
#include "core/command_line.h"
#include "core/failure.h"
#include "core/parallel.h"
#include "core/run_report.h"
#include "recon/reconstruction.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomrec",
    "Usage: tomrec [--weights DIR] [--filtered PATH]           (asks for INPUT and OUTPUT)\n"
    "       tomrec [--weights DIR] [--filtered PATH] INPUT OUTPUT",
    "Reconstructs the Volume OUTPUT (128 x 128 x 128 float32) from the\n"
    "ProjectionStack INPUT (256 views x 256 rows x 256 columns, float32) by\n"
    "filtered backprojection along tomrec's own rays (a stack made by tomproj\n"
    "is rebinned with tomrebin first). Without INPUT and OUTPUT it asks for\n"
    "both names on the console. It writes the filtered stack to\n"
    "Radon_FLT_dounatsu.img and reads the weight files long_sum_detector.img\n"
    "and long_sum_voxel.img (made by tomweight), all in the working directory\n"
    "unless the options say otherwise. Progress (the view numbers, twice) and\n"
    "the time taken go to standard output.\n"
    "Exit status: 0 complete, 1 a file cannot be used (\"error input data\",\n"
    "\"error output data\"), 2 a usage error.",
    {
        {"weights", "DIR", "read the two weight files from DIR"},
        {"filtered", "PATH", "write the filtered stack to PATH"},
    },
    1,
    tomio::Console::dialogue};

}  // namespace

int main(int argc, char** argv) {
  const tomio::RunClock clock;
  return tomio::run_tool(kSpec, argc, argv, [&](const tomio::CommandLine& line) {
    tomrec::RunFiles files;
    const auto& names = line.positional();
    if (names.size() == 2) {
      files.ask_names = false;
      files.input = names[0];
      files.output = names[1];
    } else if (!names.empty()) {
      tomio::fail_usage("expected INPUT and OUTPUT, or neither (to be asked for them)");
    }
    files.weights_dir = line.value("weights", "");
    files.filtered = line.value("filtered", tomrec::kFilteredStackName);
    if (files.filtered.empty()) tomio::fail_usage("--filtered needs a file name");
    tomrec::run_reconstruction(files, tomio::available_threads());
    tomio::print_time_line(clock.seconds());
    return 0;
  });
}
