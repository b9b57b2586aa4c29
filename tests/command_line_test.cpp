#include "run/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "run/runtime_split.h"

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

// A Windows line in the POSIX spelling is split as the C runtime splits it,
// which is how other programs quote what they pass.
struct RuntimeSplitCase {
  const char* line;  // program included
  std::vector<std::string> arguments;
  friend void PrintTo(const RuntimeSplitCase& c, std::ostream* os) {
    *os << c.line;
  }
};

class RuntimeSplitTest : public testing::TestWithParam<RuntimeSplitCase> {};

TEST_P(RuntimeSplitTest, GivesTheArgumentsTheRuntimeGives) {
  EXPECT_EQ(SplitAsTheRuntimeDoes(GetParam().line), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    RuntimeRules, RuntimeSplitTest,
    testing::Values(
        RuntimeSplitCase{"s.exe --list --no-wait -- a.cs b.cs",
                         {"--list", "--no-wait", "--", "a.cs", "b.cs"}},
        RuntimeSplitCase{"\"C:\\Program Files\\s.exe\" -l \"my docs\\x.txt\"",
                         {"-l", "my docs\\x.txt"}},
        RuntimeSplitCase{"s.exe -l \"C:\\my dir\\\\\"", {"-l", "C:\\my dir\\"}},
        RuntimeSplitCase{"s.exe -l a\\\\b", {"-l", "a\\\\b"}},
        RuntimeSplitCase{"s.exe -l \\\"q\\\"", {"-l", "\"q\""}},
        RuntimeSplitCase{"s.exe -l a\\\\\\\"b", {"-l", "a\\\"b"}},
        RuntimeSplitCase{"s.exe -l \"\" x", {"-l", "", "x"}},
        RuntimeSplitCase{"s.exe -l \"a\"\"b\"", {"-l", "a\"b"}},
        RuntimeSplitCase{"s.exe -l\ta  \t b", {"-l", "a", "b"}},
        RuntimeSplitCase{"s.exe -l \"a b\"c d", {"-l", "a bc", "d"}},
        RuntimeSplitCase{"s.exe -l \"unclosed", {"-l", "unclosed"}}));

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

// No name patterns given: {excluded files, included files, excluded folders}.
const std::vector<std::vector<std::string>> kNoPatterns = {{}, {}, {}};

// The command line's hard cases, read the POSIX way. Where two readings of
// one line conflict, the one that cannot change a file the user did not
// mean to change wins.
struct OptionsCase {
  std::vector<std::string> args;
  std::vector<std::string> paths;
  bool list_only = false;
  bool no_wait = false;
  const char* stop = "";  // "help", "version", or the bad option
  bool durable = false;
  // The patterns, as {excluded files, included files, excluded folders}.
  std::vector<std::vector<std::string>> patterns = {{}, {}, {}};
  bool editorconfig = false;
  bool exclude_vcs = false;
  bool quiet = false;
  bool null_names = false;
  friend void PrintTo(const OptionsCase& c, std::ostream* os) {
    for (const std::string& arg : c.args) *os << "[" << arg << "]";
  }
};

class OptionsTest : public testing::TestWithParam<OptionsCase> {};

TEST_P(OptionsTest, ReadsTheLineAsTheTableSays) {
  const OptionsCase& c = GetParam();
  CommandLine line;
  line.args = c.args;
  const RunOptions options = ReadRunOptions(line);
  EXPECT_EQ(options.style, ArgumentStyle::kPosix);
  EXPECT_EQ(options.paths, c.paths);
  EXPECT_EQ(options.list_only, c.list_only);
  EXPECT_EQ(options.no_wait, c.no_wait);
  EXPECT_EQ(options.durable, c.durable);
  EXPECT_EQ(options.excluded_files, c.patterns[0]);
  EXPECT_EQ(options.included_files, c.patterns[1]);
  EXPECT_EQ(options.excluded_folders, c.patterns[2]);
  EXPECT_EQ(options.editorconfig, c.editorconfig);
  EXPECT_EQ(options.exclude_vcs, c.exclude_vcs);
  EXPECT_EQ(options.quiet, c.quiet);
  EXPECT_EQ(options.null_names, c.null_names);
  const std::string stop = c.stop;
  EXPECT_EQ(options.help, stop == "help");
  EXPECT_EQ(options.version, stop == "version");
  EXPECT_EQ(options.bad_option,
            stop == "help" || stop == "version" ? "" : stop);
}

INSTANTIATE_TEST_SUITE_P(
    HardCases, OptionsTest,
    testing::Values(
        // Two paths, both walked: "b" has no classic meaning.
        OptionsCase{{"a", "b"}, {"a", "b"}},
        // /Q and /L each in an argument of their own count, in any order.
        OptionsCase{{".", "/Q", "/L"}, {"."}, true, true},
        OptionsCase{{".", "/L", "/Q"}, {"."}, true, true},
        // A lone switch is no folder: nothing to walk.
        OptionsCase{{"/Q"}, {}, false, true},
        // A path holding "/l" is a path, not the list switch.
        OptionsCase{{"lib/lua", "src"}, {"lib/lua", "src"}},
        OptionsCase{{"--", "-q"}, {"-q"}}, OptionsCase{{"-l"}, {}, true},
        OptionsCase{{"-x", "."}, {"."}, false, false, "-x"},
        OptionsCase{{"--quiet", "."},
                    {"."},
                    false,
                    false,
                    "",
                    false,
                    kNoPatterns,
                    false,
                    false,
                    true},
        OptionsCase{{"--silent", "."}, {"."}, false, false, "--silent"},
        OptionsCase{{"-lZ", "a", "b"},
                    {"a", "b"},
                    true,
                    false,
                    "",
                    false,
                    kNoPatterns,
                    false,
                    false,
                    false,
                    true},
        OptionsCase{{"--null", "-q", "a"},
                    {"a"},
                    false,
                    false,
                    "",
                    false,
                    kNoPatterns,
                    false,
                    false,
                    true,
                    true},
        OptionsCase{{"a", "-Q"}, {"a"}, false, false, "-Q"},
        // The classic forms keep their meaning.
        OptionsCase{{"dir"}, {"dir"}},
        OptionsCase{{"dir", "/Q"}, {"dir"}, false, true},
        OptionsCase{{"dir", "/Q/L"}, {"dir"}, true, true},
        OptionsCase{{"dir", "/l/q"}, {"dir"}, true, true},
        OptionsCase{{"dir", "x/qy"}, {"dir"}, false, true},
        OptionsCase{{"dir", "/quiet"}, {"dir"}, false, true},
        OptionsCase{{"dir", "/Q/D"}, {"dir"}, false, true, "", true},
        OptionsCase{{"-D", "a", "/d"}, {"a"}, false, false, "", true},
        OptionsCase{{"--durable", "a", "b/docs"},
                    {"a", "b/docs"},
                    false,
                    false,
                    "",
                    true},
        OptionsCase{{"a", "b/docs"}, {"a", "b/docs"}},
        // Just a path and a text holding /L: the classic switch text, so
        // the line lists rather than strips a second tree.
        OptionsCase{{"src", "lib/lua"}, {"src"}, true},
        OptionsCase{{"/Q/L"}, {}, true, true},
        // Options anywhere, bundled or long, and any number of paths.
        OptionsCase{{"a", "-l", "b"}, {"a", "b"}, true},
        OptionsCase{{"-lW", "a", "b", "c"}, {"a", "b", "c"}, true, true},
        OptionsCase{{"--list", "--no-wait", "x/qy"}, {"x/qy"}, true, true},
        OptionsCase{{"-W", "src", "lib/lua"}, {"src", "lib/lua"}, false, true},
        OptionsCase{{"--", "/Q", "--help"}, {"/Q", "--help"}},
        OptionsCase{{"-", ""}, {"-", ""}},
        // Help and version change nothing; the first stop met decides.
        OptionsCase{{"/?"}, {}, false, false, "help"},
        OptionsCase{{".", "-h"}, {"."}, false, false, "help"},
        OptionsCase{{"--help", "--bogus"}, {}, false, false, "help"},
        OptionsCase{{"--bogus", "--help"}, {}, false, false, "--bogus"},
        OptionsCase{{"-V"}, {}, false, false, "version"},
        OptionsCase{{"--version", "-h"}, {}, false, false, "version"},
        // Options that take a value, as GNU tools take them: joined by =,
        // or in the next argument whatever it looks like; several of one.
        OptionsCase{{"--exclude=*.txt", "a", "--exclude", "-l", "--include",
                     "*.cs", "--include=*.resx", "--exclude-dir", "/L"},
                    {"a"},
                    false,
                    false,
                    "",
                    false,
                    {{"*.txt", "-l"}, {"*.cs", "*.resx"}, {"/L"}}},
        OptionsCase{
            {"--exclude-vcs", "--editorconfig", "a", "--exclude-dir=", "--"},
            {"a"},
            false,
            false,
            "",
            false,
            {{}, {}, {""}},
            true,
            true},
        // The classic /E, alone, in a run of switches, or in the text after
        // a lone path.
        OptionsCase{
            {"a", "/E"}, {"a"}, false, false, "", false, {{}, {}, {}}, true},
        OptionsCase{
            {"a", "/q/e"}, {"a"}, false, true, "", false, {{}, {}, {}}, true},
        OptionsCase{
            {"a", "x/ly/e"}, {"a"}, true, false, "", false, {{}, {}, {}}, true},
        // A value missing at the end is a bad option; a long option may be
        // cut short where no other begins the same way.
        OptionsCase{{"a", "--include"}, {"a"}, false, false, "--include"},
        OptionsCase{{"--exclude-v", "--edit", "a"},
                    {"a"},
                    false,
                    false,
                    "",
                    false,
                    {{}, {}, {}},
                    true,
                    true}));

TEST(Options, AValueMissingIsToldApartFromAnUnknownOption) {
  CommandLine line;
  line.args = {"a", "--exclude-dir"};
  EXPECT_TRUE(ReadRunOptions(line).bad_option_lacks_value);
  line.args = {"a", "--exclude-dirs", "x"};
  const RunOptions unknown = ReadRunOptions(line);
  EXPECT_EQ(unknown.bad_option, "--exclude-dirs");
  EXPECT_FALSE(unknown.bad_option_lacks_value);
}

TEST(ClassicLine, KeepsFolderAndSwitchTextAndAddsHelp) {
  const RunOptions quiet_list =
      ReadRunOptions(CommandLine{true, "s.exe \"C:\\my docs\\\" x/ly/q", {}});
  EXPECT_EQ(quiet_list.style, ArgumentStyle::kClassic);
  EXPECT_EQ(quiet_list.paths, std::vector<std::string>{"C:\\my docs\\"});
  EXPECT_TRUE(quiet_list.list_only && quiet_list.no_wait);
  // The switch text is argument 1 only, and a first argument that is no
  // option the POSIX reading knows is a folder name there.
  const RunOptions classic =
      ReadRunOptions(CommandLine{true, "s.exe -x /Q /L", {}});
  EXPECT_EQ(classic.style, ArgumentStyle::kClassic);
  EXPECT_EQ(classic.paths, std::vector<std::string>{"-x"});
  EXPECT_TRUE(classic.no_wait && !classic.list_only);
  // A first argument the POSIX reading knows makes the line a POSIX one.
  const RunOptions posix = ReadRunOptions(
      CommandLine{true, "s.exe --list -W -- \"a b.cs\" /Q c.cs", {}});
  EXPECT_EQ(posix.style, ArgumentStyle::kPosix);
  EXPECT_EQ(posix.paths, (std::vector<std::string>{"a b.cs", "/Q", "c.cs"}));
  EXPECT_TRUE(posix.list_only && posix.no_wait);
  const RunOptions bundled =
      ReadRunOptions(CommandLine{true, "s.exe -lZ C:\\t", {}});
  EXPECT_EQ(bundled.style, ArgumentStyle::kPosix);
  EXPECT_TRUE(bundled.list_only && bundled.null_names);
  EXPECT_EQ(ReadRunOptions(CommandLine{true, "s.exe -- -x", {}}).paths,
            std::vector<std::string>{"-x"});
  EXPECT_TRUE(ReadRunOptions(CommandLine{true, "s.exe /?", {}}).help);
  EXPECT_TRUE(ReadRunOptions(CommandLine{true, "s.exe C:\\ /?", {}}).help);
  EXPECT_TRUE(
      ReadRunOptions(CommandLine{true, "s.exe \"\" /Q", {}}).paths.empty());
  EXPECT_TRUE(
      ReadRunOptions(CommandLine{true, "s.exe C:\\ /Q/E", {}}).editorconfig);
}

TEST(UpperCase, LowersLettersAndHighBytesOnlyAndIsIdempotent) {
  const std::string text = "az AZ 09 /q \xE0\xFF\xDF\x7F\x60\x7B";
  const std::string upper = UpperCaseText(text);
  EXPECT_EQ(upper, "AZ AZ 09 /Q \xC0\xDF\xDF\x7F\x60\x7B");
  EXPECT_EQ(UpperCaseText(upper), upper);
}

}  // namespace
}  // namespace sarnelux
