// What every part of the extension module tomsim._core shares: the functions
// that register each part's bindings, and the conversions between numpy
// arrays and the flat float32 arrays of the library.
//
// A binding takes its arrays through as_samples (float32, C order: converted
// with one copy when they are not, used in place when they are), checks
// their shape with batch_size, makes its results with new_samples, releases
// the GIL while the library works (Unlocked) and reports progress through a
// ProgressSink. Failures of the library (tomio::Failure) become
// tomsim.TomsimError where the module is set up.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/geometry.h"

namespace toolkit {
struct RegionFigures;
struct DoseTally;
struct RandomEllipsoidSettings;
}

namespace tomsim {

namespace py = pybind11;

// Each part of the module registers its functions here (module.cpp calls
// them; a part whose source is absent is left out at build time).
void bind_core(py::module_& m);
void bind_physics(py::module_& m);
void bind_quant(py::module_& m);
void bind_cone(py::module_& m);

// A voxel grid from its shape, voxel size and offset, each (z, y, x), and a
// scan's rays from (views, 12) vectors (ValueError naming a wrong shape):
// the one conversion of every binding that takes a scan.
geom::VolumeGrid volume_grid(const std::array<std::int64_t, 3>& shape, const std::array<double, 3>& voxel_size,
                             const std::array<double, 3>& offset);
geom::ConeVectors cone_rays(const py::object& vectors, std::int64_t rows, std::int64_t columns);
void bind_geometry(py::module_& m);
void bind_fdk_circular(py::module_& m);
void bind_spectral(py::module_& m);

// A float32 array in C order (the library's flat layout).
using Samples = py::array_t<float, py::array::c_style | py::array::forcecast>;

// An array layout of the library: its name and shape, e.g. the Volume
// [iz, iy, ix] = (128, 128, 128).
struct Layout {
  const char* name;
  std::vector<py::ssize_t> shape;
  std::size_t samples() const;
  std::string shape_text() const;  // "(128, 128, 128)"
};
const Layout& volume_layout();
const Layout& stack_layout();

// `object` as float32 in C order: the same array when it already is one,
// else one converted copy (numpy's own rules: any real dtype, any strides).
// `argument` names it in error messages.
Samples as_samples(const py::handle& object, const char* argument);

// Checks that `a` has the layout's shape, or, with `batch` allowed, a
// leading batch axis before it; returns the number of arrays in it (1
// without the axis). Anything else raises ValueError naming the expected
// shape.
std::size_t batch_size(const Samples& a, const Layout& layout, bool batch, const char* argument);
// True when `a` has the batch axis (its rank is one more than the layout's).
bool has_batch_axis(const Samples& a, const Layout& layout);

// A new, uninitialised float32 array of the layout, with a leading axis of
// `count` arrays when `batched`.
Samples new_samples(const Layout& layout, std::size_t count, bool batched);

// The thread count of a `threads` argument: None means every processor the
// process may use; anything below 1 raises ValueError.
int thread_count(const py::object& threads);

// Reports finished items to a Python callable progress(done, total), from
// whichever thread finishes them, one call at a time and with `done` rising.
// The first exception the callable raises is kept, later calls are skipped,
// and rethrow() raises it once the work is over and the GIL is held again.
class ProgressSink {
 public:
  ProgressSink(py::object callback, long long total);
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;

  // One more item done; safe from any thread while the GIL is released.
  void step();
  // A callable for the library's on_view_done arguments.
  std::function<void(int)> on_item();
  // Raises the callable's exception, if it raised one.
  void rethrow();

 private:
  py::object callback_;
  long long total_;
  std::mutex mutex_;
  long long done_ = 0;
  bool failed_ = false;
  // (Made and dropped with the GIL held: by a worker inside step, and by
  // the caller, whose sink outlives its Unlocked scope.)
  std::unique_ptr<py::error_already_set> error_;
};

// The figures of one region of an array of shape (n0, n1, n2), under the
// names of tomcompare's kv report, with the place of the largest
// difference as (view, row, column) for a stack, (ix, iy, iz) for a Volume.
py::dict region_figures(const toolkit::RegionFigures& figures, std::int64_t n0, std::int64_t n1, std::int64_t n2,
                        bool stack);

// The random ellipsoids' settings from (lo, hi) pairs of their count, values
// and semi-axes; ValueError for pairs that are not.
toolkit::RandomEllipsoidSettings random_ellipsoid_settings(const std::vector<int>& count,
                                                           const std::vector<double>& values,
                                                           const std::vector<double>& sizes);

// What a noise run drew, as tomsim.add_noise reports it.
py::dict dose_figures(const toolkit::DoseTally& tally);

// Holds the GIL released for its lifetime, so that other Python threads run
// while the library works.
using Unlocked = py::gil_scoped_release;

// A stack, or a batch of them, into new arrays of `out_layout`, one for each
// stack, through work(stack, out, threads, on_step) with the GIL released;
// each stack counts `steps` steps of progress.
template <class Work>
Samples each_stack(const py::object& stack_object, const py::object& threads_object, const py::object& progress,
                   const Layout& out_layout, long long steps, const Work& work) {
  const Layout& in_layout = stack_layout();
  const Samples stack = as_samples(stack_object, "stack");
  const std::size_t count = batch_size(stack, in_layout, true, "stack");
  const int threads = thread_count(threads_object);
  Samples out = new_samples(out_layout, count, has_batch_axis(stack, in_layout));
  ProgressSink sink(progress, static_cast<long long>(count) * steps);
  {
    Unlocked unlocked;
    const std::function<void(int)> on_step = sink.on_item();
    for (std::size_t k = 0; k < count; ++k)
      work(stack.data() + k * in_layout.samples(), out.mutable_data() + k * out_layout.samples(), threads, on_step);
  }
  sink.rethrow();
  return out;
}

}  // namespace tomsim
