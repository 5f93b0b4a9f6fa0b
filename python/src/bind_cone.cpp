// The cone projector and its transpose on numpy arrays, for any scan given
// by its vectors (12 numbers a view: source, detector centre, column step,
// row step; the frame of core/geometry.h). The same library code, so the
// same bits, at any thread count.
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/geometry.h"
#include "operators/cone_projector.h"
#include "python/src/bindings.h"

namespace tomsim {
namespace {

using Vectors = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::vector<std::int64_t> shape_list(const py::array& a) {
  std::vector<std::int64_t> shape;
  for (py::ssize_t i = 0; i < a.ndim(); ++i) shape.push_back(static_cast<std::int64_t>(a.shape(i)));
  return shape;
}

// Runs a check of the library: what it refuses is a value the caller passed,
// so its usage failure becomes ValueError.
template <class Check>
void checked(Check&& check) {
  try {
    check();
  } catch (const tomio::Failure& f) {
    if (f.kind() == tomio::FailureKind::usage) throw py::value_error(f.detail());
    throw;
  }
}

// A volume [nz, ny, nx] or a batch [K, nz, ny, nx] -> the stacks
// [V, rows, columns] (or [K, V, rows, columns]).
Samples cone_project(const py::object& volume_object, const py::object& vectors_object,
                     const std::array<std::int64_t, 2>& detector_shape, const std::array<double, 3>& voxel_size,
                     const std::array<double, 3>& volume_offset, const py::object& threads_object) {
  const Samples volume = as_samples(volume_object, "volume");
  if (volume.ndim() != 3 && volume.ndim() != 4)
    throw py::value_error("volume must be an array [nz, ny, nx] or a batch [K, nz, ny, nx], not of " +
                          std::to_string(volume.ndim()) + " dimensions");
  const bool batched = volume.ndim() == 4;
  const py::ssize_t first = batched ? 1 : 0;
  const geom::VolumeGrid grid = volume_grid({volume.shape(first), volume.shape(first + 1), volume.shape(first + 2)},
                                        voxel_size, volume_offset);
  const geom::ConeVectors rays = cone_rays(vectors_object, detector_shape[0], detector_shape[1]);
  const int threads = thread_count(threads_object);
  checked([&] { tomproj::check_cone_scan(grid, rays); });
  const std::int64_t count = batched ? volume.shape(0) : 1;
  std::vector<py::ssize_t> shape;
  if (batched) shape.push_back(static_cast<py::ssize_t>(count));
  for (std::int64_t n : tomproj::cone_stack_shape(rays)) shape.push_back(static_cast<py::ssize_t>(n));
  Samples stack(shape);
  std::vector<const float*> in;
  std::vector<float*> out;
  for (std::int64_t k = 0; k < count; ++k) {
    in.push_back(volume.data() + k * grid.voxels());
    out.push_back(stack.mutable_data() + k * rays.samples());
  }
  {
    Unlocked unlocked;
    tomproj::cone_project(grid, rays, in.data(), static_cast<int>(count), out.data(), threads);
  }
  return stack;
}

// A stack [V, rows, columns] -> the volume [nz, ny, nx] of the transpose.
Samples cone_project_adjoint(const py::object& stack_object, const py::object& vectors_object,
                             const std::array<std::int64_t, 3>& volume_shape,
                             const std::array<double, 3>& voxel_size, const std::array<double, 3>& volume_offset,
                             const py::object& threads_object) {
  const Samples stack = as_samples(stack_object, "stack");
  const std::vector<std::int64_t> given = shape_list(stack);
  const geom::ConeVectors rays =
      cone_rays(vectors_object, stack.ndim() == 3 ? given[1] : 0, stack.ndim() == 3 ? given[2] : 0);
  const geom::VolumeGrid grid = volume_grid(volume_shape, voxel_size, volume_offset);
  const int threads = thread_count(threads_object);
  checked([&] {
    tomproj::require_shape("stack", given, tomproj::cone_stack_shape(rays));
    tomproj::check_cone_scan(grid, rays);
  });
  Samples volume(std::vector<py::ssize_t>{static_cast<py::ssize_t>(grid.nz), static_cast<py::ssize_t>(grid.ny),
                                          static_cast<py::ssize_t>(grid.nx)});
  {
    Unlocked unlocked;
    tomproj::cone_project_adjoint(grid, rays, stack.data(), volume.mutable_data(), threads);
  }
  return volume;
}

}  // namespace

geom::ConeVectors cone_rays(const py::object& vectors_object, std::int64_t rows, std::int64_t columns) {
  const Vectors vectors = Vectors::ensure(vectors_object);
  if (!vectors) throw py::type_error("vectors cannot be read as an array of numbers");
  const std::vector<std::int64_t> shape = shape_list(vectors);
  checked([&] { tomproj::require_shape("vectors", shape, {shape.empty() ? 0 : shape[0], 12}); });
  geom::ConeVectors rays;
  rays.rows = rows;
  rays.columns = columns;
  rays.vectors.assign(vectors.data(), vectors.data() + vectors.size());
  return rays;
}

geom::VolumeGrid volume_grid(const std::array<std::int64_t, 3>& shape, const std::array<double, 3>& voxel_size,
                         const std::array<double, 3>& offset) {
  geom::VolumeGrid g;
  g.nz = shape[0];
  g.ny = shape[1];
  g.nx = shape[2];
  g.dz = voxel_size[0];
  g.dy = voxel_size[1];
  g.dx = voxel_size[2];
  g.origin_z = offset[0];
  g.origin_y = offset[1];
  g.origin_x = offset[2];
  return g;
}


void bind_cone(py::module_& m) {
  using namespace pybind11::literals;
  m.def("cone_project", &cone_project, "volume"_a, "vectors"_a, "detector_shape"_a,
        "voxel_size"_a = std::array<double, 3>{1.0, 1.0, 1.0},
        "volume_offset"_a = std::array<double, 3>{0.0, 0.0, 0.0}, "threads"_a = py::none(),
        "The exact projection of volume [nz, ny, nx] (or a batch [K, nz, ny, nx]) along the rays of the "
        "scan vectors (V, 12): each sample is the sum of length (mm) x value over the voxels its ray from "
        "the source to the pixel centre crosses. Returns [V, rows, columns] float32 (or [K, V, ...]).");
  m.def("cone_project_adjoint", &cone_project_adjoint, "stack"_a, "vectors"_a, "volume_shape"_a,
        "voxel_size"_a = std::array<double, 3>{1.0, 1.0, 1.0},
        "volume_offset"_a = std::array<double, 3>{0.0, 0.0, 0.0}, "threads"_a = py::none(),
        "The exact transpose of cone_project: each voxel gains sample x length of every piece the "
        "projection credits to it. Returns the volume [nz, ny, nx] float32.");
}

}  // namespace tomsim
