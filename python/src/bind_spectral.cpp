// Polychromatic projections on numpy arrays: the per-ray energy integration
// of material path lengths (expected or with seeded quantum noise), one
// ray's detected spectrum, and the two-material decomposition. The physics
// tables (attenuation, photons, gains) are made by tomsim.spectral; the
// checks of their values live in the library.
#include <pybind11/stl.h>

#include <cstring>
#include <string>
#include <vector>

#include "python/src/bindings.h"
#include "sim/spectral_signal.h"

namespace tomsim {
namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A (rows, E) table as a flat vector; rows = -1 takes any number.
std::vector<double> table_of(const py::object& object, const char* name, std::int64_t& rows, std::int64_t& columns) {
  const Doubles a = Doubles::ensure(object);
  if (!a || a.ndim() != 2) throw py::value_error(std::string(name) + " must be a 2-D array");
  rows = a.shape(0);
  columns = a.shape(1);
  return std::vector<double>(a.data(), a.data() + a.size());
}

toolkit::SpectralModel model_of(const py::object& attenuation, const py::object& photons, const py::object& gain) {
  toolkit::SpectralModel m;
  std::int64_t e0 = 0, e1 = 0, e2 = 0, bins_gain = 0;
  m.attenuation = table_of(attenuation, "attenuation", m.materials, e0);
  m.photons = table_of(photons, "photons", m.bins, e1);
  m.gain = table_of(gain, "gain", bins_gain, e2);
  m.energies = e1;
  if (m.materials == 0) e0 = e1;
  if (e0 != e1 || e2 != e1 || bins_gain != m.bins) {
    throw py::value_error("attenuation (M, E), photons (B, E) and gain (B, E) must agree on E and B");
  }
  toolkit::check_spectral_model(m);
  return m;
}

toolkit::SpectralNoise noise_kind(const std::string& kind) {
  if (kind == "none") return toolkit::SpectralNoise::none;
  if (kind == "counting") return toolkit::SpectralNoise::counting;
  if (kind == "compound") return toolkit::SpectralNoise::compound;
  if (kind == "moments") return toolkit::SpectralNoise::moments;
  throw py::value_error("noise must be none, counting, compound or moments");
}

// The shape of `a` with its leading axis replaced by `lead`.
std::vector<py::ssize_t> with_lead(const Samples& a, py::ssize_t lead) {
  std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
  shape[0] = lead;
  return shape;
}

py::tuple spectral_projection(const py::object& paths_object, const py::object& attenuation, const py::object& photons,
                              const py::object& gain, const std::string& noise, std::uint64_t seed,
                              double electronic, std::int64_t first_item, const py::object& threads_object) {
  const toolkit::SpectralModel model = model_of(attenuation, photons, gain);
  toolkit::SpectralNoiseSettings settings;
  settings.kind = noise_kind(noise);
  settings.seed = seed;
  settings.electronic = electronic;
  toolkit::check_spectral_noise(settings);
  const Samples paths = as_samples(paths_object, "paths");
  if (paths.ndim() < 1 || paths.shape(0) != model.materials) {
    throw py::value_error("paths must have one leading entry per material (" + std::to_string(model.materials) + ")");
  }
  const std::int64_t rays = model.materials > 0 ? static_cast<std::int64_t>(paths.size()) / model.materials : 0;
  const int threads = thread_count(threads_object);
  Samples out(with_lead(paths, static_cast<py::ssize_t>(model.bins)));
  toolkit::SpectralTally tally;
  {
    Unlocked unlocked;
    tally = toolkit::spectral_projection(model, settings, paths.data(), rays, first_item, out.mutable_data(), threads);
  }
  py::dict figures;
  figures["floored"] = tally.floored;
  figures["non_finite"] = tally.non_finite;
  figures["floor"] = toolkit::signal_floor(model);
  figures["flat"] = toolkit::flat_signal(model);
  return py::make_tuple(out, figures);
}

Doubles ray_signal(const py::object& attenuation, const py::object& photons, const py::object& gain,
                   std::vector<double> path) {
  const toolkit::SpectralModel model = model_of(attenuation, photons, gain);
  if (static_cast<std::int64_t>(path.size()) != model.materials) {
    throw py::value_error("the ray needs one path length per material");
  }
  const std::vector<double> s = toolkit::ray_signal_per_energy(model, path.data());
  Doubles out({static_cast<py::ssize_t>(model.bins), static_cast<py::ssize_t>(model.energies)});
  std::memcpy(out.mutable_data(), s.data(), s.size() * sizeof(double));
  return out;
}

Samples decompose_two(const py::object& log_object, const py::object& attenuation, const py::object& photons,
                      const py::object& gain, int iterations, const py::object& threads_object) {
  const toolkit::SpectralModel model = model_of(attenuation, photons, gain);
  const Samples log = as_samples(log_object, "log");
  if (log.ndim() < 1 || log.shape(0) != 2) throw py::value_error("log must hold two bins along its first axis");
  const int threads = thread_count(threads_object);
  Samples out(with_lead(log, 2));
  {
    Unlocked unlocked;
    toolkit::decompose_two_materials(model, log.data(), static_cast<std::int64_t>(log.size()) / 2, iterations,
                                     out.mutable_data(), threads);
  }
  return out;
}

Doubles transmission(const py::object& exponent_object) {
  const Doubles t = Doubles::ensure(exponent_object);
  if (!t) throw py::value_error("exponent must be an array of numbers");
  Doubles out(std::vector<py::ssize_t>(t.shape(), t.shape() + t.ndim()));
  for (py::ssize_t i = 0; i < t.size(); ++i) out.mutable_data()[i] = toolkit::transmission(t.data()[i]);
  return out;
}

}  // namespace

void bind_spectral(py::module_& m) {
  using py::arg;
  const py::none none;
  m.def("spectral_projection", &spectral_projection, arg("paths"), arg("attenuation"), arg("photons"), arg("gain"),
        arg("noise") = "none", arg("seed") = 0, arg("electronic") = 0.0, arg("first_item") = 0,
        arg("threads") = none, "(-ln(signal/flat) per bin, figures) of material path lengths.");
  m.def("spectral_ray_signal", &ray_signal, arg("attenuation"), arg("photons"), arg("gain"), arg("path"),
        "The expected signal of one ray per bin and energy.");
  m.def("spectral_decompose_two", &decompose_two, arg("log"), arg("attenuation"), arg("photons"), arg("gain"),
        arg("iterations") = 12, arg("threads") = none, "Two-material path lengths from two bins' -ln(signal/flat).");
  m.def("spectral_kernel", &toolkit::spectral_kernel_name, "The instruction set of the energy integration's loops.");
  m.def("spectral_transmission", &transmission, arg("exponent"), "e^-t as the energy integration computes it.");
}

}  // namespace tomsim
