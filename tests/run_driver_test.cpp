#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "memory_world.h"
#include "run/program_texts.h"

namespace sarnelux {
namespace {

const std::string kBanner =
    Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", ""});
const std::string kUsage =
    Lines({"Usage: Sarnelux.exe \"path\" {/Q}",
           "you need to specify the path of the folder to examine",
           "add /Q to quit without keypress", "Press a key to continue..."});
const std::string kPrompt = Lines({"Press a key to continue..."});

struct RunCase {
  const char* name;
  std::string command_line;  // as Windows hands it over, program included
  std::string output;  // after the banner; "=" and a text: that, no banner
  bool waits_for_key;
  int status = 0;
  std::string errors = "";  // the diagnostics, in the console too

  friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

class RunTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunTest, PrintsExactlyThisAndEndsWithStatusZero) {
  const RunCase& c = GetParam();
  MemoryPlatform platform('\\');
  platform.AddFile("C:\\t\\one.txt", kMark + "1");
  platform.AddFile("C:\\t\\sub\\two.txt", kMark + "2");
  platform.AddFile("C:\\t\\three.txt", kMark + "3");
  platform.AddFile("C:\\t\\plain.txt", "plain");
  platform.AddFile("C:\\w\\wide.txt", "\xFF\xFEw");
  platform.AddFile("C:\\h\\held.txt", kMark + "h").held_by_other = true;
  platform.SetArguments(CommandLine{true, c.command_line, {}});
  platform.QueueInput(InputEvent{true, 'k'});
  EXPECT_EQ(RunProgram(platform), c.status);
  EXPECT_EQ(platform.output(),
            c.output.starts_with("=") ? c.output.substr(1)
            : c.output.starts_with("Usage: Sarnelux.exe \"path\" {/Q} {/L}")
                ? c.output
                : kBanner + c.output);
  EXPECT_EQ(platform.errors(), c.errors);
  // The one queued key is taken only by a key wait.
  EXPECT_EQ(platform.ConsolePendingEvents(), c.waits_for_key ? 0 : 1);
  EXPECT_EQ(platform.open_files(), 0u);
  EXPECT_EQ(platform.held_blocks(), 0u);
  EXPECT_EQ(platform.console_closes(), 1);
  EXPECT_FALSE(platform.has_event_handler());
}

const std::string kRemoved = "successfully removed BOM of file ";

// The whole output, banner or none ("=" marks it so in the table).
std::string Exactly(const std::string& output) {
  std::string marked = "=";
  marked.append(output);
  return marked;
}

// Names each ended by a NUL, as the names form writes them.
std::string NulEnded(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) {
    joined.append(name);
    joined.push_back('\0');
  }
  return joined;
}

// The help's lines after its first, as the program has them.
std::string HelpTail() {
  std::string tail;
  const TextLines lines = HelpLines(ArgumentStyle::kClassic);
  for (std::size_t i = 1; i < lines.size(); ++i) tail += lines[i] + "\r\n";
  return tail;
}

INSTANTIATE_TEST_SUITE_P(
    Run, RunTest,
    testing::Values(
        RunCase{"no_arguments", "Sarnelux.exe", kUsage, true},
        RunCase{"empty_folder_despite_quiet", "Sarnelux.exe \"\" /Q", kUsage,
                true},
        RunCase{"three_marks_quiet", "Sarnelux.exe C:\\t /q",
                Lines({kRemoved + "C:\\t\\one.txt",
                       kRemoved + "C:\\t\\sub\\two.txt",
                       kRemoved + "C:\\t\\three.txt",
                       "number of removed BOM headers: 3", "ready!"}),
                false},
        RunCase{"other_mark_only", "Sarnelux.exe C:\\w\\ /Q",
                Lines({"no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "no BOM headers found in C:\\w\\", "ready!"}),
                false},
        RunCase{
            "missing_folder_prompts", "Sarnelux.exe C:\\nowhere",
            Lines({"no BOM headers found in C:\\nowhere", "ready!"}) + kPrompt,
            true},
        RunCase{"only_quiet_switch_is_the_folder", "Sarnelux.exe /Q",
                Lines({"no BOM headers found in /Q", "ready!"}) + kPrompt,
                true},
        RunCase{"dash_q_is_not_quiet", "Sarnelux.exe C:\\w -Q",
                Lines({"no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "no BOM headers found in C:\\w", "ready!"}) +
                    kPrompt,
                true},
        RunCase{"list_only_finds_three", "Sarnelux.exe C:\\t /q/l",
                Lines({"found BOM in file C:\\t\\one.txt",
                       "found BOM in file C:\\t\\sub\\two.txt",
                       "found BOM in file C:\\t\\three.txt",
                       "number of found BOM headers: 3", "ready!"}),
                false, 1},
        RunCase{"list_only_finds_none", "Sarnelux.exe C:\\w /L",
                Lines({"no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "no BOM headers found in C:\\w", "ready!"}) +
                    kPrompt,
                true, 0},
        // A file that cannot be examined: said, and status 2, in list-only
        // runs; a run that strips passes over it and ends with 0.
        RunCase{"list_only_tells_what_it_could_not_examine",
                "Sarnelux.exe C:\\h /L/Q",
                Lines({"no BOM headers found in C:\\h", "ready!"}), false, 2,
                Lines({"sarnelux: C:\\h\\held.txt: held by another program"})},
        RunCase{"strip_run_stays_silent_about_it", "Sarnelux.exe C:\\h /Q",
                Lines({"no BOM headers found in C:\\h", "ready!"}), false},
        // A program that cannot read .editorconfig strips no mark a project
        // may mean to keep: it refuses, and the window waits to be read.
        RunCase{"editorconfig_refused_where_it_cannot_be_read",
                "Sarnelux.exe C:\\t /E", kPrompt, true, 2,
                Lines({NoEditorconfigLine()})},
        RunCase{"list_only_missing_folder", "Sarnelux.exe C:\\nowhere /L/Q",
                Lines({"no BOM headers found in C:\\nowhere", "ready!"}), false,
                2, Lines({"sarnelux: C:\\nowhere: No such file or directory"})},
        RunCase{"help_neither_walks_nor_waits", "Sarnelux.exe /? /L",
                "Usage: Sarnelux.exe \"path\" {/Q} {/L} {/D}\r\n" + HelpTail(),
                false},
        // The POSIX spelling, as a hook written for the POSIX program
        // passes it: files as operands, its statuses and diagnostics.
        RunCase{"posix_spelling_lists_the_files_given",
                "Sarnelux.exe --list --no-wait -- C:\\t\\one.txt "
                "\"C:\\w\\wide.txt\" C:\\t\\plain.txt",
                Lines({"found BOM in file C:\\t\\one.txt",
                       "no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "number of found BOM headers: 1", "ready!"}),
                false, 1},
        RunCase{"posix_spelling_strips_the_files_given",
                "Sarnelux.exe --no-wait -- C:\\t\\one.txt C:\\t\\sub\\two.txt",
                Lines({kRemoved + "C:\\t\\one.txt",
                       kRemoved + "C:\\t\\sub\\two.txt",
                       "number of removed BOM headers: 2", "ready!"}),
                false},
        RunCase{"posix_spelling_strip_tells_and_fails",
                "Sarnelux.exe -W C:\\h\\held.txt C:\\w",
                Lines({"no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "no BOM headers found in 2 paths", "ready!"}),
                false, 2,
                Lines({"sarnelux: C:\\h\\held.txt: held by another program"})},
        RunCase{"posix_spelling_waits_without_no_wait", "Sarnelux.exe -- C:\\w",
                Lines({"no valid utf-8 BOM in file C:\\w\\wide.txt",
                       "no BOM headers found in C:\\w", "ready!"}) +
                    kPrompt,
                true},
        RunCase{"unknown_option_first_is_a_classic_folder",
                "Sarnelux.exe -x /Q",
                Lines({"no BOM headers found in -x", "ready!"}), false},
        RunCase{"quiet_keeps_only_files_changed",
                "Sarnelux.exe -q C:\\w C:\\t C:\\h",
                Exactly(Lines({kRemoved + "C:\\t\\one.txt",
                               kRemoved + "C:\\t\\sub\\two.txt",
                               kRemoved + "C:\\t\\three.txt"})),
                false, 2,
                Lines({"sarnelux: C:\\h\\held.txt: held by another program"})},
        RunCase{"quiet_clean_run_prints_nothing",
                "Sarnelux.exe --quiet -l C:\\w", "=", false},
        RunCase{"null_names_only_the_files_found",
                "Sarnelux.exe -lZ C:\\w C:\\t",
                Exactly(NulEnded({"C:\\t\\one.txt", "C:\\t\\sub\\two.txt",
                                  "C:\\t\\three.txt"})),
                false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Progress, with a clock that moves by a fixed step at every reading: the
// walk reads it once every RunProgress::kFilesPerLook files, the rewrite
// once per block it moves.
struct ProgressCase {
  const char* name;
  std::string command_line;
  bool showable;  // standard error a terminal, or a console of its own
  std::int64_t clock_step_ms;
  std::vector<std::string> shown;
  int status = 1;
  friend void PrintTo(const ProgressCase& c, std::ostream* os) {
    *os << c.name;
  }
};

class ProgressTest : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressTest, ShowsHowFarOnlyPastASecondAndOnlyWhereWatched) {
  const ProgressCase& c = GetParam();
  MemoryPlatform platform('\\');
  for (int i = 0; i < 200; ++i) {
    platform.AddFile("C:\\many\\f" + std::to_string(1000 + i),
                     i == 150 ? kMark + "m" : "plain");
  }
  platform.AddFile("C:\\big\\big.bin", kMark + std::string(5 << 20, 'b'));
  platform.SetArguments(CommandLine{true, c.command_line, {}});
  platform.SetProgressShowable(c.showable);
  platform.SetClockStep(c.clock_step_ms);
  EXPECT_EQ(RunProgram(platform), c.status);
  EXPECT_EQ(platform.progress(), c.shown);
  // None of it went to the output or the diagnostics.
  EXPECT_EQ(platform.output().find("examined"), std::string::npos);
  EXPECT_EQ(platform.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Run, ProgressTest,
    testing::Values(
        // Started at 400 ms, looked at after 64, 128 and 192 files: the
        // third look is past a second, and the end takes the line away.
        ProgressCase{"many_files_listed",
                     "s.exe -lW C:\\many",
                     true,
                     400,
                     {"sarnelux: 192 files examined, 1 mark found", ""}},
        ProgressCase{
            "quick_run_shows_nothing", "s.exe -lW C:\\many", true, 4, {}},
        ProgressCase{
            "nowhere_to_show_it", "s.exe -lW C:\\many", false, 400, {}},
        ProgressCase{
            "quiet_shows_nothing", "s.exe -qlW C:\\many", true, 400, {}},
        // A big file: one look per 1 MiB block moved, the third past a
        // second, the fourth a redraw.
        ProgressCase{"inside_a_big_file",
                     "s.exe -W C:\\big",
                     true,
                     400,
                     {"sarnelux: 1 file examined, 0 marks removed, rewriting "
                      "3.0 MiB of 5.0 MiB",
                      "sarnelux: 1 file examined, 0 marks removed, rewriting "
                      "4.0 MiB of 5.0 MiB",
                      ""},
                     0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Run, ListOnlyOpensNothingForWritingAndLoadsNoFile) {
  MemoryPlatform platform('\\');
  platform.AddFile("C:\\t\\one.txt", kMark + "1");
  platform.AddFile("C:\\t\\wide.txt", "\xFF\xFEw");
  platform.AddFile("C:\\t\\ro.txt", kMark + "ro").read_only = true;
  platform.SetArguments(CommandLine{true, "s C:\\t /L/Q", {}});
  EXPECT_EQ(RunProgram(platform), 1);
  for (const PlatformCall& call : platform.calls()) {
    EXPECT_NE(call.kind, CallKind::kBlockAllocate);
    EXPECT_NE(call.kind, CallKind::kWrite);
    if (call.kind == CallKind::kOpen) {
      EXPECT_EQ(call.disposition, OpenDisposition::kReadExisting) << call.path;
    }
  }
  EXPECT_EQ(platform.FileAt("C:\\t\\one.txt").bytes, kMark + "1");
}

TEST(Run, SecondRunFindsNothingLeft) {
  MemoryPlatform platform('\\');
  platform.AddFile("C:\\t\\x", kMark + kMark + "x");
  platform.SetArguments(CommandLine{true, "s C:\\t /Q", {}});
  RunProgram(platform);
  RunProgram(platform);
  EXPECT_EQ(platform.FileAt("C:\\t\\x").bytes, "x");
  RunProgram(platform);
  EXPECT_TRUE(platform.output().ends_with(
      "\r\nno BOM headers found in C:\\t\r\nready!\r\n"));
}

}  // namespace
}  // namespace sarnelux
