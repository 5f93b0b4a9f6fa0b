#include "recon/weight_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/failure.h"
#include "core/output_file.h"
#include "core/scan_geometry.h"
#include "recon/projection_filter.h"
#include "recon/reconstruction.h"

namespace tomrec {
namespace {

void warn(const std::string& text) {
  std::fprintf(stderr, "%s: warning: %s\n", tomio::program_name().c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace

std::string weight_file_path(const std::string& dir, const char* name) {
  if (dir.empty() || dir == ".") return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

void refuse_output_over_run_files(const std::string& output, const std::string& weights_dir,
                                  const std::string& filtered) {
  for (const std::string& own : {weight_file_path(weights_dir, kDetectorSumName),
                                 weight_file_path(weights_dir, kVoxelSumName), filtered}) {
    if (tomio::would_replace(output, own)) {
      tomio::fail_output("the output " + output + " would replace " + own +
                         ", which this run uses; name another output");
    }
  }
}

void warn_of_unusable_weight_files(const std::string& weights_dir) {
  const struct {
    std::string name;
    std::size_t samples;
  } files[] = {{weight_file_path(weights_dir, kDetectorSumName), scan::kStackSamples},
               {weight_file_path(weights_dir, kVoxelSumName), scan::kVolumeSamples}};
  const bool here = weights_dir.empty() || weights_dir == ".";
  for (const auto& f : files) {
    struct stat st;
    std::string problem;
    if (stat(f.name.c_str(), &st) != 0) {
      problem = std::strerror(errno);
    } else if (S_ISREG(st.st_mode) &&
               static_cast<std::size_t>(st.st_size) != f.samples * sizeof(float)) {
      problem = "holds " + std::to_string(st.st_size) + " bytes, expected " +
                std::to_string(f.samples * sizeof(float));
    } else {
      continue;  // present; a pipe or device is checked when it is read
    }
    warn(f.name + ": " + problem + "; the run will stop after the filtering. Make the weight " +
         (here ? std::string("files in this folder with: tomweight")
               : "files with: tomweight --dir " + weights_dir));
  }
}

void warn_of_weight_values(const std::string& name, const float* weights, std::size_t count) {
  std::size_t zero = 0, nan = 0, infinite = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (weights[i] == 0.0f) ++zero;
    else if (std::isnan(weights[i])) ++nan;
    else if (std::isinf(weights[i])) ++infinite;
  }
  if (zero == count) {
    warn(name + " holds only zeros: nothing is divided by it");
  }
  if (nan > 0 || infinite > 0) {
    warn(name + " holds " + std::to_string(nan) + " NaN and " +
         std::to_string(infinite) + " infinite values: the Volume will hold NaN or zero there");
  }
}

}  // namespace tomrec
