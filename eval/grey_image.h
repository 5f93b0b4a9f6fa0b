// 8-bit grey pictures: windowing of float planes, magnification, labels and
// montages, and their PNG files (libpng).
#pragma once

#include <string>
#include <vector>

#include "eval/slices.h"

namespace toolkit {

struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;  // row-major, 0 black, 255 white
};

// The value range mapped from black to white.
struct Window {
  double low;
  double high;
};

// Smallest and largest finite value (0, 0 when there is none).
Window min_max_window(const std::vector<float>& values);
// The p-th and q-th percentiles (0 ... 100) of the finite values, nearest rank.
Window percentile_window(const std::vector<float>& values, double p, double q);
// [-m, m] around zero, m the largest finite magnitude: for differences.
Window symmetric_window(const std::vector<float>& values);

// low and below black, high and above white, linear between, rounded; NaN
// black. A window of zero width shows values above it white, the rest black.
GreyImage apply_window(const Plane& plane, const Window& window);

// Each pixel becomes a factor x factor block.
GreyImage magnify(const GreyImage& image, int factor);

// The images side by side, top-aligned on a black ground, each with its
// label written above it in white.
GreyImage montage(const std::vector<GreyImage>& images, const std::vector<std::string>& labels);

// PNG, 8-bit grey, written atomically; an output Failure when it cannot be.
void write_png(const std::string& path, const GreyImage& image);
// Any PNG, converted to 8-bit grey; an input Failure when it cannot be read.
GreyImage read_png(const std::string& path);

}  // namespace toolkit
