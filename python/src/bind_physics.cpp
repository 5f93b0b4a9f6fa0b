// Simulation physics and image quality on numpy arrays: seeded dose noise
// (tomnoise), continuous phantoms as description texts, their oversampled
// Volumes and exact projections (tomphantom, tomanalytic), and the SSIM and
// insert contrasts of tomcompare. The same library code as the tools, so the
// same bits.
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/scan_geometry.h"
#include "python/src/bindings.h"
#include "sim/dose_noise.h"
#include "eval/image_quality.h"
#include "sim/phantom_description.h"
#include "sim/phantom_library.h"
#include "sim/phantom_projection.h"
#include "sim/phantom_shapes.h"

namespace tomsim {
namespace {

// I0 as one number for every view or a sequence of one per view.
std::vector<double> i0_of(const py::object& i0) {
  if (py::isinstance<py::float_>(i0) || py::isinstance<py::int_>(i0)) {
    return toolkit::constant_i0(i0.cast<double>());
  }
  std::vector<double> values = i0.cast<std::vector<double>>();
  if (values.size() != static_cast<std::size_t>(scan::kViews)) {
    throw py::value_error("i0 must be one number or " + std::to_string(scan::kViews) + " numbers, one per view");
  }
  return values;
}

py::tuple add_noise(const py::object& stack_object, const py::object& i0, std::uint64_t seed, double mu,
                    double electronic, double floor, const py::object& threads_object) {
  const Samples stack = as_samples(stack_object, "stack");
  batch_size(stack, stack_layout(), false, "stack");
  toolkit::DoseSettings settings;
  settings.i0 = i0_of(i0);
  settings.seed = seed;
  settings.attenuation = mu;
  settings.electronic = electronic;
  settings.floor = floor;
  toolkit::check_dose_settings(settings);
  const int threads = thread_count(threads_object);
  Samples noisy = new_samples(stack_layout(), 1, false);
  toolkit::DoseTally tally;
  {
    Unlocked unlocked;
    tally = toolkit::add_dose_noise(settings, stack.data(), noisy.mutable_data(), 0, scan::kViews, threads);
  }
  return py::make_tuple(noisy, dose_figures(tally));
}

// The random ellipsoids' settings from (lo, hi) pairs; the library checks them.
toolkit::RandomEllipsoidSettings random_settings(const std::vector<int>& count, const std::vector<double>& values,
                                                 const std::vector<double>& sizes) {
  if (count.size() != 2 || values.size() != 2 || sizes.size() != 2) {
    throw py::value_error("count, values and sizes are pairs (lo, hi)");
  }
  toolkit::RandomEllipsoidSettings r;
  r.count_lo = count[0];
  r.count_hi = count[1];
  r.value_lo = values[0];
  r.value_hi = values[1];
  r.size_lo = sizes[0];
  r.size_hi = sizes[1];
  return r;
}

std::string phantom_description(const std::string& kind, const py::object& seed, double scale,
                                std::vector<int> count, std::vector<double> values, std::vector<double> sizes) {
  if (kind == "modified" || kind == "kak-slaney") {
    return toolkit::description_text(kind == "modified" ? toolkit::modified_shepp_logan(scale)
                                                        : toolkit::kak_slaney_shepp_logan(scale));
  }
  if (kind == "inserts") return toolkit::description_text(toolkit::insert_cylinder());
  if (kind == "random-ellipsoids") {
    if (seed.is_none()) throw py::value_error("random-ellipsoids needs a seed");
    const toolkit::RandomEllipsoidSettings r = random_ellipsoid_settings(count, values, sizes);
    return toolkit::description_text(toolkit::random_ellipsoids(seed.cast<std::uint64_t>(), r));
  }
  throw py::value_error("kind must be modified, kak-slaney, inserts or random-ellipsoids");
}

toolkit::Phantom phantom_of(const std::string& description) {
  toolkit::Phantom p = toolkit::parse_description(description, "description");
  toolkit::check_phantom(p);
  return p;
}

Samples voxelise(const std::string& description, int oversample, const py::object& threads_object) {
  toolkit::check_oversampling(oversample);
  const toolkit::Phantom phantom = phantom_of(description);
  const int threads = thread_count(threads_object);
  Samples volume = new_samples(volume_layout(), 1, false);
  {
    Unlocked unlocked;
    const std::vector<float> v = toolkit::voxelise(phantom, oversample, threads);
    std::memcpy(volume.mutable_data(), v.data(), v.size() * sizeof(float));
  }
  return volume;
}

Samples analytic_projection(const std::string& description, const py::object& threads_object,
                            const py::object& progress) {
  const toolkit::Phantom phantom = phantom_of(description);
  const int threads = thread_count(threads_object);
  Samples stack = new_samples(stack_layout(), 1, false);
  ProgressSink sink(progress, scan::kViews);
  {
    Unlocked unlocked;
    const std::vector<float> s = toolkit::analytic_stack(phantom, threads, sink.on_item());
    std::memcpy(stack.mutable_data(), s.data(), s.size() * sizeof(float));
  }
  sink.rethrow();
  return stack;
}

// The SSIM figures of two Volumes of any one shape (nz, ny, nx); none (an
// empty dict) for a grid too small for the window.
py::dict ssim_on_grid(const py::object& first_object, const py::object& second_object) {
  const Samples first = as_samples(first_object, "first");
  const Samples second = as_samples(second_object, "second");
  if (first.ndim() != 3 || second.ndim() != 3)
    throw py::value_error("SSIM measures two Volumes (three axes each)");
  for (int a = 0; a < 3; ++a)
    if (first.shape(a) != second.shape(a)) throw py::value_error("SSIM needs two Volumes of one shape");
  py::dict d;
  if (!toolkit::ssim_window_fits(first.shape(0), first.shape(1), first.shape(2))) return d;
  toolkit::SsimFigures ssim;
  {
    Unlocked unlocked;
    const std::vector<float> a(first.data(), first.data() + first.size());
    const std::vector<float> b(second.data(), second.data() + second.size());
    ssim = toolkit::structural_similarity(a, b, first.shape(0), first.shape(1), first.shape(2));
  }
  d["ssim"] = ssim.ssim;
  d["ssim_axial"] = ssim.axial;
  d["ssim_data_range"] = ssim.data_range;
  return d;
}

py::dict image_quality(const py::object& first_object, const py::object& second_object, const py::object& cnr) {
  const Samples first = as_samples(first_object, "first");
  batch_size(first, volume_layout(), false, "first");
  const Samples second = as_samples(second_object, "second");
  batch_size(second, volume_layout(), false, "second");
  std::optional<toolkit::Phantom> phantom;
  if (!cnr.is_none()) phantom = phantom_of(cnr.cast<std::string>());
  toolkit::SsimFigures ssim;
  std::vector<toolkit::InsertContrast> inserts;
  {
    Unlocked unlocked;
    const std::vector<float> a(first.data(), first.data() + scan::kVolumeSamples);
    const std::vector<float> b(second.data(), second.data() + scan::kVolumeSamples);
    ssim = toolkit::structural_similarity(a, b);
    if (phantom) inserts = toolkit::insert_contrasts(*phantom, b);
  }
  py::dict d;
  d["ssim"] = ssim.ssim;
  d["ssim_axial"] = ssim.axial;
  d["ssim_data_range"] = ssim.data_range;
  if (phantom) {
    py::dict c;
    for (const toolkit::InsertContrast& x : inserts) {
      py::dict one;
      one["cnr"] = x.cnr;
      one["insert_mean"] = x.insert_mean;
      one["background_mean"] = x.background_mean;
      one["background_sd"] = x.background_sd;
      one["insert_voxels"] = x.insert_voxels;
      one["background_voxels"] = x.background_voxels;
      c[py::str(x.name)] = one;
    }
    d["cnr"] = c;
  }
  return d;
}

}  // namespace

toolkit::RandomEllipsoidSettings random_ellipsoid_settings(const std::vector<int>& count,
                                                           const std::vector<double>& values,
                                                           const std::vector<double>& sizes) {
  if (count.size() != 2 || values.size() != 2 || sizes.size() != 2) {
    throw py::value_error("count, values and sizes are pairs (lo, hi)");
  }
  if (!(1 <= count[0] && count[0] <= count[1] && count[1] <= 1000)) {
    throw py::value_error("count needs 1 <= lo <= hi <= 1000");
  }
  if (!(values[0] <= values[1]) || !(0.0 < sizes[0] && sizes[0] <= sizes[1])) {
    throw py::value_error("values and sizes need lo <= hi, sizes positive");
  }
  toolkit::RandomEllipsoidSettings r;
  r.count_lo = count[0];
  r.count_hi = count[1];
  r.value_lo = values[0];
  r.value_hi = values[1];
  r.size_lo = sizes[0];
  r.size_hi = sizes[1];
  return r;
}

py::dict dose_figures(const toolkit::DoseTally& tally) {
  const double n = tally.samples > 0 ? static_cast<double>(tally.samples) : 1.0;
  py::dict figures;
  figures["samples"] = tally.samples;
  figures["mean_counts"] = tally.counts / n;
  figures["mean_expected_counts"] = tally.expected_counts / n;
  figures["starved"] = tally.starved;
  figures["starved_share"] = static_cast<double>(tally.starved) / n;
  figures["non_finite"] = tally.non_finite;
  return figures;
}

void bind_physics(py::module_& m) {
  using py::arg;
  const py::none none;
  const toolkit::RandomEllipsoidSettings d;  // the defaults
  m.def("add_noise", &add_noise, arg("stack"), arg("i0"), arg("seed"), arg("mu") = toolkit::kDefaultAttenuation,
        arg("electronic") = 0.0, arg("floor") = toolkit::kDefaultFloor, arg("threads") = none,
        "tomnoise: (noisy stack, figures) of a stack of line integrals at I0 photons per pixel.");
  m.def("phantom_description", &phantom_description, arg("kind"), arg("seed") = none, arg("scale") = toolkit::kDefaultPhantomScale,
        arg("count") = std::vector<int>{d.count_lo, d.count_hi},
        arg("values") = std::vector<double>{d.value_lo, d.value_hi},
        arg("sizes") = std::vector<double>{d.size_lo, d.size_hi}, "The description text of a ready-made phantom.");
  m.def("voxelise", &voxelise, arg("description"), arg("oversample") = 1, arg("threads") = none,
        "The Volume of a phantom description, with oversample^3 sub-samples per voxel.");
  // The library's own check, for the study files to call on their values.
  m.def("check_oversampling", &toolkit::check_oversampling, arg("oversample"));
  m.def("check_phantom_scale", &toolkit::check_phantom_scale, arg("scale"));
  m.def("check_random_ellipsoids", [](const std::vector<int>& count, const std::vector<double>& values,
                                      const std::vector<double>& sizes) {
    toolkit::check_random_ellipsoid_settings(random_settings(count, values, sizes));
  }, arg("count") = std::vector<int>{d.count_lo, d.count_hi},
        arg("values") = std::vector<double>{d.value_lo, d.value_hi},
        arg("sizes") = std::vector<double>{d.size_lo, d.size_hi});
  m.def("analytic_projection", &analytic_projection, arg("description"), arg("threads") = none,
        arg("progress") = none, "tomanalytic: the exact stack of a description along tomproj's rays.");
  m.def("ssim_on_grid", &ssim_on_grid, arg("first"), arg("second"),
        "tomcompare's SSIM figures of two Volumes of any one shape.");
  m.def("image_quality", &image_quality, arg("first"), arg("second"), arg("cnr") = none,
        "SSIM (3-D and per axial slice) and, given a description, the inserts' contrast-to-noise ratios.");
}

}  // namespace tomsim
