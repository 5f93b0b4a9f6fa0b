#include "core/sample_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/output_file.h"
#include "core/raw_image.h"
#include "core/scan_geometry.h"
#include "core/failure.h"

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

std::vector<float> read_samples(const std::string& path, FileKind kind) {
  return read_float_samples(path, samples_of(kind));
}

std::vector<float> read_float_samples(const std::string& path, std::size_t count) {
  std::vector<float> samples(count);
  tomio::load_float_image(path, samples.data(), samples.size());
  return samples;
}

void write_float_samples(const std::string& path, const std::vector<float>& samples) {
  tomio::save_float_image(tomio::OutputFile(path, samples.size() * sizeof(float)), samples.data(),
                          samples.size());
}

void write_samples(tomio::OutputFile&& output, const std::vector<float>& samples, FileKind kind) {
  if (samples.size() != samples_of(kind)) {
    tomio::fail_run(std::string("internal: ") + kind_name(kind) + " of the wrong size for " +
                    output.name());
  }
  tomio::save_float_image(std::move(output), samples.data(), samples.size());
}

void write_samples(const std::string& path, const std::vector<float>& samples, FileKind kind) {
  write_samples(tomio::OutputFile(path, samples.size() * sizeof(float)), samples, kind);
}

void refuse_outputs_over_inputs(const std::vector<std::string>& outputs,
                                const std::vector<std::string>& inputs) {
  for (std::size_t o = 0; o < outputs.size(); ++o) {
    for (const std::string& input : inputs) {
      if (tomio::would_replace(outputs[o], input)) {
        tomio::fail_usage("the output " + outputs[o] + " is the input " + input +
                          ", which the run reads; name another output");
      }
    }
    for (std::size_t other = 0; other < o; ++other) {
      if (tomio::would_replace(outputs[o], outputs[other])) {
        tomio::fail_usage("the outputs " + outputs[other] + " and " + outputs[o] +
                          " are the same file");
      }
    }
  }
}

std::vector<unsigned char> read_bytes(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) tomio::fail_input("cannot open " + path + ": " + std::strerror(errno));
  std::vector<unsigned char> bytes;
  unsigned char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes.insert(bytes.end(), buffer, buffer + got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) tomio::fail_input("cannot read " + path + ": " + std::strerror(errno));
  return bytes;
}

void write_bytes(const std::string& path, const void* data, std::size_t size) {
  tomio::OutputFile out(path, size);
  out.write(data, size);
  out.commit();
}

}  // namespace toolkit
