#include "run/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace sarnelux {
namespace {

struct SplitCase {
  const char* line;  // after the program's own invocation
  std::vector<std::string> arguments;
  friend void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.line; }
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, GivesEachArgumentAndNothingPastTheLast) {
  const SplitCase& c = GetParam();
  const std::string line = std::string("Sarnelux.exe ") + c.line;
  for (std::size_t i = 0; i < c.arguments.size(); ++i) {
    EXPECT_EQ(TokenAt(line, static_cast<int>(i)), c.arguments[i])
        << "argument " << i << " of [" << line << "]";
  }
  EXPECT_EQ(TokenAt(line, static_cast<int>(c.arguments.size())), "");
  EXPECT_EQ(TokenAt(line, 50), "");
}

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, SplitTest,
    testing::Values(SplitCase{"C:\\docs /Q", {"C:\\docs", "/Q"}},
                    SplitCase{"\"C:\\my docs\\\" /q", {"C:\\my docs\\", "/q"}},
                    SplitCase{"C:\\my docs", {"C:\\my", "docs"}},
                    SplitCase{"\"a b\"c", {"a b", "c"}},
                    SplitCase{"ab\"c", {"ab\"c"}},
                    SplitCase{"   one    two   ", {"one", "two"}},
                    SplitCase{"one\ttwo", {"one\ttwo"}},
                    SplitCase{"\"\" /Q", {"", "/Q"}}, SplitCase{"\"", {""}},
                    SplitCase{"x \"", {"x", ""}},
                    SplitCase{"\"unclosed quote", {"unclosed quote"}},
                    SplitCase{"\"a\"\"b\"", {"a", "b"}}, SplitCase{"", {}}));

TEST(Tokenizer, QuotedProgramNameIsSkipped) {
  EXPECT_EQ(TokenAt("\"C:\\Program Files\\Sarnelux.exe\" C:\\x", 0), "C:\\x");
  EXPECT_EQ(TokenAt("Sarnelux.exe", 0), "");
}

TEST(Arguments, VectorFromTheShellIsTakenAsIs) {
  CommandLine split;
  split.args = {"dir with spaces/", "/q"};
  EXPECT_EQ(ArgumentAt(split, 0), "dir with spaces/");
  EXPECT_EQ(ArgumentAt(split, 1), "/q");
  EXPECT_EQ(ArgumentAt(split, 2), "");
  CommandLine line{true, "tool \"a b\" c", {}};
  EXPECT_EQ(ArgumentAt(line, 0), "a b");
  EXPECT_EQ(ArgumentAt(line, 1), "c");
}

struct SwitchCase {
  const char* text;
  bool quiet;
  bool list_only;
  friend void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.text; }
};

class SwitchTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTest, FindsSlashQAndSlashLAnywhereInAnyCase) {
  EXPECT_EQ(ContainsQuietSwitch(GetParam().text), GetParam().quiet)
      << GetParam().text;
  EXPECT_EQ(ContainsListSwitch(GetParam().text), GetParam().list_only)
      << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Switches, SwitchTest,
    testing::Values(
        SwitchCase{"/Q", true, false}, SwitchCase{"/q", true, false},
        SwitchCase{"/quiet", true, false}, SwitchCase{"x/qy", true, false},
        SwitchCase{"-Q", false, false}, SwitchCase{"Q", false, false},
        SwitchCase{"\\Q", false, false}, SwitchCase{"", false, false},
        SwitchCase{"/", false, false}, SwitchCase{"/L", false, true},
        SwitchCase{"/l", false, true}, SwitchCase{"/Q/L", true, true},
        SwitchCase{"/L/Q", true, true}, SwitchCase{"x/ly", false, true},
        SwitchCase{"-L", false, false}, SwitchCase{"L", false, false}));

TEST(UpperCase, LowersLettersAndHighBytesOnlyAndIsIdempotent) {
  const std::string text = "az AZ 09 /q \xE0\xFF\xDF\x7F\x60\x7B";
  const std::string upper = UpperCaseText(text);
  EXPECT_EQ(upper, "AZ AZ 09 /Q \xC0\xDF\xDF\x7F\x60\x7B");
  EXPECT_EQ(UpperCaseText(upper), upper);
}

}  // namespace
}  // namespace sarnelux
