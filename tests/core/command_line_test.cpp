// The tools' shared command line: options with and without values, their
// order, numbers, and the mistakes that are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/command_line.h"
#include "tests/support/expect_failure.h"

namespace {

using tomio::CommandLine;

const tomio::ToolSpec kTool{"t", "Usage: t", "", {{"flag", "", "a flag"}, {"n", "N", "a value"}}, 1};

CommandLine parse(const std::vector<std::string>& args) { return CommandLine(kTool, args); }

template <class Call>
::testing::AssertionResult usage_failure(Call&& call) {
  return testrun::fails_with(tomio::FailureKind::usage, "", call);
}

TEST(CommandLine, OptionsValuesAndPositionalsInOrder) {
  const CommandLine line = parse({"a", "--n", "3", "--flag", "--n=-4", "-5", "--", "--flag"});
  EXPECT_TRUE(line.has("flag"));
  EXPECT_EQ(line.value("n"), "-4");  // the last one counts
  EXPECT_EQ(line.values("n"), (std::vector<std::string>{"3", "-4"}));
  EXPECT_EQ(line.value("missing", "dflt"), "dflt");
  // Negative numbers are positionals; after "--" everything is.
  EXPECT_EQ(line.positional(), (std::vector<std::string>{"a", "-5", "--flag"}));
  ASSERT_EQ(line.sequence().size(), 6u);
  EXPECT_EQ(line.sequence()[1], std::make_pair(std::string("n"), std::string("3")));
  EXPECT_TRUE(parse({"-h"}).help_requested());
  EXPECT_TRUE(parse({"x", "--help"}).help_requested());
}

TEST(CommandLine, MistakesAreUsageFailures) {
  EXPECT_TRUE(usage_failure([&] { parse({"--bogus"}); }));
  EXPECT_TRUE(usage_failure([&] { parse({"-x"}); }));
  EXPECT_TRUE(usage_failure([&] { parse({"--n"}); }));
  EXPECT_TRUE(usage_failure([&] { parse({"--flag=1"}); }));
}

TEST(CommandLine, NumbersMustBeWholeAndFinite) {
  EXPECT_EQ(tomio::parse_int("-12", "w"), -12);
  EXPECT_TRUE(usage_failure([&] { tomio::parse_int("12x", "w"); }));
  EXPECT_TRUE(usage_failure([&] { tomio::parse_int("", "w"); }));
  EXPECT_TRUE(usage_failure([&] { tomio::parse_int("99999999999", "w"); }));
  EXPECT_EQ(tomio::parse_double("2.5e1", "w"), 25.0);
  EXPECT_TRUE(usage_failure([&] { tomio::parse_double("nan", "w"); }));
  EXPECT_TRUE(usage_failure([&] { tomio::parse_double("inf", "w"); }));
  EXPECT_EQ(tomio::parse_doubles("1,-2.5,3", 3, "w"), (std::vector<double>{1, -2.5, 3}));
  EXPECT_TRUE(usage_failure([&] { tomio::parse_doubles("1,2", 3, "w"); }));
  EXPECT_TRUE(usage_failure([&] { tomio::parse_ints("1,,3", 3, "w"); }));
}

}  // namespace
