// The built program on real folder trees: its whole output, byte for byte,
// its exit status, and every file afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
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
using testing_support::kPrompt;
using testing_support::kUsage;
using testing_support::RunTool;
using testing_support::Stripped;
using testing_support::Summary;
using testing_support::TempTree;
using testing_support::ToolOptions;
using testing_support::ToolRun;

void BuildMixedTree(const TempTree& tree) {
  tree.Write("a.txt", kMark + "alpha\r\nline two\n");
  tree.Write("plain.txt", "no mark here");
  tree.Write("empty", "");
  tree.Write("just-the-mark", kMark);
  tree.Write("two-marks", kMark + kMark + "x");
  tree.Write("cut-short", "\xEF\xBB");
  tree.Write("utf16le.txt", std::string("\xFF\xFEh\0i\0", 6));
  tree.Write("utf16be.txt", std::string("\xFE\xFF\0h", 4));
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

  // A second run removes the second mark and nothing else.
  const auto middle = tree.Snapshot();
  int removed_again = 0;
  const std::string report_again = ExpectedReport(tree, middle, removed_again);
  EXPECT_EQ(removed_again, 1);
  const ToolRun again = RunTool({tree.root() + "/", "/q"});
  EXPECT_EQ(again.output, kBanner + report_again + Summary(1, ""));
  EXPECT_EQ(tree.Read("two-marks"), "x");
}

TEST(EndToEnd, ReadOnlyFileIsPassedOverSilentlyEvenForRoot) {
  TempTree tree;
  tree.Write("locked.txt", kMark + "keep");
  tree.Write("locked-wide.txt", "\xFF\xFEw");
  chmod(tree.Path("locked.txt").c_str(), 0444);
  chmod(tree.Path("locked-wide.txt").c_str(), 0444);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output, kBanner + Summary(0, tree.root()));
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
                            tree.Path("link-to-real") + "/a\r\n" +
                            Summary(1, ""));
  EXPECT_EQ(tree.Read("real/a"), "a");
}

struct ArgumentCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the tree's root
  std::string after_banner;       // "@" stands for the tree's root
  friend void PrintTo(const ArgumentCase& c, std::ostream* os) {
    *os << c.name;
  }
};

std::string Expand(std::string text, const std::string& root) {
  for (std::size_t at = text.find('@'); at != std::string::npos;
       at = text.find('@', at + root.size())) {
    text.replace(at, 1, root);
  }
  return text;
}

class ArgumentTest : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentTest, PrintsExactlyThisWithAKeyToHand) {
  TempTree tree;
  tree.Write("with space/x.txt", kMark + "x");
  tree.Write("key", "k");
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args)
    args.push_back(Expand(arg, tree.root()));
  ToolOptions options;
  options.input = tree.Path("key");
  const ToolRun run = RunTool(args, options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.output, kBanner + Expand(GetParam().after_banner, tree.root()));
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, ArgumentTest,
    testing::Values(
        ArgumentCase{"no_arguments", {}, kUsage},
        ArgumentCase{"empty_folder_with_quiet", {"", "/Q"}, kUsage},
        ArgumentCase{"folder_with_spaces_and_slash",
                     {"@/with space/", "/quiet"},
                     "successfully removed BOM of file @/with space/x.txt\r\n"
                     "number of removed BOM headers: 1\r\nready!\r\n"},
        ArgumentCase{"prompt_without_quiet",
                     {"@/with space"},
                     "successfully removed BOM of file @/with space/x.txt\r\n"
                     "number of removed BOM headers: 1\r\nready!\r\n" +
                         kPrompt},
        ArgumentCase{"missing_folder",
                     {"@/missing/", "x/qy"},
                     "no BOM headers found in @/missing/\r\nready!\r\n"},
        ArgumentCase{"file_as_folder",
                     {"@/key", "-Q"},
                     "no BOM headers found in @/key\r\nready!\r\n" + kPrompt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, KeyWaitEndsAtOnceWhenNoKeyCanArrive) {
  TempTree tree;
  const ToolRun run = RunTool({tree.root()});  // standard input is /dev/null
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output, kBanner + Summary(0, tree.root()) + kPrompt);
}

TEST(EndToEnd, KeyFromAPipeEndsTheWait) {
  ToolOptions options;
  options.input = "";
  options.pipe_input = "\n";
  const ToolRun run = RunTool({}, options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.output, kBanner + kUsage);
}

TEST(EndToEnd, KeyWaitSleepsUntilTheKeyComes) {
  ToolOptions options;
  options.input = "";
  options.pipe_input = "k";
  options.pipe_delay_ms = 1500;
  const ToolRun run = RunTool({}, options);
  EXPECT_EQ(run.output, kBanner + kUsage);
  // A polling loop would burn the whole wait; blocking uses next to nothing.
  EXPECT_LT(run.cpu_seconds, 0.5);
}

TEST(EndToEnd, SignalDuringTheKeyWaitEndsTheRunAtOnce) {
  TempTree tree;
  // Standard input stays open and silent; SIGINT comes after a second.
  const std::string command =
      "bash -c \"timeout --preserve-status -k 5 -s INT 1 '" +
      testing_support::ToolPath() + "' '" + tree.root() +
      "' < <(sleep 30) > /dev/null\"";
  const int status = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
}

TEST(EndToEnd, ClosedStandardStreamsDoNotCaptureFiles) {
  TempTree tree;
  tree.Write("f", kMark + "data");
  const std::string command = "exec 0<&- 1>&- 2>&-; '" +
                              testing_support::ToolPath() + "' '" +
                              tree.root() + "' /Q";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(tree.Read("f"), "data");
}

}  // namespace
}  // namespace sarnelux
