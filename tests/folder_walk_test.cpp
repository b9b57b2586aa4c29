#include "marks/folder_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "memory_world.h"

namespace sarnelux {
namespace {

const std::string kRemoved = "successfully removed BOM of file ";

TEST(FolderWalk, GoesDepthFirstInListingOrderSkippingDotEntries) {
  MemoryWorld world;
  world.platform.AddFile("top/a", kMark + "a");
  world.platform.AddFile("top/sub/b", kMark + "b");
  world.platform.AddFile("top/sub/deeper/c", kMark + "c");
  world.platform.AddFile("top/sub/plain", "plain");
  world.platform.AddFile("top/d", "\xFF\xFE");
  world.platform.AddFolder("top/empty");
  world.platform.AddFile("top/e", kMark);
  std::int32_t count = 0;
  ScanFolder(world.services, "top", count);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(world.Output(),
            Lines({kRemoved + "top/a", kRemoved + "top/sub/b",
                   kRemoved + "top/sub/deeper/c",
                   "no valid utf-8 BOM in file top/d", kRemoved + "top/e"}));
  EXPECT_EQ(world.Bytes("top/sub/deeper/c"), "c");
  EXPECT_EQ(world.Bytes("top/sub/plain"), "plain");
  EXPECT_EQ(world.platform.open_listings(), 0u);
}

TEST(FolderWalk, TrailingSeparatorOrNotGivesTheSamePaths) {
  for (const char* argument : {"top", "top/"}) {
    MemoryWorld world;
    world.platform.AddFile("top/x", kMark);
    std::int32_t count = 0;
    ScanFolder(world.services, argument, count);
    EXPECT_EQ(world.Output(), Lines({kRemoved + "top/x"})) << argument;
  }
}

TEST(FolderWalk, WindowsSeparatorIsAppendedOnWindows) {
  MemoryWorld world('\\');
  world.platform.AddFile("C:\\docs\\a.txt", kMark);
  std::int32_t count = 0;
  ScanFolder(world.services, "C:\\docs", count);
  EXPECT_EQ(world.Output(), Lines({kRemoved + "C:\\docs\\a.txt"}));
}

TEST(FolderWalk, KindComesFromTheEntryNotTheName) {
  MemoryWorld world;
  world.platform.AddFile("top/looks.like.folder/inner", kMark);
  world.platform.AddFile("top/noext", kMark);
  world.platform.AddFolder("top/folder.txt");
  std::int32_t count = 0;
  ScanFolder(world.services, "top", count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(world.Output(), Lines({kRemoved + "top/looks.like.folder/inner",
                                   kRemoved + "top/noext"}));
  EXPECT_EQ(world.Bytes("top/noext"), "");
}

TEST(FolderWalk, ListingWithNoEntryAtAllIsWalkedAsEmpty) {
  MemoryWorld world('\\');
  world.platform.AddBareFolder("D:\\");
  std::int32_t count = 0;
  ScanFolder(world.services, "D:\\", count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(world.Output(), "");
  EXPECT_EQ(world.platform.open_listings(), 0u);
}

TEST(FolderWalk, FolderThatCannotBeListedIsPassedOverSilently) {
  MemoryWorld world;
  world.platform.AddFile("top/file", kMark);
  std::int32_t count = 0;
  ScanFolder(world.services, "missing", count);
  ScanFolder(world.services, "top/file", count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(world.Output(), "");
  EXPECT_EQ(world.Bytes("top/file"), kMark);
}

TEST(FolderWalk, FolderPathsOverTheLimitAreNotListed) {
  MemoryWorld world;
  // "r/" plus the name plus "/" makes the folder path; 260 is listed.
  const std::string at_limit = "r/" + std::string(257, 'a');
  const std::string over_limit = "r/" + std::string(258, 'b');
  world.platform.AddFile(at_limit + "/f", kMark);
  world.platform.AddFile(over_limit + "/f", kMark);
  std::int32_t count = 0;
  ScanFolder(world.services, "r", count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(world.Output(), Lines({kRemoved + at_limit + "/f"}));
  EXPECT_EQ(world.Bytes(over_limit + "/f"), kMark);
}

TEST(FolderWalk, ErrorWhileListingEndsThatFolderOnly) {
  MemoryWorld world;
  world.platform.AddFile("top/sub/a", kMark);
  world.platform.AddFile("top/sub/b", kMark);
  world.platform.AddFile("top/z", kMark);
  int next_calls = 0;
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    // top: ".", "..", "sub" -> in sub: ".", "..", "a", then fail.
    fault.fail = call.kind == CallKind::kListNext && ++next_calls == 5;
    return fault;
  });
  std::int32_t count = 0;
  ScanFolder(world.services, "top", count);
  EXPECT_EQ(world.Output(),
            Lines({kRemoved + "top/sub/a", kRemoved + "top/z"}));
  EXPECT_EQ(world.Bytes("top/sub/b"), kMark);
  EXPECT_EQ(world.platform.open_listings(), 0u);
}

TEST(FolderWalk, CopyItSavedIsNotHandledByTheSameWalk) {
  MemoryWorld world;
  world.platform.SetPosixBehaviour();  // the listing shows the new copy
  const std::string original = kMark + Pattern(6000);
  world.platform.AddFile("d/f", original);
  int writes = 0;
  // The rewrite lands 1000 bytes, then nothing more reaches d/f.
  world.platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind == CallKind::kWrite && call.path == "d/f") {
      fault.fail = ++writes > 1;
      fault.partial = 1000;
    }
    return fault;
  });
  std::int32_t count = 0;
  ScanFolder(world.services, "d", count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(world.Output(),
            Lines({"can not write file, original bytes saved in "
                   "d/f.bom-original"}));
  EXPECT_EQ(world.Bytes("d/f.bom-original"), original);
}

}  // namespace
}  // namespace sarnelux
