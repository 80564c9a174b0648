#include "command_line.h"

#include <gtest/gtest.h>

namespace simrelay {
namespace {

using Arguments = std::vector<std::string>;

TEST(SplitCommandLine, ProgramNameIsDroppedWithoutTakingEscapes) {
  EXPECT_EQ(split_command_line(R"("C:\Program Files\simrelay\simrelay.exe" 10.0.0.5 --port 8080)"),
            (Arguments{"10.0.0.5", "--port", "8080"}));
  EXPECT_EQ(split_command_line(R"(simrelay.exe)"), Arguments{});
  EXPECT_EQ(split_command_line("simrelay.exe \t "), Arguments{});
  // A backslash before a quote is a path separator in the name.
  EXPECT_EQ(split_command_line(R"("C:\bridge\\" host)"), Arguments{"host"});
  EXPECT_EQ(split_command_line(R"(C:\my" "bridge\simrelay.exe host)"), Arguments{"host"});
}

// The examples that Microsoft gives for the C runtime's rules, each after a
// program name.
TEST(SplitCommandLine, QuotesAndBackslashesFollowTheCRuntime) {
  EXPECT_EQ(split_command_line(R"(x "a b c" d e)"), (Arguments{"a b c", "d", "e"}));
  EXPECT_EQ(split_command_line(R"(x "ab\"c" "\\" d)"), (Arguments{R"(ab"c)", R"(\)", "d"}));
  EXPECT_EQ(split_command_line(R"(x a\\\b d"e f"g h)"), (Arguments{R"(a\\\b)", "de fg", "h"}));
  EXPECT_EQ(split_command_line(R"(x a\\\"b c d)"), (Arguments{R"(a\"b)", "c", "d"}));
  EXPECT_EQ(split_command_line(R"(x a\\\\"b c" d e)"), (Arguments{R"(a\\b c)", "d", "e"}));
  EXPECT_EQ(split_command_line(R"(x a"b"" c d)"), (Arguments{R"(ab" c d)"}));
}

TEST(SplitCommandLine, EmptyUnfinishedAndUnicodeArguments) {
  EXPECT_EQ(split_command_line(R"(x "" --port)"), (Arguments{"", "--port"}));
  EXPECT_EQ(split_command_line("x\t\"a b\\"), Arguments{"a b\\"});
  EXPECT_EQ(split_command_line("x  \"Flugplatz Zürich\"\tホスト.local "),
            (Arguments{"Flugplatz Zürich", "ホスト.local"}));
}

}  // namespace
}  // namespace simrelay
