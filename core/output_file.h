// An output file that is claimed before the work starts and appears under its
// name only when it is complete.
//
// A regular file (or a name that does not exist yet) is written under a
// temporary name in the same directory and renamed over the target on
// commit, so a failed or interrupted run never leaves a truncated file and
// never destroys the previous one. The claim proves that the rename will be
// allowed and keeps the target's mode (and, for root, its owner). Where it
// would not be allowed but the file itself can be written (a folder the user
// cannot write, another user's writable file, a sticky folder), the file is
// written in place, as a plain write would, with a note on standard error: a
// failed run then leaves it incomplete. Anything else (a device such as
// /dev/null, a FIFO, a terminal) has no contents to protect and is written in
// place.
//
// Refused at the claim ("error output data"): a read-only or otherwise
// unwritable target, a missing folder, a name holding a NUL byte, and the
// file that the console text already goes to: standard error, and standard
// output where it carries text (see tomio::text_on_standard_output; the
// console text would be mixed into the data; /dev/null excepted).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

struct stat;

namespace tomio {

class OutputFile {
 public:
  // Claims the name at once; a name that cannot be written is an output
  // Failure. With `expected_bytes`, the room for the whole file is reserved
  // now where the file system allows it, so that a full disk is found
  // before the work instead of after it.
  explicit OutputFile(std::string name, std::size_t expected_bytes = 0);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;

  // Appends bytes; any failure is an output Failure.
  void write(const void* data, std::size_t bytes);
  // Flushes, closes and puts the file in place; checked like write.
  void commit();

  const std::string& name() const { return name_; }

 private:
  void open_in_place(std::size_t expected_bytes);
  void open_temporary(const struct stat* existing, std::size_t expected_bytes);

  std::string name_;       // what the user asked for
  std::string target_;     // the regular file that is replaced (may differ from name_ through a link)
  std::string temporary_;  // empty when writing in place
  std::FILE* file_ = nullptr;
  bool in_place_regular_ = false;  // an existing regular file written in place: cut to size on commit
  bool committed_ = false;
};

// Whether writing `output` would replace the file that `other` names: the
// same device and inode (through links) when both exist, otherwise the same
// place in the same folder.
bool would_replace(const std::string& output, const std::string& other);

}  // namespace tomio
