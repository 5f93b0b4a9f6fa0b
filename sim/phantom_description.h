// A continuous phantom: a list of ellipsoids, boxes and elliptic cylinders,
// each adding its value to every point inside it (surfaces count). It can be
// written as a small text file and read back, sampled onto the grid with
// n^3 sub-samples per voxel, and projected exactly (phantom_projection.h).
//
// Coordinates are in voxels with the origin at the grid centre, as in the
// scan geometry; on any grid (voxelise_on_grid, analytic_stack_along) they
// are millimetres in the scan's frame, which the defined grid's unit voxels
// make the same thing. A shape's own axes are turned by the angles (phi, theta,
// psi) in degrees: about z by phi, then about the turned x axis by theta,
// then about the new z axis by psi (R = Rz(phi) Rx(theta) Rz(psi); with
// theta = psi = 0 its first axis points along (cos phi, sin phi, 0)).
//
// The text form, one shape per line ('#' starts a comment):
//   KIND value=V centre=X,Y,Z size=A,B,C [angles=PHI,THETA,PSI] [name=NAME]
// KIND is ellipsoid (A, B, C the semi-axes), box (the half edges) or
// cylinder (A, B the radii across its axis, C half its height along its
// third axis). Numbers are written with 17 significant digits, so that a
// description read back is the same phantom to the last bit.
#pragma once

#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/output_file.h"
#include "core/scan_geometry.h"

namespace toolkit {

enum class ShapeKind { ellipsoid, box, cylinder };

struct Shape {
  ShapeKind kind = ShapeKind::ellipsoid;
  double value = 0.0;
  scan::Point3 centre{0.0, 0.0, 0.0};
  double size[3] = {0.0, 0.0, 0.0};
  double angles[3] = {0.0, 0.0, 0.0};  // phi, theta, psi in degrees
  std::string name;                    // optional; names the inserts whose contrast is measured
};

struct Phantom {
  std::vector<Shape> shapes;
};

// The directions of a shape's three axes in the grid frame (unit vectors,
// from the portable sine and cosine, so the same on every machine).
struct ShapeAxes {
  double axis[3][3];
};
ShapeAxes axes_of(const Shape& shape);

// Coordinates of the grid-frame offset d along the shape's own axes.
void to_shape_frame(const ShapeAxes& axes, const double d[3], double local[3]);

// Whether a point lies in the shape (surface included).
bool shape_contains(const Shape& shape, const ShapeAxes& axes, const scan::Point3& p);
// Half extents of the axis-aligned box around the shape.
void shape_extent(const Shape& shape, const ShapeAxes& axes, double extent[3]);

// The phantom's value at a point: the sum of the values of the shapes that
// hold it, in their order.
double phantom_value(const Phantom& phantom, const scan::Point3& p);

// The Volume of the phantom: each voxel holds the mean over n^3 sub-samples
// at offsets ((i + 1/2) / n - 1/2) from its centre on each axis (n = 1: the
// centre itself), formed as sum over shapes of value x share of sub-samples
// inside. The same bits at any thread count.
// n lies in 1 ... kMaxOversampling (16^3 = 4096 sub-samples a voxel).
constexpr int kMaxOversampling = 16;
void check_oversampling(int oversample);
std::vector<float> voxelise(const Phantom& phantom, int oversample, int threads);

// The one check of a phantom built in code or read: at least one shape, and
// every size positive and finite (a description's parser names the line of
// a size that is not).
void check_phantom(const Phantom& phantom);

// The same on any grid (core/geometry.h), the phantom's coordinates being
// millimetres in the scan's frame: sub-samples at those fractions of the
// voxel size on each axis, so that one description gives the same object
// on grids of any voxel size (on the defined grid, the same bits as
// voxelise).
std::vector<float> voxelise_on_grid(const Phantom& phantom, const geom::VolumeGrid& grid, int oversample,
                                    int threads);

// Whether every shape lies inside the box the projector traces
// (-63 < x < 62, -62 < y, z < 63), judged by its axis-aligned extent.
bool inside_traced_box(const Phantom& phantom);

std::string description_text(const Phantom& phantom);
// Fails (a run failure) naming the line of the first fault.
Phantom parse_description(const std::string& text, const std::string& source_name);
void write_description(const std::string& path, const Phantom& phantom);
void write_description(tomio::OutputFile&& output, const Phantom& phantom);
// Also refuses a file that describes no shapes.
Phantom read_description(const std::string& path);

const char* shape_kind_name(ShapeKind kind);

}  // namespace toolkit
