// Runs a representative walk once for every platform call it makes, with that
// one call failing or, for reads and writes, moving only part of its bytes,
// over files and listings that behave as on Windows and as on POSIX.
// Whatever fails, every file ends as it was or as it was minus its leading
// mark, a file is reported and counted as stripped only when it is, every
// line about a failed rewrite says what the disk holds, and nothing is left
// open or held.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <string>

#include "memory_world.h"
#include "printed_paths.h"
#include "run/run_driver.h"

namespace sarnelux {
namespace {

const std::string kRemoved = "successfully removed BOM of file ";

std::map<std::string, std::string> Originals() {
  return {
      {"C:\\t\\a.txt", kMark + "alpha"},
      {"C:\\t\\big.bin", kMark + Pattern(9000)},
      {"C:\\t\\buffer.bin", kMark + Pattern(4096)},
      {"C:\\t\\plain", "plain"},
      {"C:\\t\\wide", "\xFF\xFEw"},
      {"C:\\t\\empty", ""},
      {"C:\\t\\sub\\mark-only", kMark},
      {"C:\\t\\sub\\hidden", kMark + "hidden"},
      {"C:\\t\\sub\\ro", kMark + "read-only"},
      {"C:\\t\\sub\\twice", kMark + kMark + "2"},
  };
}

void Populate(MemoryPlatform& platform, bool posix) {
  if (posix) platform.SetPosixBehaviour();
  for (const auto& [path, bytes] : Originals()) platform.AddFile(path, bytes);
  platform.FileAt("C:\\t\\sub\\hidden").refuses_replace = true;
  platform.FileAt("C:\\t\\sub\\ro").read_only = true;
  // Memory for the smallest block only: big.bin is rewritten in three steps.
  platform.SetBlockLimit(4096 + 4);
  platform.SetArguments(CommandLine{true, "Sarnelux.exe C:\\t", {}});
  platform.QueueInput(InputEvent{true, 'k'});
}

bool MovesBytes(const PlatformCall& call) {
  return (call.kind == CallKind::kRead || call.kind == CallKind::kWrite) &&
         call.count > 1;
}

// Checks one faulty run; returns a description of what went wrong, or "".
// Rewritten in place, a file whose rewrite met one fault is put back whole.
// A limit that comes up after the rewrite has written past it may keep the
// undo from writing back what lies beyond, and a record that cannot state
// the undo keeps it from being written: only then may a file end damaged,
// and only with its original saved beside it (the record stays for the
// next run).
std::string CheckRun(MemoryPlatform& platform, const PlatformCall& faulty,
                     bool must_be_whole) {
  const auto originals = Originals();
  const std::string output = platform.output();
  auto holds = [&](const std::string& path, const std::string& bytes) {
    return platform.HasFile(path) && platform.FileAt(path).bytes == bytes;
  };
  std::set<std::string> stripped;
  std::set<std::string> damaged;  // only where the original is saved beside
  for (const std::string& path : platform.FilePaths()) {
    if (InStateFolder(platform, path)) continue;  // see CheckNextRun
    const std::string& now = platform.FileAt(path).bytes;
    auto original = originals.find(path);
    if (original == originals.end()) {
      // Only a copy of an original saved beside it may appear.
      const std::size_t cut = path.find(".bom-original");
      if (cut == std::string::npos ||
          originals.at(path.substr(0, cut)) != now) {
        return "unexpected file " + path;
      }
      continue;
    }
    if (now == original->second) continue;
    if (original->second.rfind(kMark, 0) == 0 &&
        now == original->second.substr(3)) {
      stripped.insert(path);
      continue;
    }
    damaged.insert(path);
  }
  if (platform.open_files() != 0 || platform.open_listings() != 0 ||
      platform.held_blocks() != 0) {
    return "left open or held";
  }
  // A lost console write garbles the lines; the files are what count then.
  if (faulty.kind == CallKind::kConsoleWrite) return "";
  for (const std::string& path : PathsNamed(output, "can not write file ")) {
    if (!holds(path, originals.at(path))) return "not put back: " + path;
  }
  for (const std::string& copy :
       PathsNamed(output, "can not write file, original bytes saved in ")) {
    const std::string path = copy.substr(0, copy.find(".bom-original"));
    if (!holds(copy, originals.at(path))) return "not saved: " + copy;
    if (!must_be_whole) damaged.erase(path);
  }
  if (!damaged.empty()) return "damaged " + *damaged.begin();
  const std::set<std::string> reported = PathsNamed(output, kRemoved);
  for (const std::string& path : reported) {
    if (stripped.count(path) == 0) return "reported but not stripped: " + path;
  }
  if (reported != stripped) return "stripped but not reported";
  const std::string count_line =
      stripped.empty() ? "no BOM headers found in C:\\t\r\n"
                       : "number of removed BOM headers: " +
                             std::to_string(stripped.size()) + "\r\n";
  if (output.find(count_line) == std::string::npos) {
    return "summary does not match";
  }
  return "";
}

// A record left behind (a file left damaged, or a record that could not be
// removed): the next run, on the files as they are, must make every file
// whole and leave no record.
std::string CheckNextRun(MemoryPlatform& platform, bool posix) {
  bool left = false;
  for (const std::string& path : platform.FilePaths()) {
    left = left || InStateFolder(platform, path);
  }
  if (!left) return "";
  MemoryPlatform next('\\');
  if (posix) next.SetPosixBehaviour();
  CopyFiles(platform, next);
  // Recovery alone: the folder it walks does not exist.
  next.SetArguments(CommandLine{true, "Sarnelux.exe C:\\none /Q", {}});
  RunProgram(next);
  const auto originals = Originals();
  for (const std::string& path : next.FilePaths()) {
    const std::string& now = next.FileAt(path).bytes;
    if (InStateFolder(next, path)) return "record left by the next run";
    auto original = originals.find(path);
    if (original == originals.end() || now == original->second ||
        (original->second.rfind(kMark, 0) == 0 &&
         now == original->second.substr(3))) {
      continue;
    }
    // A limit that tore a unit: refused, its original saved beside.
    if (next.output().find("can not repair file " + path + "\r\n") ==
            std::string::npos ||
        !next.HasFile(path + ".bom-original")) {
      return "not repaired by the next run: " + path;
    }
  }
  return "";
}

class FaultSweep : public testing::TestWithParam<bool> {};

TEST_P(FaultSweep, EveryCallFailingOnceLosesNothingAndClaimsNothing) {
  const bool posix = GetParam();
  MemoryPlatform baseline('\\');
  Populate(baseline, posix);
  ASSERT_EQ(RunProgram(baseline), 0);
  const std::vector<PlatformCall> calls = baseline.calls();
  ASSERT_GT(calls.size(), 50u);

  std::size_t injected = 0;
  for (std::size_t index = 0; index < calls.size(); ++index) {
    // Failing once, moving half its bytes, or, for a write, meeting a limit
    // halfway that every later write to the file meets too (ulimit -f), or
    // failing with the next write to the same file (a record's first and
    // second write).
    for (const char* how : {"failing", "cut short", "under a size limit",
                            "failing with the next write"}) {
      const bool twice = how[0] == 'f' && how[7] == ' ';
      const bool partial = how[0] != 'f';
      const bool limited = how[0] == 'u';
      if (partial && !MovesBytes(calls[index])) continue;
      if ((limited || twice) && calls[index].kind != CallKind::kWrite) continue;
      MemoryPlatform platform('\\');
      Populate(platform, posix);
      bool second_failed = false;
      platform.SetCallHook([&](std::size_t at, const PlatformCall& call) {
        Fault fault;
        if (twice && at > index && !second_failed &&
            call.kind == CallKind::kWrite && call.path == calls[index].path) {
          second_failed = true;
          fault.fail = true;
        } else if (at == index && limited) {
          // The rewrite's first write starts at the file's start.
          platform.FileAt(call.path).write_limit = call.count / 2;
        } else if (at == index) {
          fault.fail = !partial;
          fault.partial =
              partial ? static_cast<std::int32_t>(call.count / 2) : -1;
        }
        return fault;
      });
      EXPECT_EQ(RunProgram(platform), 0);
      ++injected;
      std::string problem = CheckRun(platform, calls[index],
                                     /*must_be_whole=*/!limited && !twice);
      if (problem.empty()) problem = CheckNextRun(platform, posix);
      EXPECT_EQ(problem, "")
          << "call " << index << " (" << static_cast<int>(calls[index].kind)
          << " " << calls[index].path << ") " << how;
    }
  }
  std::cout << "faults injected: " << injected << " over " << calls.size()
            << " platform calls\n";
  RecordProperty("faults_injected", static_cast<int>(injected));
}

INSTANTIATE_TEST_SUITE_P(FilesAndListings, FaultSweep, testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "as_on_posix" : "as_on_windows";
                         });

}  // namespace
}  // namespace sarnelux
