// The reconstruction run: filtered backprojection of a ProjectionStack into
// a Volume, normalised by the two weight files that lie in the working
// directory.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "recon/projection_filter.h"

namespace tomrec {

// The weight files the run reads from the working directory: per detector
// sample (ProjectionStack layout) and per voxel (Volume layout) the sum of
// the segment lengths that the backprojection credits.
constexpr const char* kDetectorSumName = "long_sum_detector.img";
constexpr const char* kVoxelSumName = "long_sum_voxel.img";

// Divides every voxel sum by its voxel weight (a zero weight leaves the sum
// as it is) and narrows the result to float32 into volume_out.
void normalise_volume(double* volume_acc, const float* voxel_sum, float* volume_out,
                      std::size_t count);

// Filters a ProjectionStack in place into what the run writes as its
// filtered stack, on `threads` threads; on_view_done(v) once per view.
void filter_stack(float* proj, int threads, const std::function<void(int)>& on_view_done);

// The run after the filtering: backprojects every sample of the filtered
// stack into volume_acc (all zero on entry), normalises by the voxel weights
// and narrows into volume_out. on_view_done(v) once per view.
void reconstruct_filtered(const float* filtered, const float* detector_sum, const float* voxel_sum,
                          double* volume_acc, float* volume_out, int threads,
                          const std::function<void(int)>& on_view_done);

// The same for `count` filtered stacks, backprojected in one walk:
// volumes_out[j] is bit for bit what reconstruct_filtered gives filtered[j].
// on_view_done(v) once per view and stack.
void reconstruct_filtered_stacks(const float* const* filtered, int count,
                                 const float* detector_sum, const float* voxel_sum,
                                 float* const* volumes_out, int threads,
                                 const std::function<void(int)>& on_view_done);

// The files of a run: asked for on the console (the dialogue), or given.
struct RunFiles {
  bool ask_names = true;
  std::string input, output;    // when not asked
  std::string weights_dir;      // where the weight files are; "" the working directory
  std::string filtered = kFilteredStackName;  // where the filtered stack goes
};

// The whole run after the arrays are taken: takes the input and output
// names (asking for them, or as given), loads the stack, filters it (writing
// the filtered stack), loads the weights, backprojects every sample on
// `threads` threads, normalises and writes the Volume. Both outputs are
// claimed before any work, so a name that cannot be written (or that would
// replace a weight file or the filtered stack) stops the run at once;
// missing weight files are named on standard error at once but, as the
// run's order defines, stop it only after the filtering. Any file that
// cannot be used is a tomio::Failure.
void run_reconstruction(const RunFiles& files, int threads);

}  // namespace tomrec
