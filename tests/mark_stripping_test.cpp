#include "marks/mark_stripping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "memory_world.h"

namespace sarnelux {
namespace {

struct StripCase {
  const char* name;
  std::string before;
  std::string after;
  const char* line;  // printed before the path; nullptr: nothing printed
  bool stripped;

  friend void PrintTo(const StripCase& c, std::ostream* os) { *os << c.name; }
};

class StripTest : public testing::TestWithParam<StripCase> {};

TEST_P(StripTest, LeavesExactlyTheseBytes) {
  const StripCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFile("d/f", c.before);
  EXPECT_EQ(StripUtf8Mark(world.services, "d/f"), c.stripped);
  EXPECT_EQ(world.Bytes("d/f"), c.after);
  EXPECT_EQ(world.Output(),
            c.line == nullptr ? "" : Lines({std::string(c.line) + "d/f"}));
  EXPECT_EQ(world.platform.open_files(), 0u);
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

const std::string kBig(10000, 'q');

INSTANTIATE_TEST_SUITE_P(
    Stripping, StripTest,
    testing::Values(
        StripCase{"mark_alone", kMark, "", "successfully removed BOM of file ",
                  true},
        StripCase{"mark_and_text", kMark + "abc\r\n", "abc\r\n",
                  "successfully removed BOM of file ", true},
        StripCase{"only_first_mark", kMark + kMark + "A", kMark + "A",
                  "successfully removed BOM of file ", true},
        StripCase{"big_remainder", kMark + kBig, kBig,
                  "successfully removed BOM of file ", true},
        StripCase{"remainder_of_a_buffer", kMark + std::string(4096, 'b'),
                  std::string(4096, 'b'), "successfully removed BOM of file ",
                  true},
        StripCase{"utf16le", "\xFF\xFEx", "\xFF\xFEx",
                  "no valid utf-8 BOM in file ", false},
        StripCase{"utf16be", "\xFE\xFF", "\xFE\xFF",
                  "no valid utf-8 BOM in file ", false},
        StripCase{"empty", "", "", "not enough memory to open file ", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stripping, ReadOnlyOrHeldFileIsPassedOverSilently) {
  MemoryWorld world;
  world.platform.AddFile("d/ro", kMark + "x").read_only = true;
  world.platform.AddFile("d/held", kMark + "x").held_by_other = true;
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/ro"));
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/held"));
  EXPECT_EQ(world.Bytes("d/ro"), kMark + "x");
  EXPECT_EQ(world.Bytes("d/held"), kMark + "x");
  EXPECT_EQ(world.Output(), "");
}

TEST(Stripping, FullCopyOnWriteFileSystemLeavesTheFileWhole) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kMark + "x").no_room_to_rewrite = true;
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), kMark + "x");
  EXPECT_EQ(world.Output(), Lines({"not enough space to rewrite file d/f"}));
  EXPECT_EQ(world.platform.open_files(), 0u);
}

TEST(Stripping, HiddenFileIsRewrittenInPlaceKeepingItsAttributes) {
  MemoryWorld world;
  world.platform.AddFile("d/h", kMark + "x").refuses_replace = true;
  EXPECT_TRUE(StripUtf8Mark(world.services, "d/h"));
  EXPECT_EQ(world.Bytes("d/h"), "x");
  EXPECT_TRUE(world.platform.FileAt("d/h").refuses_replace);
}

TEST(Stripping, FileRemovedAfterTheGateIsNotCreatedAgain) {
  MemoryWorld world;
  world.platform.AddFolder("d");
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/gone"));
  EXPECT_FALSE(world.platform.HasFile("d/gone"));
  EXPECT_EQ(world.Output(), "");
}

struct SizeCase {
  std::int64_t size;
};

// Files of any size stream through one block; one whose bytes run out
// before its length is not rewritten.
class LengthPastTheBytesTest : public testing::TestWithParam<SizeCase> {};

TEST_P(LengthPastTheBytesTest, IsLeftUnchangedAsUnreadable) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kMark + "x").apparent_size = GetParam().size;
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), kMark + "x");
  EXPECT_EQ(world.Output(), Lines({"can not read file d/f"}));
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stripping, LengthPastTheBytesTest,
                         testing::Values(SizeCase{std::int64_t{1} << 31},
                                         SizeCase{std::int64_t{1} << 32},
                                         SizeCase{(std::int64_t{1} << 32) +
                                                  4}));

TEST(Stripping, BlockThatCannotBeHadLeavesTheFile) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kMark + "abcdef");
  world.platform.SetBlockLimit(4);
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), kMark + "abcdef");
  EXPECT_EQ(world.Output(), Lines({"not enough memory to open file d/f"}));
}

// Fails the n-th call of one kind (counted from 1), or cuts it short; and
// the `again`-th as well, when given.
MemoryPlatform::CallHook FailNth(CallKind kind, int nth, std::int32_t partial,
                                 const std::string& path = "d/f",
                                 int again = 0) {
  auto seen = std::make_shared<int>(0);
  return [=](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == kind && (call.path == path || call.path.empty()) &&
        (++*seen == nth || *seen == again)) {
      fault.fail = partial < 0;
      fault.partial = partial;
    }
    return fault;
  };
}

struct FaultCase {
  const char* name;
  CallKind kind;
  int nth;
  std::int32_t partial;
  std::string after;
  const char* line;
  std::string before = {};  // the file; empty: kOriginal
  int again = 0;            // the call of that kind that fails as well, if any

  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class StripFaultTest : public testing::TestWithParam<FaultCase> {};

// Memory for no more than the smallest block: a file of a few blocks is
// rewritten in several steps.
constexpr std::size_t kSmallBlocks = 4096 + 4;
const std::string kOriginal = kMark + Pattern(10000);
// Its second region, written at 4096, holds zeros and nothing else; the
// file there holds a byte, then zeros: a write of it that lands nothing
// leaves the region wrong in its first byte alone.
const std::string kByteThenZeros =
    kMark + Pattern(4093) + "c" + std::string(5906, '\0');

TEST_P(StripFaultTest, NeverLosesTheFileNorClaimsSuccess) {
  const FaultCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFile("d/f", c.before.empty() ? kOriginal : c.before);
  world.platform.SetBlockLimit(kSmallBlocks);
  world.platform.SetCallHook(FailNth(c.kind, c.nth, c.partial, "d/f", c.again));
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), c.after);
  EXPECT_EQ(world.Output(), Lines({std::string(c.line) + "d/f"}));
  EXPECT_EQ(world.platform.open_files(), 0u);
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

TEST(Stripping, FileOfManyBlocksMovesEveryByteByThree) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetBlockLimit(kSmallBlocks);
  EXPECT_TRUE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), kOriginal.substr(3));
  EXPECT_EQ(world.Output(), Lines({"successfully removed BOM of file d/f"}));
}

INSTANTIATE_TEST_SUITE_P(
    Stripping, StripFaultTest,
    testing::Values(FaultCase{"short_read", CallKind::kRead, 1, 100, kOriginal,
                              "can not read file "},
                    FaultCase{"failed_read", CallKind::kRead, 1, -1, kOriginal,
                              "can not read file "},
                    FaultCase{"rewrite_stops_part_way", CallKind::kWrite, 1,
                              1000, kOriginal, "can not write file "},
                    FaultCase{"rewrite_fails", CallKind::kWrite, 1, -1,
                              kOriginal, "can not write file "},
                    FaultCase{"later_read_fails", CallKind::kRead, 2, -1,
                              kOriginal, "can not read file "},
                    FaultCase{"later_write_stops_part_way", CallKind::kWrite, 2,
                              1000, kOriginal, "can not write file "},
                    FaultCase{"last_write_fails", CallKind::kWrite, 3, -1,
                              kOriginal, "can not write file "},
                    FaultCase{"cut_fails", CallKind::kTruncate, 1, -1,
                              kOriginal, "can not write file "},
                    FaultCase{"rewrite_close_fails", CallKind::kClose, 1, -1,
                              kOriginal, "can not write file "},
                    FaultCase{"write_landing_nothing_is_checked_whole",
                              CallKind::kWrite, 2, -1, kByteThenZeros,
                              "can not write file ", kByteThenZeros},
                    FaultCase{"close_after_the_put_back_fails",
                              CallKind::kClose, 1, -1, kOriginal,
                              "can not restore file ", "", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stripping, HolesStayHolesAndAnUndoPutsBackEveryByte) {
  // A block of data, a hole of two blocks, data: the hole's zeros are
  // neither read nor written, only the three bytes that move into its end.
  const std::string sparse =
      kMark + Pattern(4093) + std::string(8192, '\0') + Pattern(1000);
  for (const bool failing : {false, true}) {
    MemoryWorld world;
    world.platform.AddFile("d/f", sparse).holes = {{4096, 12288}};
    world.platform.SetBlockLimit(kSmallBlocks);
    int writes = 0;
    world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
      Fault fault;
      fault.fail = failing && call.kind == CallKind::kWrite && ++writes == 3;
      return fault;
    });
    EXPECT_EQ(StripUtf8Mark(world.services, "d/f"), !failing);
    if (failing) {
      // The block the undone rewrite took from the hole is given back.
      EXPECT_TRUE(world.Bytes("d/f") == sparse);
      EXPECT_EQ(world.Output(), Lines({"can not write file d/f"}));
      const std::vector<std::pair<std::int64_t, std::int64_t>> holes = {
          {4096, 12288}};
      EXPECT_EQ(world.platform.FileAt("d/f").holes, holes);
    } else {
      EXPECT_TRUE(world.Bytes("d/f") == sparse.substr(3));
      const std::vector<std::pair<std::int64_t, std::int64_t>> holes = {
          {4096, 12285}};
      EXPECT_EQ(world.platform.FileAt("d/f").holes, holes);
    }
  }
}

TEST(Stripping, RewriteGoesThroughTheOneHandleThatReadTheFile) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetBlockLimit(kSmallBlocks);
  int opens = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = call.kind == CallKind::kOpen && ++opens > 1;
    return fault;
  });
  EXPECT_TRUE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(world.Bytes("d/f"), kOriginal.substr(3));
}

TEST(Stripping, FileGrowingWhileRewrittenIsLeftWhole) {
  // Grows while its one block is read, or, in blocks, just before the cut.
  struct Growth {
    std::size_t block_limit;
    CallKind at;
    int nth;
  };
  for (const Growth growth : {Growth{std::size_t{1} << 20, CallKind::kRead, 1},
                              Growth{kSmallBlocks, CallKind::kSize, 4}}) {
    MemoryWorld world;
    world.platform.AddFile("d/f", kOriginal);
    world.platform.SetBlockLimit(growth.block_limit);
    int seen = 0;
    world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
      if (call.kind == growth.at && ++seen == growth.nth) {
        world.platform.FileAt("d/f").bytes += "!";
      }
      return Fault{};
    });
    EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
    if (growth.at == CallKind::kRead) {
      EXPECT_TRUE(world.Bytes("d/f") == kOriginal + "!");
      EXPECT_EQ(world.Output(), Lines({"can not read file d/f"}));
    } else {
      // Every byte moved, and the file is no longer this run's to cut, nor
      // to put back: what another program wrote stays where it wrote it.
      EXPECT_TRUE(world.Bytes("d/f") ==
                  kOriginal.substr(3) + kOriginal.substr(10000) + "!");
      EXPECT_EQ(world.Output(),
                Lines({"rewrite stopped, another program changed file d/f"}));
    }
  }
}

struct ChangeCase {
  const char* name;
  CallKind at;  // the n-th call of this kind on the file changes it
  int nth;
  bool fails;         // and that call fails
  std::string bytes;  // what another program leaves in the file then

  friend void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }
};

class FileChangedTest : public testing::TestWithParam<ChangeCase> {};

// A log rotated by truncation while it is rewritten: writing stops at once,
// and nothing is put back over the lines the logger writes afresh.
TEST_P(FileChangedTest, LeavesWhatAnotherProgramWroteAsItWrote) {
  const ChangeCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetBlockLimit(kSmallBlocks);
  int seen = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == c.at && call.path == "d/f" && ++seen == c.nth) {
      world.platform.FileAt("d/f").bytes = c.bytes;
      fault.fail = c.fails;
    }
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), c.bytes);
  EXPECT_EQ(world.Output(),
            Lines({"rewrite stopped, another program changed file d/f"}));
  EXPECT_EQ(world.platform.open_files(), 0u);
  EXPECT_FALSE(world.platform.HasFile("d/f.bom-original"));
}

INSTANTIATE_TEST_SUITE_P(
    Stripping, FileChangedTest,
    testing::Values(ChangeCase{"cut_before_a_block_is_read", CallKind::kRead, 2,
                               false, "new line\n"},
                    ChangeCase{"cut_before_a_block_is_written", CallKind::kSize,
                               2, false, "new line\n"},
                    ChangeCase{"cut_as_a_write_fails", CallKind::kWrite, 2,
                               true, "new line\n"},
                    ChangeCase{"refilled_past_its_length", CallKind::kSize, 2,
                               false, Pattern(20000)}),
    [](const auto& info) { return std::string(info.param.name); });

// A file of three blocks whose rewrite fails at this write, and then once
// more at any later call (of the undo, or of the copy beside), failing or
// moving half its bytes: the line still says what the disk holds.
void UndoFailsAnywhereAfterWrite(int failing) {
  auto second_write = [failing](const PlatformCall& call, int& writes) {
    return call.kind == CallKind::kWrite && call.path == "d/f" &&
           ++writes == failing;
  };
  MemoryWorld baseline;
  baseline.platform.AddFile("d/f", kOriginal);
  baseline.platform.SetBlockLimit(kSmallBlocks);
  int writes = 0;
  std::size_t first = 0;
  baseline.platform.SetCallHook([&](std::size_t at, const PlatformCall& call) {
    Fault fault;
    fault.fail = second_write(call, writes);
    if (fault.fail) first = at;
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(baseline.services, "d/f"));
  const std::vector<PlatformCall> calls = baseline.platform.calls();
  ASSERT_GT(first, 0u);
  const std::string copy = "d/f.bom-original";
  int injected = 0;
  for (std::size_t then = first + 1; then < calls.size(); ++then) {
    for (const bool half : {false, true}) {
      if (calls[then].kind == CallKind::kConsoleWrite ||
          (half && calls[then].count < 2)) {
        continue;
      }
      MemoryWorld world;
      world.platform.AddFile("d/f", kOriginal);
      world.platform.SetBlockLimit(kSmallBlocks);
      world.platform.SetCallHook([&](std::size_t at, const PlatformCall& call) {
        Fault fault;
        fault.fail = at == first || (at == then && !half);
        if (at == then && half) {
          fault.partial = static_cast<std::int32_t>(call.count / 2);
        }
        return fault;
      });
      EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
      ++injected;
      const std::string output = world.Output();
      const std::string where = "write " + std::to_string(failing) +
                                ", then call " + std::to_string(then) +
                                (half ? " half" : " failing");
      if (output == Lines({"can not write file d/f"})) {
        EXPECT_TRUE(world.Bytes("d/f") == kOriginal) << where;
      } else if (output ==
                 Lines(
                     {"can not write file, original bytes saved in " + copy})) {
        EXPECT_TRUE(world.Bytes(copy) == kOriginal) << where;
      } else {
        EXPECT_EQ(output, Lines({"can not restore file d/f"})) << where;
        EXPECT_FALSE(world.platform.HasFile(copy)) << where;
      }
      EXPECT_EQ(world.platform.open_files(), 0u) << where;
      EXPECT_EQ(world.platform.held_blocks(), 0u) << where;
    }
  }
  EXPECT_GT(injected, 10);
}

TEST(Stripping, UndoFailingAnywhereStillSaysWhatTheDiskHolds) {
  // At its third write, the undo moves two regions back: the second one's
  // read failing part-way follows a region that already landed.
  for (const int failing : {2, 3}) {
    UndoFailsAnywhereAfterWrite(failing);
  }
}

TEST(Stripping, FileNoWriteReachesIsStillWhole) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetCallHook([](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = call.kind == CallKind::kWrite;
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  // Written over in place, never emptied: what no write changed is read
  // back as the original.
  EXPECT_EQ(world.Output(), Lines({"can not write file d/f"}));
  EXPECT_EQ(world.Bytes("d/f"), kOriginal);
  EXPECT_FALSE(world.platform.HasFile("d/f.bom-original"));
}

TEST(Stripping, OriginalIsSavedBesideWhenTheUndoFailsPartWay) {
  // The second block's write fails, and so does the undo's first step back:
  // the file is then part new, part old, and the copy beside it whole.
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.AddFile("d/f.bom-original", "someone else's");
  world.platform.SetBlockLimit(kSmallBlocks);
  int writes = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = call.kind == CallKind::kWrite && call.path == "d/f" &&
                 (++writes == 2 || writes == 4);
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f.bom-original-2"), kOriginal);
  EXPECT_EQ(world.Bytes("d/f.bom-original"), "someone else's");
  EXPECT_EQ(world.Output(),
            Lines({"can not write file, original bytes saved in "
                   "d/f.bom-original-2"}));
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

TEST(Stripping, CopyBesideIsTheWholeOriginalOfAFileThatGrowsMeanwhile) {
  // The rewrite and its undo fail; as the copy is made, another program
  // appends to the file. The copy holds the original, to its last byte and
  // no further.
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetBlockLimit(kSmallBlocks);
  int writes = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == CallKind::kOpen && call.path == "d/f.bom-original") {
      world.platform.FileAt("d/f").bytes += "appended";
    }
    fault.fail = call.kind == CallKind::kWrite && call.path == "d/f" &&
                 (++writes == 2 || writes == 4);
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f.bom-original"), kOriginal);
  EXPECT_EQ(world.Output(), Lines({"can not write file, original bytes saved "
                                   "in d/f.bom-original"}));
}

TEST(Stripping, CopyBesideHasTheFilesPermissionsBeforeItHoldsAByte) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal).mode = 0640;
  world.platform.SetBlockLimit(kSmallBlocks);
  int writes = 0;
  unsigned mode_when_written = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == CallKind::kWrite && call.path == "d/f.bom-original" &&
        mode_when_written == 0) {
      mode_when_written = world.platform.FileAt(call.path).mode;
    }
    fault.fail = call.kind == CallKind::kWrite && call.path == "d/f" &&
                 (++writes == 2 || writes == 4);
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f.bom-original"), kOriginal);
  EXPECT_EQ(mode_when_written, 0640u);
  EXPECT_EQ(world.platform.FileAt("d/f.bom-original").mode, 0640u);
}

TEST(Stripping, ConsoleEventDuringTheRewriteWaitsForTheWholeFile) {
  for (ConsoleEvent event :
       {ConsoleEvent::kClose, ConsoleEvent::kCtrlC, ConsoleEvent::kCtrlBreak}) {
    MemoryWorld world;
    world.console.Open();
    const std::string rest(20000, 'r');
    world.platform.AddFile("d/f", kMark + rest);
    bool raised = false;
    world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
      if (call.kind == CallKind::kWrite && !std::exchange(raised, true)) {
        world.platform.RaiseConsoleEventAsync(event);
        // Give the handler every chance to cut in, were it not held off.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return Fault{};
    });
    EXPECT_TRUE(StripUtf8Mark(world.services, "d/f"));
    world.platform.JoinEventThreads();
    EXPECT_TRUE(world.platform.process_ended());
    EXPECT_EQ(world.Bytes("d/f"), rest);
    EXPECT_EQ(world.platform.open_files(), 0u);
  }
}

}  // namespace
}  // namespace sarnelux
