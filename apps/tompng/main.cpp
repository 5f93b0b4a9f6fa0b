// tompng: pictures of the sample files: a slice of a Volume or a view of a
// ProjectionStack as an 8-bit grey PNG, or a labelled montage of PNGs.
#include <string>
#include <vector>

#include "core/scan_geometry.h"
#include "core/command_line.h"
#include "eval/grey_image.h"
#include "core/sample_files.h"
#include "eval/slices.h"

namespace {


const tomio::ToolSpec kSpec{
    "tompng",
    "Usage: tompng [--axial K | --coronal K | --sagittal K] [window] [--zoom N] VOLUME OUTPUT.png\n"
    "       tompng --stack [--view V] [window] [--zoom N] STACK OUTPUT.png\n"
    "       tompng --montage OUTPUT.png [--label TEXT] INPUT.png [[--label TEXT] INPUT.png ...]\n"
    "  window: --window LO,HI | --percentiles P,Q | --symmetric   (default: min to max)",
    "A Volume slice is axial unless told otherwise, at the middle index 64:\n"
    "axial (fixed iz) shows +y up and +x right, coronal (fixed iy) +z up and\n"
    "+x right, sagittal (fixed ix) +z up with iy growing to the right. A stack\n"
    "view shows detector row 0 (the highest) at the top and column 0 at the\n"
    "left. Values at or below the window's low end are black, at or above its\n"
    "high end white. --percentiles takes nearest-rank percentiles of the\n"
    "finite values; --symmetric centres the window on 0, for differences.\n"
    "A montage puts the PNGs side by side, each with its label (default: the\n"
    "file name) above it.",
    {
        {"axial", "K", "axial slice iz = K"},
        {"coronal", "K", "coronal slice iy = K"},
        {"sagittal", "K", "sagittal slice ix = K"},
        {"stack", "", "the input is a ProjectionStack"},
        {"view", "V", "stack: the view to show (default 0)"},
        {"window", "LO,HI", "values mapped to black and white"},
        {"percentiles", "P,Q", "window from the P-th to the Q-th percentile"},
        {"symmetric", "", "window [-m, m], m the largest magnitude"},
        {"zoom", "N", "magnify each pixel to N x N (default 1)"},
        {"montage", "", "make a montage of PNG files"},
        {"label", "TEXT", "montage: label of the next input"},
    },
    1};

toolkit::Window choose_window(const tomio::CommandLine& line, const toolkit::Plane& plane) {
  const int given = (line.has("window") ? 1 : 0) + (line.has("percentiles") ? 1 : 0) +
                    (line.has("symmetric") ? 1 : 0);
  if (given > 1) tomio::fail_usage("give at most one of --window, --percentiles, --symmetric");
  if (line.has("window")) {
    const std::vector<double> w = tomio::parse_doubles(line.value("window"), 2, "--window");
    if (!(w[0] <= w[1])) tomio::fail_usage("--window needs LO <= HI");
    return toolkit::Window{w[0], w[1]};
  }
  if (line.has("percentiles")) {
    const std::vector<double> p =
        tomio::parse_doubles(line.value("percentiles"), 2, "--percentiles");
    if (!(0.0 <= p[0] && p[0] <= p[1] && p[1] <= 100.0)) {
      tomio::fail_usage("--percentiles needs 0 <= P <= Q <= 100");
    }
    return toolkit::percentile_window(plane.values, p[0], p[1]);
  }
  if (line.has("symmetric")) return toolkit::symmetric_window(plane.values);
  return toolkit::min_max_window(plane.values);
}

int zoom_of(const tomio::CommandLine& line) {
  const int zoom = tomio::parse_int(line.value("zoom", "1"), "--zoom");
  if (zoom < 1 || zoom > 16) tomio::fail_usage("--zoom must be 1 ... 16");
  return zoom;
}

std::string base_name(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int make_montage(const tomio::CommandLine& line) {
  for (const auto& item : line.sequence()) {
    if (!item.first.empty() && item.first != "montage" && item.first != "label") {
      tomio::fail_usage("--" + item.first + " does not apply to a montage");
    }
  }
  std::string output;
  std::vector<std::string> inputs;
  std::vector<std::string> labels;
  std::string pending_label;
  bool have_label = false;
  for (const auto& item : line.sequence()) {
    if (item.first == "label") {
      pending_label = item.second;
      have_label = true;
    } else if (item.first.empty()) {
      if (output.empty()) {
        output = item.second;
        continue;
      }
      inputs.push_back(item.second);
      labels.push_back(have_label ? pending_label : base_name(item.second));
      have_label = false;
    }
  }
  if (output.empty() || inputs.empty()) {
    tomio::fail_usage("a montage needs an OUTPUT.png and at least one INPUT.png");
  }
  if (have_label) tomio::fail_usage("the last --label has no picture after it");
  toolkit::refuse_outputs_over_inputs({output}, inputs);
  std::vector<toolkit::GreyImage> images;
  for (const std::string& input : inputs) images.push_back(toolkit::read_png(input));
  toolkit::write_png(output, toolkit::montage(images, labels));
  return 0;
}

int make_picture(const tomio::CommandLine& line) {
  if (line.has("label")) tomio::fail_usage("--label applies to a montage only");
  if (line.positional().size() != 2) tomio::fail_usage("expected an INPUT file and an OUTPUT.png");
  const std::string& input = line.positional()[0];
  const std::string& output = line.positional()[1];
  const int zoom = zoom_of(line);
  toolkit::refuse_outputs_over_inputs({output}, {input});
  toolkit::Plane plane;
  if (line.has("stack")) {
    if (line.has("axial") || line.has("coronal") || line.has("sagittal")) {
      tomio::fail_usage("a stack has views, not slices: use --view");
    }
    const int view = tomio::parse_int(line.value("view", "0"), "--view");
    if (view < 0 || view >= scan::kViews) tomio::fail_usage("--view must be 0 ... 255");
    plane = toolkit::stack_view(toolkit::read_stack(input), view);
  } else {
    if (line.has("view")) tomio::fail_usage("--view applies to a stack (--stack)");
    int given = 0;
    toolkit::SliceAxis axis = toolkit::SliceAxis::Axial;
    int index = scan::NZ / 2;
    for (const char* name : {"axial", "coronal", "sagittal"}) {
      if (!line.has(name)) continue;
      ++given;
      axis = toolkit::parse_slice_axis(name);
      index = tomio::parse_int(line.value(name), std::string("--") + name);
    }
    if (given > 1) tomio::fail_usage("give one of --axial, --coronal, --sagittal");
    if (index < 0 || index >= toolkit::slice_count(axis)) {
      tomio::fail_usage("the slice index must be 0 ... " + std::to_string(toolkit::slice_count(axis) - 1));
    }
    plane = toolkit::volume_slice(toolkit::read_volume(input), axis, index);
  }
  const toolkit::Window window = choose_window(line, plane);
  toolkit::write_png(output, toolkit::magnify(toolkit::apply_window(plane, window), zoom));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return tomio::run_tool(kSpec, argc, argv, [](const tomio::CommandLine& line) {
    return line.has("montage") ? make_montage(line) : make_picture(line);
  });
}
