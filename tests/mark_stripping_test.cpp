#include "marks/mark_stripping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

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

class TooLargeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(TooLargeTest, IsLeftUnchangedWithoutAMemoryBlock) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kMark + "x").apparent_size = GetParam().size;
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), kMark + "x");
  EXPECT_EQ(world.Output(), Lines({"not enough memory to open file d/f"}));
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stripping, TooLargeTest,
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

// Fails the n-th call of one kind (counted from 1), or cuts it short.
MemoryPlatform::CallHook FailNth(CallKind kind, int nth, std::int32_t partial,
                                 const std::string& path = "d/f") {
  auto seen = std::make_shared<int>(0);
  return [=](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == kind && (call.path == path || call.path.empty()) &&
        ++*seen == nth) {
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

  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class StripFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(StripFaultTest, NeverLosesTheFileNorClaimsSuccess) {
  const FaultCase& c = GetParam();
  MemoryWorld world;
  const std::string original = kMark + std::string(6000, 'w');
  world.platform.AddFile("d/f", original);
  world.platform.SetCallHook(FailNth(c.kind, c.nth, c.partial));
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f"), c.after);
  EXPECT_EQ(world.Output(), Lines({std::string(c.line) + "d/f"}));
  EXPECT_EQ(world.platform.open_files(), 0u);
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

const std::string kOriginal = kMark + std::string(6000, 'w');

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
                    FaultCase{"rewrite_close_fails", CallKind::kClose, 2, -1,
                              kOriginal, "can not write file "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stripping, FileThatCannotBeReopenedForItsRewriteIsLeftSilently) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.SetCallHook([](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = call.kind == CallKind::kOpen &&
                 call.disposition != OpenDisposition::kUpdateExisting;
    return fault;
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Output(), "");
  EXPECT_EQ(world.platform.FilePaths(), std::vector<std::string>{"d/f"});
  EXPECT_EQ(world.Bytes("d/f"), kOriginal);
}

TEST(Stripping, FileGrowingWhileReadIsPassedOver) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kMark + "abc");
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    if (call.kind == CallKind::kRead) world.platform.FileAt("d/f").bytes += "!";
    return Fault{};
  });
  EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
  EXPECT_EQ(world.Bytes("d/f").substr(0, 6), kMark + "abc");
  EXPECT_EQ(world.Output(), Lines({"can not read file d/f"}));
}

TEST(Stripping, OriginalIsSavedBesideWhenItCannotBePutBack) {
  MemoryWorld world;
  world.platform.AddFile("d/f", kOriginal);
  world.platform.AddFile("d/f.bom-original", "someone else's");
  // Both the rewrite and the restore of d/f fail.
  world.platform.SetCallHook([](std::size_t, const PlatformCall& call) {
    Fault fault;
    fault.fail = call.kind == CallKind::kWrite && call.path == "d/f";
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

TEST(Stripping, SayingSoWhenNothingCanBeWrittenAnywhere) {
  for (bool in_place : {false, true}) {
    MemoryWorld world;
    if (in_place) world.platform.SetPosixBehaviour();
    world.platform.AddFile("d/f", kOriginal);
    world.platform.SetCallHook([](std::size_t, const PlatformCall& call) {
      Fault fault;
      fault.fail = call.kind == CallKind::kWrite;
      return fault;
    });
    EXPECT_FALSE(StripUtf8Mark(world.services, "d/f"));
    // Written over in place, a file no write reached is still whole; emptied
    // first, it is lost, and a copy that could not be written is not kept.
    EXPECT_EQ(world.Output(), Lines({in_place ? "can not write file d/f"
                                              : "can not restore file d/f"}));
    if (in_place) {
      EXPECT_EQ(world.Bytes("d/f"), kOriginal);
    }
    EXPECT_FALSE(world.platform.HasFile("d/f.bom-original"));
  }
}

TEST(Stripping, ConsoleEventDuringTheRewriteWaitsForTheWholeFile) {
  for (ConsoleEvent event :
       {ConsoleEvent::kClose, ConsoleEvent::kCtrlC, ConsoleEvent::kCtrlBreak}) {
    MemoryWorld world;
    world.console.Open();
    const std::string rest(20000, 'r');
    world.platform.AddFile("d/f", kMark + rest);
    world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
      if (call.kind == CallKind::kOpen &&
          call.disposition == OpenDisposition::kReplace) {
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
