#include "core/metaimage_input.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "core/failure.h"
#include "core/raw_image.h"

namespace toolkit {
namespace {

std::string trimmed(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::string::size_type last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// One "Key = value" line of the header, for messages.
struct Entry {
  const std::string& header;
  int line;
  std::string key;
  std::string value;

  [[noreturn]] void fail(const std::string& reason) const {
    tomio::fail_input(header + ":" + std::to_string(line) + ": " + key + ": " + reason);
  }

  std::vector<double> numbers(std::size_t count) const {
    std::istringstream words(value);
    std::vector<double> out;
    std::string word;
    while (words >> word) {
      errno = 0;
      char* end = nullptr;
      const double x = std::strtod(word.c_str(), &end);
      if (end == word.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(x))
        fail("\"" + word + "\" is not a finite number");
      out.push_back(x);
    }
    if (out.size() != count) fail("needs " + std::to_string(count) + " numbers, not \"" + value + "\"");
    return out;
  }

  void require(const std::string& wanted, const std::string& why) const {
    if (lower(value) != lower(wanted)) fail("\"" + value + "\": " + why);
  }
};

std::string folder_of(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string numbers_text(const double* values) {
  return geom::number_text(values[0]) + " " + geom::number_text(values[1]) + " " + geom::number_text(values[2]);
}

bool close_to(double given, double expected) {
  return std::fabs(given - expected) <= 1e-6 * std::fmax(1.0, std::fabs(expected));
}

}  // namespace

bool is_metaimage_name(const std::string& path) {
  return path.size() > 4 && lower(path.substr(path.size() - 4)) == ".mhd";
}

MetaImageInput read_metaimage_header(const std::string& path) {
  const std::vector<unsigned char> bytes = read_bytes(path);
  const std::string text(bytes.begin(), bytes.end());
  MetaImageInput image;
  image.header = path;
  bool typed = false;
  std::istringstream lines(text);
  std::string raw_line;
  int number = 0;
  while (std::getline(lines, raw_line)) {
    ++number;
    const std::string content = trimmed(raw_line);
    if (content.empty()) continue;
    if (!image.data_file.empty()) {
      tomio::fail_input(path + ":" + std::to_string(number) +
                        ": ElementDataFile: must be the header's last key (the data follows it)");
    }
    const std::string::size_type equals = content.find('=');
    if (equals == std::string::npos) {
      tomio::fail_input(path + ":" + std::to_string(number) + ": expected \"Key = value\", not \"" + content + "\"");
    }
    const Entry e{path, number, trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1))};
    if (e.key == "ObjectType") {
      e.require("Image", "only images are read");
    } else if (e.key == "NDims") {
      e.require("3", "a Volume or stack has three dimensions");
    } else if (e.key == "DimSize") {
      const std::vector<double> n = e.numbers(3);
      for (int k = 0; k < 3; ++k) {
        if (!(n[static_cast<std::size_t>(k)] >= 1.0 && n[static_cast<std::size_t>(k)] < 9.2e18) ||
            n[static_cast<std::size_t>(k)] != std::floor(n[static_cast<std::size_t>(k)]))
          e.fail("needs three whole numbers of at least 1, not \"" + e.value + "\"");
        image.size[k] = static_cast<std::int64_t>(n[static_cast<std::size_t>(k)]);
      }
      image.size_line = number;
    } else if (e.key == "ElementSpacing") {
      const std::vector<double> d = e.numbers(3);
      for (int k = 0; k < 3; ++k) image.spacing[k] = d[static_cast<std::size_t>(k)];
      image.spacing_line = number;
    } else if (e.key == "Offset" || e.key == "Origin" || e.key == "Position") {
      const std::vector<double> o = e.numbers(3);
      for (int k = 0; k < 3; ++k) image.offset[k] = o[static_cast<std::size_t>(k)];
      image.offset_line = number;
    } else if (e.key == "TransformMatrix" || e.key == "Rotation" || e.key == "Orientation") {
      const std::vector<double> m = e.numbers(9);
      for (std::size_t k = 0; k < 9; ++k) {
        if (m[k] != (k % 4 == 0 ? 1.0 : 0.0))
          e.fail("only the identity is read: the samples lie along the header's own axes");
      }
    } else if (e.key == "ElementType") {
      e.require("MET_FLOAT", "the samples must be float32 (MET_FLOAT)");
      typed = true;
    } else if (e.key == "ElementByteOrderMSB" || e.key == "BinaryDataByteOrderMSB") {
      e.require("False", "the samples must be little-endian (False)");
    } else if (e.key == "CompressedData") {
      e.require("False", "compressed data is not read");
    } else if (e.key == "BinaryData") {
      e.require("True", "the samples must be binary");
    } else if (e.key == "ElementNumberOfChannels") {
      e.require("1", "the samples must have one channel");
    } else if (e.key == "HeaderSize") {
      e.require("0", "the raw file must hold the samples alone");
    } else if (e.key == "ElementDataFile") {
      if (e.value.empty()) e.fail("names no file");
      if (e.value == "LOCAL" || e.value == "LIST" || e.value.find('%') != std::string::npos)
        e.fail("\"" + e.value + "\": the samples must be in one raw file of their own");
      image.data_file = e.value[0] == '/' ? e.value : folder_of(path) + e.value;
    }
  }
  if (image.size_line == 0) tomio::fail_input(path + ": DimSize: not given");
  if (!typed) tomio::fail_input(path + ": ElementType: not given (MET_FLOAT is read)");
  if (image.data_file.empty()) tomio::fail_input(path + ": ElementDataFile: not given");
  return image;
}

void check_metaimage_placement(const MetaImageInput& image, FileKind kind, const geom::Geometry& g) {
  const MetaImagePlacement expected = metaimage_placement(kind, g);
  const bool volume = kind == FileKind::Volume;
  const auto where = [&](int line, const char* key) {
    return image.header + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + key + ": ";
  };
  for (int k = 0; k < 3; ++k) {
    if (image.size[k] != expected.size[k]) {
      tomio::fail_input(where(image.size_line, "DimSize") + std::to_string(image.size[0]) + " " +
                        std::to_string(image.size[1]) + " " + std::to_string(image.size[2]) + " is not the geometry's " +
                        (volume ? "volume shape (nx ny nz) " : "stack shape (columns rows views) ") +
                        std::to_string(expected.size[0]) + " " + std::to_string(expected.size[1]) + " " +
                        std::to_string(expected.size[2]));
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (!close_to(image.spacing[k], expected.spacing[k])) {
      tomio::fail_input(where(image.spacing_line, "ElementSpacing") + numbers_text(image.spacing) +
                        " is not the geometry's " +
                        (volume ? "voxel size (dx dy dz) " : "detector pitch (column row, 1 a view) ") +
                        numbers_text(expected.spacing));
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (!close_to(image.offset[k], expected.offset[k])) {
      tomio::fail_input(where(image.offset_line, "Offset") + numbers_text(image.offset) + " is not the geometry's " +
                        (volume ? "centre of voxel (0, 0, 0) in the header's frame (x, -y, -z) "
                                : "centre of pixel (0, 0) on the detector (u, v, view 0) ") +
                        numbers_text(expected.offset));
    }
  }
}

std::vector<float> read_metaimage_samples(const std::string& header_path, FileKind kind, const geom::Geometry& g) {
  const MetaImageInput image = read_metaimage_header(header_path);
  check_metaimage_placement(image, kind, g);
  const std::size_t count = static_cast<std::size_t>(image.size[0] * image.size[1] * image.size[2]);
  tomio::check_float_image(image.data_file, count);
  return read_float_samples(image.data_file, count);
}

std::string raw_path_for_header(const std::string& header_path) {
  return header_path.substr(0, header_path.size() - (is_metaimage_name(header_path) ? 4 : 0)) + ".raw";
}

}  // namespace toolkit
