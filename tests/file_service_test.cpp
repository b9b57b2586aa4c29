#include "platform/file_service.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "memory_world.h"

namespace sarnelux {
namespace {

std::vector<std::int64_t> Transfers(const MemoryPlatform& platform,
                                    CallKind kind) {
  std::vector<std::int64_t> counts;
  for (const PlatformCall& call : platform.calls()) {
    if (call.kind == kind) counts.push_back(call.count);
  }
  return counts;
}

struct WriteCase {
  const char* name;
  std::vector<std::int32_t> writes;        // WriteBytes counts, in order
  std::vector<std::int64_t> before_close;  // platform writes made by then
  std::vector<std::int64_t> after_close;   // and after Close

  friend void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }
};

class BufferedWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(BufferedWriteTest, ReachesThePlatformInBufferSizedSteps) {
  const WriteCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFolder("d");
  const FileHandle file = world.files.CreateAnew("d/f");
  std::string expected;
  for (std::int32_t count : c.writes) {
    const std::string chunk(static_cast<std::size_t>(count),
                            static_cast<char>('a' + expected.size() % 26));
    EXPECT_EQ(world.files.WriteBytes(file, chunk.data(), count), count);
    expected += chunk;
  }
  EXPECT_EQ(world.files.FileLength(file),
            static_cast<std::int64_t>(expected.size()));
  EXPECT_EQ(Transfers(world.platform, CallKind::kWrite), c.before_close);
  EXPECT_TRUE(world.files.Close(file));
  EXPECT_EQ(Transfers(world.platform, CallKind::kWrite), c.after_close);
  EXPECT_EQ(world.Bytes("d/f"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    FileService, BufferedWriteTest,
    testing::Values(WriteCase{"nothing", {}, {}, {}},
                    WriteCase{"zero_bytes", {0}, {}, {}},
                    WriteCase{"ten_bytes", {10}, {}, {10}},
                    WriteCase{"fills_exactly", {4000, 96}, {4000}, {4000, 96}},
                    WriteCase{"one_short", {4000, 95}, {}, {4095}},
                    WriteCase{"whole_buffer_direct", {4096}, {4096}, {4096}},
                    WriteCase{
                        "buffered_then_big", {5, 5000}, {5, 5000}, {5, 5000}},
                    WriteCase{"many_small",
                              {1000, 1000, 1000, 1000, 1000},
                              {4000},
                              {4000, 1000}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReadCase {
  const char* name;
  std::int32_t file_size;
  std::vector<std::int32_t> reads;           // ReadBytes counts, in order
  std::vector<std::int32_t> returned;        // what each returned
  std::vector<std::int64_t> platform_reads;  // counts asked of the platform

  friend void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }
};

class BufferedReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(BufferedReadTest, DeliversTheFileInOrder) {
  const ReadCase& c = GetParam();
  MemoryWorld world;
  std::string content;
  for (std::int32_t i = 0; i < c.file_size; ++i) {
    content += static_cast<char>(i * 7 % 251);
  }
  world.platform.AddFile("d/f", content);
  const FileHandle file = world.files.OpenForUpdate("d/f");
  std::string delivered;
  for (std::size_t i = 0; i < c.reads.size(); ++i) {
    std::string chunk(static_cast<std::size_t>(c.reads[i]), '\0');
    const std::int32_t got =
        world.files.ReadBytes(file, chunk.data(), c.reads[i]);
    EXPECT_EQ(got, c.returned[i]) << "read " << i;
    delivered += chunk.substr(0, static_cast<std::size_t>(got));
  }
  world.files.Close(file);
  EXPECT_EQ(delivered, content.substr(0, delivered.size()));
  EXPECT_EQ(Transfers(world.platform, CallKind::kRead), c.platform_reads);
}

INSTANTIATE_TEST_SUITE_P(
    FileService, BufferedReadTest,
    testing::Values(
        ReadCase{"four_of_two", 2, {4}, {2}, {4096}},
        ReadCase{"exactly_buffered_makes_no_call", 10, {4, 6}, {4, 6}, {4096}},
        ReadCase{"past_buffered_refills",
                 5000,
                 {4, 4092, 10},
                 {4, 4092, 10},
                 {4096, 4096}},
        ReadCase{"large_goes_direct", 9000, {9000}, {9000}, {9000}},
        ReadCase{"buffered_part_then_direct",
                 9000,
                 {4, 8996},
                 {4, 8996},
                 {4096, 4904}},
        ReadCase{"at_end", 3, {3, 1}, {3, 0}, {4096, 4096}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileService, FileOpenedForReadingAsksThePlatformForJustWhatIsWanted) {
  MemoryWorld world;
  world.platform.AddFile("d/f", std::string(9000, 'r'));
  const FileHandle file = world.files.OpenForReading("d/f");
  char head[4] = {};
  EXPECT_EQ(world.files.ReadBytes(file, head, 4), 4);
  EXPECT_EQ(world.files.ReadBytes(file, head, 4), 4);
  EXPECT_EQ(Transfers(world.platform, CallKind::kRead),
            (std::vector<std::int64_t>{4, 4}));
  EXPECT_TRUE(world.files.Close(file));
}

TEST(FileService, SwitchingDirectionWritesOutOrDropsTheBuffer) {
  MemoryWorld world;
  world.platform.AddFile("d/f", "0123456789");
  const FileHandle file = world.files.OpenForUpdate("d/f");
  char head[2] = {};
  EXPECT_EQ(world.files.ReadBytes(file, head, 2), 2);
  EXPECT_EQ(world.files.WriteBytes(file, "AB", 2), 2);
  EXPECT_EQ(Transfers(world.platform, CallKind::kWrite).size(), 0u);
  char more[4] = {};
  // Writes out "AB" first, then reads on from where that write ended: the
  // file's end (what was read ahead before the write is dropped).
  EXPECT_EQ(world.files.ReadBytes(file, more, 4), 0);
  EXPECT_EQ(Transfers(world.platform, CallKind::kWrite),
            std::vector<std::int64_t>{2});
  EXPECT_TRUE(world.files.Close(file));
  EXPECT_EQ(world.Bytes("d/f").substr(10), "AB");
}

TEST(FileService, OpenModesRespectWhatExistsAndWhoHoldsIt) {
  MemoryWorld world;
  world.platform.AddFolder("d");
  EXPECT_EQ(world.files.OpenForUpdate("d/missing"), kNoFile);
  EXPECT_EQ(world.files.OpenForReading("d/missing"), kNoFile);
  EXPECT_FALSE(world.platform.HasFile("d/missing"));

  world.platform.AddFile("d/ro", "x").read_only = true;
  world.platform.AddFile("d/held", "x").held_by_other = true;
  EXPECT_NE(world.files.OpenForReading("d/ro"), kNoFile);
  EXPECT_EQ(world.files.OpenForUpdate("d/ro"), kNoFile);
  EXPECT_EQ(world.files.CreateAnew("d/ro"), kNoFile);
  EXPECT_EQ(world.files.OpenForReading("d/held"), kNoFile);
  EXPECT_EQ(world.Bytes("d/ro"), "x");

  world.platform.AddFile("d/exists", "x");
  EXPECT_EQ(world.files.CreateNew("d/exists"), kNoFile);
  EXPECT_EQ(world.Bytes("d/exists"), "x");
  world.files.CloseAllFiles();
  EXPECT_EQ(world.platform.open_files(), 0u);
}

TEST(FileService, CreateAnewEmptiesAHiddenFileInPlaceOnTheSecondTry) {
  MemoryWorld world;
  world.platform.AddFile("d/hidden", "old content").refuses_replace = true;
  const FileHandle file = world.files.CreateAnew("d/hidden");
  ASSERT_NE(file, kNoFile);
  EXPECT_EQ(world.Bytes("d/hidden"), "");
  EXPECT_TRUE(world.platform.FileAt("d/hidden").refuses_replace);
  char byte = 0;
  EXPECT_EQ(world.files.ReadBytes(file, &byte, 1), 0);  // opened write-only
  EXPECT_EQ(world.files.WriteBytes(file, "new", 3), 3);
  EXPECT_TRUE(world.files.Close(file));
  EXPECT_EQ(world.Bytes("d/hidden"), "new");
}

TEST(FileService, NoneHandleAndClosedHandleAreNotOpen) {
  MemoryWorld world;
  world.platform.AddFile("d/f", "abc");
  char byte = 0;
  for (FileHandle file : {kNoFile, world.files.OpenForReading("d/f")}) {
    if (file != kNoFile) world.files.Close(file);
    EXPECT_EQ(world.files.ReadBytes(file, &byte, 1), 0);
    EXPECT_EQ(world.files.WriteBytes(file, "x", 1), 0);
    EXPECT_EQ(world.files.FileLength(file), -1);
    EXPECT_FALSE(world.files.Close(file));
  }
  EXPECT_EQ(world.Bytes("d/f"), "abc");
}

TEST(FileService, BlocksAreZeroFilledAndNoneForNoBytes) {
  MemoryWorld world;
  EXPECT_FALSE(world.files.AllocateBlock(0));
  EXPECT_FALSE(world.files.AllocateBlock(-5));
  MemoryBlock block = world.files.AllocateBlock(3);
  ASSERT_TRUE(block);
  EXPECT_EQ(std::string(block.data(), block.data() + 3), std::string(3, '\0'));
  EXPECT_EQ(world.platform.held_blocks(), 1u);
  FileService::ReleaseBlock(block);
  EXPECT_EQ(world.platform.held_blocks(), 0u);
}

// Close must tell whether every byte written through the handle arrived.
struct VerifyCase {
  const char* name;
  std::int32_t write;
  CallKind failing;
  std::int32_t partial;  // -1: the call fails outright

  friend void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }
};

class VerifiedCloseTest : public testing::TestWithParam<VerifyCase> {};

TEST_P(VerifiedCloseTest, ReportsALossThatHappenedAnywhere) {
  const VerifyCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFolder("d");
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == c.failing) {
      fault.fail = c.partial < 0;
      fault.partial = c.partial;
    }
    return fault;
  });
  const FileHandle file = world.files.CreateAnew("d/f");
  const std::string data(static_cast<std::size_t>(c.write), 'z');
  world.files.WriteBytes(file, data.data(), c.write);
  EXPECT_FALSE(world.files.Close(file));
  EXPECT_EQ(world.platform.open_files(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    FileService, VerifiedCloseTest,
    testing::Values(
        VerifyCase{"buffered_write_out_fails", 10, CallKind::kWrite, -1},
        VerifyCase{"buffered_write_out_short", 10, CallKind::kWrite, 4},
        VerifyCase{"direct_write_short", 8000, CallKind::kWrite, 4096},
        VerifyCase{"platform_close_fails", 10, CallKind::kClose, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileService, ConsoleEventClosesEverythingAndStopsTheService) {
  MemoryWorld world;
  world.platform.AddFolder("d");
  world.platform.AddFile("d/r", "abc");
  const FileHandle reading = world.files.OpenForReading("d/r");
  const FileHandle writing = world.files.CreateAnew("d/w");
  world.files.WriteBytes(writing, "buffered", 8);
  world.files.StopForConsoleEvent();
  EXPECT_EQ(world.platform.open_files(), 0u);
  EXPECT_EQ(world.Bytes("d/w"), "buffered");  // written out on the way
  char byte = 0;
  EXPECT_EQ(world.files.ReadBytes(reading, &byte, 1), 0);
  EXPECT_EQ(world.files.OpenForReading("d/r"), kNoFile);
  // Each of those calls waited for the platform to end the process.
  EXPECT_EQ(world.platform.holds(), 2);
}

}  // namespace
}  // namespace sarnelux
