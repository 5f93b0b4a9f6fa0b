// tomweight: writes the reconstructor's weight files, "long_sum_detector.img"
// and "long_sum_voxel.img", from the reconstructor's own ray walk.
#include <string>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include "recon/reconstruction.h"
#include "recon/weight_files.h"
#include "operators/length_sums.h"
#include "core/command_line.h"
#include "core/progress.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomweight",
    "Usage: tomweight [--dir DIR] [--threads N]\n",
    "Walks every ray of the reconstructor's scan (256 views x 256 rows x 256\n"
    "columns) exactly as tomrec backprojects it and writes its two weight\n"
    "files into DIR (default: the working directory):\n"
    "  long_sum_detector.img  per detector sample, the sum of the segment\n"
    "                         lengths along its ray (ProjectionStack layout);\n"
    "  long_sum_voxel.img     per voxel, the sum of the segment lengths that\n"
    "                         all rays credit to it (Volume layout).\n"
    "Both are float32, 4 bytes a sample, and replace any file of that name\n"
    "only once they are complete. Progress is shown on standard error.",
    {
        {"dir", "DIR", "directory to write the two files into (default .)"},
        {"threads", "N", "threads to use (default: the processors this process may use)"},
    },
    1};

int run(const tomio::CommandLine& line) {
  if (!line.positional().empty()) {
    tomio::fail_usage("unexpected argument '" + line.positional().front() + "'");
  }
  const std::string dir = line.value("dir", ".");
  const int threads = tomio::thread_count(line);
  // (compute_length_sums fills both completely, so they are not cleared here.)
  std::vector<float, tomio::UninitializedAllocator<float>> detector_sum(scan::kStackSamples);
  std::vector<float, tomio::UninitializedAllocator<float>> voxel_sum(scan::kVolumeSamples);
  // Both outputs are claimed before the walk, so that a directory that
  // cannot be written is reported at once.
  tomio::OutputFile detector_file(tomrec::weight_file_path(dir, tomrec::kDetectorSumName),
                                  detector_sum.size() * sizeof(float));
  tomio::OutputFile voxel_file(tomrec::weight_file_path(dir, tomrec::kVoxelSumName),
                               voxel_sum.size() * sizeof(float));

  toolkit::Progress progress("views", scan::kViews);
  tomweight::compute_length_sums(detector_sum.data(), voxel_sum.data(), threads,
                                 [&](int) { progress.step(); });
  tomio::save_float_image(std::move(detector_file), detector_sum.data(), detector_sum.size());
  tomio::save_float_image(std::move(voxel_file), voxel_sum.data(), voxel_sum.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tomio::run_tool(kSpec, argc, argv, run); }
