// What a run shows on the console while it works: the number of each view
// just finished, overwriting itself, and at the end the time taken.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace tomio {

// Prints the progress line of one view: the number and a carriage return.
void print_view_number(int view);

// Prints the closing time line: "所要時間：" in Shift-JIS, the seconds, a line feed.
void print_time_line(double seconds);

// Wall-clock seconds since construction.
class RunClock {
 public:
  RunClock() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Views may finish out of order when several threads work; the console still
// shows 0, 1, 2, ... in turn: each number is printed once every lower view is
// done too.
// `in_turn`, when given, is called for each view in the same order, just
// before its number is printed, one call at a time.
class ViewProgress {
 public:
  explicit ViewProgress(int views, std::function<void(int)> in_turn = nullptr)
      : done_(static_cast<std::size_t>(views), false), in_turn_(std::move(in_turn)) {}
  void finished(int view);

 private:
  std::mutex mutex_;
  std::vector<bool> done_;
  std::function<void(int)> in_turn_;
  int next_ = 0;
};

}  // namespace tomio
