// Any circular scan on numpy arrays, by its plain parameters: FDK with its
// redundancy weights, phantoms in millimetres sampled on any grid, their
// exact projections along any rays (12 numbers a view), noise on stacks of
// any shape and comparison figures on any grid. The library code of the
// tools, so the same bits.
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/kernel_dispatch.h"
#include "python/src/bindings.h"
#include "recon/fdk_circular.h"
#include "eval/comparison.h"
#include "sim/dose_noise.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"

namespace tomsim {
namespace {

// Three numbers (z, y, x) or two (v, u) from a Python sequence.
std::vector<double> numbers(const py::object& object, std::size_t count, const char* argument) {
  std::vector<double> values = object.cast<std::vector<double>>();
  if (values.size() != count)
    throw py::value_error(std::string(argument) + " needs " + std::to_string(count) + " numbers");
  return values;
}

geom::VolumeGrid grid_of(const py::object& shape, const py::object& voxel_size, const py::object& offset) {
  const std::vector<std::int64_t> n = shape.cast<std::vector<std::int64_t>>();
  if (n.size() != 3) throw py::value_error("volume_shape needs 3 numbers (nz, ny, nx)");
  const std::vector<double> d = numbers(voxel_size, 3, "voxel_size");
  const std::vector<double> o = numbers(offset, 3, "volume_offset");
  return volume_grid({n[0], n[1], n[2]}, {d[0], d[1], d[2]}, {o[0], o[1], o[2]});
}

Samples new_array(const std::vector<py::ssize_t>& shape) { return Samples(shape); }

Samples fdk_circular(const py::object& stack_object, const py::object& volume_shape, const py::object& voxel_size,
                     const py::object& volume_offset, const py::object& detector_pitch,
                     const py::object& detector_offset, double sod, double sdd, const std::vector<double>& angles_deg,
                     const std::string& filter, double cutoff, double parker_smoothing,
                     const py::object& threads_object, bool redundancy_weights, const py::object& progress) {
  const Samples stack = as_samples(stack_object, "stack");
  if (stack.ndim() != 3) throw py::value_error("stack must be (views, rows, columns)");
  if (static_cast<std::size_t>(stack.shape(0)) != angles_deg.size()) {
    throw py::value_error("stack has " + std::to_string(stack.shape(0)) + " views but angles_deg " +
                          std::to_string(angles_deg.size()));
  }
  geom::CircularScan scan;
  scan.grid = grid_of(volume_shape, voxel_size, volume_offset);
  scan.rows = stack.shape(1);
  scan.columns = stack.shape(2);
  const std::vector<double> pitch = numbers(detector_pitch, 2, "detector_pitch");
  const std::vector<double> offset = numbers(detector_offset, 2, "detector_offset");
  scan.pitch_row = pitch[0];
  scan.pitch_column = pitch[1];
  scan.offset_v = offset[0];
  scan.offset_u = offset[1];
  scan.sod = sod;
  scan.sdd = sdd;
  scan.angles_deg = angles_deg;
  quant::FdkCircularOptions options;
  options.window = quant::fdk_window_from_name(filter);
  options.cutoff = cutoff;
  options.parker_smoothing = parker_smoothing;
  options.redundancy_weights = redundancy_weights;
  options.threads = thread_count(threads_object);
  quant::check_fdk_scan(scan, options);
  Samples volume = new_array({static_cast<py::ssize_t>(scan.grid.nz), static_cast<py::ssize_t>(scan.grid.ny),
                              static_cast<py::ssize_t>(scan.grid.nx)});
  ProgressSink sink(progress, static_cast<long long>(quant::fdk_circular_step_count(scan)));
  {
    Unlocked unlocked;
    quant::fdk_circular(scan, stack.data(), volume.mutable_data(), options, [&](std::int64_t) { sink.step(); });
  }
  sink.rethrow();
  return volume;
}

Samples voxelise_on_grid(const std::string& description, const py::object& volume_shape,
                         const py::object& voxel_size, const py::object& volume_offset, int oversample,
                         const py::object& threads_object) {
  const toolkit::Phantom phantom = toolkit::parse_description(description, "description");
  const geom::VolumeGrid grid = grid_of(volume_shape, voxel_size, volume_offset);
  const int threads = thread_count(threads_object);
  std::vector<float> v;
  {
    Unlocked unlocked;
    v = toolkit::voxelise_on_grid(phantom, grid, oversample, threads);
  }
  Samples volume = new_array({static_cast<py::ssize_t>(grid.nz), static_cast<py::ssize_t>(grid.ny),
                              static_cast<py::ssize_t>(grid.nx)});
  std::memcpy(volume.mutable_data(), v.data(), v.size() * sizeof(float));
  return volume;
}

Samples analytic_projection_along(const std::string& description, const py::object& vectors_object,
                                  const py::object& detector_shape, const py::object& threads_object,
                                  const py::object& progress) {
  const toolkit::Phantom phantom = toolkit::parse_description(description, "description");
  const auto vectors = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(vectors_object);
  if (!vectors || vectors.ndim() != 2 || vectors.shape(1) != 12)
    throw py::value_error("vectors must be a (views, 12) array");
  const std::vector<std::int64_t> shape = detector_shape.cast<std::vector<std::int64_t>>();
  if (shape.size() != 2) throw py::value_error("detector_shape needs 2 numbers (rows, columns)");
  geom::ConeVectors rays;
  rays.rows = shape[0];
  rays.columns = shape[1];
  rays.vectors.assign(vectors.data(), vectors.data() + vectors.size());
  const int threads = thread_count(threads_object);
  ProgressSink sink(progress, static_cast<long long>(rays.views()));
  std::vector<float> s;
  {
    Unlocked unlocked;
    s = toolkit::analytic_stack_along(phantom, rays, threads, sink.on_item());
  }
  sink.rethrow();
  Samples stack = new_array({static_cast<py::ssize_t>(rays.views()), static_cast<py::ssize_t>(rays.rows),
                             static_cast<py::ssize_t>(rays.columns)});
  std::memcpy(stack.mutable_data(), s.data(), s.size() * sizeof(float));
  return stack;
}

py::tuple add_noise_any(const py::object& stack_object, const py::object& i0, std::uint64_t seed, double mu,
                        double electronic, double floor, const py::object& threads_object) {
  const Samples stack = as_samples(stack_object, "stack");
  if (stack.ndim() != 3) throw py::value_error("stack must be (views, rows, columns)");
  const toolkit::StackShape shape{stack.shape(0), stack.shape(1), stack.shape(2)};
  toolkit::DoseSettings settings;
  settings.i0 = py::isinstance<py::float_>(i0) || py::isinstance<py::int_>(i0)
                    ? toolkit::constant_i0(i0.cast<double>(), shape.views)
                    : i0.cast<std::vector<double>>();
  settings.seed = seed;
  settings.attenuation = mu;
  settings.electronic = electronic;
  settings.floor = floor;
  toolkit::check_dose_settings(settings, shape.views);
  const int threads = thread_count(threads_object);
  Samples noisy = new_array({stack.shape(0), stack.shape(1), stack.shape(2)});
  toolkit::DoseTally tally;
  {
    Unlocked unlocked;
    tally = toolkit::add_dose_noise(settings, shape, stack.data(), noisy.mutable_data(), 0, shape.views, threads);
  }
  return py::make_tuple(noisy, dose_figures(tally));
}

// tomcompare's figures of two Volumes on a grid: the whole grid, the central
// cube and the axial slice, and, when given, a cylinder about the axis
// (radius, half height) and a box ((x, y, z) lo, hi), in mm. With `stack`,
// two stacks of any shape: the whole stack and the central half of every view.
py::dict compare_on_grid(const py::object& first_object, const py::object& second_object,
                         const py::object& voxel_size, const py::object& volume_offset,
                         const py::object& cylinder, const py::object& box, bool stack) {
  const Samples first = as_samples(first_object, "first");
  const Samples second = as_samples(second_object, "second");
  if (first.ndim() != 3) throw py::value_error(stack ? "first must be a stack (views, rows, columns)"
                                                     : "first must be a Volume (nz, ny, nx)");
  if (second.ndim() != 3 || second.shape(0) != first.shape(0) || second.shape(1) != first.shape(1) ||
      second.shape(2) != first.shape(2))
    throw py::value_error("second must have the shape of first");
  if (stack && !(cylinder.is_none() && box.is_none()))
    throw py::value_error("cylinder and box choose parts of Volumes");
  const geom::VolumeGrid grid =
      grid_of(py::make_tuple(first.shape(0), first.shape(1), first.shape(2)), voxel_size, volume_offset);
  std::vector<toolkit::Region> regions =
      stack ? toolkit::stack_regions(first.shape(0), first.shape(1), first.shape(2)) : toolkit::volume_regions(grid);
  if (!cylinder.is_none()) {
    const std::vector<double> c = numbers(cylinder, 2, "cylinder");
    regions.push_back(toolkit::cylinder_region(grid, c[0], c[1]));
  }
  if (!box.is_none()) {
    const auto corners = box.cast<std::vector<std::vector<double>>>();
    if (corners.size() != 2 || corners[0].size() != 3 || corners[1].size() != 3)
      throw py::value_error("box needs two corners of (x, y, z)");
    toolkit::BoxCorners b{};
    for (int k = 0; k < 3; ++k) {
      b.lo[k] = corners[0][static_cast<std::size_t>(k)];
      b.hi[k] = corners[1][static_cast<std::size_t>(k)];
    }
    regions.push_back(toolkit::box_region(b, grid));
  }
  std::vector<toolkit::RegionFigures> figures;
  {
    Unlocked unlocked;
    const std::vector<float> a(first.data(), first.data() + first.size());
    const std::vector<float> b(second.data(), second.data() + second.size());
    for (const toolkit::Region& region : regions) figures.push_back(toolkit::compare_region(a, b, region));
  }
  py::dict out;
  for (const toolkit::RegionFigures& f : figures)
    out[py::str(f.name)] = region_figures(f, first.shape(0), first.shape(1), first.shape(2), stack);
  return out;
}

// Random ellipsoids kept one voxel inside a grid (semi-axes in mm).
std::string random_ellipsoids_on_grid(std::uint64_t seed, const py::object& volume_shape, const py::object& voxel_size,
                                      const py::object& volume_offset, std::vector<int> count,
                                      std::vector<double> values, std::vector<double> sizes) {
  const toolkit::RandomEllipsoidSettings r = random_ellipsoid_settings(count, values, sizes);
  return toolkit::description_text(
      toolkit::random_ellipsoids_in(seed, r, toolkit::grid_field_box(grid_of(volume_shape, voxel_size, volume_offset))));
}

std::string random_ellipsoids_in(std::uint64_t seed, double diameter, double height, std::vector<int> count,
                                 std::vector<double> values, std::vector<double> sizes) {
  const toolkit::RandomEllipsoidSettings r = random_ellipsoid_settings(count, values, sizes);
  return toolkit::description_text(
      toolkit::random_ellipsoids_in(seed, r, toolkit::field_of_view_box(diameter, height)));
}

}  // namespace

void bind_fdk_circular(py::module_& m) {
  using py::arg;
  const py::none none;
  m.def("fdk_circular", &fdk_circular, arg("stack"), arg("volume_shape"), arg("voxel_size"), arg("volume_offset"),
        arg("detector_pitch"), arg("detector_offset"), arg("sod"), arg("sdd"), arg("angles_deg"),
        arg("filter") = "ram-lak", arg("cutoff") = 1.0, arg("parker_smoothing") = 1.0, arg("threads") = none,
        arg("redundancy_weights") = true, arg("progress") = none,
        "FDK of a (views, rows, columns) stack of a circular scan onto the grid; Parker or Wang weights "
        "as the scan needs them (redundancy_weights=False: every ray one half)");
  m.def("process_kernel", [] { return std::string(kernels::kernel_name(kernels::process_kernel())); },
        "the vector kernel this process runs (TOMSIM_KERNEL chooses another)");
  m.def("add_noise_any", &add_noise_any, arg("stack"), arg("i0"), arg("seed"),
        arg("mu") = toolkit::kDefaultAttenuation, arg("electronic") = 0.0, arg("floor") = toolkit::kDefaultFloor,
        arg("threads") = none, "tomnoise on a (views, rows, columns) stack of any shape: (noisy, figures)");
  m.def("compare_on_grid", &compare_on_grid, arg("first"), arg("second"), arg("voxel_size") = py::make_tuple(1.0, 1.0, 1.0),
        arg("volume_offset") = py::make_tuple(0.0, 0.0, 0.0), arg("cylinder") = none, arg("box") = none,
        arg("stack") = false,
        "tomcompare's figures of SECOND against FIRST, Volumes of any shape on a grid, regions in mm "
        "(stack=True: stacks of any shape)");
  m.def("random_ellipsoids_on_grid", &random_ellipsoids_on_grid, arg("seed"), arg("volume_shape"), arg("voxel_size"),
        arg("volume_offset"), arg("count") = std::vector<int>{5, 15}, arg("values") = std::vector<double>{0.05, 0.5},
        arg("sizes") = std::vector<double>{3.0, 30.0},
        "a description of seeded random ellipsoids (semi-axes in mm) kept one voxel inside the grid");
  m.def("grid_head_scale",
        [](const py::object& shape, const py::object& size, const py::object& offset) {
          return toolkit::grid_head_scale(grid_of(shape, size, offset));
        },
        arg("volume_shape"), arg("voxel_size"), arg("volume_offset"),
        "the heads' scale on a grid when none is given: 63/128 of its smallest width (mm)");
  m.def("random_ellipsoids_in", &random_ellipsoids_in, arg("seed"), arg("diameter"), arg("height"),
        arg("count") = std::vector<int>{5, 15}, arg("values") = std::vector<double>{0.05, 0.5},
        arg("sizes") = std::vector<double>{3.0, 30.0},
        "a description of seeded random ellipsoids (semi-axes in mm) inside a field of view of that "
        "diameter and height (mm) about the isocentre");
  m.def("voxelise_on_grid", &voxelise_on_grid, arg("description"), arg("volume_shape"), arg("voxel_size"),
        arg("volume_offset"), arg("oversample") = 1, arg("threads") = none,
        "a phantom description in mm sampled on a grid, n^3 sub-samples a voxel");
  m.def("analytic_projection_along", &analytic_projection_along, arg("description"), arg("vectors"),
        arg("detector_shape"), arg("threads") = none, arg("progress") = none,
        "exact line integrals of a phantom in mm along the rays of (views, 12) vectors");
}

}  // namespace tomsim
