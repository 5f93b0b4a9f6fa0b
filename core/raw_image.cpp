#include "core/raw_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/failure.h"

namespace tomio {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a float image for reading and refuses a regular file whose size is
// not exactly n samples; `regular` says whether the size could be checked.
FilePtr open_float_image(const std::string& name, std::size_t n, bool& regular) {
  if (name.find('\0') != std::string::npos) {
    fail_input("the input file name holds a NUL byte, which would cut it short");
  }
  FilePtr file(std::fopen(name.c_str(), "rb"));
  if (!file) fail_input("cannot open " + name + ": " + std::strerror(errno));
  const std::size_t expected = n * sizeof(float);
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0) fail_input("cannot read " + name + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) fail_input(name + " is a folder, not a file of " + std::to_string(n) + " float32 samples");
  regular = S_ISREG(st.st_mode);
  if (regular && static_cast<std::size_t>(st.st_size) != expected) {
    fail_input(name + " holds " + std::to_string(st.st_size) + " bytes, expected " +
               std::to_string(expected) + " (" + std::to_string(n) + " float32 samples)");
  }
  return file;
}

}  // namespace

void check_float_image(const std::string& name, std::size_t n) {
  bool regular = false;
  open_float_image(name, n, regular);
}

void load_float_image(const std::string& name, float* destination, std::size_t n) {
  bool regular = false;
  FilePtr file = open_float_image(name, n, regular);
  const std::size_t expected = n * sizeof(float);
  const std::size_t got = std::fread(destination, sizeof(float), n, file.get());
  if (got != n) {
    if (std::ferror(file.get())) fail_input("cannot read " + name + ": " + std::strerror(errno));
    fail_input(name + " ended after " + std::to_string(got * sizeof(float)) +
               " bytes, expected " + std::to_string(expected) + " (" + std::to_string(n) +
               " float32 samples)");
  }
  // A stream without a size (a pipe, a device) must end exactly here too.
  if (!regular && std::fgetc(file.get()) != EOF) {
    fail_input(name + " holds more than " + std::to_string(expected) + " bytes (" +
               std::to_string(n) + " float32 samples expected)");
  }
}

void save_float_image(OutputFile&& output, const float* source, std::size_t n) {
  OutputFile out(std::move(output));
  out.write(source, n * sizeof(float));
  out.commit();
}

void save_float_image(const std::string& name, const float* source, std::size_t n) {
  save_float_image(OutputFile(name, n * sizeof(float)), source, n);
}

void save_short_image(const std::string& name, const std::int16_t* source, std::size_t n) {
  OutputFile out(name, n * sizeof(std::int16_t));
  out.write(source, n * sizeof(std::int16_t));
  out.commit();
}

}  // namespace tomio
