#include "tomrec/reconstruction.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "common/console_names.h"
#include "common/failure.h"
#include "common/output_file.h"
#include "common/raw_image.h"
#include "common/run_report.h"
#include "common/scan_geometry.h"
#include "common/uninitialized_allocator.h"
#include "tomrec/backprojection.h"
#include "tomrec/projection_filter.h"

namespace tomrec {

void normalise_volume(double* volume_acc, const float* voxel_sum, float* volume_out,
                      std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (voxel_sum[i] != 0) volume_acc[i] = volume_acc[i] / voxel_sum[i];
    volume_out[i] = static_cast<float>(volume_acc[i]);
  }
}

void filter_stack(float* proj, int threads, const std::function<void(int)>& on_view_done) {
  std::vector<float> radial_weight(scan::kViewSamples);
  build_radial_weight(radial_weight.data(), scan::NX, scan::NY);
  filter_views(proj, radial_weight.data(), scan::NX, scan::NY, scan::NZ, threads, on_view_done);
}

void reconstruct_filtered(const float* filtered, const float* detector_sum, const float* voxel_sum,
                          double* volume_acc, float* volume_out, int threads,
                          const std::function<void(int)>& on_view_done) {
  backproject_views(filtered, detector_sum, volume_acc, 0, scan::kViews, threads, on_view_done);
  normalise_volume(volume_acc, voxel_sum, volume_out, scan::kVolumeSamples);
}

std::string weight_file_path(const std::string& dir, const char* name) {
  if (dir.empty() || dir == ".") return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

namespace {

// A weight file that cannot be read fails the run only after the filtering,
// as the run is defined; the user hears at once which one and how to make it.
void tell_missing_weights(const std::string& dir) {
  for (const char* name : {kDetectorSumName, kVoxelSumName}) {
    const std::string path = weight_file_path(dir, name);
    if (access(path.c_str(), R_OK) != 0) {
      const std::string make = dir.empty() || dir == "." ? "tomweight" : "tomweight --dir " + dir;
      std::fprintf(stderr, "%s: %s cannot be read (%s); make the weight files with: %s\n",
                   tomio::program_name().c_str(), path.c_str(), std::strerror(errno), make.c_str());
      std::fflush(stderr);
    }
  }
}

}  // namespace

void run_reconstruction(const RunFiles& files, int threads) {
  // Every array of the run, taken before the first prompt, in this order.
  // The accumulator starts at zero, which is the clearing the backprojection
  // needs. The arrays that a load or the normalisation fills completely
  // before anything reads them are not cleared first.
  using Filled = std::vector<float, tomio::UninitializedAllocator<float>>;
  std::vector<double> volume_acc(scan::kVolumeSamples, 0.0);
  Filled volume_out(scan::kVolumeSamples);
  Filled proj(scan::kStackSamples);
  Filled detector_sum(scan::kStackSamples);
  std::vector<float> plane_re(scan::kViewSamples);
  std::vector<float> plane_im(scan::kViewSamples);
  std::vector<float> radial_weight(scan::kViewSamples);
  Filled voxel_sum(scan::kVolumeSamples);

  const tomio::FileNames names =
      files.ask_names ? tomio::ask_file_names() : tomio::FileNames{files.input, files.output};
  tomio::load_float_image(names.input, proj.data(), proj.size());
  // Claimed before the filtering, so that an output that cannot be written
  // is reported before any work rather than after all of it.
  tomio::OutputFile output(names.output);
  tomio::OutputFile filtered(files.filtered);
  tell_missing_weights(files.weights_dir);

  {
    tomio::ViewProgress progress(scan::kViews);
    filter_projections(proj.data(), plane_re.data(), plane_im.data(), radial_weight.data(),
                       scan::NX, scan::NY, scan::NZ, threads, std::move(filtered),
                       [&](int view) { progress.finished(view); });
  }

  tomio::load_float_image(weight_file_path(files.weights_dir, kDetectorSumName),
                          detector_sum.data(), detector_sum.size());
  tomio::load_float_image(weight_file_path(files.weights_dir, kVoxelSumName), voxel_sum.data(),
                          voxel_sum.size());

  {
    tomio::ViewProgress progress(scan::kViews);
    reconstruct_filtered(proj.data(), detector_sum.data(), voxel_sum.data(), volume_acc.data(),
                         volume_out.data(), threads, [&](int view) { progress.finished(view); });
  }
  tomio::save_float_image(std::move(output), volume_out.data(), volume_out.size());
}

}  // namespace tomrec
