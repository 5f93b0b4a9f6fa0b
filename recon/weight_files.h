// The reconstruction's own files beside its output: the two weight files it
// reads and the filtered stack it writes, under fixed names in the working
// directory unless the command line names a weight folder and a filtered
// stack.
#pragma once

#include <cstddef>
#include <string>

namespace tomrec {

// A weight file's name in `dir` ("" or "." for the working directory).
std::string weight_file_path(const std::string& dir, const char* name);

// An output that would replace a weight file in weights_dir (through a link
// too) or the filtered stack would spoil this run or every later one: an
// output Failure before any work.
void refuse_output_over_run_files(const std::string& output, const std::string& weights_dir,
                                  const std::string& filtered);

// A weight file that is missing or of the wrong size stops the run only
// after the filtered stack has been written, as the run's order defines; this
// says so on standard error at once, naming the file and how to make it.
void warn_of_unusable_weight_files(const std::string& weights_dir);

// Weights that are all zero, or hold NaN or infinite values, give a Volume of
// raw sums or of NaNs: the run goes on as defined, with a warning on
// standard error.
void warn_of_weight_values(const std::string& name, const float* weights, std::size_t count);

}  // namespace tomrec
