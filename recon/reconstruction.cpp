#include "recon/reconstruction.h"

#include <utility>
#include <vector>

#include "core/console_names.h"
#include "core/failure.h"
#include "core/output_file.h"
#include "core/raw_image.h"
#include "core/run_report.h"
#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include "operators/backprojection.h"
#include "recon/projection_filter.h"
#include "recon/weight_files.h"

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

void reconstruct_filtered_stacks(const float* const* filtered, int count,
                                 const float* detector_sum, const float* voxel_sum,
                                 float* const* volumes_out, int threads,
                                 const std::function<void(int)>& on_view_done) {
  std::vector<std::vector<double>> accs(static_cast<std::size_t>(count),
                                        std::vector<double>(scan::kVolumeSamples, 0.0));
  std::vector<double*> acc_of;
  for (std::vector<double>& a : accs) acc_of.push_back(a.data());
  backproject_stacks(filtered, detector_sum, acc_of.data(), count, 0, scan::kViews, threads,
                     [&](int v) {
                       if (!on_view_done) return;
                       for (int j = 0; j < count; ++j) on_view_done(v);
                     });
  for (int j = 0; j < count; ++j)
    normalise_volume(acc_of[static_cast<std::size_t>(j)], voxel_sum, volumes_out[j], scan::kVolumeSamples);
}

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
  refuse_output_over_run_files(names.output, files.weights_dir, files.filtered);
  tomio::OutputFile output(names.output, volume_out.size() * sizeof(float));
  tomio::OutputFile filtered(files.filtered, proj.size() * sizeof(float));
  warn_of_unusable_weight_files(files.weights_dir);

  {
    tomio::ViewProgress progress(scan::kViews);
    filter_projections(proj.data(), plane_re.data(), plane_im.data(), radial_weight.data(),
                       scan::NX, scan::NY, scan::NZ, threads, std::move(filtered),
                       [&](int view) { progress.finished(view); });
  }

  const std::string detector_path = weight_file_path(files.weights_dir, kDetectorSumName);
  const std::string voxel_path = weight_file_path(files.weights_dir, kVoxelSumName);
  tomio::load_float_image(detector_path, detector_sum.data(), detector_sum.size());
  tomio::load_float_image(voxel_path, voxel_sum.data(), voxel_sum.size());
  warn_of_weight_values(detector_path, detector_sum.data(), detector_sum.size());
  warn_of_weight_values(voxel_path, voxel_sum.data(), voxel_sum.size());

  {
    tomio::ViewProgress progress(scan::kViews);
    reconstruct_filtered(proj.data(), detector_sum.data(), voxel_sum.data(), volume_acc.data(),
                         volume_out.data(), threads, [&](int view) { progress.finished(view); });
  }
  tomio::save_float_image(std::move(output), volume_out.data(), volume_out.size());
}

}  // namespace tomrec
