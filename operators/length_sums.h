// The two weight files of the reconstructor: per detector sample and per
// voxel, the sums of the segment lengths that its backprojection credits.
#pragma once

#include <functional>

namespace tomweight {

// Walks every ray of the scan with the reconstructor's own walk and slabs,
// on `threads` threads, and fills
//   detector_sum (ProjectionStack layout): per ray the double sum, in walk
//     order, of its segment lengths, stored as float32; 0 for a ray that
//     never enters the inside box;
//   voxel_sum (Volume layout): what a backprojection of samples 1 with
//     detector weights 1 adds into the double accumulator, that is the sum
//     of the lengths credited to the voxel over all rays in the order view,
//     row, column, stored as float32.
// on_view_done(v) is called once per finished view (any thread, any order).
void compute_length_sums(float* detector_sum, float* voxel_sum, int threads,
                         const std::function<void(int)>& on_view_done);

}  // namespace tomweight
