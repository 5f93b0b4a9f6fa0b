// Tracing a batch of neighbouring rays of one detector row side by side.
//
// Each ray is still traced exactly as a single ray is: the same sample
// positions, the same inside test, the same split of every step and the same
// piece-by-piece float32 sums. The rays of a batch only share the loop over
// the step counts (and the searches for their spans of counts), so that
// their arithmetic runs in vector lanes.
#pragma once

#include <vector>

#include "core/kernel_dispatch.h"
#include "core/scan_geometry.h"
#include "operators/nonzero_region.h"

namespace tomproj {

// Batches are traced with one of the process's kernels; Kernel::scalar
// traces rays one at a time and has no batches.
using kernels::Kernel;

// Rays per batch of a kernel (a divisor of the row length).
int batch_rays(Kernel kernel);

// One ray of a batch: its unit direction and the span of counts to trace:
// counts whose samples pass the inside test, less any at either end whose
// steps add only zeros (empty when nothing is added).
struct BatchRay {
  double d[3];
  int first;
  int last;
};

// Sets first and last of the batch_rays(kernel) rays at `rays` from their
// directions: the counts whose samples pass the inside test, narrowed to
// those whose steps can touch `box`. Bit for bit what scan::inside_span and
// counts_near_box give one ray at a time. The kernel must run here and
// not be Kernel::scalar.
void span_batch(Kernel kernel, const scan::Point3& source, const NonzeroBox& box,
                BatchRay* rays);

// Traces batch_rays(kernel) rays leaving `source` through `count` Volumes
// and writes the detector samples of the rays in Volume j from samples[j]
// on. The pieces of each step are found once for all the Volumes. Volume
// j's voxel at Volume position i is volumes[j][spacing * i] (spacing 1 for
// Volumes of their own, see interleave_volumes). The kernel must run here
// and not be Kernel::scalar.
void trace_batch(Kernel kernel, const scan::Point3& source, const BatchRay* rays,
                 const float* const* volumes, int count, int spacing, float* const* samples);

// Room for the pieces of one group of lanes, recorded before they are added;
// one per thread.
struct AdjointScratch {
  std::vector<int> start;
  std::vector<int> position;
  std::vector<double> amount;
  std::vector<int> three_counts;
};

// The transpose of trace_batch for one Volume: adds samples[i] x length of
// every piece of ray i of the `count` rays at `rays` (a multiple of
// batch_rays(kernel); their spans as span_batch sets them, empty for rays to
// leave out) into acc (Volume layout, double), ray after ray in the order
// given, each ray step by step and piece by piece: bit for bit what the
// rays' additions one at a time give. The kernel must run here and not be
// Kernel::scalar.
void adjoint_batches(Kernel kernel, const scan::Point3& source, const BatchRay* rays, int count,
                     const double* samples, double* acc, AdjointScratch& scratch);

}  // namespace tomproj
