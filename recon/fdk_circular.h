// Feldkamp (FDK) reconstruction on any circular scan: a flat detector of any
// shape, pitch and offset, any source distances, any ascending list of view
// angles (a full turn, or a short arc of at least 180 degrees plus the fan
// angle), any voxel grid. Frame and formulas: core/geometry.h.
//
// Steps, per view: every detector sample is weighted by the cosine of its
// ray's angle with the central ray, sdd / sqrt(sdd^2 + u^2 + v^2) (u, v the
// pixel's offsets from the central ray's foot on the detector, detector
// offsets included), by its redundancy weight (recon/redundancy_weights.h:
// 1/2 on a full turn, Parker's on a short arc, Wang's on an offset
// detector) and by the view's angular interval; each row is filtered by the
// ramp band-limited to the detector pitch scaled to the isocentre (zero-
// padded to the power of two at or above twice the row, FFTW in double,
// with the windows and cutoff of recon/fdk.h). On an offset detector the
// filtered rows are kept on the detector widened to mirror its wide side,
// since the ramp's response reaches beyond the measured columns. Then every voxel centre of
// the grid gathers, view by view, the bilinear sample of the filtered view
// where its ray meets the detector (0 off the detector) times the distance
// weight (sod / depth)^2, depth its distance from the source along the
// central ray.
//
// The backprojection runs W voxels of a column at once in the lane
// operations of core/vector_lanes.h, with the same bits as one at a time.
//
// Units: the volume comes out in the projections' unit per mm (1/mm for
// dimensionless line integrals over lengths in mm). Every voxel is summed in
// double over the views in ascending order, so the result is the same bits
// at any thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "core/geometry.h"
#include "core/kernel_dispatch.h"
#include "recon/fdk.h"

namespace quant {

struct FdkCircularOptions {
  FdkWindow window = FdkWindow::ram_lak;
  double cutoff = 1.0;            // fraction of the detector's Nyquist frequency, (0, 1]
  double parker_smoothing = 1.0;  // Wesarg's q, (0, 1]; 1 is Parker's original
  // false: every ray counts one half, as on a full turn, whatever the scan
  // (no Parker or Wang weights, no short-arc refusal), to show what the
  // weights do.
  bool redundancy_weights = true;
  int threads = 1;
  // The backprojection's kernel (core/kernel_dispatch.h); unset: the
  // process's. Every kernel gives the same bits.
  std::optional<kernels::Kernel> kernel;
};

// Refuses (usage failure naming the field) a scan FDK cannot run: empty
// sizes, pitches, voxel sizes or distances that are not positive and
// finite, offsets that are not finite, a volume that reaches the source's
// orbit, and the angle lists and arcs that recon/redundancy_weights.h
// refuses. Runs before any large allocation.
void check_fdk_scan(const geom::CircularScan& scan, const FdkCircularOptions& options);

// The length of a padded detector row: the power of two at or above twice
// the row.
std::int64_t fdk_padded_length(std::int64_t columns);

// The ramp's frequency response for rows of the padded length (padded / 2
// + 1 values): the transform of the ramp kernel band-limited to the
// detector pitch at the isocentre, times the window, times that pitch and
// FFTW's 1/N.
std::vector<double> fdk_ramp_response(double isocentre_pitch, std::int64_t padded_length,
                                      const FdkCircularOptions& options);

// Steps reported by fdk_circular: one per filtered view, then one per tile
// of voxel columns.
std::int64_t fdk_circular_step_count(const geom::CircularScan& scan);

// stack: views x rows x columns (column fastest); volume: nz x ny x nx.
// on_step_done(done) is called fdk_circular_step_count times with done
// counting up, from one thread at a time.
void fdk_circular(const geom::CircularScan& scan, const float* stack, float* volume,
                  const FdkCircularOptions& options,
                  const std::function<void(std::int64_t)>& on_step_done = nullptr);

}  // namespace quant
