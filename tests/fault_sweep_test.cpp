// Runs a representative walk once for every platform call it makes, with that
// one call failing or, for reads and writes, moving only part of its bytes.
// Whatever fails, every file ends as it was or as it was minus its leading
// mark, a file is reported and counted as stripped only when it is, and
// nothing is left open or held.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <set>
#include <string>

#include "memory_world.h"
#include "run/run_driver.h"

namespace sarnelux {
namespace {

const std::string kRemoved = "successfully removed BOM of file ";

std::map<std::string, std::string> Originals() {
  return {
      {"C:\\t\\a.txt", kMark + "alpha"},
      {"C:\\t\\big.bin", kMark + std::string(9000, 'b')},
      {"C:\\t\\buffer.bin", kMark + std::string(4096, 'c')},
      {"C:\\t\\plain", "plain"},
      {"C:\\t\\wide", "\xFF\xFEw"},
      {"C:\\t\\empty", ""},
      {"C:\\t\\sub\\mark-only", kMark},
      {"C:\\t\\sub\\hidden", kMark + "hidden"},
      {"C:\\t\\sub\\ro", kMark + "read-only"},
      {"C:\\t\\sub\\twice", kMark + kMark + "2"},
  };
}

void Populate(MemoryPlatform& platform) {
  for (const auto& [path, bytes] : Originals()) platform.AddFile(path, bytes);
  platform.FileAt("C:\\t\\sub\\hidden").refuses_replace = true;
  platform.FileAt("C:\\t\\sub\\ro").read_only = true;
  platform.SetArguments(CommandLine{true, "Sarnelux.exe C:\\t", {}});
  platform.QueueInput(InputEvent{true, 'k'});
}

bool MovesBytes(const PlatformCall& call) {
  return (call.kind == CallKind::kRead || call.kind == CallKind::kWrite) &&
         call.count > 1;
}

// Checks one faulty run; returns a description of what went wrong, or "".
std::string CheckRun(MemoryPlatform& platform, const PlatformCall& faulty) {
  const auto originals = Originals();
  const std::string output = platform.output();
  std::set<std::string> stripped;
  for (const std::string& path : platform.FilePaths()) {
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
    return "damaged " + path;
  }
  if (platform.open_files() != 0 || platform.open_listings() != 0 ||
      platform.held_blocks() != 0) {
    return "left open or held";
  }
  // A lost console write garbles the lines; the files are what count then.
  if (faulty.kind == CallKind::kConsoleWrite) return "";
  std::set<std::string> reported;
  for (std::size_t at = output.find(kRemoved); at != std::string::npos;
       at = output.find(kRemoved, at + 1)) {
    const std::size_t start = at + kRemoved.size();
    reported.insert(output.substr(start, output.find("\r\n", start) - start));
  }
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

TEST(FaultSweep, EveryCallFailingOnceLosesNothingAndClaimsNothing) {
  MemoryPlatform baseline('\\');
  Populate(baseline);
  ASSERT_EQ(RunProgram(baseline), 0);
  const std::vector<PlatformCall> calls = baseline.calls();
  ASSERT_GT(calls.size(), 50u);

  std::size_t injected = 0;
  for (std::size_t index = 0; index < calls.size(); ++index) {
    for (bool partial : {false, true}) {
      if (partial && !MovesBytes(calls[index])) continue;
      MemoryPlatform platform('\\');
      Populate(platform);
      platform.SetCallHook([&](std::size_t at, const PlatformCall& call) {
        Fault fault;
        if (at == index) {
          fault.fail = !partial;
          fault.partial =
              partial ? static_cast<std::int32_t>(call.count / 2) : -1;
        }
        return fault;
      });
      EXPECT_EQ(RunProgram(platform), 0);
      ++injected;
      const std::string problem = CheckRun(platform, calls[index]);
      EXPECT_EQ(problem, "")
          << "call " << index << " (" << static_cast<int>(calls[index].kind)
          << " " << calls[index].path << ") "
          << (partial ? "cut short" : "failing");
    }
  }
  std::cout << "faults injected: " << injected << " over " << calls.size()
            << " platform calls\n";
  RecordProperty("faults_injected", static_cast<int>(injected));
}

}  // namespace
}  // namespace sarnelux
