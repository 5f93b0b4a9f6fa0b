// Test objects on the grid: the three-dimensional Shepp-Logan head phantom
// and simple shapes whose projections and volumes are known in closed form.
// Every shape is sampled at the voxel centres of the grid's own frame:
// voxel (ix, iy, iz) has its centre at x = ix - NX/2 + 0.5,
// y = NY/2 - iy + 0.5, z = NZ/2 - iz + 0.5 (the floor rule puts each such
// point in its own voxel).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/geometry.h"

#include "core/scan_geometry.h"

namespace toolkit {

using scan::voxel_centre;

// One ellipsoid of the head phantom, in the phantom's normalised frame
// (the head fits in [-1, 1]^3): semi-axes, centre, the turn of its axes
// about the z axis through its own centre (degrees, from +x towards +y),
// and the value it adds to every point inside it.
struct Ellipsoid {
  double value;
  double a, b, c;
  double x0, y0, z0;
  double turn_degrees;
};

// Whether the point (x, y, z) of an ellipsoid's own frame lies in the
// ellipsoid of semi-axes a, b, c (surface included): (x/a)^2 + (y/b)^2 +
// (z/c)^2 <= 1. The one inside test of every ellipsoid, the head's and a
// description's.
bool ellipsoid_holds(double x, double y, double z, double a, double b, double c);

// The ten ellipsoids with the higher-contrast values (skull 1, brain 0.2
// once the skull is subtracted, ventricles 0, small features +0.1).
const std::vector<Ellipsoid>& shepp_logan_ellipsoids();

// The phantom's value at a point of the normalised frame: the sum of the
// values of every ellipsoid that holds the point (the surface counts).
double shepp_logan_value(double x, double y, double z);

// The head scaled so that one normalised unit is `scale` voxels; the default
// puts the skull's longest semi-axis (0.92, along y) at about 58 voxels,
// inside the traced box.
constexpr double kDefaultPhantomScale = 63.0;
std::vector<float> shepp_logan_volume(double scale = kDefaultPhantomScale);
// The one check of a head's scale (positive and finite), for every head.
void check_phantom_scale(double scale);

// value at every voxel whose centre is at most `radius` (not negative) from
// `centre`.
std::vector<float> ball_volume(const scan::Point3& centre, double radius, float value);
// value at every voxel whose centre lies in [lo, hi] on all three axes.
std::vector<float> box_volume(const scan::Point3& lo, const scan::Point3& hi, float value);
// value everywhere.
std::vector<float> constant_volume(float value);
// value at one voxel, 0 elsewhere; the indices must lie in the grid.
std::vector<float> single_voxel_volume(int ix, int iy, int iz, float value);

// splitmix64: a fixed generator, so that a seed gives the same volume on
// every machine and with every standard library.
std::uint64_t splitmix64(std::uint64_t& state);
// Uniform in [lo, hi): each sample from the top 24 bits of one draw, taken
// in Volume order.
std::vector<float> random_volume(std::uint64_t seed, float lo, float hi);
// The same for `count` samples (a Volume of any grid): its first samples are
// those of every larger count.
std::vector<float> random_samples(std::uint64_t seed, float lo, float hi, std::size_t count);
// value at voxel (ix, iy, iz) of a grid of any shape, 0 elsewhere; indices
// outside the grid are a usage Failure naming the grid's shape.
std::vector<float> single_voxel_on_grid(const geom::VolumeGrid& grid, std::int64_t ix, std::int64_t iy,
                                        std::int64_t iz, float value);

}  // namespace toolkit
