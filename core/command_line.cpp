#include "core/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "core/failure.h"
#include "core/parallel.h"
#include "core/version.h"

namespace tomio {
namespace {

const OptionSpec* find_option(const ToolSpec& tool, const std::string& name) {
  for (const OptionSpec& o : tool.options) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

}  // namespace

CommandLine::CommandLine(const ToolSpec& tool, const std::vector<std::string>& arguments) {
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (!options_ended && arg == "-h") {
      help_ = true;
      continue;
    }
    if (options_ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      // A lone "-" is a positional too (conventionally standard input or output).
      if (!options_ended && arg.size() >= 2 && arg[0] == '-' &&
          !(arg[1] >= '0' && arg[1] <= '9') && arg[1] != '.') {
        tomio::fail_usage("unknown option " + arg);
      }
      positional_.push_back(arg);
      sequence_.emplace_back(std::string(), arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool has_inline_value = false;
    const std::string::size_type eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_inline_value = true;
    }
    if (name == "help") {
      help_ = true;
      continue;
    }
    if (name == "version") {
      version_ = true;
      continue;
    }
    const OptionSpec* option = find_option(tool, name);
    if (option == nullptr) tomio::fail_usage("unknown option --" + name);
    if (option->value_name.empty()) {
      if (has_inline_value) tomio::fail_usage("option --" + name + " takes no value");
    } else if (!has_inline_value) {
      if (i + 1 >= arguments.size()) {
        tomio::fail_usage("option --" + name + " needs a value (" + option->value_name + ")");
      }
      value = arguments[++i];
    }
    sequence_.emplace_back(name, value);
  }
}

bool CommandLine::has(const std::string& name) const {
  for (const auto& item : sequence_) {
    if (item.first == name) return true;
  }
  return false;
}

std::string CommandLine::value(const std::string& name, const std::string& fallback) const {
  std::string result = fallback;
  for (const auto& item : sequence_) {
    if (item.first == name) result = item.second;
  }
  return result;
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
  std::vector<std::string> result;
  for (const auto& item : sequence_) {
    if (item.first == name) result.push_back(item.second);
  }
  return result;
}

int parse_int(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
      value < -2147483647L || value > 2147483647L) {
    tomio::fail_usage(what + ": \"" + text + "\" is not a whole number");
  }
  return static_cast<int>(value);
}

double parse_double(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
      !(value == value) || value - value != 0.0) {
    tomio::fail_usage(what + ": \"" + text + "\" is not a finite number");
  }
  return value;
}

float parse_float_value(const std::string& text, const std::string& what) {
  const double value = parse_double(text, what);
  if (!std::isfinite(static_cast<float>(value))) {
    tomio::fail_usage(what + ": \"" + text + "\" does not fit a float32 sample (at most " +
                      "3.4028235e38 in magnitude)");
  }
  return static_cast<float>(value);
}

namespace {

template <class T>
std::vector<T> parse_list(const std::string& text, std::size_t count, const std::string& what,
                          T (*parse_one)(const std::string&, const std::string&), const char* noun) {
  const std::vector<std::string> parts = split_commas(text);
  if (parts.size() != count) {
    tomio::fail_usage(what + ": expected " + std::to_string(count) + " comma-separated " + noun +
                      ", got \"" + text + "\"");
  }
  std::vector<T> values;
  for (const std::string& p : parts) values.push_back(parse_one(p, what));
  return values;
}

}  // namespace

std::vector<double> parse_doubles(const std::string& text, std::size_t count, const std::string& what) {
  return parse_list<double>(text, count, what, parse_double, "numbers");
}

std::vector<float> parse_float_values(const std::string& text, std::size_t count,
                                      const std::string& what) {
  return parse_list<float>(text, count, what, parse_float_value, "numbers");
}

std::vector<int> parse_ints(const std::string& text, std::size_t count, const std::string& what) {
  return parse_list<int>(text, count, what, parse_int, "whole numbers");
}

std::uint64_t parse_seed(const std::string& text, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    tomio::fail_usage(what + ": \"" + text + "\" is not a whole number from 0 to 10^19 - 1");
  }
  return std::stoull(text);
}

int thread_count(const CommandLine& line) {
  const int available = available_threads();
  if (!line.has("threads")) return available;
  const int threads = parse_int(line.value("threads"), "--threads");
  if (threads < 1) tomio::fail_usage("--threads must be at least 1");
  // More threads than processors only share them out and slow the run down.
  if (threads > available) {
    std::fprintf(stderr, "%s: note: --threads %d is more than the %d processor(s) this process may "
                 "use; using %d\n", tomio::program_name().c_str(), threads, available, available);
    return available;
  }
  return threads;
}

std::string help_text(const ToolSpec& tool) {
  std::ostringstream out;
  out << tool.usage;
  if (!tool.usage.empty() && tool.usage.back() != '\n') out << '\n';
  if (!tool.description.empty()) out << '\n' << tool.description << '\n';
  out << "\nOptions:\n";
  for (const OptionSpec& o : tool.options) {
    std::string left = "  --" + o.name;
    if (!o.value_name.empty()) left += " " + o.value_name;
    out << left;
    if (left.size() < 26) {
      out << std::string(26 - left.size(), ' ');
    } else {
      out << "\n" << std::string(26, ' ');
    }
    out << o.help << '\n';
  }
  out << "  -h, --help              show this text and exit\n";
  out << "      --version           show the release and exit\n";
  return out.str();
}

int run_tool(const ToolSpec& tool, int argc, char** argv,
             const std::function<int(const CommandLine&)>& body) {
  return run_main(
      tool.name.c_str(),
      [&] {
        const CommandLine line(tool, std::vector<std::string>(argv + 1, argv + argc));
        if (line.help_requested() || line.version_requested()) {
          const std::string text = line.help_requested() ? help_text(tool)
                                                         : tool.name + " " + TOM_VERSION + "\n";
          std::fputs(text.c_str(), stdout);
          if (std::fflush(stdout) != 0) fail_output("cannot write to standard output");
          return 0;
        }
        return body(line);
      },
      tool.console, tool.error_status);
}

}  // namespace tomio
