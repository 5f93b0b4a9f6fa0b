// The command line of a program or study tool: declared options, positional
// arguments, --help and --version. A mistake in the command line is a usage
// failure (tomio::fail_usage): the tool prints it with a pointer to --help and
// exits with status 2.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"

namespace tomio {

struct OptionSpec {
  std::string name;        // without the leading "--"
  std::string value_name;  // empty for a flag
  std::string help;
};

struct ToolSpec {
  std::string name;                  // program name for messages
  std::string usage;                 // the usage lines shown first by --help
  std::string description;           // a paragraph after them
  std::vector<OptionSpec> options;   // --help is always added
  int error_status = 1;              // exit status of every failure but a usage error
  // How run_main shows a failure: a tool's way, or the programs' console
  // dialogue ("error input data" ...).
  Console console = Console::tool;
};

class CommandLine {
 public:
  // Parses "--name value", "--name=value", flags and positionals; "--" ends
  // the options, "-h" is "--help", and other words that start with "-" and
  // are not numbers are refused. Unknown options and missing values are usage failures.
  CommandLine(const ToolSpec& tool, const std::vector<std::string>& arguments);

  bool has(const std::string& name) const;
  // The last value given for the option, or `fallback` if it was not given.
  std::string value(const std::string& name, const std::string& fallback = "") const;
  // Every value given for the option, in order.
  std::vector<std::string> values(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }
  // Options and positionals in the order given; a positional has an empty name.
  const std::vector<std::pair<std::string, std::string>>& sequence() const { return sequence_; }
  bool help_requested() const { return help_; }
  bool version_requested() const { return version_; }

 private:
  std::vector<std::pair<std::string, std::string>> sequence_;
  std::vector<std::string> positional_;
  bool help_ = false;
  bool version_ = false;
};

// Number parsing for option values; the whole text must be the number.
int parse_int(const std::string& text, const std::string& what);
double parse_double(const std::string& text, const std::string& what);
// A value that is written as a float32 sample: finite, and finite as a float32.
float parse_float_value(const std::string& text, const std::string& what);
// "a,b,c" with exactly `count` numbers.
std::vector<double> parse_doubles(const std::string& text, std::size_t count, const std::string& what);
std::vector<int> parse_ints(const std::string& text, std::size_t count, const std::string& what);
// A seed: a whole number from 0 to 10^19 - 1 (decimal digits only).
std::uint64_t parse_seed(const std::string& text, const std::string& what);
std::vector<float> parse_float_values(const std::string& text, std::size_t count,
                                      const std::string& what);

// The value of a "--threads N" option (at least 1, and at most the processors
// this process may use, with a note when more are asked for), or those
// processors when it is not given.
int thread_count(const CommandLine& line);

std::string help_text(const ToolSpec& tool);

// Runs a tool's body through tomio::run_main: prints --help or --version
// ("NAME VERSION") and exits 0; a usage failure
// exits 2, every other failure tool.error_status, each with a message on
// standard error.
int run_tool(const ToolSpec& tool, int argc, char** argv,
             const std::function<int(const CommandLine&)>& body);

}  // namespace tomio
