// The study tools' command lines: the programs' own (core/command_line.h),
// under the toolkit's names.
#pragma once

#include "core/command_line.h"

namespace toolkit {

using tomio::CommandLine;
using tomio::help_text;
using tomio::OptionSpec;
using tomio::parse_double;
using tomio::parse_doubles;
using tomio::parse_float_value;
using tomio::parse_float_values;
using tomio::parse_int;
using tomio::parse_ints;
using tomio::parse_seed;
using tomio::run_tool;
using tomio::RunError;
using tomio::thread_count;
using tomio::ToolSpec;
using tomio::UsageError;

}  // namespace toolkit
