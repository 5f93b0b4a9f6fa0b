// Quantitative reconstruction on numpy arrays: FDK on the projector's
// geometry, the projector's exact adjoint, and SIRT / OS-SART with them. The
// same library code as tomfdk and tomiter, so the same bits.
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/scan_geometry.h"
#include "python/src/bindings.h"
#include "operators/projector_adjoint.h"
#include "recon/fdk.h"
#include "recon/cone_pair.h"
#include "recon/iterative.h"
#include "sim/dose_noise.h"

namespace tomsim {
namespace {

Samples fdk(const py::object& stack, const std::string& filter, double cutoff, const py::object& threads,
            const py::object& progress) {
  quant::FdkOptions options;
  options.window = quant::fdk_window_from_name(filter);
  options.cutoff = cutoff;
  return each_stack(stack, threads, progress, volume_layout(), quant::fdk_step_count(),
                    [&](const float* in, float* out, int n, const std::function<void(int)>& step) {
                      quant::FdkOptions each = options;
                      each.threads = n;
                      quant::fdk_reconstruct(in, out, each, step);
                    });
}

Samples project_adjoint(const py::object& stack, const py::object& threads, const py::object& progress) {
  return each_stack(stack, threads, progress, volume_layout(), scan::kViews, &tomproj::project_adjoint);
}

py::dict figures_dict(const quant::IterationFigures& f) {
  py::dict d;
  d["iteration"] = f.iteration;
  d["seconds"] = f.seconds;
  d["relative_residual"] = f.relative_residual;
  d["rms_residual"] = f.rms_residual;
  if (f.has_truth) {
    d["rmse"] = f.rmse;
    d["pearson_r"] = f.pearson_r;
  }
  return d;
}

// The scan of an iteration: the defined one (no vectors) or a cone scan of a
// grid and per-view vectors.
struct IterationScan {
  bool defined = true;
  geom::VolumeGrid grid;
  geom::ConeVectors rays;
};

IterationScan iteration_scan(const py::object& vectors_object, const std::array<std::int64_t, 2>& detector_shape,
                             const std::array<std::int64_t, 3>& volume_shape, const std::array<double, 3>& voxel_size,
                             const std::array<double, 3>& volume_offset) {
  IterationScan scan;
  if (vectors_object.is_none()) return scan;
  scan.defined = false;
  scan.rays = cone_rays(vectors_object, detector_shape[0], detector_shape[1]);
  scan.grid = volume_grid(volume_shape, voxel_size, volume_offset);
  return scan;
}

// A whole array of exactly `count` samples, or a ValueError naming both sizes.
Samples samples_of_size(const py::object& object, const char* what, std::size_t count) {
  const Samples a = as_samples(object, what);
  if (static_cast<std::size_t>(a.size()) != count)
    throw py::value_error(std::string(what) + " holds " + std::to_string(a.size()) + " samples, the scan needs " +
                          std::to_string(count));
  return a;
}

// SIRT / OS-SART ("sirt") or CGLS ("cgls") on the defined scan or a cone
// scan. Returns (volume, list of per-pass figures, what stopped it).
py::tuple iterate(const std::string& method, const py::object& stack_object, int iterations, int subsets,
                  bool nonnegative, const py::object& x0_object, const py::object& truth_object,
                  const py::object& callback, double relaxation, double tolerance, double noise_level,
                  double noise_i0, double mu, double electronic, double discrepancy, const std::string& cache,
                  const py::object& threads_object, const py::object& vectors_object,
                  const std::array<std::int64_t, 2>& detector_shape, const std::array<std::int64_t, 3>& volume_shape,
                  const std::array<double, 3>& voxel_size, const std::array<double, 3>& volume_offset) {
  if (method != "sirt" && method != "cgls") throw py::value_error("the method must be sirt or cgls");
  const IterationScan scan = iteration_scan(vectors_object, detector_shape, volume_shape, voxel_size, volume_offset);
  const quant::ProjectorPair pair = scan.defined ? quant::defined_pair() : quant::cone_pair(scan.grid, scan.rays);
  const std::size_t volume_samples = static_cast<std::size_t>(pair.volume_samples);
  const Samples stack = samples_of_size(stack_object, "stack", static_cast<std::size_t>(pair.stack_samples()));
  quant::IterativeOptions options;
  options.iterations = iterations;
  options.subsets = subsets;
  options.nonnegative = nonnegative;
  options.relaxation = relaxation;
  options.tolerance = tolerance;
  options.noise_level = noise_level;
  options.discrepancy = discrepancy;
  options.threads = thread_count(threads_object);
  quant::check_iterative_options(options, static_cast<int>(pair.views));
  if (noise_i0 != 0.0 && noise_level != 0.0) throw py::value_error("noise_level and noise_i0 exclude each other");
  if (!(noise_i0 >= 0.0) || !(mu > 0.0) || !(electronic >= 0.0))
    throw py::value_error("noise_i0 and electronic must not be negative, mu must be positive");

  std::vector<float> x(volume_samples, 0.0f);
  bool start_fdk = false;
  if (py::isinstance<py::str>(x0_object)) {
    if (x0_object.cast<std::string>() != "fdk" || !scan.defined)
      throw py::value_error("x0 must be None, a Volume or, on the defined scan, 'fdk'");
    start_fdk = true;
  } else if (!x0_object.is_none()) {
    const Samples x0 = samples_of_size(x0_object, "x0", volume_samples);
    std::memcpy(x.data(), x0.data(), volume_samples * sizeof(float));
  }
  Samples truth;
  if (!truth_object.is_none()) truth = samples_of_size(truth_object, "truth", volume_samples);
  const std::vector<py::ssize_t> shape = {static_cast<py::ssize_t>(scan.defined ? scan::NZ : scan.grid.nz),
                                          static_cast<py::ssize_t>(scan.defined ? scan::NY : scan.grid.ny),
                                          static_cast<py::ssize_t>(scan.defined ? scan::NX : scan.grid.nx)};
  auto volume_array = [&](const std::vector<float>& values) {
    Samples out(shape);
    std::memcpy(out.mutable_data(), values.data(), volume_samples * sizeof(float));
    return out;
  };

  py::list history;
  std::string stopped_by;
  std::unique_ptr<py::error_already_set> callback_error;
  const quant::AfterPass after_pass = [&](const quant::IterationFigures& f, const std::vector<float>& current) {
    py::gil_scoped_acquire gil;
    const py::dict d = figures_dict(f);
    history.append(d);
    if (callback.is_none()) return true;
    try {
      const py::object answer = callback(d, volume_array(current));
      // None or anything true goes on; False stops.
      return answer.is_none() || answer.cast<bool>();
    } catch (py::error_already_set& e) {
      callback_error = std::make_unique<py::error_already_set>(std::move(e));
      return false;
    }
  };
  {
    Unlocked unlocked;
    if (start_fdk) {
      quant::FdkOptions fdk_options;
      fdk_options.threads = options.threads;
      quant::fdk_reconstruct(stack.data(), x.data(), fdk_options);
    }
    const quant::SystemSums sums =
        quant::system_sums(pair, method == "sirt" ? subsets : 0, cache, options.threads);
    if (noise_i0 > 0.0)
      options.noise_level = quant::expected_noise_level(stack.data(), sums.row_sums, noise_i0, mu, electronic);
    const float* truth_data = truth_object.is_none() ? nullptr : truth.data();
    if (method == "sirt")
      quant::iterative_reconstruct(pair, stack.data(), x, options, sums, truth_data, after_pass, &stopped_by);
    else
      quant::cgls_reconstruct(pair, stack.data(), x, options, sums.row_sums, truth_data, after_pass, &stopped_by);
  }
  if (callback_error) throw std::move(*callback_error);
  return py::make_tuple(volume_array(x), history, stopped_by);
}

// Makes the sums of `subsets` subsets in `folder`, or finds them there.
void make_system_sums(int subsets, const std::string& folder, const py::object& threads_object) {
  if (folder.empty()) throw py::value_error("the sums need a folder to be kept in");
  const int threads = thread_count(threads_object);
  Unlocked unlocked;
  quant::system_sums(subsets, folder, threads);
}

}  // namespace

void bind_quant(py::module_& m) {
  using py::arg;
  const py::none none;
  m.def("fdk", &fdk, arg("stack"), arg("filter") = "ram-lak", arg("cutoff") = 1.0,
        arg("threads") = none, arg("progress") = none,
        "FDK of a projector stack (batch) in the Volume's units.");
  m.def("project_adjoint", &project_adjoint, arg("stack"), arg("threads") = none,
        arg("progress") = none, "The transpose of the projector's map (batch).");
  m.def("iterate", &iterate, arg("method"), arg("stack"), arg("iterations"), arg("subsets") = 1,
        arg("nonnegative") = true, arg("x0") = none, arg("truth") = none, arg("callback") = none,
        arg("relaxation") = 1.0, arg("tolerance") = 0.0, arg("noise_level") = 0.0,
        arg("noise_i0") = 0.0, arg("mu") = toolkit::kDefaultAttenuation, arg("electronic") = 0.0,
        arg("discrepancy") = quant::IterativeOptions().discrepancy, arg("cache") = "", arg("threads") = none,
        arg("vectors") = none, arg("detector_shape") = std::array<std::int64_t, 2>{0, 0},
        arg("volume_shape") = std::array<std::int64_t, 3>{0, 0, 0},
        arg("voxel_size") = std::array<double, 3>{1.0, 1.0, 1.0},
        arg("volume_offset") = std::array<double, 3>{0.0, 0.0, 0.0},
        "SIRT / OS-SART or CGLS on the defined scan (vectors None) or a cone scan: "
        "(volume, figures per pass, stopped by).");
  // The library's own checks, for the study files to call on their values.
  m.def("check_relaxation", &quant::check_relaxation, arg("relaxation"));
  m.def("check_tolerance", &quant::check_tolerance, arg("tolerance"));
  m.def("check_subset_count", static_cast<void (*)(int, int)>(&quant::check_subset_count), arg("subsets"), arg("views") = scan::kViews);
  m.def("make_system_sums", &make_system_sums, arg("subsets"), arg("folder"), arg("threads") = none,
        "Makes SIRT's row and column sums for `subsets` subsets in a folder (kept there).");
}

}  // namespace tomsim
