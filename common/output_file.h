// An output file that is claimed before the work starts and appears under its
// name only when it is complete.
//
// A regular file (or a name that does not exist yet) is written under a
// temporary name in the same directory and renamed over the target on
// commit, so a failed or interrupted run never leaves a truncated file and
// never destroys the previous one. Anything else (a device such as /dev/null,
// a FIFO, a terminal) has no contents to protect and is written in place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tomio {

class OutputFile {
 public:
  // Claims the name at once; a name that cannot be written ends the run with
  // "error output data".
  explicit OutputFile(std::string name);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;

  // Appends bytes; any failure ends the run with "error output data".
  void write(const void* data, std::size_t bytes);
  // Appends bytes; on failure returns false and sets `why`, leaving the run
  // to end (for writes from a worker thread, which must not end the process).
  bool try_write(const void* data, std::size_t bytes, std::string& why);
  // Flushes, closes and puts the file in place; checked like write.
  void commit();

  const std::string& name() const { return name_; }

 private:
  std::string name_;       // what the user asked for
  std::string target_;     // the regular file that is replaced (may differ from name_ through a link)
  std::string temporary_;  // empty when writing in place
  std::FILE* file_ = nullptr;
  bool committed_ = false;
};

}  // namespace tomio
