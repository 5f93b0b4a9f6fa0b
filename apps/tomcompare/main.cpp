// tomcompare: how far two Volumes (or two ProjectionStacks) are apart.
// Exit status 0 when they are bitwise identical, 1 when they differ, 2 when
// they cannot be compared.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <sstream>
#include <utility>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "core/geometry_option.h"
#include "core/raw_image.h"
#include "eval/comparison.h"
#include "eval/image_quality.h"
#include "sim/phantom_description.h"
#include "core/sample_files.h"

namespace {

using toolkit::FileKind;
using toolkit::RegionFigures;

const tomio::ToolSpec kSpec{
    "tomcompare",
    "Usage: tomcompare [--stack] [--format text|kv|json] [--no-fail] [--finite-only]\n"
    "                  [--diff-out FILE] [--fitted-out FILE] [--residual-out FILE]\n"
    "                  [--region-cylinder] [--region-box X0,Y0,Z0,X1,Y1,Z1]\n"
    "                  [--region-mask MASK] [--cnr DESCRIPTION] FIRST SECOND\n"
    "       tomcompare --geometry FILE [--stack] [--cylinder R,H] [--region-box ...]\n"
    "                  [--region-mask MASK] [other options] FIRST SECOND",
    "Compares SECOND with FIRST (the reference) sample by sample, over the\n"
    "whole file and over central regions (Volume: the central cube of half\n"
    "the size on each axis and the central axial slice iz = 64; stack: the\n"
    "central half of the rows and columns of every view). For each: samples,\n"
    "bitwise-different samples, samples where either value is not finite, the\n"
    "largest |SECOND - FIRST| and where, RMSE, PSNR (peak: max - min of\n"
    "FIRST), Pearson r, and the least-squares fit FIRST ~ scale * SECOND +\n"
    "offset with the RMSE, PSNR and largest difference left after it.\n"
    "A figure that is not defined is nan (null in JSON): every figure of a\n"
    "region with a sample that is not finite (unless --finite-only leaves\n"
    "those out), and Pearson r of a constant input.\n"
    "Also the mean absolute difference (MAE) and the RMSE over the root mean\n"
    "square of FIRST (nRMSE). Volumes also get the SSIM in 3-D (key ssim) and\n"
    "per axial slice (ssim_axial), as scikit-image's structural_similarity\n"
    "with gaussian_weights=True, sigma=1.5, use_sample_covariance=False and\n"
    "data_range = max - min of FIRST; and with --cnr the contrast-to-noise\n"
    "ratio of SECOND in every named insert of the phantom description\n"
    "(insert: the inner 70% of the shape; background: the ring between 150%\n"
    "and 250% of it in the same slices, inside the shape named background).\n"
    "Exit status: 0 bitwise identical, 1 different (0 with --no-fail),\n"
    "2 usage or file errors (the report is still printed when an extra\n"
    "output cannot be written).\n"
    "With --geometry, FIRST and SECOND are raw float32 Volumes (or with --stack\n"
    "stacks) of a geometry file's shapes (docs/geometry.md): the central cube\n"
    "runs from n/4 to n - n/4 on each axis, the axial slice is iz = nz/2,\n"
    "--region-box is in mm in the scan's frame, --cylinder R,H chooses the\n"
    "voxels within R mm of the rotation axis and H mm of its centre plane,\n"
    "and a mask has the geometry's shape. SSIM is reported for grids of at\n"
    "least 11 voxels along each axis (its window); --cnr measures Volumes of\n"
    "the defined grid only.",
    {
        {"stack", "", "the files are ProjectionStacks (default: Volumes)"},
        {"format", "F", "text (default), kv (key=value lines) or json"},
        {"no-fail", "", "exit 0 when the files differ too"},
        {"finite-only", "", "leave out the samples where either value is not finite"},
        {"diff-out", "FILE", "write SECOND - FIRST as a file of the same kind"},
        {"fitted-out", "FILE", "write scale * SECOND + offset (whole-file fit)"},
        {"residual-out", "FILE", "write scale * SECOND + offset - FIRST (whole-file fit)"},
        {"region-cylinder", "", "also the region every view traces: x^2 + y^2 <= 61^2, |z| <= 61"},
        {"region-box", "X0,Y0,Z0,X1,Y1,Z1", "also the voxels whose centre lies in this box"},
        {"region-mask", "MASK", "also the voxels where the Volume MASK is nonzero"},
        {"cnr", "DESCRIPTION", "contrast-to-noise ratios of the phantom's named inserts"},
        {"geometry", "FILE", "Volumes or stacks of a geometry file's shapes, regions in mm"},
        {"cylinder", "R,H", "with --geometry: also the voxels within R mm of the axis and H mm of z = 0"},
    },
    2};

// Shortest text that reads back as the same double; JSON-safe names for
// the values that JSON has no numbers for.
std::string number(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buffer[64];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, x);
    if (std::strtod(buffer, nullptr) == x) break;
  }
  return buffer;
}

// NaN (a figure that is not defined) is null; the infinities keep a name.
std::string json_number(double x) {
  if (std::isnan(x)) return "null";
  return std::isfinite(x) ? number(x) : "\"" + number(x) + "\"";
}

// The files' shape: the two fastest sizes (x and y of a Volume, columns and
// rows of a stack) and the sample count.
struct FileShape {
  std::size_t fastest = 0, second = 0, samples = 0;
};

std::string place_of(std::size_t position, FileKind kind, const FileShape& shape) {
  std::ostringstream s;
  const std::size_t first = position % shape.fastest;
  const std::size_t second = position / shape.fastest % shape.second;
  const std::size_t third = position / (shape.fastest * shape.second);
  if (kind == FileKind::Volume) {
    s << first << ',' << second << ',' << third;
  } else {
    s << third << ',' << second << ',' << first;
  }
  return s.str();
}

struct Field {
  std::string key;
  std::string text;  // for text and kv
  std::string json;  // as a JSON value
};

std::vector<Field> fields_of(const RegionFigures& f, FileKind kind, const FileShape& shape) {
  std::vector<Field> fields;
  for (const toolkit::NamedFigure& n : toolkit::named_figures(f, kind == FileKind::Stack)) {
    const std::string count = std::to_string(n.count);
    switch (n.kind) {
      case toolkit::FigureKind::count:
        fields.push_back({n.name, count, count});
        break;
      case toolkit::FigureKind::number:
        fields.push_back({n.name, number(n.number), json_number(n.number)});
        break;
      // Where the largest difference lies means nothing when it is not defined.
      case toolkit::FigureKind::position:
        fields.push_back({n.name, n.placed ? count : "nan", n.placed ? count : "null"});
        break;
      case toolkit::FigureKind::place: {
        const std::string place = place_of(n.count, kind, shape);
        fields.push_back({n.name, n.placed ? place : "nan", n.placed ? "[" + place + "]" : "null"});
        break;
      }
    }
  }
  return fields;
}

// A figure of the whole file beside the regions: its JSON value, and the
// key=value lines that stand for it in the kv and text reports.
struct QualityItem {
  std::string key;
  std::string json;
  std::vector<std::pair<std::string, std::string>> lines;
};

std::vector<QualityItem> quality_items(const toolkit::SsimFigures* ssim,
                                       const std::vector<toolkit::InsertContrast>& inserts) {
  std::vector<QualityItem> items;
  if (ssim != nullptr) {
    items.push_back({"ssim", json_number(ssim->ssim), {{"ssim", number(ssim->ssim)}}});
    QualityItem axial{"ssim_axial", "[", {}};
    double lowest = 0.0;
    for (std::size_t k = 0; k < ssim->axial.size(); ++k) {
      axial.json += (k ? ", " : "") + json_number(ssim->axial[k]);
      if (k == 0 || ssim->axial[k] < lowest) lowest = ssim->axial[k];
    }
    axial.json += "]";
    axial.lines.emplace_back("ssim_axial_central", number(ssim->axial[ssim->axial.size() / 2]));
    axial.lines.emplace_back("ssim_axial_lowest", number(lowest));
    items.push_back(axial);
    items.push_back({"ssim_data_range", json_number(ssim->data_range), {{"ssim_data_range", number(ssim->data_range)}}});
  }
  if (!inserts.empty()) {
    QualityItem cnr{"cnr", "{", {}};
    for (std::size_t k = 0; k < inserts.size(); ++k) {
      const toolkit::InsertContrast& c = inserts[k];
      cnr.json += std::string(k ? ", " : "") + "\"" + c.name + "\": {\"cnr\": " + json_number(c.cnr) +
                  ", \"insert_mean\": " + json_number(c.insert_mean) + ", \"background_mean\": " +
                  json_number(c.background_mean) + ", \"background_sd\": " + json_number(c.background_sd) +
                  ", \"insert_voxels\": " + std::to_string(c.insert_voxels) + ", \"background_voxels\": " +
                  std::to_string(c.background_voxels) + "}";
      cnr.lines.emplace_back("cnr." + c.name, number(c.cnr));
      cnr.lines.emplace_back("cnr." + c.name + ".insert_mean", number(c.insert_mean));
    }
    cnr.json += "}";
    if (!inserts.empty()) {
      cnr.lines.emplace_back("cnr.background_mean", number(inserts[0].background_mean));
      cnr.lines.emplace_back("cnr.background_sd", number(inserts[0].background_sd));
    }
    items.push_back(cnr);
  }
  return items;
}

std::string report(const std::vector<RegionFigures>& regions, FileKind kind, const FileShape& shape,
                   const std::string& format, bool identical, const std::vector<QualityItem>& quality) {
  std::ostringstream out;
  if (format == "json") {
    out << "{\n  \"kind\": \"" << toolkit::kind_name(kind) << "\",\n  \"identical\": "
        << (identical ? "true" : "false") << ",\n  \"regions\": {";
    for (std::size_t i = 0; i < regions.size(); ++i) {
      out << (i ? "," : "") << "\n    \"" << regions[i].name << "\": {";
      const std::vector<Field> fields = fields_of(regions[i], kind, shape);
      for (std::size_t k = 0; k < fields.size(); ++k) {
        out << (k ? ", " : "") << "\"" << fields[k].key << "\": " << fields[k].json;
      }
      out << "}";
    }
    out << "\n  }";
    for (const QualityItem& q : quality) out << ",\n  \"" << q.key << "\": " << q.json;
    out << "\n}\n";
  } else if (format == "kv") {
    out << "kind=" << toolkit::kind_name(kind) << "\nidentical=" << (identical ? 1 : 0) << '\n';
    for (const RegionFigures& r : regions) {
      for (const Field& f : fields_of(r, kind, shape)) out << r.name << '.' << f.key << '=' << f.text << '\n';
    }
    for (const QualityItem& q : quality) {
      for (const auto& kv : q.lines) out << kv.first << '=' << kv.second << '\n';
    }
  } else {
    out << (identical ? "identical" : "different") << " (" << toolkit::kind_name(kind) << "s)\n";
    for (const RegionFigures& r : regions) {
      out << "\n[" << r.name << "]\n";
      for (const Field& f : fields_of(r, kind, shape)) {
        out << "  " << f.key << std::string(f.key.size() < 24 ? 24 - f.key.size() : 1, ' ')
            << f.text << '\n';
      }
    }
    if (!quality.empty()) out << "\n[quality]\n";
    for (const QualityItem& q : quality) {
      for (const auto& kv : q.lines) {
        out << "  " << kv.first << std::string(kv.first.size() < 24 ? 24 - kv.first.size() : 1, ' ') << kv.second
            << '\n';
      }
    }
  }
  return out.str();
}

// The regions asked for with --region-* (and --cylinder), after the fixed
// ones; on a geometry's grid (`grid` given) in mm.
void append_chosen_regions(const tomio::CommandLine& line, FileKind kind, const geom::VolumeGrid* grid,
                           std::vector<toolkit::Region>& regions) {
  const bool chosen =
      line.has("region-cylinder") || line.has("region-box") || line.has("region-mask") || line.has("cylinder");
  if (chosen && kind != FileKind::Volume) tomio::fail_usage("--region-* options choose parts of Volumes");
  if (line.has("region-cylinder") && grid)
    tomio::fail_usage("with --geometry, --cylinder R,H chooses a cylinder in mm");
  if (line.has("cylinder") && !grid) tomio::fail_usage("--cylinder is in mm: it needs --geometry");
  if (line.has("region-cylinder")) regions.push_back(toolkit::traced_cylinder_region());
  if (line.has("cylinder")) {
    const std::vector<double> c = tomio::parse_doubles(line.value("cylinder"), 2, "--cylinder");
    regions.push_back(toolkit::cylinder_region(*grid, c[0], c[1]));
    if (regions.back().positions.empty()) tomio::fail_usage("--cylinder holds no voxel centre");
  }
  if (line.has("region-box")) {
    const std::vector<double> v = tomio::parse_doubles(line.value("region-box"), 6, "--region-box");
    toolkit::BoxCorners box{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}};
    regions.push_back(grid ? toolkit::box_region(box, *grid) : toolkit::box_region(box));
    if (regions.back().positions.empty()) tomio::fail_usage("--region-box holds no voxel centre");
  }
  if (line.has("region-mask")) {
    regions.push_back(toolkit::mask_region(
        grid ? toolkit::read_float_samples(line.value("region-mask"), static_cast<std::size_t>(grid->voxels()))
             : toolkit::read_volume(line.value("region-mask"))));
    if (regions.back().positions.empty()) tomio::fail_run("the mask " + line.value("region-mask") + " is zero everywhere");
  }
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    if (line.positional().size() != 2) tomio::fail_usage("expected FIRST and SECOND");
    const std::string format = line.value("format", "text");
    if (format != "text" && format != "kv" && format != "json") {
      tomio::fail_usage("--format must be text, kv or json");
    }
    const FileKind kind = line.has("stack") ? FileKind::Stack : FileKind::Volume;
    // The files' shapes: the defined scan's, or a geometry file's (read and
    // checked before anything else).
    const std::optional<geom::Geometry> geometry = geom::general_geometry_option(line);
    FileShape shape;
    if (!geometry) {
      shape = kind == FileKind::Volume
                  ? FileShape{static_cast<std::size_t>(scan::NX), static_cast<std::size_t>(scan::NY), scan::kVolumeSamples}
                  : FileShape{static_cast<std::size_t>(scan::kColumns), static_cast<std::size_t>(scan::kRows),
                              scan::kStackSamples};
    } else if (kind == FileKind::Volume) {
      const geom::VolumeGrid& g = geometry->grid;
      shape = FileShape{static_cast<std::size_t>(g.nx), static_cast<std::size_t>(g.ny), static_cast<std::size_t>(g.voxels())};
    } else {
      shape = FileShape{static_cast<std::size_t>(geometry->columns), static_cast<std::size_t>(geometry->rows),
                        static_cast<std::size_t>(geometry->views() * geometry->rows * geometry->columns)};
    }
    tomio::set_text_on_standard_output(true);  // the report
    // The extra outputs are claimed before the inputs are read, so that a
    // name that cannot be written is reported before any work.
    struct Derived {
      std::string option;
      tomio::OutputFile file;
    };
    std::vector<std::string> output_names;
    for (const char* option : {"diff-out", "fitted-out", "residual-out"}) {
      if (line.has(option)) output_names.push_back(line.value(option));
    }
    toolkit::refuse_outputs_over_inputs(output_names, line.positional());
    std::vector<Derived> outputs;
    const std::size_t bytes = shape.samples * sizeof(float);
    for (const char* option : {"diff-out", "fitted-out", "residual-out"}) {
      if (line.has(option)) outputs.push_back(Derived{option, tomio::OutputFile(line.value(option), bytes)});
    }
    std::vector<toolkit::Region> regions;
    if (!geometry) {
      regions = kind == FileKind::Volume ? toolkit::volume_regions() : toolkit::stack_regions();
    } else {
      regions = kind == FileKind::Volume
                    ? toolkit::volume_regions(geometry->grid)
                    : toolkit::stack_regions(geometry->views(), geometry->rows, geometry->columns);
    }
    append_chosen_regions(line, kind, geometry ? &geometry->grid : nullptr, regions);
    std::optional<toolkit::Phantom> phantom;
    if (line.has("cnr")) {
      if (kind != FileKind::Volume) tomio::fail_usage("--cnr measures Volumes");
      if (geometry) tomio::fail_usage("--cnr measures Volumes of the defined grid");
      phantom = toolkit::read_description(line.value("cnr"));
    }
    const std::vector<float> first = toolkit::read_float_samples(line.positional()[0], shape.samples);
    const std::vector<float> second = toolkit::read_float_samples(line.positional()[1], shape.samples);

    std::vector<RegionFigures> figures;
    for (const toolkit::Region& region : regions) {
      figures.push_back(toolkit::compare_region(first, second, region));
      // A NaN or infinity in the data makes the figures undefined unless the
      // user asked for the finite samples only.
      if (figures.back().non_finite > 0 && !line.has("finite-only")) toolkit::mark_undefined(figures.back());
    }
    std::optional<toolkit::SsimFigures> ssim;
    if (kind == FileKind::Volume && !geometry) {
      ssim = toolkit::structural_similarity(first, second);
    } else if (kind == FileKind::Volume) {
      // A grid too small for the window has no SSIM; the report then has no ssim keys.
      const geom::VolumeGrid& g = geometry->grid;
      if (toolkit::ssim_window_fits(g.nz, g.ny, g.nx)) ssim = toolkit::structural_similarity(first, second, g.nz, g.ny, g.nx);
    }
    const std::vector<QualityItem> quality = quality_items(
        ssim ? &*ssim : nullptr, phantom ? toolkit::insert_contrasts(*phantom, second) : std::vector<toolkit::InsertContrast>{});
    const bool identical = figures[0].bitwise_different == 0;

    // Derived files; the fit is the one of the whole file. A file that cannot
    // be written does not hide the report: it is printed first, and the
    // failure then ends the run.
    const RegionFigures& whole = figures[0];
    auto value_of = [&](const std::string& option, std::size_t i) {
      if (option == "diff-out") return static_cast<double>(second[i]) - first[i];
      if (option == "fitted-out") return whole.fit_scale * second[i] + whole.fit_offset;
      return whole.fit_scale * second[i] + whole.fit_offset - first[i];
    };
    std::exception_ptr output_failure;
    for (Derived& d : outputs) {
      try {
        std::vector<float> out(first.size());
        for (std::size_t i = 0; i < first.size(); ++i) {
          const double value = value_of(d.option, i);
          out[i] = static_cast<float>(value);
          if (std::isfinite(value) && !std::isfinite(out[i])) {
            tomio::fail_run("--" + d.option + ": the value at position " + std::to_string(i) + ", " +
                            number(value) + ", does not fit a float32 sample; " +
                            line.value(d.option) + " is not written");
          }
        }
        tomio::save_float_image(std::move(d.file), out.data(), out.size());
      } catch (const tomio::Failure&) {
        if (!output_failure) output_failure = std::current_exception();
      }
    }

    const std::string text = report(figures, kind, shape, format, identical, quality);
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
      tomio::fail_output("cannot write the report to standard output");
    }
    if (output_failure) std::rethrow_exception(output_failure);
    return identical || line.has("no-fail") ? 0 : 1;
  });
}
