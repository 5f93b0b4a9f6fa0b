// tomiter: SIRT and OS-SART with the projector's own map and its transpose.
#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "recon/fdk.h"
#include "core/geometry.h"
#include "core/geometry_option.h"
#include "core/raw_image.h"
#include "recon/cone_pair.h"
#include "recon/fdk_circular.h"
#include "recon/iterative.h"
#include "core/command_line.h"
#include "sim/dose_noise.h"
#include "core/sample_files.h"

namespace {

const tomio::ToolSpec kSpec{
    "tomiter",
    "Usage: tomiter [--subsets S] [--iterations N] [--relaxation L] [--allow-negative]\n"
    "               [--start zero|fdk|VOLUME] [--tolerance T]\n"
    "               [--noise-level SIGMA | --noise-i0 I0 [--mu M] [--electronic E]]\n"
    "               [--discrepancy TAU]\n"
    "               [--truth VOLUME] [--log FILE.csv] [--cache DIR] [--threads N]\n"
    "               [--method sirt|cgls] [--geometry FILE] INPUT OUTPUT",
    "Reconstructs a ProjectionStack made by the projector by SIRT (--subsets 1,\n"
    "the default) or OS-SART (S subsets of interleaved views), with the\n"
    "projector's own map A and its exact transpose:\n"
    "  x <- x + L C_s^-1 A_s^T R^-1 (b - A_s x) for each subset s,\n"
    "R = A 1 per ray and C_s = A_s^T 1 per voxel. The sums are computed once and\n"
    "kept in --cache DIR (row_sums.img, column_sums_S_j.img) for later runs.\n"
    "Voxels are held at 0 or above unless --allow-negative. The start is zero,\n"
    "the FDK image (ram-lak) or a given Volume. It stops after N passes over all\n"
    "views (default 10), or earlier when a pass lowers |b - Ax| / |b| by less\n"
    "than the fraction T of itself, or when the rms residual per ray falls to\n"
    "TAU x SIGMA (SIGMA the samples' noise level; TAU, default 1.1, above 1 as\n"
    "the residual of an image held at 0 or above levels off just above the\n"
    "noise). With --noise-i0 the level is the one that tomnoise's dose model\n"
    "(I0, M, E as there) implies for the samples.\n"
    "With --truth, RMSE and Pearson r against\n"
    "it are shown after every pass; --log keeps every pass's figures as CSV.\n"
    "--method cgls runs conjugate gradients on the least-squares problem\n"
    "instead (no subsets, relaxation nor bound; the same stopping rules).\n"
    "With --geometry, a stack of a geometry file's scan (raw float32 of its\n"
    "shape, line integrals with lengths in mm) on the exact cone walk and its\n"
    "transpose; its sums are kept under a key of its grid and vectors, and\n"
    "--start fdk is FDK on that scan.\n"
    "The output is the same bits at any thread count.",
    {
        {"subsets", "S", "subsets of views, 1 ... 256 (default 1: SIRT)"},
        {"iterations", "N", "most passes over all views (default 10)"},
        {"relaxation", "L", "relaxation factor (default 1)"},
        {"allow-negative", "", "do not hold voxels at 0 or above"},
        {"start", "FROM", "zero (default), fdk, or a Volume file"},
        {"tolerance", "T", "stop when a pass lowers the residual by less than T of it"},
        {"noise-level", "SIGMA", "stop when the rms residual per ray is at most TAU x SIGMA"},
        {"noise-i0", "I0", "the same, with the level of tomnoise --i0 I0 noise"},
        {"mu", "M", "with --noise-i0: tomnoise's --mu (default 0.15)"},
        {"electronic", "E", "with --noise-i0: tomnoise's --electronic (default 0)"},
        {"discrepancy", "TAU", "the factor of the noise rule, at least 1 (default 1.1)"},
        {"truth", "VOLUME", "the true Volume, for figures per pass"},
        {"log", "FILE", "write the figures of every pass as CSV"},
        {"cache", "DIR", "keep and reuse the row and column sums in DIR"},
        {"threads", "N", "threads to use (default: the processors available)"},
        {"method", "NAME", "sirt (SIRT / OS-SART, the default) or cgls"},
        {"geometry", "FILE", "the scan of a geometry file instead of the defined one"},
    },
    1};

double non_negative_option(const tomio::CommandLine& line, const std::string& name) {
  const double value = tomio::parse_double(line.value(name, "0"), "--" + name);
  if (!(value >= 0.0)) tomio::fail_usage("--" + name + " must not be negative");
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected INPUT and OUTPUT");
    quant::IterativeOptions options;
    options.subsets = tomio::parse_int(line.value("subsets", "1"), "--subsets");
    options.iterations = tomio::parse_int(line.value("iterations", "10"), "--iterations");
    options.relaxation = tomio::parse_double(line.value("relaxation", "1"), "--relaxation");
    options.nonnegative = !line.has("allow-negative");
    options.tolerance = tomio::parse_double(line.value("tolerance", "0"), "--tolerance");
    options.noise_level = tomio::parse_double(line.value("noise-level", "0"), "--noise-level");
    if (line.has("noise-level") && line.has("noise-i0"))
      tomio::fail_usage("--noise-level and --noise-i0 exclude each other");
    if ((line.has("mu") || line.has("electronic")) && !line.has("noise-i0"))
      tomio::fail_usage("--mu and --electronic go with --noise-i0");
    const double noise_i0 = non_negative_option(line, "noise-i0");
    const double mu = line.has("mu") ? tomio::parse_double(line.value("mu"), "--mu")
                                     : toolkit::kDefaultAttenuation;
    const double electronic = non_negative_option(line, "electronic");
    if (line.has("discrepancy"))
      options.discrepancy = tomio::parse_double(line.value("discrepancy"), "--discrepancy");
    // The scan: the defined one, or a geometry file's on the cone walk and its
    // transpose (read and checked before anything large is read).
    const std::optional<geom::Geometry> geometry = geom::general_geometry_option(line);
    if (geometry) geom::check_cone_walk(*geometry);
    const quant::ProjectorPair pair =
        geometry ? quant::cone_pair(geometry->grid, geom::cone_vectors(*geometry)) : quant::defined_pair();
    const std::string method = line.value("method", "sirt");
    if (method != "sirt" && method != "cgls") tomio::fail_usage("--method must be sirt or cgls");
    quant::check_iterative_options(options, static_cast<int>(pair.views));
    if (line.has("noise-i0") && !(noise_i0 > 0.0 && mu > 0.0))
      tomio::fail_usage("--noise-i0 and --mu must be positive");
    options.threads = tomio::thread_count(line);
    const std::string start = line.value("start", "zero");
    std::vector<std::string> inputs = {line.positional()[0]};
    if (line.has("truth")) inputs.push_back(line.value("truth"));
    if (start != "zero" && start != "fdk") inputs.push_back(start);
    std::vector<std::string> outputs = {line.positional()[1]};
    if (line.has("log")) outputs.push_back(line.value("log"));
    toolkit::refuse_outputs_over_inputs(outputs, inputs);

    const std::size_t volume_samples = static_cast<std::size_t>(pair.volume_samples);
    const std::vector<float> stack =
        toolkit::read_float_samples(line.positional()[0], static_cast<std::size_t>(pair.stack_samples()));
    std::vector<float> truth;
    if (line.has("truth")) truth = toolkit::read_float_samples(line.value("truth"), volume_samples);
    std::vector<float> x(volume_samples, 0.0f);
    if (start == "fdk" && geometry) {
      quant::FdkCircularOptions fdk;
      fdk.threads = options.threads;
      quant::fdk_circular(geom::circular_scan(*geometry), stack.data(), x.data(), fdk);
    } else if (start == "fdk") {
      quant::FdkOptions fdk;
      fdk.threads = options.threads;
      quant::fdk_reconstruct(stack.data(), x.data(), fdk);
    } else if (start != "zero") {
      x = toolkit::read_float_samples(start, volume_samples);
    }
    // Claimed before the work, so that a name that cannot be written is
    // reported at once.
    tomio::OutputFile target(line.positional()[1], volume_samples * sizeof(float));
    std::unique_ptr<tomio::OutputFile> log_file;
    if (line.has("log")) log_file = std::make_unique<tomio::OutputFile>(line.value("log"));

    std::fprintf(stderr, "tomiter: row and column sums for %d subset(s)...\n", options.subsets);
    const quant::SystemSums sums =
        quant::system_sums(pair, method == "sirt" ? options.subsets : 0, line.value("cache"), options.threads);
    if (noise_i0 > 0.0) {
      options.noise_level = quant::expected_noise_level(stack.data(), sums.row_sums, noise_i0, mu, electronic);
      std::fprintf(stderr, "tomiter: noise level %.6g (I0 %g, mu %g): stops at rms %.6g\n", options.noise_level,
                   noise_i0, mu, options.discrepancy * options.noise_level);
    }
    std::ostringstream log;
    log << "iteration,seconds,relative_residual,rms_residual,rmse,pearson_r\n";
    if (!truth.empty()) {
      double rmse = 0, r = 0;
      quant::compare_to_truth(x.data(), truth.data(), pair.volume_samples, rmse, r);
      std::fprintf(stderr, "tomiter: start (%s): rmse %.6g, r %.6f\n", start.c_str(), rmse, r);
      log << "0,0,,," << rmse << ',' << r << '\n';
    }
    std::string stopped_by;
    const quant::AfterPass report =
        [&](const quant::IterationFigures& f, const std::vector<float>&) {
          std::fprintf(stderr, "tomiter: pass %d: residual %.6g (rms %.6g)", f.iteration,
                       f.relative_residual, f.rms_residual);
          if (f.has_truth) std::fprintf(stderr, ", rmse %.6g, r %.6f", f.rmse, f.pearson_r);
          std::fprintf(stderr, ", %.1f s\n", f.seconds);
          log.precision(10);
          log << f.iteration << ',' << f.seconds << ',' << f.relative_residual << ','
              << f.rms_residual << ',';
          if (f.has_truth) log << f.rmse << ',' << f.pearson_r;
          else log << ',';
          log << '\n';
          return true;
        };
    const float* truth_data = truth.empty() ? nullptr : truth.data();
    if (method == "sirt")
      quant::iterative_reconstruct(pair, stack.data(), x, options, sums, truth_data, report, &stopped_by);
    else
      quant::cgls_reconstruct(pair, stack.data(), x, options, sums.row_sums, truth_data, report, &stopped_by);
    std::fprintf(stderr, "tomiter: stopped by %s\n", stopped_by.c_str());
    tomio::save_float_image(std::move(target), x.data(), x.size());
    if (log_file) {
      const std::string text = log.str();
      log_file->write(text.data(), text.size());
      log_file->commit();
    }
    return 0;
  });
}
