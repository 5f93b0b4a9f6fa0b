// The forward projector written out literally, step by step, with none of the
// shortcuts of the program: every sample of every ray is formed and tested,
// every split clears its tables and sorts by selection. The tests hold the
// program to this rendering bit for bit.
#pragma once

namespace oracle {

struct Split {
  int c = 0;
  double long_xyz[3];
  double ascending_l[3];
  int ascending_xyz[3];
  double ll[4];
  int zahyo[4][3];
};

// Splits the step p -> q (direction d). Returns false (and leaves the split
// untouched beyond c = 0) for a step that crosses no boundary.
bool split_step(const double p[3], const double q[3], const double d[3], Split& s);

// Direction of the ray of (row, col) at view angle theta.
void ray_direction(double theta, int row, int col, double d[3]);

// Traces one ray and adds into stack (which must start at 0 for the sample).
// sample_x/y/z hold 4*NX doubles each.
void project_ray(int view, int row, int col, double theta, const double source_xyz[3],
                 const float* volume, float* stack, double* sample_x, double* sample_y,
                 double* sample_z);

// Every ray of one view, into a cleared stack.
void project_view(int view, const float* volume, float* stack);

}  // namespace oracle
