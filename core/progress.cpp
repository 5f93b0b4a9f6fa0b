#include "core/progress.h"

#include <unistd.h>

#include <cstdio>

namespace toolkit {

Progress::Progress(std::string label, int total)
    : label_(std::move(label)), total_(total), terminal_(isatty(fileno(stderr)) == 1) {}

void Progress::step() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++done_;
  // A log file gets the last line only, not one rewritten line per item.
  if (!terminal_ && done_ != total_) return;
  std::fprintf(stderr, "%s%s: %d/%d", terminal_ ? "\r" : "", label_.c_str(), done_, total_);
  if (done_ == total_) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace toolkit
