// A run ended at any platform call, outright (every call from there on
// fails, as for SIGKILL) or by a power loss (with /D), leaves its files in
// some state; the next run must make each file exactly its original or
// exactly its original minus the mark, and leave no record behind.
//
// After a kill, each 4 KiB unit the last call wrote holds either what it
// held before or what the call wrote, and a cut leaves either length.
// After a power loss, each unit of every file holds what was last flushed or
// what was written since, again with either length.
#include "rewrite/rewrite_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "memory_world.h"
#include "printed_paths.h"
#include "run/run_driver.h"

namespace sarnelux {
namespace {

using Files = std::map<std::string, std::string>;

const Files kOriginals = {
    {"t/big", kMark + Pattern(5 * 4096 + 1000)},
    {"t/small", kMark + "abc"},
    {"t/mark", kMark},
    {"t/twice", kMark + kMark + Pattern(5000)},
    {"t/plain", Pattern(100)},
};

void Populate(MemoryPlatform& platform, const std::string& switches) {
  for (const auto& [path, bytes] : kOriginals) platform.AddFile(path, bytes);
  // Memory for the smallest block only: big is rewritten in six regions.
  platform.SetBlockLimit(4096 + 4);
  platform.SetArguments(CommandLine{true, "Sarnelux.exe t " + switches, {}});
}

// Every file's bytes, or what a power loss could not take from them.
Files Snapshot(MemoryPlatform& platform, bool durable_only = false) {
  Files files;
  for (const std::string& path : platform.FilePaths()) {
    const MemoryPlatform::File& file = platform.FileAt(path);
    files[path] = durable_only ? file.durable : file.bytes;
  }
  return files;
}

// Each unit from one side or the other, at one side's length.
std::string Mix(const std::string& a, const std::string& b,
                std::mt19937& random) {
  if (a == b) return a;
  std::string mixed = random() % 2 ? a : b;
  for (std::size_t at = 0; at < mixed.size(); at += kRecordUnit) {
    const std::string& from = random() % 2 ? a : b;
    for (std::size_t i = at; i < at + kRecordUnit && i < mixed.size(); ++i) {
      if (i < from.size()) mixed[i] = from[i];
    }
  }
  return mixed;
}

// The next run on these files, with these arguments, ended at its call
// `end_at` (every call from there on fails, as for SIGKILL; -1: never).
MemoryPlatform& NextRun(MemoryPlatform& next, const Files& files,
                        const std::string& args, std::ptrdiff_t end_at = -1) {
  for (const auto& [path, bytes] : files) next.AddFile(path, bytes);
  next.AddFolder("none");
  next.SetArguments(CommandLine{true, "Sarnelux.exe " + args, {}});
  if (end_at >= 0) {
    next.SetCallHook([end_at](std::size_t at, const PlatformCall&) {
      Fault fault;
      fault.fail = static_cast<std::ptrdiff_t>(at) >= end_at;
      return fault;
    });
  }
  RunProgram(next);
  return next;
}

// Runs the next run on these files; returns what went wrong, or "".
std::string RecoverAndCheck(const Files& files,
                            const std::string& args = "none /Q") {
  MemoryPlatform next;
  NextRun(next, files, args);
  const std::string output = next.output();
  std::set<std::string> changed;
  for (const std::string& path : next.FilePaths()) {
    if (InStateFolder(next, path)) return "record left: " + path;
    const std::string& now = next.FileAt(path).bytes;
    const std::string& original = kOriginals.at(path);
    // Or, where the run before had stripped the file whole, one mark more.
    const std::string& given = files.at(path);
    if (now != original && now != original.substr(3) &&
        !(given == original.substr(3) && now == given.substr(3))) {
      return "damaged " + path + "\n" + output;
    }
    if (files.at(path) != now) changed.insert(path);
  }
  if (output.find("can not") != std::string::npos) return "refused\n" + output;
  // Every file the run changed is named.
  std::set<std::string> named =
      PathsNamed(output, "repaired interrupted rewrite of file ");
  named.merge(PathsNamed(output, "successfully removed BOM of file "));
  for (const std::string& path : changed) {
    if (named.count(path) == 0) return "not named: " + path + "\n" + output;
  }
  return "";
}

struct EndCase {
  const char* name;
  const char* switches;
  bool power_loss;
  // The next run: recovery alone, or a run with the killed run's own
  // switches over the same tree; and whether it is ended at every call in
  // turn too, before a third run.
  const char* next_args = "none /Q";
  bool next_ended = false;
  // One write to the record after a file's first fails, in turn each of
  // them, before the run is ended: the rewrite must not go on as if it
  // landed.
  bool record_write_fails = false;

  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class RunEndedTest : public testing::TestWithParam<EndCase> {};

// Counts the record writes that follow a write to a file the run rewrites:
// every one but a file's first, which, where it fails, leaves the rewrite
// to go on without a record, as where there is no state folder.
struct LaterRecordWrites {
  int failing = 0;  // the one that fails, from 1; 0: none
  int counted = 0;
  bool file_written = false;

  bool Fail(MemoryPlatform& platform, const PlatformCall& call) {
    if (call.kind != CallKind::kWrite) return false;
    if (!InStateFolder(platform, call.path)) {
      file_written = true;
      return false;
    }
    return std::exchange(file_written, false) && ++counted == failing;
  }
};

TEST_P(RunEndedTest, NextRunLeavesEveryFileWholeAndNoRecord) {
  const EndCase& c = GetParam();
  std::mt19937 random(20);
  LaterRecordWrites plain_writes;
  {
    MemoryPlatform plain;
    Populate(plain, c.switches);
    plain.SetCallHook([&](std::size_t, const PlatformCall& call) {
      plain_writes.Fail(plain, call);
      return Fault{};
    });
    RunProgram(plain);
  }
  const int last = c.record_write_fails ? plain_writes.counted : 0;
  for (int failing = c.record_write_fails ? 1 : 0; failing <= last; ++failing) {
    MemoryPlatform baseline;
    Populate(baseline, c.switches);
    LaterRecordWrites baseline_writes{failing};
    baseline.SetCallHook([&](std::size_t, const PlatformCall& call) {
      Fault fault;
      fault.fail = baseline_writes.Fail(baseline, call);
      return fault;
    });
    RunProgram(baseline);
    const std::size_t calls = baseline.calls().size();
    for (std::size_t index = 0; index < calls; ++index) {
      MemoryPlatform platform;
      Populate(platform, c.switches);
      Files before;
      Files after;
      bool ended = false;
      LaterRecordWrites writes{failing};
      platform.SetCallHook([&](std::size_t at, const PlatformCall& call) {
        if (at == index) before = Snapshot(platform, c.power_loss);
        if (at == index + 1) {
          after = Snapshot(platform);
          ended = true;
        }
        Fault fault;
        fault.fail = at > index || writes.Fail(platform, call);
        return fault;
      });
      RunProgram(platform);
      if (!ended) after = Snapshot(platform);
      for (int mix = 0; mix < (c.next_ended ? 1 : 4); ++mix) {
        Files files;
        for (const auto& [path, bytes] : after) {
          auto old = before.find(path);
          files[path] =
              old == before.end() ? bytes : Mix(old->second, bytes, random);
        }
        if (!c.next_ended) {
          const std::string problem = RecoverAndCheck(files, c.next_args);
          ASSERT_EQ(problem, "")
              << "record write " << failing << " failed, "
              << "ended at call " << index << ", mix " << mix;
          continue;
        }
        MemoryPlatform whole;
        const std::size_t next_calls =
            NextRun(whole, files, c.next_args).calls().size();
        for (std::size_t end = 0; end < next_calls; ++end) {
          MemoryPlatform next;
          const std::string problem = RecoverAndCheck(
              Snapshot(NextRun(next, files, c.next_args,
                               static_cast<std::ptrdiff_t>(end))),
              c.next_args);
          ASSERT_EQ(problem, "")
              << "ended at call " << index << ", then at call " << end;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Record, RunEndedTest,
    testing::Values(
        EndCase{"killed", "/Q", false},
        EndCase{"power_lost_durable", "/Q/D", true},
        EndCase{"killed_then_next_run_killed", "/Q", false, "none /Q", true},
        EndCase{"killed_durable_then_next_run_killed", "/Q/D", false,
                "none /Q/D", true},
        // The next run strips the same tree, with the same switches: a
        // file it repaired loses no second mark.
        EndCase{"killed_then_run_over_the_same_tree", "/Q", false, "t /Q"},
        EndCase{"killed_durable_then_run_over_the_same_tree", "/Q/D", false,
                "t /Q/D"},
        EndCase{"killed_after_a_failed_record_write", "/Q", false, "none /Q",
                false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// With /D the small files share their flushes, and the run says and leaves
// exactly what a run without it does.
TEST(DurableRun, SharesFlushesAndSaysWhatAPlainRunSays) {
  MemoryPlatform plain;
  Populate(plain, "/Q");
  plain.AddFile("t/read_only", kMark + "x").read_only = true;
  RunProgram(plain);
  MemoryPlatform durable;
  Populate(durable, "/Q/D");
  durable.AddFile("t/read_only", kMark + "x").read_only = true;
  RunProgram(durable);
  EXPECT_EQ(durable.output(), plain.output());
  EXPECT_EQ(Snapshot(durable), Snapshot(plain));

  // Small files, and a line of another file's among theirs.
  auto small_files = [](MemoryPlatform& platform, const char* switches) {
    for (int i = 0; i < 5; ++i) {
      platform.AddFile("t/" + std::to_string(i), kMark + Pattern(100 + i));
    }
    platform.AddFile("t/2-utf16", "\xFF\xFE!");
    platform.SetArguments(
        CommandLine{true, std::string("Sarnelux.exe t ") + switches, {}});
    RunProgram(platform);
  };
  MemoryPlatform small_plain;
  small_files(small_plain, "/Q");
  MemoryPlatform small;
  small_files(small, "/Q/D");
  EXPECT_EQ(small.output(), small_plain.output());
  // The record's before any file changes, and the files' before it goes.
  std::size_t flushes = 0;
  for (const PlatformCall& call : small.calls()) {
    if (call.kind == CallKind::kFlush) ++flushes;
  }
  EXPECT_EQ(flushes, 2u);
  EXPECT_EQ(small.FileAt("t/4").bytes, Pattern(104));
}

// A record left by a run killed just before its third write to t/big.
Files KilledMidFile() {
  MemoryPlatform platform;
  Populate(platform, "/Q");
  int writes = 0;
  platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = (call.kind == CallKind::kWrite && call.path == "t/big" &&
                  ++writes == 3) ||
                 writes >= 3;
    return fault;
  });
  RunProgram(platform);
  return Snapshot(platform);
}

// A batch's record kept for one of its files: the next run says nothing
// more of the others, and repairs that one once it can.
TEST(KeptRecord, NamesOnlyTheFilesStillToBeRepaired) {
  MemoryPlatform killed;
  Populate(killed, "/Q/D");
  // Killed in the batch of t/mark and t/small, with t/mark written.
  bool failing = false;
  killed.SetCallHook([&](std::size_t, const PlatformCall& call) {
    failing =
        failing || (call.kind == CallKind::kWrite && call.path == "t/small");
    Fault fault;
    fault.fail = failing;
    return fault;
  });
  RunProgram(killed);
  MemoryPlatform next;
  for (const auto& [path, bytes] : Snapshot(killed)) next.AddFile(path, bytes);
  next.AddFolder("none");
  next.FileAt("t/small").read_only = true;
  next.SetArguments(CommandLine{true, "Sarnelux.exe none /Q", {}});
  auto recover = [&next](const std::string& lines) {
    const std::size_t before = next.output().size();
    RunProgram(next);
    EXPECT_EQ(
        next.output().substr(before),
        Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", ""}) +
            lines + Lines({"no BOM headers found in none", "ready!"}));
  };
  recover(Lines({"repaired interrupted rewrite of file t/mark",
                 "can not repair file t/small"}));
  recover(Lines({"can not repair file t/small"}));
  next.FileAt("t/small").read_only = false;
  recover(Lines({"repaired interrupted rewrite of file t/small"}));
  recover("");
  EXPECT_EQ(next.FileAt("t/small").bytes, "abc");
  EXPECT_EQ(next.FileAt("t/mark").bytes, "");
  for (const std::string& path : next.FilePaths()) {
    EXPECT_FALSE(InStateFolder(next, path)) << path;
  }
}

// A durable batch that keeps its record for a file it left damaged forgets
// the files it made whole: the next run names only that one, and leaves
// the file the batch put back to its original as it is.
TEST(KeptRecord, ForgetsTheBatchedFilesMadeWhole) {
  MemoryPlatform first;
  const std::string a = kMark + Pattern(3 * 4096);
  const std::string b = kMark + Pattern(101);
  first.AddFile("t/a", a);
  first.AddFile("t/b", b);
  first.AddFile("t/c", kMark + "c");
  first.SetArguments(CommandLine{true, "Sarnelux.exe t /Q/D", {}});
  std::map<std::string, int> writes;
  first.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind != CallKind::kWrite) return fault;
    const int n = ++writes[call.path];
    // t/a written up to a unit's end, and not put back: saved beside. t/b
    // not written, and put back.
    if (call.path == "t/a" && n == 1) fault.partial = 4096;
    fault.fail =
        (call.path == "t/a" && n == 2) || (call.path == "t/b" && n == 1);
    return fault;
  });
  RunProgram(first);
  ASSERT_EQ(first.FileAt("t/b").bytes, b);
  MemoryPlatform next;
  NextRun(next, Snapshot(first), "none /Q");
  EXPECT_EQ(next.output(),
            Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", "",
                   "repaired interrupted rewrite of file t/a",
                   "no BOM headers found in none", "ready!"}));
  EXPECT_EQ(next.FileAt("t/a").bytes, a.substr(3));
  EXPECT_EQ(next.FileAt("t/b").bytes, b);
  EXPECT_EQ(next.FileAt("t/c").bytes, "c");
}

// The record the version before left at the same kill: every unit told by
// its hash, and a proof over every unit. A run goes on with it.
TEST(OlderRecord, IsRepairedAsItsVersionWroteIt) {
  const std::string version_2 =
      "5358524557525432010000000000000090e2900925999b58eb53000000000000"
      "0310000005000000742f626967b9dbe08fcb953a1a0300000000000000010020"
      "000000000000001000008c389a8e87bd9fcd6aa5e40e61dc6faa6a7178d7e00d"
      "316099b6b3000000000000000000000002000000000000000100100000000000"
      "000010000016aa867d8859130a9207871f6496f8f37a676ebadcb056c3da73ae";
  Files files = KilledMidFile();
  std::string& record = files.at("state/sarnelux/rewrite-1.record");
  record.clear();
  for (std::size_t at = 0; at < version_2.size(); at += 2) {
    record +=
        static_cast<char>(std::stoi(version_2.substr(at, 2), nullptr, 16));
  }
  MemoryPlatform next;
  NextRun(next, files, "none /Q");
  EXPECT_EQ(next.output(),
            Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", "",
                   "repaired interrupted rewrite of file t/big",
                   "no BOM headers found in none", "ready!"}));
  EXPECT_EQ(next.errors(), "");
  EXPECT_EQ(next.FileAt("t/big").bytes, kOriginals.at("t/big").substr(3));
  EXPECT_EQ(next.KindOfPath("state/sarnelux/rewrite-1.record"),
            PathKind::kMissing);
}

// Records are taken in the order of their names, whatever order the
// folder lists them in.
TEST(KeptRecord, RecordsAreRepairedInTheOrderOfTheirNames) {
  // Another run, killed in the middle of t/twice.
  MemoryPlatform other;
  Populate(other, "/Q");
  int writes = 0;
  other.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = (call.kind == CallKind::kWrite && call.path == "t/twice" &&
                  ++writes == 2) ||
                 writes >= 2;
    return fault;
  });
  RunProgram(other);
  const std::string record = other.StateFolder(false) + "rewrite-1.record";
  Files files = KilledMidFile();
  files["t/twice"] = other.FileAt("t/twice").bytes;
  MemoryPlatform next;
  next.AddFile(other.StateFolder(false) + "rewrite-2.record",
               other.FileAt(record).bytes);
  NextRun(next, files, "none /Q");
  EXPECT_EQ(next.output(),
            Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", "",
                   "repaired interrupted rewrite of file t/big",
                   "repaired interrupted rewrite of file t/twice",
                   "no BOM headers found in none", "ready!"}));
}

struct RefusalCase {
  const char* name;
  void (*change)(MemoryPlatform& platform);
  const char* line;   // nullptr: nothing printed
  const char* error;  // the diagnostic, where shown; nullptr: none
  bool record_stays;  // for a later run to put the file right

  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

const char* const kChangedError =
    "sarnelux: t/big: changed since its rewrite was interrupted: not "
    "repaired";
const char* const kNotRepairedError =
    "sarnelux: t/big: interrupted rewrite could not be repaired";

std::string& RecordBytes(MemoryPlatform& platform) {
  return platform.FileAt(platform.StateFolder(false) + "rewrite-1.record")
      .bytes;
}

class RefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, LeavesTheFileAsItIs) {
  const RefusalCase& c = GetParam();
  const Files left = KilledMidFile();
  MemoryPlatform next;
  for (const auto& [path, bytes] : left) next.AddFile(path, bytes);
  c.change(next);
  const Files before = Snapshot(next);
  next.SetArguments(CommandLine{true, "Sarnelux.exe none /Q", {}});
  next.AddFolder("none");
  // As on POSIX, where every run reports and its status tells.
  next.SetConventions({"\r\n", true});
  EXPECT_EQ(RunProgram(next), c.error == nullptr ? 0 : 2);
  EXPECT_EQ(next.errors(),
            c.error == nullptr ? "" : std::string(c.error) + "\r\n");
  std::string expected =
      Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", ""});
  if (c.line != nullptr) expected += Lines({std::string(c.line) + "t/big"});
  expected += Lines({"no BOM headers found in none", "ready!"});
  EXPECT_EQ(next.output(), expected);
  Files now = Snapshot(next);
  EXPECT_EQ(now.at("t/big"), before.at("t/big"));
  const std::string record = next.StateFolder(false) + "rewrite-1.record";
  EXPECT_EQ(now.count(record), c.record_stays ? 1u : 0u);
  if (c.record_stays) {
    EXPECT_EQ(now.at(record), before.at(record));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Record, RefusalTest,
    testing::Values(
        RefusalCase{"file_replaced",
                    [](MemoryPlatform& p) { p.FileAt("t/big").generation = 1; },
                    "can not repair changed file ", kChangedError, false},
        RefusalCase{"file_grown",
                    [](MemoryPlatform& p) { p.FileAt("t/big").bytes += "!"; },
                    "can not repair changed file ", kChangedError, false},
        // Same file, same length: only what the rewrite left before its
        // last region tells them apart.
        RefusalCase{"file_restored_from_backup",
                    [](MemoryPlatform& p) {
                      p.FileAt("t/big").bytes = kOriginals.at("t/big");
                    },
                    "can not repair changed file ", kChangedError, false},
        RefusalCase{
            "file_edited_before_the_last_region",
            [](MemoryPlatform& p) { p.FileAt("t/big").bytes[100] ^= 1; },
            "can not repair changed file ", kChangedError, false},
        // A read error is no proof of a change: the record stays.
        RefusalCase{"file_unreadable",
                    [](MemoryPlatform& p) {
                      p.SetCallHook([](std::size_t, const PlatformCall& call) {
                        Fault fault;
                        fault.fail = call.kind == CallKind::kRead &&
                                     call.path == "t/big";
                        return fault;
                      });
                    },
                    "can not repair file ", kNotRepairedError, true},
        RefusalCase{"unit_torn",
                    // Half of the third region's first unit written.
                    [](MemoryPlatform& p) {
                      std::string& bytes = p.FileAt("t/big").bytes;
                      for (std::size_t i = 8192; i < 10240; ++i) {
                        bytes[i] = bytes[i + 3];
                      }
                    },
                    "can not repair file ", kNotRepairedError, false},
        RefusalCase{
            "file_made_read_only",
            [](MemoryPlatform& p) { p.FileAt("t/big").read_only = true; },
            "can not repair file ", kNotRepairedError, true},
        RefusalCase{"record_held_by_another_run",
                    [](MemoryPlatform& p) {
                      p.FileAt(p.StateFolder(false) + "rewrite-1.record")
                          .held_by_other = true;
                    },
                    nullptr, nullptr, true},
        // Records another user could have written are never read.
        RefusalCase{"state_folder_another_user_may_write",
                    [](MemoryPlatform& p) {
                      p.SetStateFolderForeign(
                          "state folder may be written by other users");
                    },
                    nullptr,
                    "sarnelux: state/sarnelux: state folder may be written by "
                    "other users",
                    true},
        RefusalCase{
            "record_with_a_second_link",
            [](MemoryPlatform& p) {
              p.FileAt(p.StateFolder(false) + "rewrite-1.record").foreign =
                  "record has another link";
            },
            nullptr,
            "sarnelux: state/sarnelux/rewrite-1.record: record has "
            "another link",
            true},
        // Records are never lost by accident: only one cut short inside
        // its first header by a kill goes without a word.
        RefusalCase{"record_of_a_newer_version",
                    [](MemoryPlatform& p) { RecordBytes(p)[7] = '4'; }, nullptr,
                    "sarnelux: state/sarnelux/rewrite-1.record: record of a "
                    "newer version of sarnelux, kept for it",
                    true},
        RefusalCase{"record_of_an_older_version",
                    [](MemoryPlatform& p) { RecordBytes(p)[7] = '1'; }, nullptr,
                    "sarnelux: record state/sarnelux/rewrite-1.record not "
                    "understood, kept",
                    true},
        RefusalCase{"record_with_a_changed_byte",
                    [](MemoryPlatform& p) { RecordBytes(p)[41] ^= 1; }, nullptr,
                    "sarnelux: record state/sarnelux/rewrite-1.record not "
                    "understood, kept",
                    true},
        RefusalCase{"record_cut_inside_its_header",
                    [](MemoryPlatform& p) { RecordBytes(p).resize(30); },
                    nullptr, nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A run that lists changes nothing, records included: it tells of the
// file a record waits to put right, as of a mark left.
TEST(ListingRun, TellsOfAWaitingRecordAndChangesNothing) {
  MemoryPlatform next;
  for (const auto& [path, bytes] : KilledMidFile()) next.AddFile(path, bytes);
  next.AddFolder("none");
  const Files before = Snapshot(next);
  next.SetArguments(CommandLine{true, "Sarnelux.exe none /Q/L", {}});
  EXPECT_EQ(RunProgram(next), 1);
  EXPECT_EQ(next.errors(),
            "sarnelux: interrupted rewrite of t/big waits for a run that "
            "strips\r\n");
  EXPECT_EQ(Snapshot(next), before);

  // Nor does it make the state folder where there is none.
  MemoryPlatform fresh;
  Populate(fresh, "/Q/L");
  RunProgram(fresh);
  EXPECT_EQ(fresh.KindOfPath("state"), PathKind::kMissing);
}

// Killed while it put back a file whose rewrite had failed: the repair
// ends in the original, and the walk then strips the file and counts it,
// as if no kill had happened.
TEST(RepairToOriginal, LeavesTheFileToTheWalk) {
  MemoryPlatform killed;
  Populate(killed, "/Q");
  int writes = 0;
  killed.SetCallHook([&](std::size_t, const PlatformCall& call) {
    const bool to_big = call.kind == CallKind::kWrite && call.path == "t/big";
    if (to_big) ++writes;
    // The third region's write fails; the run is killed as it begins to
    // put the file back.
    Fault fault;
    fault.fail = (to_big && writes == 3) || writes >= 4;
    return fault;
  });
  RunProgram(killed);
  ASSERT_NE(killed.FileAt("t/big").bytes, kOriginals.at("t/big"));
  MemoryPlatform next;
  for (const auto& [path, bytes] : Snapshot(killed)) next.AddFile(path, bytes);
  next.SetArguments(CommandLine{true, "Sarnelux.exe t /Q", {}});
  RunProgram(next);
  EXPECT_EQ(next.output(),
            Lines({"Sarnelux", "Copyright (c) 2026 the Sarnelux project", "",
                   "repaired interrupted rewrite of file t/big",
                   "successfully removed BOM of file t/big",
                   "successfully removed BOM of file t/mark",
                   "successfully removed BOM of file t/small",
                   "successfully removed BOM of file t/twice",
                   "number of removed BOM headers: 4", "ready!"}));
  EXPECT_EQ(next.errors(), "");
  EXPECT_EQ(next.FileAt("t/big").bytes, kOriginals.at("t/big").substr(3));
}

// A unit is told by the first and the last place where its new content
// differs from its old (the same content three bytes on): a write cut
// anywhere between them must show the new byte at one and the old at the
// other. Units of every shape, the places found byte by byte here.
TEST(RecordMarks, AreWhereNewAndOldContentFirstAndLastDiffer) {
  const struct {
    const char* name;
    std::size_t same_from, same_to;  // a span that repeats every 3 bytes
  } rows[] = {
      {"differs_throughout", 0, 0},   {"repeating_head", 0, 1000},
      {"repeating_tail", 3000, 4096}, {"repeating_middle", 1000, 3000},
      {"one_byte_differs", 0, 4095},  {"repeating_whole", 0, 4096},
  };
  for (const auto& row : rows) {
    std::string unit = Pattern(kRecordUnit);
    for (std::size_t x = std::max<std::size_t>(row.same_from, 3);
         x < row.same_to; ++x) {
      unit[x] = unit[x - 3];
    }
    std::vector<std::size_t> differ;
    for (std::size_t x = 3; x < unit.size(); ++x) {
      if (unit[x] != unit[x - 3]) differ.push_back(x);
    }
    MemoryWorld world;
    world.platform.AddFile("f", std::string(kRecordUnit + 3, 'x'));
    const FileHandle target = world.files.OpenForUpdate("f");
    RewriteRecord record(world.files, world.platform.StateFolder(true), false);
    ASSERT_TRUE(
        record.Begin(target, "f", {1, 1}, kRecordUnit + 3, kRecordUnit));
    ASSERT_TRUE(record.Note(MoveWay::kToStart, 0,
                            reinterpret_cast<const unsigned char*>(unit.data()),
                            kRecordUnit));
    const FileHandle kept = world.files.OpenForReading(
        world.platform.StateFolder(false) + "rewrite-1.record");
    const RecordRead read = ReadRecord(world.files, kept);
    ASSERT_EQ(read.sections.size(), 1u) << row.name;
    const RegionEntry& entry = *read.sections[0].last;
    ASSERT_TRUE(entry.marked) << row.name;
    const UnitMarks& marks = entry.marks.at(0);
    if (differ.empty()) {
      EXPECT_EQ(marks.first, UnitMarks::kNoMark) << row.name;
      EXPECT_EQ(marks.last, UnitMarks::kNoMark) << row.name;
    } else {
      EXPECT_EQ(marks.first, differ.front()) << row.name;
      EXPECT_EQ(marks.last, differ.back()) << row.name;
    }
    world.files.Close(kept);
    record.Leave();
  }
}

// A record written by any build must read back on any other: the hash
// gives these values whichever of its builds the processor runs (short
// inputs, whole and partial units, seeded as entries are).
TEST(RecordHashTest, GivesTheSameValuesOnEveryBuild) {
  constexpr std::uint64_t kSeed = 0x9e3779b97f4a7c15u;
  const struct {
    std::size_t size;
    std::uint64_t seed, hash;
  } rows[] = {
      {0, 0, 0x2d06800538d394c2u},         {3, 0, 0x7ea47a004f34273cu},
      {200, 0, 0x7d75d81144c52f0du},       {241, 0, 0x58129d823c648ff5u},
      {4096, 0, 0xde36210504a2d7c9u},      {5000, 0, 0x8b02f8189e56e0a2u},
      {3, kSeed, 0x67abbad79bab6b5eu},     {4096, kSeed, 0x86a3dca23a352f5au},
      {45077, kSeed, 0xaa8b09a7e6dc504du},
  };
  for (const auto& row : rows) {
    const std::string bytes = Pattern(row.size);
    EXPECT_EQ(RecordHash(reinterpret_cast<const unsigned char*>(bytes.data()),
                         row.size, row.seed),
              row.hash)
        << row.size << " bytes, seed " << row.seed;
  }
}

}  // namespace
}  // namespace sarnelux
