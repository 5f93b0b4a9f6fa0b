// The reconstructor's backprojection and run loop written out literally, step
// by step, with none of the shortcuts of the program: every count of every ray
// is formed and tested, every distance is divided, every sample is backprojected
// by one thread in the order view, row, column. The tests hold the program to
// this rendering bit for bit.
#pragma once

#include <functional>

namespace oracle {

// The literal walk of the line source_xyz -> detector_xyz: credit(k, sub_min)
// for every segment in order, all 2*dist counts.
void walk_segments(const double source_xyz[3], const double detector_xyz[3], int NX, int NY,
                   int NZ, double dist, const std::function<void(long k, double sub_min)>& credit);

// The sum of the segment lengths of the line, in walk order.
double length_sum(const double source_xyz[3], const double detector_xyz[3], double dist);

// Spreads sample (v, r, c) of proj along the line source_xyz -> detector_xyz
// into volume_acc, dividing by detector_sum; all 2*dist counts.
void backproject_ray(const float* proj, const float* detector_sum, int v, int r, int c,
                     double* volume_acc, const double source_xyz[3], const double detector_xyz[3],
                     int NX, int NY, int NZ, double dist);

// The source and the detector point of (v, r, c), each coordinate clamped.
void ray_ends(int v, int r, int c, double source_xyz[3], double detector_xyz[3]);

// Backprojects every row and column of views first_view ... last_view - 1, in
// order, into volume_acc (not cleared here).
void backproject_views(const float* proj, const float* detector_sum, double* volume_acc,
                       int first_view, int last_view);

// Divides by the voxel weights (skipping zeros) and narrows to float32.
void normalise_and_narrow(double* volume_acc, const float* voxel_sum, float* volume_out);

}  // namespace oracle
