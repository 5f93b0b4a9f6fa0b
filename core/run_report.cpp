#include "core/run_report.h"

#include <cstdio>

namespace tomio {

void print_view_number(int view) {
  std::printf("%d\r", view);
  std::fflush(stdout);
}

void print_time_line(double seconds) {
  // "所要時間：" as Shift-JIS bytes, whatever the source encoding.
  static const char kTimeTaken[] = "\x8F\x8A\x97\x76\x8E\x9E\x8A\xD4\x81\x46";
  std::printf("%s%f\n", kTimeTaken, seconds);
  std::fflush(stdout);
}

void ViewProgress::finished(int view) {
  std::lock_guard<std::mutex> lock(mutex_);
  done_[static_cast<std::size_t>(view)] = true;
  while (next_ < static_cast<int>(done_.size()) && done_[static_cast<std::size_t>(next_)]) {
    if (in_turn_) in_turn_(next_);
    print_view_number(next_);
    ++next_;
  }
}

}  // namespace tomio
