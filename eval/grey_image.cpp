#include "eval/grey_image.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "eval/bitmap_font.h"
#include "core/failure.h"
#include "core/sample_files.h"

namespace toolkit {
namespace {

std::vector<float> finite_values(const std::vector<float>& values) {
  std::vector<float> finite;
  finite.reserve(values.size());
  for (float v : values) {
    if (std::isfinite(v)) finite.push_back(v);
  }
  return finite;
}

// Nearest-rank percentile of sorted values.
double percentile_of_sorted(const std::vector<float>& sorted, double p) {
  if (sorted.empty()) return 0.0;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const std::size_t at = rank < 1.0 ? 0 : std::min(sorted.size() - 1, static_cast<std::size_t>(rank) - 1);
  return sorted[at];
}

// Frees the simplified libpng state on every path.
struct PngImage {
  png_image image;
  PngImage() {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
  }
  ~PngImage() { png_image_free(&image); }
  PngImage(const PngImage&) = delete;
  PngImage& operator=(const PngImage&) = delete;
};

}  // namespace

Window min_max_window(const std::vector<float>& values) {
  bool any = false;
  double lo = 0.0, hi = 0.0;
  for (float v : values) {
    if (!std::isfinite(v)) continue;
    if (!any || v < lo) lo = v;
    if (!any || v > hi) hi = v;
    any = true;
  }
  return Window{lo, hi};
}

Window percentile_window(const std::vector<float>& values, double p, double q) {
  std::vector<float> sorted = finite_values(values);
  std::sort(sorted.begin(), sorted.end());
  return Window{percentile_of_sorted(sorted, p), percentile_of_sorted(sorted, q)};
}

Window symmetric_window(const std::vector<float>& values) {
  double m = 0.0;
  for (float v : values) {
    if (std::isfinite(v)) m = std::max(m, std::fabs(static_cast<double>(v)));
  }
  return Window{-m, m};
}

GreyImage apply_window(const Plane& plane, const Window& window) {
  GreyImage image;
  image.width = plane.width;
  image.height = plane.height;
  image.pixels.resize(plane.values.size());
  const double width = window.high - window.low;
  for (std::size_t i = 0; i < plane.values.size(); ++i) {
    const double v = plane.values[i];
    unsigned char g = 0;
    if (std::isnan(v)) {
      g = 0;
    } else if (!(width > 0.0)) {
      g = v > window.high ? 255 : 0;
    } else if (v <= window.low) {
      g = 0;
    } else if (v >= window.high) {
      g = 255;
    } else {
      g = static_cast<unsigned char>(std::lround((v - window.low) / width * 255.0));
    }
    image.pixels[i] = g;
  }
  return image;
}

GreyImage magnify(const GreyImage& image, int factor) {
  if (factor <= 1) return image;
  GreyImage big;
  big.width = image.width * factor;
  big.height = image.height * factor;
  big.pixels.resize(static_cast<std::size_t>(big.width) * big.height);
  for (int y = 0; y < big.height; ++y) {
    for (int x = 0; x < big.width; ++x) {
      big.pixels[static_cast<std::size_t>(y) * big.width + x] =
          image.pixels[static_cast<std::size_t>(y / factor) * image.width + x / factor];
    }
  }
  return big;
}

GreyImage montage(const std::vector<GreyImage>& images, const std::vector<std::string>& labels) {
  constexpr int kGap = 8;
  constexpr int kTextScale = 2;
  const int label_band = text_height(kTextScale) + kGap;
  int width = kGap, tallest = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const int label_w = i < labels.size() ? text_width(labels[i], kTextScale) : 0;
    width += std::max(images[i].width, label_w) + kGap;
    tallest = std::max(tallest, images[i].height);
  }
  GreyImage out;
  out.width = width;
  out.height = kGap + label_band + tallest + kGap;
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height, 0);
  int x = kGap;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const GreyImage& img = images[i];
    const std::string label = i < labels.size() ? labels[i] : std::string();
    draw_text(out, x, kGap, label, kTextScale);
    const int top = kGap + label_band;
    for (int y = 0; y < img.height; ++y) {
      std::memcpy(&out.pixels[static_cast<std::size_t>(top + y) * out.width + x],
                  &img.pixels[static_cast<std::size_t>(y) * img.width], static_cast<std::size_t>(img.width));
    }
    x += std::max(img.width, text_width(label, kTextScale)) + kGap;
  }
  return out;
}

void write_png(const std::string& path, const GreyImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
    tomio::fail_run("internal: an empty or inconsistent picture for " + path);
  }
  PngImage png;
  png.image.width = static_cast<png_uint_32>(image.width);
  png.image.height = static_cast<png_uint_32>(image.height);
  png.image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  // First ask for the size, then encode into a buffer of that size.
  if (!png_image_write_to_memory(&png.image, nullptr, &size, 0, image.pixels.data(), 0, nullptr)) {
    tomio::fail_output("cannot encode " + path + ": " + png.image.message);
  }
  std::vector<unsigned char> encoded(size);
  if (!png_image_write_to_memory(&png.image, encoded.data(), &size, 0, image.pixels.data(), 0,
                                 nullptr)) {
    tomio::fail_output("cannot encode " + path + ": " + png.image.message);
  }
  write_bytes(path, encoded.data(), size);
}

GreyImage read_png(const std::string& path) {
  const std::vector<unsigned char> bytes = read_bytes(path);
  PngImage png;
  if (!png_image_begin_read_from_memory(&png.image, bytes.data(), bytes.size())) {
    tomio::fail_input(path + " is not a readable PNG file: " + png.image.message);
  }
  if (static_cast<unsigned long long>(png.image.width) * png.image.height > (1ULL << 28)) {
    tomio::fail_input(path + " is too large a picture for a montage");
  }
  png.image.format = PNG_FORMAT_GRAY;
  GreyImage image;
  image.width = static_cast<int>(png.image.width);
  image.height = static_cast<int>(png.image.height);
  image.pixels.resize(PNG_IMAGE_SIZE(png.image));
  if (!png_image_finish_read(&png.image, nullptr, image.pixels.data(), 0, nullptr)) {
    tomio::fail_input("cannot decode " + path + ": " + png.image.message);
  }
  return image;
}

}  // namespace toolkit
