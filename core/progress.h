// Progress of long work on standard error: "label: done/total", rewritten
// in place on a terminal, ended by a line feed when everything is done.
#pragma once

#include <mutex>
#include <string>

namespace toolkit {

class Progress {
 public:
  Progress(std::string label, int total);
  // One more item finished; safe to call from several threads.
  void step();

 private:
  std::mutex mutex_;
  std::string label_;
  int total_;
  int done_ = 0;
  bool terminal_;
};

}  // namespace toolkit
