// Trees built to trip the program up: odd names, paths at the length limit,
// link cycles, links out of the tree, special files, unreadable files and
// files too large to load. Nothing may hang, crash or lose a byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "expected_output.h"
#include "pattern.h"
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
        std::string("tab\there"), std::string("quote\"and\\backslash"),
        std::string("\x1B]0;title\x07"), std::string("\x1B[2J\x7F"),
        std::string("x\nsuccessfully removed BOM of file etc-passwd")}) {
    const std::string safe = name == "/Q" ? "slash-Q" : name;
    tree.Write(safe, kMark + safe);
    tree.Write("-dir with space/" + safe, "\xFF\xFE" + safe);
  }
  ExpectWholeRun(tree);
}

TEST(HostileTree, NamesWithControlBytesCannotActOnATerminalOrSplitALine) {
  TempTree tree;
  tree.Write("a\x1B[2J\nb", kMark);
  const std::string quoted = "\"" + tree.root() + "/a\\033[2J\\nb\"";
  const ToolRun listed = RunTool({"-l", tree.root()});
  EXPECT_EQ(listed.output, kBanner + "found BOM in file " + quoted +
                               "\nnumber of found BOM headers: 1\nready!\n");
  // The same form on standard error.
  chmod(tree.Path("a\x1B[2J\nb").c_str(), 0444);
  const ToolRun stripped = RunTool({"-W", tree.Path("a\x1B[2J\nb")});
  EXPECT_EQ(stripped.errors,
            "sarnelux: " + quoted + ": UTF-8 mark left: read-only file\n");
  EXPECT_EQ(stripped.output,
            kBanner + "no BOM headers found in " + quoted + "\nready!\n");
  EXPECT_EQ(stripped.exit_status, 1);
}

// A chain of folders, below base (relative, empty or ending in "/"), whose
// innermost folder path, separator included, has exactly the given length.
std::string FolderOfPathLength(const TempTree& tree, std::size_t length,
                               char fill, const std::string& base = "") {
  std::string relative = base;
  std::size_t path = tree.root().size() + 1 + base.size();
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
  EXPECT_EQ(run.output, kBanner + kRemoved + tree.Path(at_limit + "in") + "\n" +
                            Summary(1, ""));
  std::string too_long = tree.Path(over_limit);
  too_long.pop_back();
  EXPECT_EQ(run.errors, "sarnelux: " + too_long +
                            ": folder path longer than 260 characters\n");
  EXPECT_EQ(run.exit_status, 2);
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
      run.output.ends_with("number of removed BOM headers: 1\n"
                           "ready!\n"));
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
            kBanner + kRemoved + tree.Path("link") + "\n" + Summary(1, ""));
  EXPECT_EQ(outside.Read("target"), "target");
  struct stat info {};
  ASSERT_EQ(lstat(tree.Path("link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(HostileTree, LinkToAFolderOutsideTheTreeIsWalked) {
  TempTree tree;
  TempTree outside;
  outside.Write("folder/inner", kMark + "inner");
  ASSERT_EQ(
      symlink(outside.Path("folder").c_str(), tree.Path("to-folder").c_str()),
      0);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output, kBanner + kRemoved + tree.Path("to-folder/inner") +
                            "\n" + Summary(1, ""));
  EXPECT_EQ(outside.Read("folder/inner"), "inner");
}

TEST(HostileTree, TreeOwnerCannotSteerARootRunOutsideTheTree) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempTree tree;
  TempTree outside;  // root's own files
  outside.Write("passwd", kMark + "root:x:0:0");
  outside.Write("etc/shadow", kMark + "root:*");
  tree.Write("own", kMark + "own");
  ASSERT_EQ(chown(tree.Path("own").c_str(), kNobody, kNobody), 0);
  struct Link {
    const char* name;
    std::string target;
  };
  for (const Link& link : {Link{"to-passwd", outside.Path("passwd")},
                           Link{"to-etc", outside.Path("etc")},
                           Link{"to-own", tree.Path("own")}}) {
    const std::string path = tree.Path(link.name);
    ASSERT_EQ(symlink(link.target.c_str(), path.c_str()), 0);
    ASSERT_EQ(lchown(path.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(chown(tree.root().c_str(), kNobody, kNobody), 0);
  const ToolRun run = RunTool({"-W", tree.root(), tree.Path("to-passwd")});
  auto not_followed = [&tree](const std::string& name) {
    return "sarnelux: " + tree.Path(name) +
           ": link not followed: its owner is neither the user running this "
           "nor the owner of what it points to\n";
  };
  std::string errors;
  for (const std::string& name : ListingOrder(tree.root())) {
    if (name == "to-passwd" || name == "to-etc") errors += not_followed(name);
  }
  errors += not_followed("to-passwd");  // the path given, after the walk
  EXPECT_EQ(run.errors, errors);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(outside.Read("passwd"), kMark + "root:x:0:0");
  EXPECT_EQ(outside.Read("etc/shadow"), kMark + "root:*");
  // The link to the owner's own file is followed; the file is handled once.
  EXPECT_EQ(tree.Read("own"), "own");
  EXPECT_TRUE(run.output.ends_with(Summary(1, ""))) << run.output;
}

// A record tells a run which bytes of which file to move: one another user
// could have put or changed is never read, changed or removed, and the run
// goes on without it.
TEST(HostileTree, RecordsAnotherUserCouldHaveWrittenAreNeverObeyed) {
  struct Case {
    const char* name;
    bool (*plant)(const TempTree& tree, const std::string& state);
    const char* path;  // what the diagnostic names, below the tree
    const char* reason;
    bool needs_root;
  };
  const Case cases[] = {
      {"folder others may write",
       [](const TempTree&, const std::string& state) {
         return chmod(state.c_str(), 0770) == 0;
       },
       "state/sarnelux", "state folder may be written by other users", false},
      // Where fs.protected_hardlinks is 0, anyone may link to a file of
      // root's: dropping the "record" would clear its first bytes.
      {"record with a second link",
       [](const TempTree& tree, const std::string& state) {
         return link(tree.Path("linked").c_str(),
                     (state + "/rewrite-1.record").c_str()) == 0;
       },
       "state/sarnelux/rewrite-1.record", "record has another link", false},
      {"folder of another user's",
       [](const TempTree&, const std::string& state) {
         return chown(state.c_str(), kNobody, kNobody) == 0;
       },
       "state/sarnelux", "state folder belongs to another user", true},
  };
  for (const Case& c : cases) {
    if (c.needs_root && geteuid() != 0) continue;
    TempTree tree;
    tree.Write("tree/plain", "plain");
    tree.Write("linked", "root:x:0:0:root");
    const std::string state = tree.Path("state/sarnelux");
    std::filesystem::create_directories(state);
    chmod(state.c_str(), 0700);
    if (std::string(c.name) != "record with a second link") {
      tree.Write("state/sarnelux/rewrite-1.record", "SXREWRT");
    }
    ASSERT_TRUE(c.plant(tree, state)) << c.name;
    const auto before = tree.Snapshot();
    ToolOptions options;
    options.environment = {"XDG_STATE_HOME=" + tree.Path("state")};
    const ToolRun run = RunTool({"-W", tree.Path("tree")}, options);
    EXPECT_EQ(run.errors,
              "sarnelux: " + tree.Path(c.path) + ": " + c.reason + "\n")
        << c.name;
    EXPECT_EQ(run.exit_status, 2) << c.name;
    EXPECT_EQ(tree.Snapshot(), before) << c.name;
  }
}

TEST(HostileTree, FolderSwappedForALinkOnceListedLeadsNowhere) {
  // The tree's owner swaps a listed folder for a link to root's files at
  // the moment the run is about to open it.
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempTree tree;
  TempTree outside;  // root's own files
  outside.Write("passwd", kMark + "root:x:0:0");
  tree.Write("d1/a", kMark + "a");
  ASSERT_EQ(chown(tree.root().c_str(), kNobody, kNobody), 0);
  ToolOptions options;
  options.program = SARNELUX_HOOKED_TOOL_PATH;
  options.environment = {"SARNELUX_HOOK_FOLDER=d1",
                         "SARNELUX_HOOK_COMMAND=mv '" + tree.Path("d1") +
                             "' '" + tree.Path("old") + "' && ln -s '" +
                             outside.root() + "' '" + tree.Path("d1") +
                             "' && chown -h 65534:65534 '" + tree.Path("d1") +
                             "'"};
  const ToolRun run = RunTool({"-W", tree.root()}, options);
  EXPECT_EQ(outside.Read("passwd"), kMark + "root:x:0:0");
  EXPECT_NE(run.errors.find("sarnelux: " + tree.Path("d1") +
                            ": became a link that is not followed\n"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(run.exit_status, 2);
}

TEST(HostileTree, FileSwappedForALinkBeforeItsRewriteIsJudgedAsALink) {
  // Between the read that finds its mark and the open that rewrites it, a
  // file is swapped for a link to root's file: followed only where the
  // link's owner may lead the run there.
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct Case {
    const char* name;
    int link_owner;
    bool followed;
  };
  for (const Case& c : {Case{"the tree's owner's link", kNobody, false},
                        Case{"root's link", 0, true}}) {
    TempTree tree;
    TempTree outside;  // root's own files
    outside.Write("passwd", kMark + "root:x:0:0");
    tree.Write("a", kMark + "a");
    ASSERT_EQ(chown(tree.root().c_str(), kNobody, kNobody), 0);
    const std::string owner = std::to_string(c.link_owner);
    ToolOptions options;
    options.program = SARNELUX_HOOKED_TOOL_PATH;
    options.environment = {"SARNELUX_HOOK_FILE=" + tree.Path("a"),
                           "SARNELUX_HOOK_COMMAND=rm '" + tree.Path("a") +
                               "' && ln -s '" + outside.Path("passwd") + "' '" +
                               tree.Path("a") + "' && chown -h " + owner + ":" +
                               owner + " '" + tree.Path("a") + "'"};
    const ToolRun run = RunTool({"-W", tree.root()}, options);
    if (c.followed) {
      EXPECT_EQ(run.errors, "") << c.name;
      EXPECT_EQ(run.exit_status, 0) << c.name;
      EXPECT_EQ(outside.Read("passwd"), "root:x:0:0") << c.name;
    } else {
      EXPECT_EQ(run.errors,
                "sarnelux: " + tree.Path("a") +
                    ": UTF-8 mark left: became a link that is not followed\n")
          << c.name;
      EXPECT_EQ(run.exit_status, 2) << c.name;
      EXPECT_EQ(outside.Read("passwd"), kMark + "root:x:0:0") << c.name;
    }
  }
}

TEST(HostileTree, FolderFarAheadOfTheWalkIsToldOfWhereTheWalkReachesIt) {
  // Folders the walk has not reached yet are opened and listed ahead of it:
  // one swapped for a link to root's files at that moment, or one that
  // cannot be listed, is told of just as the walk would, and nothing
  // outside the tree is touched.
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct Case {
    const char* name;
    bool swap;  // otherwise closed to the user running
    const char* reason;
  };
  const Case cases[] = {
      {"swapped for a link", true, "became a link that is not followed"},
      {"cannot be listed", false, "Permission denied"},
  };
  for (const Case& c : cases) {
    TempTree tree;
    TempTree outside;  // root's own files
    TempTree aside;
    outside.Write("passwd", kMark + "root:x:0:0");
    std::map<std::string, std::string> after;
    for (int i = 10; i < 40; ++i) {
      for (int j = 0; j < 20; ++j) {
        std::string path = "d";
        path.append(std::to_string(i)).append("/").append(std::to_string(j));
        tree.Write(path, kMark + path);
        after[path] = path;
      }
    }
    // The walk comes to it late, when listers have long got there.
    const std::string late = ListingOrder(tree.root()).back();
    for (int j = 0; j < 20; ++j) after.erase(late + "/" + std::to_string(j));
    ASSERT_EQ(chown(tree.root().c_str(), kNobody, kNobody), 0);
    ToolOptions options;
    options.program = SARNELUX_HOOKED_TOOL_PATH;
    if (c.swap) {
      options.environment = {"SARNELUX_HOOK_FOLDER=" + late,
                             "SARNELUX_HOOK_COMMAND=mv '" + tree.Path(late) +
                                 "' '" + aside.Path(late) + "' && ln -s '" +
                                 outside.root() + "' '" + tree.Path(late) +
                                 "' && chown -h 65534:65534 '" +
                                 tree.Path(late) + "'"};
    } else {
      chmod(tree.root().c_str(), 0777);
      for (const auto& [path, content] : after) {
        ASSERT_EQ(chown(tree.Path(path).c_str(), kNobody, kNobody), 0);
        const std::string folder = tree.Path(path.substr(0, path.find('/')));
        ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
      }
      chmod(tree.Path(late).c_str(), 0);
      options.run_as_uid = kNobody;
    }
    const ToolRun run = RunTool({"-W", tree.root()}, options);
    EXPECT_EQ(run.errors,
              "sarnelux: " + tree.Path(late) + ": " + c.reason + "\n")
        << c.name;
    EXPECT_EQ(run.exit_status, 2) << c.name;
    EXPECT_EQ(outside.Read("passwd"), kMark + "root:x:0:0") << c.name;
    if (!c.swap) {
      chmod(tree.Path(late).c_str(), 0755);
      for (int j = 0; j < 20; ++j) {
        std::string path = late + "/";
        path.append(std::to_string(j));
        after[path] = kMark + path;
      }
    }
    EXPECT_EQ(tree.Snapshot(), after) << c.name;
  }
}

TEST(HostileTree, DescriptorsAreGivenBackForEveryFolderAndRefusal) {
  // With /D, files held for a shared flush take descriptors as well.
  for (const char* switches : {"/Q", "/Q/D"}) {
    TempTree tree;
    std::map<std::string, std::string> after;
    for (int i = 0; i < 40; ++i) {
      const std::string folder = std::to_string(i).append("/");
      tree.Write(folder + "locked", kMark + "locked");
      chmod(tree.Path(folder + "locked").c_str(), 0444);
      tree.Write(folder + "open", kMark + "open");
      after[folder + "locked"] = kMark + "locked";
      after[folder + "open"] = "open";
    }
    ToolOptions options;
    options.open_files_limit = 16;  // far fewer than folders or refusals
    const ToolRun run = RunTool({tree.root(), switches}, options);
    EXPECT_TRUE(run.output.ends_with(Summary(40, ""))) << run.output;
    // Each refusal told, and nothing else: no folder went unlisted.
    std::size_t told = 0;
    for (std::size_t at = 0, end = 0;
         (end = run.errors.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_TRUE(run.errors.substr(at, end - at)
                      .ends_with("/locked: UTF-8 mark left: read-only file"));
      ++told;
    }
    EXPECT_EQ(told, 40u) << switches;
    EXPECT_EQ(run.exit_status, 1) << switches;
    EXPECT_EQ(tree.Snapshot(), after) << switches;
  }
}

// The roads the gate can take: the pipeline at its least and its usual
// depth, and the read-ahead (forced on by SARNELUX_PREFETCH, as a cold disk
// would start it, or waiting for cold reads); and a ring that fails at its
// setup, at a submission, or in an open's or a read's completion; files
// opened by one or many threads of the tool's own instead of the ring, as
// through FUSE; the ring left for such threads part way through the run,
// as a cold tree makes it, with a chain failing before; the ring left for
// one thread and the walk sharing the calls, as a warm tree makes it, and
// that road left in turn for many threads, with a file failing on it;
// folders listed by the walk alone, or by many listers ahead of it. Each
// changes which reads are in flight, never what a run does.
const char* const kGateRoads[] = {
    "SARNELUX_PIPELINE=2",
    "SARNELUX_PIPELINE=128",
    "SARNELUX_PREFETCH=4",
    "SARNELUX_PIPELINE=0",
    "SARNELUX_RING_FAULT=setup",
    "SARNELUX_RING_FAULT=submit:2",
    "SARNELUX_RING_FAULT=open:4",
    "SARNELUX_RING_FAULT=read:4",
    "SARNELUX_OPENERS=1",
    "SARNELUX_OPENERS=32",
    "SARNELUX_OPENERS=4 SARNELUX_RING_FAULT=open:4",
    "SARNELUX_PIPELINE=4 SARNELUX_COLD_AFTER=5",
    "SARNELUX_PIPELINE=4 SARNELUX_COLD_AFTER=7 SARNELUX_RING_FAULT=open:4",
    "SARNELUX_PIPELINE=4 SARNELUX_WARM_AFTER=5",
    "SARNELUX_WARM_AFTER=3 SARNELUX_COLD_AFTER=12 SARNELUX_RING_FAULT=open:7",
    "SARNELUX_LISTERS=0",
    "SARNELUX_LISTERS=16"};

class GateRoadTest : public testing::TestWithParam<const char*> {
 protected:
  // A road's variables, as the row names them: separated by spaces.
  static std::vector<std::string> Environment() {
    std::vector<std::string> variables;
    std::istringstream words(GetParam());
    for (std::string word; words >> word;) variables.push_back(word);
    return variables;
  }
};

TEST_P(GateRoadTest, GivesTheWholeRunThroughFoldersFifosAndEmptyFolders) {
  TempTree tree;
  for (int i = 0; i < 30; ++i) {
    const std::string name = std::to_string(i);
    const std::string head = i % 3 == 0 ? kMark : i % 3 == 1 ? "\xFF\xFE" : "";
    tree.Write(name, std::string(head).append(name));
    if (i % 7 == 0) tree.Write(std::string(name).append("-sub/inner"), kMark);
    if (i % 5 == 0) {
      tree.Write(name + "-deep/a/b/c/" + name, kMark + name);
      tree.Write(name + "-deep/a/" + name, std::string("\0\0\xFE\xFF", 4));
      mkdir(tree.Path(name + "-deep/empty").c_str(), 0755);
    }
  }
  ASSERT_EQ(mkfifo(tree.Path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink(tree.Path("fifo").c_str(), tree.Path("to-fifo").c_str()),
            0);
  ToolOptions options;
  options.environment = Environment();
  ExpectWholeRun(tree, options);
}

TEST_P(GateRoadTest, StaysWithinItsDescriptorsHoweverDeep) {
  const std::string kMarked = kMark + "x";
  TempTree tree;
  std::string folder;
  std::map<std::string, std::string> after;
  for (int level = 0; level < 30; ++level) {
    folder.append("0/");
    for (char i = 'A'; i < 'A' + 40; ++i) {
      const std::string path = std::string(folder).append(1, i);
      tree.Write(path, kMarked);
      after.emplace(path, kMarked.substr(3));
    }
  }
  ToolOptions options;
  options.environment = Environment();
  options.open_files_limit = 64;  // fewer than a level's files and folders
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_TRUE(run.output.ends_with(Summary(1200, "")));
  EXPECT_EQ(tree.Snapshot(), after);
}

INSTANTIATE_TEST_SUITE_P(HostileTree, GateRoadTest,
                         testing::ValuesIn(kGateRoads));

TEST(HostileTree, ThreadsThatCannotStartCostNoFile) {
  if (geteuid() != 0) GTEST_SKIP() << "a limit on processes binds root only";
  // The gate's openers and the folder listers, each asked for where the
  // user may start no thread: the walk does their work itself.
  for (const char* asked :
       {"SARNELUX_OPENERS=32", "SARNELUX_LISTERS=4", "SARNELUX_WARM_AFTER=2"}) {
    TempTree tree;
    for (int i = 0; i < 12; ++i) {
      const std::string name = std::to_string(i);
      tree.Write(name + "/" + name, kMark + name);
      tree.Write(name + "/plain", name);
    }
    chmod(tree.root().c_str(), 0777);
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(tree.root())) {
      ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0);
    }
    ToolOptions options;
    options.run_as_uid = kNobody;
    options.processes_limit = 1;
    options.environment = {asked};
    ExpectWholeRun(tree, options);
  }
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
            kBanner + kRemoved + tree.Path("real") + "\n" + Summary(1, ""));
}

TEST(HostileTree, FileAndFolderThatCannotBeReadAreToldOfWithStatusTwo) {
  TempTree tree;
  tree.Write("secret", kMark + "secret");
  tree.Write("closed/inner", kMark + "inner");
  tree.Write("open", kMark + "open");
  chmod(tree.Path("secret").c_str(), 0);
  chmod(tree.Path("closed").c_str(), 0);
  ToolOptions options;
  if (geteuid() == 0) {
    // Root reads everything: run as a user the permission bits do stop.
    chmod(tree.root().c_str(), 0777);
    ASSERT_EQ(chown(tree.Path("open").c_str(), kNobody, kNobody), 0);
    options.run_as_uid = kNobody;
  }
  std::string errors;
  for (const std::string& name : ListingOrder(tree.root())) {
    if (name == "secret" || name == "closed") {
      errors += "sarnelux: " + tree.Path(name) + ": Permission denied\n";
    }
  }
  const ToolRun listed = RunTool({"-l", tree.root()}, options);
  EXPECT_EQ(listed.errors, errors);
  EXPECT_EQ(listed.exit_status, 2);  // though a mark was found
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_EQ(run.output,
            kBanner + kRemoved + tree.Path("open") + "\n" + Summary(1, ""));
  EXPECT_EQ(run.errors, errors);
  EXPECT_EQ(run.exit_status, 2);
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

TEST(HostileTree, SmallSparseFileKeepsItsHoles) {
  // A small file is spared the question of its holes only where its blocks
  // hold its whole length.
  TempTree tree;
  const std::int64_t size = 64 * 1024;
  const std::string path = tree.Path("small-sparse");
  WriteSparse(path, size);
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  if (before.st_blocks * 512 >= size) GTEST_SKIP() << "no holes here";
  const ToolRun run = RunTool({tree.root(), "/Q"});
  EXPECT_EQ(run.output, kBanner + kRemoved + path + "\n" + Summary(1, ""));
  EXPECT_EQ(SizeOf(path), size - 3);
  EXPECT_EQ(HeadOf(path, 5), std::string("head\0", 5));
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_LE(after.st_blocks, before.st_blocks);
}

// Files of any size stream through one block. This one is sparse, with a
// few real bytes where a wrong offset would show: at the first block's end
// and across the 2 GiB and 4 GiB marks.
TEST(HostileTree, FilePastFourGigabytesIsStrippedExactly) {
  if (std::getenv("SARNELUX_SKIP_LARGE") != nullptr) GTEST_SKIP();
  TempTree tree;
  const std::int64_t size = (std::int64_t{1} << 32) + 4099;
  const std::string path = tree.Path("over-four-gib");
  WriteSparse(path, size);
  const std::string stamp = "<|>!";
  const std::int64_t stamped[] = {(std::int64_t{1} << 20) - 2,
                                  (std::int64_t{1} << 31) - 2,
                                  (std::int64_t{1} << 32) - 2, size - 4};
  const int fd = open(path.c_str(), O_WRONLY);
  for (const std::int64_t at : stamped) {
    ASSERT_EQ(pwrite(fd, stamp.data(), stamp.size(), at), 4);
  }
  close(fd);
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  ToolOptions options;
  options.timeout_ms = 300000;
  const ToolRun run = RunTool({tree.root(), "/Q"}, options);
  EXPECT_EQ(run.output, kBanner + kRemoved + path + "\n" + Summary(1, ""));
  EXPECT_EQ(SizeOf(path), size - 3);
  // Its holes stay holes: it takes no more room on the disk than before.
  struct stat after {};
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_LE(after.st_blocks, before.st_blocks);
  EXPECT_EQ(HeadOf(path, 5), std::string("head\0", 5));
  const int stripped = open(path.c_str(), O_RDONLY);
  for (const std::int64_t at : stamped) {
    std::string found(4, '\0');
    EXPECT_EQ(pread(stripped, found.data(), 4, at - 3), 4);
    EXPECT_EQ(found, stamp) << "at " << at;
  }
  close(stripped);
}

// Situations a real machine can put a run in: limits, full disks, output
// nobody reads, a terminal it does not own, other runs. Each must end as
// stated, with every file whole.
struct Outcome {
  Outcome() = default;
  Outcome(ToolRun run_, int signal_, std::string output_,
          std::map<std::string, std::string> files_ = {})
      : run(std::move(run_)),
        signal(signal_),
        output(std::move(output_)),
        files(std::move(files_)) {}

  ToolRun run;
  int signal = 0;      // the signal that must end the run; 0: exit status 0
  int status = 0;      // the exit status, when no signal ends the run
  std::string output;  // the whole output; "*": not compared
  std::string errors;  // the whole standard error
  std::map<std::string, std::string> files;  // the tree afterwards
  std::shared_ptr<void> mount;  // let go of after the files are compared
  bool skipped = false;
  std::string skip_reason = "needs root";
};

struct SituationCase {
  const char* name;
  Outcome (*run)(const TempTree& tree);
  friend void PrintTo(const SituationCase& c, std::ostream* os) {
    *os << c.name;
  }
};

class SituationTest : public testing::TestWithParam<SituationCase> {};

TEST_P(SituationTest, EndsAsItMustWithEveryFileWhole) {
  TempTree tree;
  const Outcome outcome = GetParam().run(tree);
  if (outcome.skipped) GTEST_SKIP() << outcome.skip_reason;
  EXPECT_FALSE(outcome.run.timed_out);
  EXPECT_EQ(outcome.run.signal, outcome.signal);
  if (outcome.signal == 0) {
    EXPECT_EQ(outcome.run.exit_status, outcome.status);
  }
  if (outcome.output != "*") {
    EXPECT_EQ(outcome.run.output, outcome.output);
  }
  EXPECT_EQ(outcome.run.errors, outcome.errors);
  EXPECT_EQ(tree.Snapshot(), outcome.files);
}

std::string Line(const std::string& text, const std::string& path) {
  return text + path + "\n";
}

const std::string kWriteFailed = ": UTF-8 mark left: write failed";

Outcome UnderAFileSizeLimit(const TempTree& tree) {
  const std::string original = kMark + Pattern(65536);
  tree.Write("big", original);
  ToolOptions options;
  options.file_size_limit = 16384;
  Outcome outcome{RunTool({tree.root(), "/Q"}, options),
                  0,
                  kBanner + Line("can not write file ", tree.Path("big")) +
                      Summary(0, tree.root()),
                  {{"big", original}}};
  outcome.status = 2;
  outcome.errors = Line("sarnelux: ", tree.Path("big") + kWriteFailed);
  return outcome;
}

Outcome OnAFullFileSystem(const TempTree& tree) {
  Outcome outcome;
  if (mount("sarnelux", tree.root().c_str(), "tmpfs", 0, "size=1m") != 0) {
    outcome.skipped = true;
    return outcome;
  }
  outcome.mount.reset(static_cast<void*>(nullptr),
                      [root = tree.root()](void*) { umount(root.c_str()); });
  // Written in place, the file needs no new space, so a full disk is no
  // reason to leave its mark.
  const std::string original = kMark + Pattern(std::size_t{256} << 10);
  tree.Write("marked", original);
  const int filler =
      open(tree.Path("filler").c_str(), O_CREAT | O_WRONLY, 0644);
  const std::string page(4096, 'z');
  while (write(filler, page.data(), page.size()) > 0) {
  }
  close(filler);
  outcome.files = tree.Snapshot();
  outcome.files["marked"] = original.substr(3);
  outcome.run = RunTool({tree.root(), "/Q"});
  outcome.output =
      kBanner + Line(kRemoved, tree.Path("marked")) + Summary(1, "");
  return outcome;
}

// btrfs copies every block written: in place needs as much room again.
Outcome OnAFullCopyOnWriteFileSystem(const TempTree& tree) {
  Outcome outcome;
  outcome.skipped = true;
  if (geteuid() != 0) return outcome;
  const std::string image = tree.root() + ".btrfs";
  if (std::system(("truncate -s 128M '" + image + "' && mkfs.btrfs -q '" +
                   image + "' >/dev/null 2>&1 && mount -o loop '" + image +
                   "' '" + tree.root() + "' 2>/dev/null")
                      .c_str()) != 0) {
    std::remove(image.c_str());
    outcome.skip_reason = "needs mkfs.btrfs and a loop mount";
    return outcome;
  }
  outcome.skipped = false;
  outcome.mount.reset(static_cast<void*>(nullptr),
                      [root = tree.root(), image](void*) {
                        umount(root.c_str());
                        std::remove(image.c_str());
                      });
  const std::string original = kMark + Pattern(std::size_t{24} << 20);
  tree.Write("marked", original);
  const int filler =
      open(tree.Path("filler").c_str(), O_CREAT | O_WRONLY, 0644);
  const std::string block(1 << 20, 'z');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  fsync(filler);
  close(filler);
  sync();
  outcome.files = tree.Snapshot();
  outcome.run = RunTool({tree.root(), "/Q"});
  outcome.output =
      kBanner + Line("not enough space to rewrite file ", tree.Path("marked")) +
      Summary(0, tree.root());
  outcome.status = 2;
  outcome.errors = Line("sarnelux: ", tree.Path("marked") +
                                          ": UTF-8 mark left: not enough "
                                          "space to rewrite it");
  return outcome;
}

// Nobody reads: once the pipe stops filling the program is blocked on a
// line.
void WaitUntilOutputIsFull(int out) {
  for (int queued = 0, last = -1, still = 0, waited = 0;
       still < 5 && waited < 10000; waited += 50) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    last = std::exchange(queued, 0);
    ioctl(out, FIONREAD, &queued);
    still = queued == last && queued > 0 ? still + 1 : 0;
  }
}

Outcome SignalledWhileOutputIsBlocked(const TempTree& tree) {
  for (int i = 0; i < 400; ++i) {
    tree.Write(std::string(150, 'p') + std::to_string(i), kMark + "x");
  }
  int out = -1;
  const pid_t pid = StartTool({tree.root(), "/Q"}, out);
  WaitUntilOutputIsFull(out);
  kill(pid, SIGTERM);
  Outcome outcome{WaitTool(pid, 3000), SIGTERM, "*"};
  close(out);
  outcome.files = tree.Snapshot();
  for (const auto& [name, bytes] : outcome.files) {
    EXPECT_TRUE(bytes == "x" || bytes == kMark + "x") << name;
  }
  return outcome;
}

// While the program is blocked on a line, the files it has not reached yet
// (whose first bytes the gate may well have read ahead) lose their marks:
// each is passed over in silence, as if the walk had just opened it.
Outcome FilesChangedBehindTheWalk(const TempTree& tree) {
  for (int i = 0; i < 400; ++i) {
    tree.Write(std::string(150, 'q') + std::to_string(i), kMark + "x");
  }
  int out = -1;
  const pid_t pid = StartTool({tree.root(), "/Q"}, out);
  WaitUntilOutputIsFull(out);
  std::map<std::string, std::string> after = tree.Snapshot();
  for (auto& [name, bytes] : after) {
    if (bytes != "x") tree.Write(name, bytes = "x");
  }
  std::string output;
  char buffer[4096];
  for (ssize_t got = 0; (got = read(out, buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out);
  Outcome outcome{WaitTool(pid, 10000), 0, "", after};
  outcome.run.output = output;
  int removed = 0;
  std::string lines = kBanner;
  for (const std::string& name : ListingOrder(tree.root())) {
    const std::string line = Line(kRemoved, tree.Path(name));
    if (output.find(line) == std::string::npos) continue;
    lines += line;
    ++removed;
  }
  EXPECT_GT(removed, 0);
  outcome.output = lines + Summary(removed, tree.root());
  return outcome;
}

Outcome QuietInTheBackgroundOfATerminal(const TempTree& tree) {
  tree.Write("a", kMark + "a");
  TerminalRun terminal({tree.root(), "/Q"}, /*background=*/true);
  Outcome outcome{terminal.Wait(10000), 0, "*", {{"a", "a"}}};
  EXPECT_TRUE(SameModes(terminal.Modes(), terminal.ModesBefore()));
  return outcome;
}

Outcome FolderFirstMetThroughALongLinkPath(const TempTree& tree) {
  mkdir(tree.Path("x").c_str(), 0755);
  mkdir(tree.Path("y").c_str(), 0755);
  std::vector<std::string> order;
  for (const std::string& name : ListingOrder(tree.root())) {
    if (name == "x" || name == "y") order.push_back(name + "/");
  }
  // The link comes first, at a folder path so long that the real folder's
  // subfolder cannot be listed that way; its own path comes later.
  const std::string chain = FolderOfPathLength(tree, 250, 'c', order[0]);
  const std::string real = order[1] + "real/";
  std::filesystem::create_directories(tree.Path(chain));
  tree.Write(real + "subfolder/file", kMark + "deep");
  EXPECT_EQ(symlink(tree.Path(real).c_str(), tree.Path(chain + "l").c_str()),
            0);
  return {RunTool({tree.root(), "/Q"}),
          0,
          kBanner + Line(kRemoved, tree.Path(real + "subfolder/file")) +
              Summary(1, ""),
          {{real + "subfolder/file", "deep"}}};
}

Outcome SignalledAmongEmptyFolders(const TempTree& tree) {
  for (int i = 0; i < 100; ++i) {
    const std::string folder = tree.Path(std::to_string(i)) + "/";
    mkdir(folder.c_str(), 0755);
    for (int j = 0; j < 100; ++j) {
      mkdir((folder + std::to_string(j)).c_str(), 0755);
    }
  }
  int out = -1;
  const pid_t pid = StartTool({tree.root(), "/Q"}, out);
  std::string output;
  char buffer[4096];
  ssize_t got = 0;
  while (output.size() < kBanner.size() &&
         (got = read(out, buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  kill(pid, SIGINT);  // the walk has begun
  Outcome outcome{WaitTool(pid, 3000), SIGINT, kBanner};
  while ((got = read(out, buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out);
  outcome.run.output = output;
  return outcome;
}

Outcome FileHeldByAnotherRun(const TempTree& tree) {
  tree.Write("held", kMark + "held");
  tree.Write("free", kMark + "free");
  const int held = open(tree.Path("held").c_str(), O_RDWR);
  EXPECT_EQ(flock(held, LOCK_EX), 0);
  const ToolRun run = RunTool({tree.root(), "/Q"});
  close(held);
  Outcome outcome{run,
                  0,
                  kBanner + Line(kRemoved, tree.Path("free")) + Summary(1, ""),
                  {{"held", kMark + "held"}, {"free", "free"}}};
  outcome.status = 1;
  outcome.errors = Line("sarnelux: ", tree.Path("held") +
                                          ": UTF-8 mark left: locked by "
                                          "another run");
  return outcome;
}

INSTANTIATE_TEST_SUITE_P(
    HostileRun, SituationTest,
    testing::Values(
        SituationCase{"file_size_limit", UnderAFileSizeLimit},
        SituationCase{"full_file_system", OnAFullFileSystem},
        SituationCase{"full_copy_on_write_file_system",
                      OnAFullCopyOnWriteFileSystem},
        SituationCase{"output_blocked", SignalledWhileOutputIsBlocked},
        SituationCase{"files_changed_behind_the_walk",
                      FilesChangedBehindTheWalk},
        SituationCase{"background_of_a_terminal",
                      QuietInTheBackgroundOfATerminal},
        SituationCase{"long_link_path_first",
                      FolderFirstMetThroughALongLinkPath},
        SituationCase{"signal_among_empty_folders", SignalledAmongEmptyFolders},
        SituationCase{"file_held_by_another_run", FileHeldByAnotherRun}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sarnelux
