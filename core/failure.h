// How a run ends when it cannot go on. The library never ends the process:
// it throws a Failure that says what kind of thing went wrong and why. Only a
// program's or tool's main(), through run_main, turns it into the console
// message and the exit status, after every temporary file has been removed.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace tomio {

enum class FailureKind {
  input,   // an input file cannot be used
  output,  // an output file cannot be created, written or put in place
  usage,   // the command line (or a typed name) is not one the run accepts
  run,     // anything else: console input ended, no memory, no thread
};

class Failure : public std::runtime_error {
 public:
  Failure(FailureKind kind, const std::string& detail)
      : std::runtime_error(detail), kind_(kind), detail_(detail) {}
  FailureKind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }

 private:
  FailureKind kind_;
  std::string detail_;
};

[[noreturn]] void fail_input(const std::string& detail);
[[noreturn]] void fail_output(const std::string& detail);
[[noreturn]] void fail_usage(const std::string& detail);
[[noreturn]] void fail_run(const std::string& detail);

// How a main() shows a failure.
//  - dialogue (tomproj, tomrec): an input failure prints "error input data",
//    an output failure "error output data" on standard output, without a line
//    break, as the programs' console dialogue defines; the detail follows on
//    standard error.
//  - tool: "NAME: detail" on standard error only.
// A usage failure adds "Try 'NAME --help' for more information." and exits 2;
// every other failure exits with `failure_status` (1 unless a tool says).
enum class Console { tool, dialogue };

// Runs a program's whole body and returns its exit status. Before the body,
// descriptors 0, 1 and 2 are made valid (opened on /dev/null when closed),
// so that no file the run opens can take their place, and the signal
// handlers that remove temporary files are installed. Every exception that
// leaves the body (Failure, std::bad_alloc, std::system_error from a thread
// that could not start, any other) is reported here, once, and every
// temporary file is removed before the status is returned.
int run_main(const char* program_name, const std::function<int()>& body,
             Console console = Console::tool, int failure_status = 1);

// Whether standard output carries the run's console text: the programs'
// dialogue (run_main sets it for Console::dialogue) or a tool's report (the
// tool sets it). An output file that is the same file is then refused, as one
// on standard error always is; otherwise a tool may write its data to
// standard output (`tomphantom ones /dev/stdout | ...`).
void set_text_on_standard_output(bool carries_text);
bool text_on_standard_output();

// Name used to prefix the lines written to standard error (run_main sets it).
void set_program_name(const std::string& name);
const std::string& program_name();

// Temporary files that must not outlive a failed or interrupted run. They are
// removed by run_main after any failure and by the handler of every signal
// that ends the process and can be caught.
void register_temporary(const std::string& path);
void unregister_temporary(const std::string& path);
void remove_temporaries();

}  // namespace tomio
