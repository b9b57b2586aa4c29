// Trees built to trip the program up: odd names, paths at the length limit,
// link cycles, links out of the tree, special files, unreadable files and
// files too large to load. Nothing may hang, crash or lose a byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "expected_output.h"
#include "tool_runner.h"

namespace sarnelux {
namespace {

using namespace testing_support;  // NOLINT(google-build-using-namespace)

constexpr int kNobody = 65534;

void ExpectWholeRun(const TempTree& tree, const ToolOptions& options = {}) {
  const auto before = tree.Snapshot();
  int removed = 0;
  const std::string report = ExpectedReport(tree, before, removed);
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output, kBanner + report + Summary(removed, tree.root()));
  EXPECT_EQ(tree.Snapshot(), Stripped(before));
}

TEST(HostileTree, OddNamesAreWalkedAndShownAsTheyAre) {
  TempTree tree;
  for (const std::string& name :
       {std::string("with  spaces .txt"), std::string("new\nline"),
        std::string("-leading-dash"), std::string("--Q"), std::string("/Q"),
        std::string("\xFF\xFE not utf-8 \x80\xC0"), std::string(255, 'n'),
        std::string("tab\there"), std::string("quote\"and\\backslash")}) {
    const std::string safe = name == "/Q" ? "slash-Q" : name;
    tree.Write(safe, kMark + safe);
    tree.Write("-dir with space/" + safe, "\xFF\xFE" + safe);
  }
  ExpectWholeRun(tree);
}

// A chain of folders whose innermost folder path, separator included, has
// exactly the given length.
std::string FolderOfPathLength(const TempTree& tree, std::size_t length,
                               char fill) {
  std::string relative;
  std::size_t path = tree.root().size() + 1;
  while (path < length) {
    const std::size_t part = std::min<std::size_t>(length - path - 1, 200);
    if (part == 0) break;
    relative += std::string(part, fill) + "/";
    path += part + 1;
  }
  EXPECT_EQ(tree.root().size() + 1 + relative.size(), length);
  return relative;
}

TEST(HostileTree, FolderPathsAreListedUpTo260Characters) {
  TempTree tree;
  const std::string at_limit = FolderOfPathLength(tree, 260, 'a');
  const std::string over_limit = FolderOfPathLength(tree, 261, 'b');
  tree.Write(at_limit + "in", kMark + "in");
  tree.Write(over_limit + "out", kMark + "out");
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output, kBanner + kRemoved + tree.Path(at_limit + "in") +
                            "\r\n" + Summary(1, ""));
  EXPECT_EQ(tree.Read(at_limit + "in"), "in");
  EXPECT_EQ(tree.Read(over_limit + "out"), kMark + "out");
}

TEST(HostileTree, LinkCycleEndsAndEachFileLosesOneMarkOnly) {
  TempTree tree;
  tree.Write("a/twice", kMark + kMark + "x");
  tree.Write("a/wide", "\xFF\xFEw");
  ASSERT_EQ(symlink("..", tree.Path("a/up").c_str()), 0);
  ASSERT_EQ(symlink(".", tree.Path("a/here").c_str()), 0);
  ASSERT_EQ(link(tree.Path("a/twice").c_str(), tree.Path("hard").c_str()), 0);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(tree.Read("a/twice"), kMark + "x");
  EXPECT_TRUE(
      run.output.ends_with("number of removed BOM headers: 1\r\n"
                           "ready!\r\n"));
  // The UTF-16 file is reported once, however many ways lead to it.
  std::size_t reports = 0;
  for (std::size_t at = run.output.find("no valid utf-8 BOM");
       at != std::string::npos;
       at = run.output.find("no valid utf-8 BOM", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 1u);
}

TEST(HostileTree, LinkToAFileOutsideTheTreeIsFollowedAndKept) {
  TempTree tree;
  TempTree outside;
  outside.Write("target", kMark + "target");
  ASSERT_EQ(symlink(outside.Path("target").c_str(), tree.Path("link").c_str()),
            0);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output,
            kBanner + kRemoved + tree.Path("link") + "\r\n" + Summary(1, ""));
  EXPECT_EQ(outside.Read("target"), "target");
  struct stat info {};
  ASSERT_EQ(lstat(tree.Path("link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(HostileTree, SpecialFilesArePassedOverWithoutAWord) {
  TempTree tree;
  tree.Write("real", kMark + "real");
  ASSERT_EQ(mkfifo(tree.Path("fifo").c_str(), 0666), 0);
  ASSERT_EQ(symlink(tree.Path("fifo").c_str(), tree.Path("to-fifo").c_str()),
            0);
  const int sock = testing_support::BindSocket(tree.Path("sock"));
  ASSERT_GE(sock, 0);
  if (geteuid() == 0) {
    ASSERT_EQ(
        mknod(tree.Path("null-device").c_str(), S_IFCHR | 0666, makedev(1, 3)),
        0);
    ASSERT_EQ(
        mknod(tree.Path("zero-device").c_str(), S_IFCHR | 0666, makedev(1, 5)),
        0);
  }
  ASSERT_EQ(symlink("/dev/zero", tree.Path("to-device").c_str()), 0);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  close(sock);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.output,
            kBanner + kRemoved + tree.Path("real") + "\r\n" + Summary(1, ""));
}

TEST(HostileTree, FileThatCannotBeReadIsPassedOverWithoutAWord) {
  TempTree tree;
  tree.Write("secret", kMark + "secret");
  tree.Write("open", kMark + "open");
  chmod(tree.Path("secret").c_str(), 0);
  ToolOptions options;
  if (geteuid() == 0) {
    // Root reads everything: run as a user the permission bits do stop.
    chmod(tree.root().c_str(), 0777);
    ASSERT_EQ(chown(tree.Path("open").c_str(), kNobody, kNobody), 0);
    options.run_as_uid = kNobody;
  }
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_EQ(run.output,
            kBanner + kRemoved + tree.Path("open") + "\r\n" + Summary(1, ""));
  chmod(tree.Path("secret").c_str(), 0644);
  EXPECT_EQ(tree.Read("secret"), kMark + "secret");
}

// Sparse files: only their size and first bytes are real.
void WriteSparse(const std::string& path, std::int64_t size) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd,
                  "\xEF\xBB\xBF"
                  "head",
                  7),
            7);
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

std::int64_t SizeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

std::string HeadOf(const std::string& path, std::size_t count) {
  std::string head(count, '\0');
  const int fd = open(path.c_str(), O_RDONLY);
  head.resize(static_cast<std::size_t>(
      std::max<ssize_t>(0, read(fd, head.data(), count))));
  close(fd);
  return head;
}

TEST(HostileTree, FilesOfTwoGigabytesAndMoreAreLeftWhole) {
  TempTree tree;
  const std::int64_t two_gib = std::int64_t{1} << 31;
  const std::int64_t over_four_gib = (std::int64_t{1} << 32) + 5;
  WriteSparse(tree.Path("two-gib"), two_gib);
  WriteSparse(tree.Path("over-four-gib"), over_four_gib);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_FALSE(run.timed_out);
  for (const char* name : {"two-gib", "over-four-gib"}) {
    EXPECT_NE(run.output.find("not enough memory to open file " +
                              tree.Path(name) + "\r\n"),
              std::string::npos);
  }
  EXPECT_EQ(SizeOf(tree.Path("two-gib")), two_gib);
  EXPECT_EQ(SizeOf(tree.Path("over-four-gib")), over_four_gib);
  EXPECT_EQ(HeadOf(tree.Path("over-four-gib"), 7), kMark + "head");
  EXPECT_TRUE(run.output.ends_with(Summary(0, tree.root())));
}

TEST(HostileTree, LargestLoadableFileIsStrippedWhereMemoryAllows) {
  if (std::getenv("SARNELUX_SKIP_LARGE") != nullptr) GTEST_SKIP();
  TempTree tree;
  const std::int64_t largest = (std::int64_t{1} << 31) - 1;
  WriteSparse(tree.Path("largest"), largest);
  ToolOptions options;
  options.timeout_ms = 300000;
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_EQ(run.output, kBanner + kRemoved + tree.Path("largest") + "\r\n" +
                            Summary(1, ""));
  EXPECT_EQ(SizeOf(tree.Path("largest")), largest - 3);
  EXPECT_EQ(HeadOf(tree.Path("largest"), 5), std::string("head\0", 5));
}

}  // namespace
}  // namespace sarnelux
