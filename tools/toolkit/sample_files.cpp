#include "tools/toolkit/sample_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/output_file.h"
#include "common/raw_image.h"
#include "common/scan_geometry.h"
#include "tools/toolkit/command_line.h"

namespace toolkit {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::size_t samples_of(FileKind kind) {
  return kind == FileKind::Volume ? scan::kVolumeSamples : scan::kStackSamples;
}

const char* kind_name(FileKind kind) {
  return kind == FileKind::Volume ? "Volume" : "ProjectionStack";
}

void check_samples_file(const std::string& path, FileKind kind) {
  const std::size_t n = samples_of(kind);
  std::unique_ptr<std::FILE, FileCloser> probe(std::fopen(path.c_str(), "rb"));
  if (!probe) throw RunError("cannot open " + path + ": " + std::strerror(errno));
  struct stat st;
  if (fstat(fileno(probe.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw RunError(path + " is a folder, not a " + std::string(kind_name(kind)) + " file");
  }
  if (fstat(fileno(probe.get()), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) != n * sizeof(float)) {
    throw RunError(path + " holds " + std::to_string(st.st_size) + " bytes, but a " +
                   kind_name(kind) + " file holds " + std::to_string(n * sizeof(float)) +
                   " (" + std::to_string(n) + " float32 samples)");
  }
}

std::vector<float> read_samples(const std::string& path, FileKind kind) {
  check_samples_file(path, kind);
  const std::size_t n = samples_of(kind);
  std::vector<float> samples(n);
  tomio::load_float_image(path, samples.data(), n);
  return samples;
}

void write_samples(tomio::OutputFile&& output, const std::vector<float>& samples, FileKind kind) {
  if (samples.size() != samples_of(kind)) {
    throw RunError(std::string("internal: ") + kind_name(kind) + " of the wrong size for " +
                   output.name());
  }
  tomio::save_float_image(std::move(output), samples.data(), samples.size());
}

void write_samples(const std::string& path, const std::vector<float>& samples, FileKind kind) {
  write_samples(tomio::OutputFile(path), samples, kind);
}

void check_output_possible(const std::string& path) {
  if (path.empty()) throw RunError("empty output file name");
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw RunError("cannot write " + path + ": it is a folder");
  }
  const std::string::size_type slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    throw RunError("cannot write " + path + ": " + std::strerror(errno));
  }
}

std::vector<unsigned char> read_bytes(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) throw RunError("cannot open " + path + ": " + std::strerror(errno));
  std::vector<unsigned char> bytes;
  unsigned char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes.insert(bytes.end(), buffer, buffer + got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) throw RunError("cannot read " + path + ": " + std::strerror(errno));
  return bytes;
}

void write_bytes(const std::string& path, const void* data, std::size_t size) {
  tomio::OutputFile out(path);
  out.write(data, size);
  out.commit();
}

}  // namespace toolkit
