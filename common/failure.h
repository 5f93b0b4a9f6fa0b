// How a run ends when it cannot go on: a short message on the console, the
// details on standard error, no half-written file left behind, exit status 1.
#pragma once

#include <string>

namespace tomio {

// Name used to prefix the lines written to standard error.
void set_program_name(const std::string& name);
const std::string& program_name();

// An input file cannot be used: prints "error input data" and exits 1.
[[noreturn]] void fail_input(const std::string& detail);
// An output file cannot be written: prints "error output data" and exits 1.
[[noreturn]] void fail_output(const std::string& detail);
// Any other reason to stop (console input ended, memory exhausted): exits 1.
[[noreturn]] void fail_run(const std::string& detail);

// Temporary files that must not outlive a failed or interrupted run. They are
// removed on every failure path above and on SIGINT, SIGTERM and SIGHUP.
void register_temporary(const std::string& path);
void unregister_temporary(const std::string& path);
void remove_temporaries();

}  // namespace tomio
