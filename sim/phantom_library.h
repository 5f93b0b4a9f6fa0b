// Ready-made continuous phantoms: the three-dimensional Shepp-Logan head in
// two forms, seeded random ellipsoids, and a cylinder with contrast inserts.
#pragma once

#include <cstdint>
#include <string>

#include "sim/phantom_description.h"

namespace toolkit {

// The heads refuse a scale that is not positive (check_phantom_scale).
// The modified head (Toft; skull 1, brain 0.2, ventricles 0, features +0.1):
// the ten ellipsoids of shepp_logan_ellipsoids(), one unit of their frame
// being `scale` voxels.
Phantom modified_shepp_logan(double scale);
// Kak and Slaney's head with its original, low contrasts (skull 2, brain
// 1.02, ventricles 1.0, features 1.03 and 1.04 ...), in its usual
// three-dimensional form with the ventricles and features below the centre
// and two more ellipsoids above it.
Phantom kak_slaney_shepp_logan(double scale);

// How the random ellipsoids are drawn (all uniform, from splitmix64 seeded
// with the seed, in this order for each ellipsoid: value, the three
// semi-axes, phi, theta, psi, then the centre's x, y, z).
struct RandomEllipsoidSettings {
  int count_lo = 5, count_hi = 15;          // how many: uniform whole number in [lo, hi]
  double value_lo = 0.05, value_hi = 0.5;   // value of each
  double size_lo = 3.0, size_hi = 30.0;     // each semi-axis, in voxels
  // phi and psi uniform in [0, 360), theta in [0, 180) degrees. The centre
  // is uniform over the places where the ellipsoid's axis-aligned extent
  // keeps one voxel clear of the traced box; an ellipsoid too large for
  // that is shrunk by the factor that makes it fit.
};
constexpr int kMaxRandomEllipsoids = 1000;
// The one check of the settings: 1 <= count_lo <= count_hi <= 1000,
// value_lo <= value_hi, 0 < size_lo <= size_hi. random_ellipsoids calls it.
void check_random_ellipsoid_settings(const RandomEllipsoidSettings& settings);
Phantom random_ellipsoids(std::uint64_t seed, const RandomEllipsoidSettings& settings);

// The same on any scan: the ellipsoids keep inside a box given in mm
// (x, y, z corners), the semi-axes of `settings` being mm too. The defined
// scan's form above is this one with the traced box less one voxel.
struct FieldBox {
  double lo[3], hi[3];
};
Phantom random_ellipsoids_in(std::uint64_t seed, const RandomEllipsoidSettings& settings, const FieldBox& field);
// The box seen by every view of a field of view of that diameter and
// height (mm) about the isocentre: the square inscribed in its circle.
FieldBox field_of_view_box(double diameter, double height);
// The box of a grid less one voxel on every side: the field the random
// ellipsoids keep inside on a grid when no field of view is given (the
// defined form's margin of one voxel).
FieldBox grid_field_box(const geom::VolumeGrid& grid);

// The scale of the heads on a grid when none is given: 63/128 of the
// grid's smallest width (mm), the defined scale of 63 on the defined grid.
double grid_head_scale(const geom::VolumeGrid& grid);

// A low-contrast detectability phantom: a water cylinder (value 0.2, radius
// 50, height 90 voxels) along z holding eight rods of radius 6 through its
// height on a circle of radius 30, named by their contrast against the
// water: +100% (bone-like), +10%, +5%, +2%, +1%, -1%, -5%, -100% (air).
Phantom insert_cylinder();

}  // namespace toolkit
