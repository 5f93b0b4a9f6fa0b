// The programs and the study tools on numpy arrays: projection, filtering,
// weights, reconstruction, rebinning, test Volumes, comparison figures and
// the raw files' writer. Every function calls the very library code that
// the programs and tools run, so results are the same bits.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/parallel.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "core/uninitialized_allocator.h"
#include <pybind11/stl.h>

#include "python/src/bindings.h"
#include "operators/projector.h"
#include "operators/backprojection.h"
#include "recon/reconstruction.h"
#include "operators/length_sums.h"
#include "eval/comparison.h"
#include "core/metaimage.h"
#include "sim/phantom_shapes.h"
#include "recon/rebinning.h"

namespace tomsim {
namespace {

using Scratch = std::vector<float, tomio::UninitializedAllocator<float>>;

// Projects `count` Volumes into their stacks: several at once through one
// trace of the rays, which gives each the bits of its own projection.
// on_view_done is called once per view of the scan.
void project_volumes(const float* volumes, float* stacks, std::size_t count, int threads,
                     const std::function<void(int)>& on_view_done) {
  if (count == 1) {
    tomproj::project_stack(volumes, stacks, threads, on_view_done);
    return;
  }
  std::vector<const float*> in(count);
  std::vector<float*> out(count);
  for (std::size_t k = 0; k < count; ++k) {
    in[k] = volumes + k * scan::kVolumeSamples;
    out[k] = stacks + k * scan::kStackSamples;
  }
  tomproj::project_stacks(in.data(), out.data(), static_cast<int>(count), threads, on_view_done);
}

Samples project(const py::object& volume_object, const py::object& threads_object,
                const py::object& progress) {
  const Samples volume = as_samples(volume_object, "volume");
  const std::size_t count = batch_size(volume, volume_layout(), true, "volume");
  const int threads = thread_count(threads_object);
  Samples stack = new_samples(stack_layout(), count, has_batch_axis(volume, volume_layout()));
  ProgressSink sink(progress, scan::kViews);
  {
    Unlocked unlocked;
    project_volumes(volume.data(), stack.mutable_data(), count, threads, sink.on_item());
  }
  sink.rethrow();
  return stack;
}

Samples filter_stack(const py::object& stack, const py::object& threads,
                     const py::object& progress) {
  return each_stack(stack, threads, progress, stack_layout(), scan::kViews,
                    [](const float* in, float* out, int n, const std::function<void(int)>& done) {
                          // The filter works in place, on the copy.
                          std::memcpy(out, in, scan::kStackSamples * sizeof(float));
                          tomrec::filter_stack(out, n, done);
                        });
}

Samples rebin(const py::object& stack, const py::object& threads, const py::object& progress) {
  return each_stack(stack, threads, progress, stack_layout(), scan::kViews, &toolkit::rebin_stack);
}

py::tuple compute_weights(const py::object& threads_object, const py::object& progress) {
  const int threads = thread_count(threads_object);
  Samples detector = new_samples(stack_layout(), 1, false);
  Samples voxel = new_samples(volume_layout(), 1, false);
  ProgressSink sink(progress, scan::kViews);
  {
    Unlocked unlocked;
    tomweight::compute_length_sums(detector.mutable_data(), voxel.mutable_data(), threads,
                                   sink.on_item());
  }
  sink.rethrow();
  return py::make_tuple(detector, voxel);
}

Samples reconstruct(const py::object& stack_object, const py::object& detector_object,
                    const py::object& voxel_object, const py::object& threads_object,
                    const py::object& progress) {
  const Samples stack = as_samples(stack_object, "stack");
  const std::size_t count = batch_size(stack, stack_layout(), true, "stack");
  const Samples detector = as_samples(detector_object, "detector weights");
  batch_size(detector, stack_layout(), false, "detector weights");
  const Samples voxel = as_samples(voxel_object, "voxel weights");
  batch_size(voxel, volume_layout(), false, "voxel weights");
  const int threads = thread_count(threads_object);
  Samples volume = new_samples(volume_layout(), count, has_batch_axis(stack, stack_layout()));
  // Filtering and backprojection, each a pass over the views.
  ProgressSink sink(progress, static_cast<long long>(count) * 2 * scan::kViews);
  {
    Unlocked unlocked;
    // The filter works in place: on copies, as the program does on the
    // stack it has read. A batch is backprojected kStacksPerWalk stacks at a
    // time, each group in one walk of the rays (the same bits as one by one).
    const std::size_t group = std::min<std::size_t>(count, tomrec::kStacksPerWalk);
    std::vector<Scratch> filtered;
    for (std::size_t j = 0; j < group; ++j) filtered.emplace_back(scan::kStackSamples);
    for (std::size_t first = 0; first < count; first += group) {
      const std::size_t n = std::min(group, count - first);
      std::vector<const float*> in;
      std::vector<float*> out;
      for (std::size_t j = 0; j < n; ++j) {
        const std::size_t k = first + j;
        std::memcpy(filtered[j].data(), stack.data() + k * scan::kStackSamples,
                    scan::kStackSamples * sizeof(float));
        tomrec::filter_stack(filtered[j].data(), threads, sink.on_item());
        in.push_back(filtered[j].data());
        out.push_back(volume.mutable_data() + k * scan::kVolumeSamples);
      }
      tomrec::reconstruct_filtered_stacks(in.data(), static_cast<int>(n), detector.data(),
                                          voxel.data(), out.data(), threads, sink.on_item());
    }
  }
  sink.rethrow();
  return volume;
}

// A Volume made by the library, handed to numpy.
Samples volume_of(const std::vector<float>& samples) {
  Samples volume = new_samples(volume_layout(), 1, false);
  std::memcpy(volume.mutable_data(), samples.data(), scan::kVolumeSamples * sizeof(float));
  return volume;
}

scan::Point3 point_of(const std::vector<double>& xyz, const char* argument) {
  if (xyz.size() != 3) throw py::value_error(std::string(argument) + " must be three numbers (x, y, z)");
  return scan::Point3{xyz[0], xyz[1], xyz[2]};
}

// The figures of one region of a defined Volume or ProjectionStack.
py::dict figures_of(const toolkit::RegionFigures& f, bool stack) {
  return stack ? region_figures(f, scan::kViews, scan::kRows, scan::kColumns, true)
               : region_figures(f, scan::NZ, scan::NY, scan::NX, false);
}

py::dict compare(const py::object& first_object, const py::object& second_object) {
  const Samples first = as_samples(first_object, "first");
  const bool stack = first.ndim() == 3 && first.shape(0) == scan::kViews;
  const Layout& layout = stack ? stack_layout() : volume_layout();
  batch_size(first, layout, false, "first");
  const Samples second = as_samples(second_object, "second");
  batch_size(second, layout, false, "second");
  std::vector<toolkit::RegionFigures> figures;
  {
    Unlocked unlocked;
    const std::vector<float> a(first.data(), first.data() + layout.samples());
    const std::vector<float> b(second.data(), second.data() + layout.samples());
    for (const toolkit::Region& region :
         stack ? toolkit::stack_regions() : toolkit::volume_regions()) {
      figures.push_back(toolkit::compare_region(a, b, region));
    }
  }
  py::dict regions;
  for (const toolkit::RegionFigures& f : figures) regions[py::str(f.name)] = figures_of(f, stack);
  py::dict result;
  result["kind"] = layout.name;
  result["identical"] = figures.front().bitwise_different == 0;
  result["regions"] = regions;
  return result;
}

void write_samples(const std::string& path, const py::object& array_object) {
  const Samples array = as_samples(array_object, "array");
  const Layout& layout = array.ndim() == 3 && array.shape(0) == scan::kViews ? stack_layout()
                                                                             : volume_layout();
  batch_size(array, layout, false, "array");
  Unlocked unlocked;
  tomio::save_float_image(path, array.data(), layout.samples());
}

}  // namespace

void bind_core(py::module_& m) {
  using py::arg;
  const py::none none;
  m.def("available_threads", &tomio::available_threads,
        "The processors this process may run on (its affinity mask).");
  m.def("project", &project, arg("volume"), arg("threads") = none, arg("progress") = none,
        "tomproj's projection of a Volume (or a batch) into a ProjectionStack.");
  m.def("filter_stack", &filter_stack, arg("stack"), arg("threads") = none,
        arg("progress") = none, "tomrec's filtered stack (its intermediate file).");
  m.def("compute_weights", &compute_weights, arg("threads") = none, arg("progress") = none,
        "tomweight's two arrays: (detector weights, voxel weights).");
  m.def("reconstruct", &reconstruct, arg("stack"), arg("detector_weights"),
        arg("voxel_weights"), arg("threads") = none, arg("progress") = none,
        "tomrec's Volume from a ProjectionStack (or a batch).");
  m.def("rebin", &rebin, arg("stack"), arg("threads") = none, arg("progress") = none,
        "tomrebin: a stack of tomproj's geometry in tomrec's.");
  m.def("compare", &compare, arg("first"), arg("second"),
        "tomcompare's figures of SECOND against FIRST.");
  m.def("write_samples", &write_samples, arg("path"), arg("array"),
        "Writes a Volume or stack as the programs do: complete or not at all.");
  m.def("metaimage_header", [](bool stack, const std::string& data_file) {
    return toolkit::metaimage_header(stack ? toolkit::FileKind::Stack : toolkit::FileKind::Volume,
                                     data_file);
  }, arg("stack"), arg("data_file"));

  m.def("shepp_logan", [](double scale) {
    return volume_of(toolkit::shepp_logan_volume(scale));
  }, arg("scale") = toolkit::kDefaultPhantomScale);
  m.def("ball", [](const std::vector<double>& centre, double radius, float value) {
    return volume_of(toolkit::ball_volume(point_of(centre, "centre"), radius, value));
  }, arg("centre"), arg("radius"), arg("value") = 1.0f);
  m.def("box", [](const std::vector<double>& lo, const std::vector<double>& hi, float value) {
    return volume_of(toolkit::box_volume(point_of(lo, "lo"), point_of(hi, "hi"), value));
  }, arg("lo"), arg("hi"), arg("value") = 1.0f);
  m.def("constant", [](float value) { return volume_of(toolkit::constant_volume(value)); },
        arg("value") = 1.0f);
  m.def("voxel", [](const std::vector<int>& index, float value) {
    const int limits[3] = {scan::NX, scan::NY, scan::NZ};
    if (index.size() != 3) throw py::value_error("index must be three numbers (ix, iy, iz)");
    for (int a = 0; a < 3; ++a) {
      if (index[a] < 0 || index[a] >= limits[a]) throw py::value_error("index must lie in the grid, 0 ... 127");
    }
    return volume_of(toolkit::single_voxel_volume(index[0], index[1], index[2], value));
  }, arg("index"), arg("value") = 1.0f);
  m.def("random", [](std::uint64_t seed, float lo, float hi) {
    if (!(lo < hi)) throw py::value_error("the range must have lo < hi");
    return volume_of(toolkit::random_volume(seed, lo, hi));
  }, arg("seed"), arg("lo") = 0.0f, arg("hi") = 1.0f);
}

// The figures of one region, under the names of tomcompare's kv report
// (eval/comparison.h names them), on a volume or stack of any shape.
py::dict region_figures(const toolkit::RegionFigures& f, std::int64_t n0, std::int64_t n1, std::int64_t n2,
                        bool stack) {
  static_cast<void>(n0);  // the first axis never wraps
  auto place = [&](std::size_t at) {
    const auto position = static_cast<std::int64_t>(at);
    if (stack) return py::make_tuple(position / (n1 * n2), position / n2 % n1, position % n2);
    return py::make_tuple(position % n2, position / n2 % n1, position / (n1 * n2));
  };
  py::dict d;
  for (const toolkit::NamedFigure& n : toolkit::named_figures(f, stack)) {
    switch (n.kind) {
      case toolkit::FigureKind::count:
      case toolkit::FigureKind::position: d[n.name] = n.count; break;
      case toolkit::FigureKind::number: d[n.name] = n.number; break;
      case toolkit::FigureKind::place: d[n.name] = place(n.count); break;
    }
  }
  return d;
}

}  // namespace tomsim
