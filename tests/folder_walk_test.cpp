#include "marks/folder_walk.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "marks/selection.h"
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

// What a selection makes of one tree: which entries are looked at (and
// which are never opened or listed), and which marks the project keeps.
struct SelectionCase {
  const char* name;
  std::vector<std::string> paths;
  WalkMode mode;
  bool patterns;      // .git and node_modules skipped, only *.cs examined
  bool declarations;  // the .cs files are declared utf-8-bom
  std::string output;
  std::string errors;
  std::int32_t count;
  std::vector<std::string> untouched;  // no call names them or below them
  friend void PrintTo(const SelectionCase& c, std::ostream* os) {
    *os << c.name;
  }
};

class SelectionTest : public testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionTest, LooksOnlyAtWhatItChoosesAndKeepsDeclaredMarks) {
  const SelectionCase& c = GetParam();
  MemoryWorld world;
  world.console.report().Show(true);
  world.platform.AddFile("p/.git/HEAD", kMark + "g");
  world.platform.AddFile("p/node_modules/m/i.js", kMark + "i");
  world.platform.AddFile("p/src/a.cs", kMark + "a");
  world.platform.AddFile("p/src/b.cs", "b");
  world.platform.AddFile("p/src/c.txt", kMark + "c");
  world.platform.AddFile("p/src/d.cs", kMark + "d");
  if (c.declarations) {
    for (const char* path : {"p/src/a.cs", "p/src/b.cs"}) {
      world.platform.DeclareCharset(path, {DeclaredCharset::kUtf8Bom, ""});
    }
    world.platform.DeclareCharset(
        "p/src/d.cs", {DeclaredCharset::kUnknown, "p/.editorconfig: broken"});
  }
  Selection selection(world.platform);
  if (c.patterns) {
    selection.ExcludeVersionControl();
    selection.ExcludeFolders("node_*");
    selection.IncludeFiles("*.md");
    selection.IncludeFiles("*.cs");
  }
  selection.ReadDeclarations(world.platform.OpenCharsetDeclarations());
  std::int32_t count = 0;
  ScanPaths(world.services, c.paths, /*files_too=*/true, c.mode, count, nullptr,
            nullptr, &selection);
  EXPECT_EQ(world.Output(), c.output);
  EXPECT_EQ(world.platform.errors(), c.errors);
  EXPECT_EQ(count, c.count);
  for (const PlatformCall& call : world.platform.calls()) {
    for (const std::string& path : c.untouched) {
      EXPECT_FALSE(call.path.starts_with(path)) << call.path;
    }
  }
  // Every file keeps its bytes but those whose line says it lost its mark.
  for (const std::string& path : world.platform.FilePaths()) {
    const bool stripped =
        c.output.find(kRemoved + path + "\r\n") != std::string::npos;
    EXPECT_EQ(world.Bytes(path).starts_with(kMark),
              !stripped && path != "p/src/b.cs")
        << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    FolderWalk, SelectionTest,
    testing::Values(
        SelectionCase{"patterns_cost_no_call",
                      {"p"},
                      WalkMode::kStrip,
                      true,
                      false,
                      Lines({kRemoved + "p/src/a.cs", kRemoved + "p/src/d.cs"}),
                      "",
                      2,
                      {"p/.git", "p/node_modules", "p/src/c.txt"}},
        SelectionCase{"named_files_are_examined_whatever_the_patterns",
                      {"p/src/c.txt", "p/node_modules/m/i.js"},
                      WalkMode::kStrip,
                      true,
                      false,
                      Lines({kRemoved + "p/src/c.txt",
                             kRemoved + "p/node_modules/m/i.js"}),
                      "",
                      2,
                      {"p/.git"}},
        SelectionCase{"strip_keeps_declared_marks",
                      {"p/src"},
                      WalkMode::kStrip,
                      false,
                      true,
                      Lines({kRemoved + "p/src/c.txt"}),
                      Lines({"sarnelux: p/src/d.cs: p/.editorconfig: broken"}),
                      1,
                      {}},
        SelectionCase{"list_tells_declared_marks_missing",
                      {"p/src"},
                      WalkMode::kListOnly,
                      false,
                      true,
                      Lines({"no BOM in file p/src/b.cs, which .editorconfig "
                             "declares utf-8-bom",
                             "found BOM in file p/src/c.txt"}),
                      Lines({"sarnelux: p/src/d.cs: p/.editorconfig: broken"}),
                      1,
                      {}},
        SelectionCase{"both_at_once",
                      {"p"},
                      WalkMode::kListOnly,
                      true,
                      true,
                      Lines({"no BOM in file p/src/b.cs, which .editorconfig "
                             "declares utf-8-bom"}),
                      Lines({"sarnelux: p/src/d.cs: p/.editorconfig: broken"}),
                      0,
                      {"p/.git", "p/node_modules", "p/src/c.txt"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FolderWalk, ListingFindingADeclaredMarkMissingEndsWithStatusOne) {
  MemoryWorld world;
  world.console.report().Show(true);
  world.platform.AddFile("p/b.cs", "b");
  world.platform.DeclareCharset("p/b.cs", {DeclaredCharset::kUtf8Bom, ""});
  Selection selection(world.platform);
  selection.ReadDeclarations(world.platform.OpenCharsetDeclarations());
  std::int32_t count = 0;
  ScanPaths(world.services, {"p"}, true, WalkMode::kListOnly, count, nullptr,
            nullptr, &selection);
  EXPECT_EQ(world.console.report().Finish(), 1);
}

}  // namespace
}  // namespace sarnelux
