// The built program on real folder trees: its whole output, byte for byte,
// its exit status, and every file afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "expected_output.h"
#include "tool_runner.h"

namespace sarnelux {
namespace {

using testing_support::ExpectedReport;
using testing_support::kBanner;
using testing_support::kMark;
using testing_support::kRemoved;
using testing_support::RunTool;
using testing_support::Stripped;
using testing_support::Summary;
using testing_support::TempTree;
using testing_support::ToolOptions;
using testing_support::ToolRun;

void BuildMixedTree(const TempTree& tree) {
  tree.Write("a.txt", kMark + "alpha\nline two\n");
  tree.Write("plain.txt", "no mark here");
  tree.Write("empty", "");
  tree.Write("just-the-mark", kMark);
  tree.Write("two-marks", kMark + kMark + "x");
  tree.Write("cut-short", "\xEF\xBB");
  tree.Write("utf16le.txt", std::string("\xFF\xFEh\0i\0", 6));
  tree.Write("utf16be.txt", std::string("\xFE\xFF\0h", 4));
  tree.Write("fe-ff", "\xFE\xFF");
  tree.Write("utf32be.txt", std::string("\0\0\xFE\xFF", 4));
  tree.Write(".hidden", kMark + "dot file");
  tree.Write("docs/readme.md", kMark + "# title\n");
  tree.Write("docs/deeper/still/deeper/data.csv", kMark + "a,b\n1,2\n");
  tree.Write("docs/deeper/plain.csv", "a,b\n");
  tree.Write("docs/mark-later.txt", "text then " + kMark);
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 31 % 256);
  tree.Write("big/large.bin", kMark + big);
  tree.Write("big/exactly-4096-left", kMark + std::string(4096, 'e'));
  mkdir(tree.Path("empty-folder").c_str(), 0755);
}

TEST(EndToEnd, StripsAMixedTreeAndReportsEveryFileInListingOrder) {
  TempTree tree;
  BuildMixedTree(tree);
  const auto before = tree.Snapshot();
  int removed = 0;
  const std::string report = ExpectedReport(tree, before, removed);
  EXPECT_EQ(removed, 8);

  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output, kBanner + report + Summary(removed, tree.root()));
  EXPECT_EQ(tree.Snapshot(), Stripped(before));
  // The same lines, written out by hand rather than by the rules above.
  std::multiset<std::string> lines;
  for (const char* name :
       {"a.txt", "just-the-mark", "two-marks", ".hidden", "docs/readme.md",
        "docs/deeper/still/deeper/data.csv", "big/large.bin",
        "big/exactly-4096-left"}) {
    lines.insert("successfully removed BOM of file " + tree.Path(name));
  }
  for (const char* name :
       {"utf16le.txt", "utf16be.txt", "utf32be.txt", "fe-ff"}) {
    lines.insert("no valid utf-8 BOM in file " + tree.Path(name));
  }
  lines.insert({"number of removed BOM headers: 8", "ready!"});
  std::multiset<std::string> printed;
  for (std::size_t at = kBanner.size(), end = 0;
       (end = run.output.find("\n", at)) != std::string::npos; at = end + 1) {
    printed.insert(run.output.substr(at, end - at));
  }
  EXPECT_EQ(printed, lines);

  // With the durable switch (its small files written in batches), the same.
  TempTree durable;
  BuildMixedTree(durable);
  const auto durable_before = durable.Snapshot();
  const ToolRun durable_run = RunTool({durable.root(), "/Q/D"});
  EXPECT_EQ(durable_run.exit_status, 0);
  EXPECT_EQ(durable_run.output,
            kBanner + ExpectedReport(durable, durable_before, removed) +
                Summary(removed, durable.root()));
  EXPECT_EQ(durable.Snapshot(), Stripped(durable_before));

  // A second run removes the second mark and nothing else.
  const auto middle = tree.Snapshot();
  int removed_again = 0;
  const std::string report_again = ExpectedReport(tree, middle, removed_again);
  EXPECT_EQ(removed_again, 1);
  const ToolRun again = RunTool({tree.root() + "/", "/q"});
  EXPECT_EQ(again.output, kBanner + report_again + Summary(1, ""));
  EXPECT_EQ(tree.Read("two-marks"), "x");
}

TEST(EndToEnd, ListOnlyReportsAMixedTreeAndChangesNoByte) {
  TempTree tree;
  BuildMixedTree(tree);
  chmod(tree.Path("a.txt").c_str(), 0444);
  chmod(tree.Path("utf16le.txt").c_str(), 0444);
  const auto before = tree.Snapshot();
  int found = 0;
  const std::string report = ExpectedReport(tree, before, found, true);
  EXPECT_EQ(found, 8);
  const ToolRun run = RunTool({tree.root(), "/L/Q"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.output,
            kBanner + report + "number of found BOM headers: 8\nready!\n");
  EXPECT_EQ(tree.Snapshot(), before);
}

TEST(EndToEnd, ReadOnlyFileKeepsItsMarkEvenForRootAndSaysSo) {
  TempTree tree;
  tree.Write("locked.txt", kMark + "keep");
  tree.Write("locked-wide.txt", "\xFF\xFEw");  // no UTF-8 mark: nothing left
  chmod(tree.Path("locked.txt").c_str(), 0444);
  chmod(tree.Path("locked-wide.txt").c_str(), 0444);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output, kBanner + Summary(0, tree.root()));
  EXPECT_EQ(run.errors, "sarnelux: " + tree.Path("locked.txt") +
                            ": UTF-8 mark left: read-only file\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(tree.Read("locked.txt"), kMark + "keep");
}

TEST(EndToEnd, OnlyFilesAndFoldersAreTouched) {
  TempTree tree;
  tree.Write("real/a", kMark + "a");
  ASSERT_EQ(mkfifo(tree.Path("real/fifo").c_str(), 0644), 0);
  const int sock = testing_support::BindSocket(tree.Path("real/sock"));
  ASSERT_GE(sock, 0);
  ASSERT_EQ(
      symlink(tree.Path("real").c_str(), tree.Path("link-to-real").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.Path("real/dangling").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", tree.Path("real/device").c_str()), 0);

  const ToolRun run = RunTool({tree.Path("link-to-real"), "/Q"});
  close(sock);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.output, kBanner + "successfully removed BOM of file " +
                            tree.Path("link-to-real") + "/a\n" +
                            Summary(1, ""));
  EXPECT_EQ(tree.Read("real/a"), "a");
}

// The command line's hard cases and the classic forms, on a real tree, with
// standard input from a file: no run may wait.
struct ArgumentCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the tree's root
  // After the banner; "-": nothing at all; "=" and a text: that, no banner.
  std::string output;
  std::string errors;  // "%USAGE%" stands for the help text
  int status = 0;
  std::set<std::string> stripped = {};  // the files that lose their mark
  friend void PrintTo(const ArgumentCase& c, std::ostream* os) {
    *os << c.name;
  }
};

std::string Expand(std::string text, const std::string& token,
                   const std::string& value) {
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
  return text;
}

class ArgumentTest : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentTest, PrintsExactlyThisAndChangesOnlyTheseFiles) {
  const ArgumentCase& c = GetParam();
  TempTree tree;
  tree.Write("with space/x.txt", kMark + "x");
  tree.Write("lib/lua/y.lua", kMark + "y");
  tree.Write("key", "k");
  auto after = tree.Snapshot();
  for (const std::string& path : c.stripped) after[path].erase(0, 3);
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(Expand(arg, "@", tree.root()));
  }
  ToolOptions options;
  options.input = tree.Path("key");
  const ToolRun run = RunTool(args, options);
  EXPECT_EQ(run.exit_status, c.status);
  EXPECT_FALSE(run.timed_out);
  const std::string output = Expand(c.output, "@", tree.root());
  EXPECT_EQ(run.output, output == "-"             ? ""
                        : output.starts_with("=") ? output.substr(1)
                                                  : kBanner + output);
  EXPECT_EQ(run.errors, Expand(Expand(c.errors, "@", tree.root()), "%USAGE%",
                               RunTool({"--help"}).output));
  EXPECT_EQ(tree.Snapshot(), after);
}

const std::string kTryHelp = "Try 'sarnelux --help' for more information.\n";

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, ArgumentTest,
    testing::Values(
        ArgumentCase{"no_arguments", {}, "-", "%USAGE%", 2},
        ArgumentCase{"empty_path_with_quiet",
                     {"", "/Q"},
                     "no BOM headers found in \nready!\n",
                     "sarnelux: : No such file or directory\n",
                     2},
        ArgumentCase{"folder_with_spaces_and_slash",
                     {"@/with space/", "/quiet"},
                     "successfully removed BOM of file @/with space/x.txt\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"with space/x.txt"}},
        ArgumentCase{"no_prompt_when_input_is_a_file",
                     {"@/with space"},
                     "successfully removed BOM of file @/with space/x.txt\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"with space/x.txt"}},
        ArgumentCase{"missing_folder",
                     {"@/missing/", "x/qy"},
                     "no BOM headers found in @/missing/\nready!\n",
                     "sarnelux: @/missing/: No such file or directory\n",
                     2},
        ArgumentCase{"file_operand",
                     {"@/with space/x.txt", "@/key"},
                     "successfully removed BOM of file @/with space/x.txt\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"with space/x.txt"}},
        ArgumentCase{"file_operand_listed_clean",
                     {"-l", "@/key"},
                     "no BOM headers found in @/key\nready!\n",
                     "",
                     0},
        ArgumentCase{"list_only_finds_a_mark",
                     {"@/with space", "x/ly"},
                     "found BOM in file @/with space/x.txt\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"list_only_finds_none",
                     {"@/missing", "/q/l"},
                     "no BOM headers found in @/missing\nready!\n",
                     "sarnelux: @/missing: No such file or directory\n",
                     2},
        // The hard cases.
        ArgumentCase{"two_paths",
                     {"@/key", "@/with space"},
                     "successfully removed BOM of file @/with space/x.txt\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"with space/x.txt"}},
        ArgumentCase{"path_holding_slash_l_then_text_holding_none",
                     {"@/lib/lua", "@/with space"},
                     "successfully removed BOM of file @/lib/lua/y.lua\n"
                     "successfully removed BOM of file @/with space/x.txt\n"
                     "number of removed BOM headers: 2\nready!\n",
                     "",
                     0,
                     {"lib/lua/y.lua", "with space/x.txt"}},
        ArgumentCase{"text_holding_slash_l_lists",
                     {"@/with space", "@/lib/lua"},
                     "found BOM in file @/with space/x.txt\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"slash_q_then_slash_l_lists",
                     {"@/lib", "/Q", "/L"},
                     "found BOM in file @/lib/lua/y.lua\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"slash_l_then_slash_q_lists",
                     {"@/lib", "/L", "/Q"},
                     "found BOM in file @/lib/lua/y.lua\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"lone_slash_q_names_no_path", {"/Q"}, "-", "%USAGE%", 2},
        ArgumentCase{"dash_dash_then_dash_q_is_a_path",
                     {"--", "-q"},
                     "no BOM headers found in -q\nready!\n",
                     "sarnelux: -q: No such file or directory\n",
                     2},
        ArgumentCase{"list_option_without_path", {"-l"}, "-", "%USAGE%", 2},
        ArgumentCase{"unknown_option_changes_nothing",
                     {"@", "--bogus"},
                     "-",
                     "sarnelux: unrecognized option '--bogus'\n" + kTryHelp,
                     2},
        ArgumentCase{"classic_dash_q_is_an_unknown_option",
                     {"@/key", "-Q"},
                     "-",
                     "sarnelux: invalid option -- 'Q'\n" + kTryHelp,
                     2},
        ArgumentCase{"version",
                     {"--version", "@"},
                     "=sarnelux " SARNELUX_VERSION "\n",
                     "",
                     0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, RedirectedRunNeitherPromptsNorWaits) {
  // `sarnelux DIR > log` in a terminal, and a run fed by a silent pipe: the
  // prompt would go where nobody sees it, or no key could answer it.
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  for (const std::string& input :
       {std::string(ptsname(terminal)), std::string()}) {
    TempTree tree;
    tree.Write("a", kMark + "a");
    ToolOptions options;
    options.input = input;
    options.pipe_hold_ms = 5000;
    options.timeout_ms = 3000;
    const ToolRun run = RunTool({tree.root()}, options);
    EXPECT_FALSE(run.timed_out) << input;
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output,
              kBanner + kRemoved + tree.Path("a") + "\n" + Summary(1, ""));
  }
  close(terminal);
}

TEST(EndToEnd, OutputThatCannotBeWrittenIsToldWithStatusTwo) {
  struct Output {
    const char* redirection;
    const char* reason;
  };
  for (const Output output : {Output{"> /dev/full", "No space left on device"},
                              Output{">&-", "Bad file descriptor"}}) {
    TempTree tree;
    tree.Write("a", kMark + "a");
    const std::string errors = tree.root() + ".errors";
    std::string command = "'";
    command.append(testing_support::ToolPath()).append("' -W '");
    command.append(tree.root()).append("' ").append(output.redirection);
    command.append(" 2> '").append(errors).append("'");
    const int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2) << output.redirection;
    std::ifstream told(errors);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(told), {}),
              std::string("sarnelux: write error: ") + output.reason + "\n");
    std::remove(errors.c_str());
    EXPECT_EQ(tree.Read("a"), "a");  // the run itself went on
  }
}

TEST(EndToEnd, ClosedStandardStreamsDoNotCaptureFiles) {
  for (const char* quiet : {" /Q", ""}) {  // no key can come: no wait
    TempTree tree;
    tree.Write("f", kMark + "data");
    const std::string command = "exec 0<&- 1>&- 2>&-; timeout 10 '" +
                                testing_support::ToolPath() + "' '" +
                                tree.root() + "'" + quiet;
    // Its lines could not be written: a write error, as for ls >&-.
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << quiet;
    EXPECT_EQ(tree.Read("f"), "data");
  }
}

struct KeyCase {
  const char* name;
  std::string keys;    // typed at the closing wait
  std::string later;   // typed once the program has read those
  bool ends_the_wait;  // if not, a letter typed next does
  int signal;
  friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }
};

class TerminalKeyTest : public testing::TestWithParam<KeyCase> {};

TEST_P(TerminalKeyTest, EndsTheWaitOrNotAndLeavesTheTerminalAsItWas) {
  TempTree tree;
  testing_support::TerminalRun terminal({tree.root()}, false);
  ASSERT_TRUE(terminal.WaitForText("Press a key to continue...", 5000));
  terminal.Type(GetParam().keys);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  terminal.Type(GetParam().later);
  ToolRun run = terminal.Wait(500, /*kill_on_timeout=*/false);
  EXPECT_EQ(run.timed_out, !GetParam().ends_the_wait);
  if (run.timed_out) {
    terminal.Type("k");
    run = terminal.Wait(2000);
  }
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, GetParam().signal);
  EXPECT_EQ(run.exit_status, GetParam().signal == 0 ? 0 : -1);
  EXPECT_TRUE(
      testing_support::SameModes(terminal.Modes(), terminal.ModesBefore()));
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, TerminalKeyTest,
    testing::Values(KeyCase{"letter_without_enter", "k", "", true, 0},
                    KeyCase{"lone_escape", "\x1b", "", true, 0},
                    KeyCase{"arrow_key", "\x1b[A", "", false, 0},
                    KeyCase{"f1_key", "\x1bOP", "", false, 0},
                    KeyCase{"ctrl_c", "\x03", "", true, SIGINT},
                    KeyCase{"ctrl_c_inside_a_sequence", "\x1b[", "\x03", true,
                            SIGINT}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sarnelux
