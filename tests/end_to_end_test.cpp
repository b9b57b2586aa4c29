// The built program on real folder trees: its whole output, byte for byte,
// its exit status, and every file afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
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
using testing_support::ListingOrder;
using testing_support::RunTool;
using testing_support::StartsWith;
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
  // A project that declares its marks, and one with version control and
  // vendored code.
  tree.Write(
      "proj/.editorconfig",
      "root = true\n[*]\ncharset = utf-8\n[*.cs]\ncharset = utf-8-bom\n");
  tree.Write("proj/src/marked.cs", kMark + "class A {}");
  tree.Write("proj/src/bare.cs", "class B {}");
  tree.Write("proj/src/marked.txt", kMark + "text");
  tree.Write("proj/legacy/.editorconfig", "[*.cs]\ncharset = latin1\n");
  tree.Write("proj/legacy/old.cs", kMark + "old");
  tree.Write("proj/inner/.editorconfig",
             "root = true\n[*.txt]\ncharset = utf-8-bom\n");
  tree.Write("proj/inner/x.cs", kMark + "x");
  tree.Write("proj/inner/y.txt", kMark + "y");
  tree.Write("proj/bad/.editorconfig", "[*.cs\ncharset = utf-8-bom\n");
  tree.Write("proj/bad/w.cs", kMark + "w");
  mkdir(tree.Path("proj/broken").c_str(), 0755);
  mkdir(tree.Path("proj/broken/.editorconfig").c_str(), 0755);
  tree.Write("proj/broken/z.cs", kMark + "z");
  tree.Write("vcs/.git/HEAD", kMark + "ref");
  tree.Write("vcs/node_modules/m/i.js", kMark + "i");
  tree.Write("vcs/src/a.cs", kMark + "a");
  tree.Write("vcs/src/b.txt", kMark + "b");
  tree.Write("vcs/named.txt", kMark + "n");
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
// --version names the parts the build could leave out.
#ifdef SARNELUX_GATE_PIPELINE
#define kGateLine "gate pipeline: io_uring\n"
#else
#define kGateLine \
  "gate pipeline: not built in (built without liburing): read-ahead only\n"
#endif
#ifdef SARNELUX_RECORD_HASH_AVX2
#define kHashLine "record hash: XXH3, with AVX2 where the processor has it\n"
#else
#define kHashLine "record hash: XXH3\n"
#endif
#ifdef SARNELUX_HAVE_EDITORCONFIG
#define kEditorconfigLine "editorconfig: libeditorconfig\n"
#else
#define kEditorconfigLine "editorconfig: not built in\n"
#endif

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
        // .editorconfig: utf-8-bom keeps its mark, and is told missing.
        ArgumentCase{"editorconfig_keeps_declared_mark",
                     {"-W", "--editorconfig", "@/proj/src/marked.cs",
                      "@/proj/src/marked.txt"},
                     "successfully removed BOM of file @/proj/src/marked.txt\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"proj/src/marked.txt"}},
        ArgumentCase{"without_editorconfig_as_before",
                     {"@/proj/src/marked.cs", "/Q"},
                     "successfully removed BOM of file @/proj/src/marked.cs\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"proj/src/marked.cs"}},
        ArgumentCase{"editorconfig_list_tells_declared_mark_missing",
                     {"-l", "--editorconfig", "@/proj/src/marked.cs",
                      "@/proj/src/bare.cs", "@/proj/src/marked.txt"},
                     "no BOM in file @/proj/src/bare.cs, which .editorconfig "
                     "declares utf-8-bom\n"
                     "found BOM in file @/proj/src/marked.txt\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"editorconfig_list_of_kept_mark_finds_nothing",
                     {"@/proj/src/marked.cs", "/L/E"},
                     "no BOM headers found in @/proj/src/marked.cs\nready!\n",
                     "",
                     0},
        ArgumentCase{"editorconfig_strip_leaves_missing_mark_alone",
                     {"--editorconfig", "@/proj/src/bare.cs"},
                     "no BOM headers found in @/proj/src/bare.cs\nready!\n",
                     "",
                     0},
        ArgumentCase{"nested_editorconfig_overrides",
                     {"-W", "--editorconfig", "@/proj/legacy/old.cs"},
                     "successfully removed BOM of file @/proj/legacy/old.cs\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"proj/legacy/old.cs"}},
        ArgumentCase{
            "nested_root_editorconfig_stops_the_search",
            {"-W", "--editorconfig", "@/proj/inner/x.cs", "@/proj/inner/y.txt"},
            "successfully removed BOM of file @/proj/inner/x.cs\n"
            "number of removed BOM headers: 1\nready!\n",
            "",
            0,
            {"proj/inner/x.cs"}},
        ArgumentCase{"unreadable_editorconfig_is_told_not_guessed",
                     {"-W", "--editorconfig", "@/proj/broken/z.cs"},
                     "no BOM headers found in @/proj/broken/z.cs\nready!\n",
                     "sarnelux: @/proj/broken/z.cs: "
                     "@/proj/broken/.editorconfig: Is a directory\n",
                     2},
        ArgumentCase{"unparsable_editorconfig_is_told_not_guessed",
                     {"-l", "--editorconfig", "@/proj/bad/w.cs"},
                     "no BOM headers found in @/proj/bad/w.cs\nready!\n",
                     "sarnelux: @/proj/bad/w.cs: @/proj/bad/.editorconfig: "
                     "cannot be parsed at line 1\n",
                     2},
        // Patterns: skipped folders and files, and named files examined.
        ArgumentCase{"patterns_list_only_what_they_choose",
                     {"-l", "--exclude-vcs", "--exclude-dir=node_modules",
                      "--include=*.cs", "@/vcs"},
                     "found BOM in file @/vcs/src/a.cs\n"
                     "number of found BOM headers: 1\nready!\n",
                     "",
                     1},
        ArgumentCase{"patterns_strip_only_what_they_choose",
                     {"-W", "--exclude-vcs", "--exclude-dir", "node_*",
                      "--exclude", "*.txt", "@/vcs"},
                     "successfully removed BOM of file @/vcs/src/a.cs\n"
                     "number of removed BOM headers: 1\nready!\n",
                     "",
                     0,
                     {"vcs/src/a.cs"}},
        ArgumentCase{"named_files_are_examined_whatever_the_patterns",
                     {"-W", "--exclude=*.txt", "--exclude-vcs",
                      "@/vcs/named.txt", "@/vcs/.git/HEAD"},
                     "successfully removed BOM of file @/vcs/named.txt\n"
                     "successfully removed BOM of file @/vcs/.git/HEAD\n"
                     "number of removed BOM headers: 2\nready!\n",
                     "",
                     0,
                     {"vcs/named.txt", "vcs/.git/HEAD"}},
        ArgumentCase{
            "pattern_option_without_its_value",
            {"@/vcs", "--exclude"},
            "-",
            "sarnelux: option '--exclude' requires an argument\n" + kTryHelp,
            2},
        ArgumentCase{"version",
                     {"--version", "@"},
                     "=sarnelux " SARNELUX_VERSION
                     "\n" kGateLine kHashLine kEditorconfigLine,
                     "",
                     0},
        // Output for hooks and scripts.
        ArgumentCase{"several_paths_one_summary",
                     {"-W", "@/key", "@/key", "@/missing"},
                     "no BOM headers found in 3 paths\nready!\n",
                     "sarnelux: @/missing: No such file or directory\n",
                     2},
        ArgumentCase{"quiet_strip_names_only_the_file_changed",
                     {"-q", "@/with space", "@/key"},
                     "=successfully removed BOM of file @/with space/x.txt\n",
                     "",
                     0,
                     {"with space/x.txt"}},
        ArgumentCase{"quiet_clean_list_prints_nothing",
                     {"--quiet", "--list", "@/key"},
                     "=",
                     "",
                     0},
        ArgumentCase{"null_list_names_raw",
                     {"-lZ", "@/with space", "@/lib"},
                     "=@/with space/x.txt" + std::string(1, '\0') +
                         "@/lib/lua/y.lua" + std::string(1, '\0'),
                     "",
                     1},
        ArgumentCase{"null_strip_names_the_files_stripped",
                     {"--null", "--", "@/lib/lua/y.lua", "@/key"},
                     "=@/lib/lua/y.lua" + std::string(1, '\0'),
                     "",
                     0,
                     {"lib/lua/y.lua"}}),
    [](const auto& info) { return std::string(info.param.name); });

// What a shell pipeline prints on its standard output, and its status.
std::string PipelineOutput(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, got);
  }
  const int ended = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
  return output;
}

// pre-commit takes the hooks from a repository as a clone of it has them:
// here one holding this checkout's hooks file, committed, with the program
// under test on the path as the installed sarnelux.
TEST(EndToEnd, PreCommitTriesTheHookRepository) {
  if (std::system("command -v pre-commit >/dev/null 2>&1") != 0 ||
      std::system("command -v git >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pre-commit or git is not installed (bash scripts/test "
                    "installs both)";
  }
  TempTree work;
  const std::string hooks = work.Path("hooks");
  const std::string bin = work.Path("bin");
  const std::string scratch = work.Path("scratch");
  mkdir(bin.c_str(), 0755);
  ASSERT_EQ(
      symlink(testing_support::ToolPath().c_str(), (bin + "/sarnelux").c_str()),
      0);
  std::ifstream hooks_file(SARNELUX_SOURCE_DIR "/.pre-commit-hooks.yaml",
                           std::ios::binary);
  ASSERT_TRUE(hooks_file.good());
  work.Write("hooks/.pre-commit-hooks.yaml",
             std::string(std::istreambuf_iterator<char>(hooks_file), {}));
  work.Write("scratch/a.txt", kMark + "a\n");
  work.Write("scratch/-x.txt", kMark + "x\n");
  work.Write("scratch/b.txt", "b\n");
  const std::string git = "git -c user.name=t -c user.email=t@t.invalid ";
  const std::string setup = "cd '" + hooks + "' && " + git + "init -q && " +
                            git + "add . && " + git +
                            "commit -qm hooks && cd '" + scratch + "' && " +
                            git + "init -q && " + git + "add . 2>&1";
  int status = -1;
  PipelineOutput(setup, &status);
  ASSERT_EQ(status, 0);
  const std::string try_repo =
      "cd '" + scratch + "' && PATH='" + bin + "':$PATH PRE_COMMIT_HOME='" +
      work.Path("cache") + "' pre-commit try-repo ../hooks ";
  const std::string checked =
      PipelineOutput(try_repo + "no-utf8-bom 2>&1", &status);
  EXPECT_EQ(status, 1) << checked;
  EXPECT_NE(checked.find("\nfound BOM in file a.txt\n"), std::string::npos)
      << checked;
  EXPECT_NE(checked.find("\nfound BOM in file -x.txt\n"), std::string::npos)
      << checked;
  EXPECT_EQ(checked.find("b.txt"), std::string::npos) << checked;
  EXPECT_EQ(checked.find("ready!"), std::string::npos) << checked;
  const std::string fixed =
      PipelineOutput(try_repo + "strip-utf8-bom 2>&1", &status);
  EXPECT_EQ(status, 1) << fixed;  // files changed: the commit must stop
  EXPECT_EQ(work.Read("scratch/a.txt"), "a\n");
  EXPECT_EQ(work.Read("scratch/-x.txt"), "x\n");
  // The fixed files staged, as the user then does: the check passes.
  PipelineOutput(
      "cd '" + scratch + "' && git add . && " + try_repo + "no-utf8-bom 2>&1",
      &status);
  EXPECT_EQ(status, 0);
}

TEST(EndToEnd, NullNamesGoThroughXargsWithANewlineInAName) {
  TempTree tree;
  tree.Write("new\nline.txt", kMark + "N");
  tree.Write("new\nplain.txt", "P");
  const std::string tool = testing_support::ToolPath();
  const ToolRun listed = RunTool({"-lZ", tree.root()});
  EXPECT_EQ(listed.output, tree.Path("new\nline.txt") + std::string(1, '\0'));
  EXPECT_EQ(listed.exit_status, 1);
  const std::string pipeline = "'" + tool + "' -lZ '" + tree.root() +
                               "' | xargs -0 cat; '" + tool + "' -Z '" +
                               tree.root() + "' | xargs -0 cat";
  // The marked file's bytes as listed, then as stripped: xargs took the
  // name back whole, newline and all.
  EXPECT_EQ(PipelineOutput(pipeline), kMark + "N" + "N");
  EXPECT_EQ(tree.Read("new\nplain.txt"), "P");
}

// A tree whose list fills a pipe's or a terminal's buffer: a run whose
// output nobody reads for a while stalls, and so goes on past a second
// without depending on how fast the machine is.
constexpr int kLongListing = 3000;
const std::string kLongSummary = "number of found BOM headers: 3000\n";
void BuildLongListing(const TempTree& tree) {
  for (int i = 0; i < kLongListing; ++i) {
    std::string name = "f";
    name.append(std::to_string(i));
    tree.Write(name, kMark);
  }
}

std::string ReadToEnd(int fd) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) {
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  close(fd);
  return bytes;
}

TEST(EndToEnd, ProgressShowsOnATerminalAndIsTakenAwayAtTheEnd) {
  TempTree tree;
  BuildLongListing(tree);
  testing_support::TerminalRun terminal({"-lW", tree.root()}, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(terminal.WaitForText("ready!", 20000));
  const ToolRun run = terminal.Wait(20000);
  EXPECT_EQ(run.exit_status, 1);
  const std::string& shown = terminal.shown();
  const std::size_t last = shown.rfind("\rsarnelux: ");
  ASSERT_NE(last, std::string::npos) << "no progress shown";
  const std::size_t end = shown.find("\x1b[K", last);
  ASSERT_NE(end, std::string::npos);
  EXPECT_TRUE(shown.substr(last, end - last).ends_with(" marks found"))
      << shown.substr(last, end - last);
  EXPECT_NE(shown.find(" files examined, ", last), std::string::npos);
  // Erased before anything else reaches the terminal.
  EXPECT_EQ(shown.substr(end + 3, 4), "\r\x1b[K");
  EXPECT_NE(shown.find(kLongSummary.substr(0, kLongSummary.size() - 1)),
            std::string::npos);
}

TEST(EndToEnd, ProgressNeverReachesAPipe) {
  TempTree tree;
  BuildLongListing(tree);
  int out_fd = -1;
  int err_fd = -1;
  const pid_t pid =
      testing_support::StartTool({"-lW", tree.root()}, out_fd, &err_fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const std::string output = ReadToEnd(out_fd);
  const std::string errors = ReadToEnd(err_fd);
  const ToolRun run = testing_support::WaitTool(pid, 20000);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(output.find('\r'), std::string::npos);
  EXPECT_TRUE(output.ends_with("number of found BOM headers: " +
                               std::to_string(kLongListing) + "\nready!\n"));
}

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

// The lines a walk of the tree prints, in the order the system lists each
// folder: line_for says what a file's line is ("" for none), skip which
// folders are not entered.
void LinesInListingOrder(
    const std::string& folder,
    const std::function<std::string(const std::string&)>& line_for,
    const std::set<std::string>& skip, std::string& lines) {
  for (const std::string& name : ListingOrder(folder)) {
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (skip.count(name) == 0)
        LinesInListingOrder(path, line_for, skip, lines);
    } else {
      lines += line_for(path);
    }
  }
}

// A .NET checkout as Visual Studio leaves it: its .editorconfig asks for
// the mark on C# sources and for none elsewhere.
TEST(EndToEnd, DotNetCheckoutKeepsTheMarksItsEditorconfigDeclares) {
  TempTree tree;
  tree.Write(".editorconfig",
             "root = true\n\n[*]\ncharset = utf-8\nend_of_line = crlf\n\n"
             "[*.cs]\ncharset = utf-8-bom\nindent_size = 4\n");
  tree.Write("App.sln",
             kMark + "\r\nMicrosoft Visual Studio Solution File\r\n");
  tree.Write("src/App/Program.cs", kMark + "using System;\r\n");
  tree.Write("src/App/Models/Order.cs", kMark + "namespace App;\r\n");
  tree.Write("src/App/App.csproj", kMark + "<Project Sdk=\"x\">\r\n");
  tree.Write("src/App/appsettings.json", kMark + "{}\r\n");
  tree.Write("src/App/Resources.resx", kMark + "<root/>\r\n");
  tree.Write("README.md", kMark + "# App\r\n");
  tree.Write(".git/config", kMark + "[core]\n");
  tree.Write("bin/Debug/App.deps.json", kMark + "{}");
  const auto before = tree.Snapshot();
  std::set<std::string> keep = {".git/config"};
  for (const auto& [path, bytes] : before) {
    if (path.ends_with(".cs")) keep.insert(path);
  }

  const ToolRun run = RunTool({"-W", "--editorconfig", "--exclude-vcs",
                               "--exclude-dir=bin", tree.root()});
  std::string lines;
  int removed = 0;
  LinesInListingOrder(
      tree.root(),
      [&](const std::string& path) {
        const std::string& bytes =
            before.at(path.substr(tree.root().size() + 1));
        if (!StartsWith(bytes, kMark) || path.ends_with(".cs"))
          return std::string();
        ++removed;
        return kRemoved + path + "\n";
      },
      {".git", "bin"}, lines);
  keep.insert("bin/Debug/App.deps.json");
  EXPECT_EQ(removed, 5);
  EXPECT_EQ(run.output, kBanner + lines + Summary(removed, tree.root()));
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(tree.Snapshot(), Stripped(before, keep));

  // Listed again, the checkout is as its .editorconfig says.
  const ToolRun check = RunTool({"--list", "--editorconfig", "--exclude-vcs",
                                 "--exclude-dir=bin", tree.root()});
  EXPECT_EQ(check.output, kBanner + Summary(0, tree.root()));
  EXPECT_EQ(check.exit_status, 0);
  // A C# file that lost its mark meanwhile is told, and fails the check.
  tree.Write("src/App/Program.cs", "using System;\r\n");
  const ToolRun lost = RunTool({"--list", "--editorconfig", "--exclude-vcs",
                                "--exclude-dir=bin", tree.Path("src/App")});
  EXPECT_EQ(lost.exit_status, 1);
  EXPECT_NE(
      lost.output.find("no BOM in file " + tree.Path("src/App/Program.cs") +
                       ", which .editorconfig declares utf-8-bom\n"),
      std::string::npos);
}

// The library is asked once for each set of sections a name is picked by:
// every answer must be the one it gives when asked for every file, for
// names that sections pick or miss by a letter's case, a brace, a second
// dot, and below an .editorconfig that begins with a mark of its own.
TEST(EndToEnd, EditorconfigAnswersAreTheLibrarysForEveryFile) {
  TempTree tree;
  tree.Write(".editorconfig",
             "root = true\n[*.cs]\ncharset = utf-8-bom\n"
             "[{Makefile,GNUmakefile}]\ncharset = utf-8-bom\n"
             "[*.{json,yml}]\ncharset = utf-8-bom\n[**.md]\n"
             "charset=utf-8-bom\n[*]\nindent_style = tab\n");
  tree.Write("sub/.editorconfig", kMark + "[*.txt]\ncharset = utf-8-bom\n");
  tree.Write("path/.editorconfig", "[path/*.txt]\ncharset = utf-8-bom\n");
  for (const char* folder : {"", "sub/", "path/", "path/path/"}) {
    for (const char* name :
         {"a.cs", "A.CS", "b.Cs", ".cs", "x.json", "y.yml", "z.yaml",
          "Makefile", "makefile", "GNUmakefile", "README.md", "notes.md.txt",
          "a.cs.bak", "plain"}) {
      tree.Write(std::string(folder) + name, "x");
    }
  }
  const std::vector<std::string> list = {"--list", "--editorconfig",
                                         tree.root()};
  ToolOptions every_file;
  every_file.environment = {"SARNELUX_EDITORCONFIG_CACHE=0"};
  const ToolRun asked = RunTool(list, every_file);
  const ToolRun cached = RunTool(list);
  EXPECT_EQ(cached.output, asked.output);
  EXPECT_EQ(cached.errors, asked.errors);
  EXPECT_EQ(cached.exit_status, asked.exit_status);
  // Sure of what the library says: the .cs file and the .txt below the
  // marked .editorconfig are declared, the upper-case one is not.
  for (const char* declared :
       {"a.cs", "sub/notes.md.txt", "path/path/x.json"}) {
    EXPECT_NE(asked.output.find("no BOM in file " + tree.Path(declared) + ","),
              std::string::npos)
        << declared;
  }
  EXPECT_EQ(asked.output.find(tree.Path("A.CS") + ","), std::string::npos);
}

}  // namespace
}  // namespace sarnelux
