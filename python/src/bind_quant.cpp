// Quantitative reconstruction on numpy arrays: FDK on the projector's
// geometry, the projector's exact adjoint, and SIRT / OS-SART with them. The
// same library code as tomfdk and tomiter, so the same bits.
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/scan_geometry.h"
#include "python/src/bindings.h"
#include "operators/projector_adjoint.h"
#include "recon/fdk.h"
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

// Returns (volume, list of per-pass figures, what stopped it).
py::tuple sirt(const py::object& stack_object, int iterations, int subsets, bool nonnegative,
               const py::object& x0_object, const py::object& truth_object,
               const py::object& callback, double relaxation, double tolerance,
               double noise_level, double noise_i0, double mu, double electronic, double discrepancy,
               const std::string& cache, const py::object& threads_object) {
  const Samples stack = as_samples(stack_object, "stack");
  batch_size(stack, stack_layout(), false, "stack");
  quant::IterativeOptions options;
  options.iterations = iterations;
  options.subsets = subsets;
  options.nonnegative = nonnegative;
  options.relaxation = relaxation;
  options.tolerance = tolerance;
  options.noise_level = noise_level;
  options.discrepancy = discrepancy;
  options.threads = thread_count(threads_object);
  quant::check_iterative_options(options);
  if (noise_i0 != 0.0 && noise_level != 0.0) throw py::value_error("noise_level and noise_i0 exclude each other");
  if (!(noise_i0 >= 0.0) || !(mu > 0.0) || !(electronic >= 0.0))
    throw py::value_error("noise_i0 and electronic must not be negative, mu must be positive");

  std::vector<float> x(scan::kVolumeSamples, 0.0f);
  bool start_fdk = false;
  if (py::isinstance<py::str>(x0_object)) {
    if (x0_object.cast<std::string>() != "fdk") throw py::value_error("x0 must be None, 'fdk' or a Volume");
    start_fdk = true;
  } else if (!x0_object.is_none()) {
    const Samples x0 = as_samples(x0_object, "x0");
    batch_size(x0, volume_layout(), false, "x0");
    std::memcpy(x.data(), x0.data(), scan::kVolumeSamples * sizeof(float));
  }
  Samples truth;
  if (!truth_object.is_none()) {
    truth = as_samples(truth_object, "truth");
    batch_size(truth, volume_layout(), false, "truth");
  }

  py::list history;
  std::string stopped_by;
  std::unique_ptr<py::error_already_set> callback_error;
  {
    Unlocked unlocked;
    if (start_fdk) {
      quant::FdkOptions fdk_options;
      fdk_options.threads = options.threads;
      quant::fdk_reconstruct(stack.data(), x.data(), fdk_options);
    }
    const quant::SystemSums sums = quant::system_sums(subsets, cache, options.threads);
    if (noise_i0 > 0.0)
      options.noise_level = quant::expected_noise_level(stack.data(), sums.row_sums, noise_i0, mu, electronic);
    quant::iterative_reconstruct(
        stack.data(), x, options, sums, truth_object.is_none() ? nullptr : truth.data(),
        [&](const quant::IterationFigures& f, const std::vector<float>& current) {
          py::gil_scoped_acquire gil;
          const py::dict d = figures_dict(f);
          history.append(d);
          if (callback.is_none()) return true;
          try {
            Samples copy = new_samples(volume_layout(), 1, false);
            std::memcpy(copy.mutable_data(), current.data(), scan::kVolumeSamples * sizeof(float));
            const py::object answer = callback(d, copy);
            // None or anything true goes on; False stops.
            return answer.is_none() || answer.cast<bool>();
          } catch (py::error_already_set& e) {
            callback_error = std::make_unique<py::error_already_set>(std::move(e));
            return false;
          }
        },
        &stopped_by);
  }
  if (callback_error) throw std::move(*callback_error);
  Samples volume = new_samples(volume_layout(), 1, false);
  std::memcpy(volume.mutable_data(), x.data(), scan::kVolumeSamples * sizeof(float));
  return py::make_tuple(volume, history, stopped_by);
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
  m.def("sirt", &sirt, arg("stack"), arg("iterations"), arg("subsets") = 1,
        arg("nonnegative") = true, arg("x0") = none, arg("truth") = none, arg("callback") = none,
        arg("relaxation") = 1.0, arg("tolerance") = 0.0, arg("noise_level") = 0.0,
        arg("noise_i0") = 0.0, arg("mu") = toolkit::kDefaultAttenuation, arg("electronic") = 0.0,
        arg("discrepancy") = quant::IterativeOptions().discrepancy, arg("cache") = "", arg("threads") = none,
        "SIRT / OS-SART with the projector's map: (volume, figures per pass, stopped by).");
  // The library's own checks, for the study files to call on their values.
  m.def("check_relaxation", &quant::check_relaxation, arg("relaxation"));
  m.def("check_tolerance", &quant::check_tolerance, arg("tolerance"));
  m.def("check_subset_count", &quant::check_subset_count, arg("subsets"));
  m.def("make_system_sums", &make_system_sums, arg("subsets"), arg("folder"), arg("threads") = none,
        "Makes SIRT's row and column sums for `subsets` subsets in a folder (kept there).");
}

}  // namespace tomsim
