// Interrupts the built program at random moments with SIGINT, SIGTERM,
// SIGQUIT or SIGHUP while it strips a tree of files from 0 bytes to tens of
// MiB, and checks after each interruption that every file is exactly as it
// was or exactly as it was minus its leading mark, and that the lines printed
// name exactly the files stripped. A second, uninterrupted run then finishes
// the job. SIGKILL, which nothing can answer, may leave a file in the middle
// of its rewrite: the second run must then put it right, so that every file
// ends stripped, with its inode, and no record is left behind.
// SARNELUX_INTERRUPTIONS sets how many interruptions to make.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "expected_output.h"
#include "printed_paths.h"
#include "tool_runner.h"

namespace sarnelux {
namespace {

using namespace testing_support;  // NOLINT(google-build-using-namespace)
using Clock = std::chrono::steady_clock;

using Files = std::map<std::string, std::string>;  // relative path -> bytes

Files MakeOriginals() {
  std::mt19937 random(20261208);
  Files files;
  const std::size_t sizes[] = {0,        1,        2,         3,        4,
                               100,      4095,     4096,      4097,     65536,
                               1u << 20, 4u << 20, 12u << 20, 32u << 20};
  int n = 0;
  for (std::size_t size : sizes) {
    for (const char* kind : {"marked", "plain", "wide"}) {
      if (std::string(kind) == "wide" && size > 65536) continue;
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      if (std::string(kind) == "marked") bytes.insert(0, kMark);
      if (std::string(kind) == "wide") bytes.insert(0, "\xFF\xFE");
      if (std::string(kind) == "plain" && bytes.rfind(kMark, 0) == 0) {
        bytes[0] = 'p';
      }
      const std::string folder = n % 3 == 0 ? "" : n % 3 == 1 ? "a/" : "a/b/";
      files[folder + kind + "-" + std::to_string(size)] = bytes;
      ++n;
    }
  }
  return files;
}

// Puts back every file that differs from its original.
void Restore(const TempTree& tree, const Files& originals) {
  for (const auto& [path, bytes] : originals) {
    struct stat info {};
    if (stat(tree.Path(path).c_str(), &info) == 0 &&
        static_cast<std::size_t>(info.st_size) == bytes.size() &&
        (bytes.size() < 3 || tree.Read(path) == bytes)) {
      continue;
    }
    tree.Write(path, bytes);
  }
}

// Every file must be its original or its original minus the mark; returns
// the stripped ones, or fails the test.
std::set<std::string> CheckFiles(const TempTree& tree, const Files& originals,
                                 const std::string& when) {
  std::set<std::string> stripped;
  const Files now = tree.Snapshot();
  EXPECT_EQ(now.size(), originals.size()) << when;
  for (const auto& [path, bytes] : originals) {
    auto found = now.find(path);
    if (found == now.end()) {
      ADD_FAILURE() << when << ": lost " << path;
      continue;
    }
    if (found->second == bytes) continue;
    if (StartsWith(bytes, kMark) && found->second == bytes.substr(3)) {
      stripped.insert(tree.Path(path));
      continue;
    }
    ADD_FAILURE() << when << ": " << path << " has " << found->second.size()
                  << " bytes, was " << bytes.size();
  }
  return stripped;
}

std::set<std::string> ReportedPaths(const std::string& output) {
  return PathsNamed(output, kRemoved);
}

std::map<std::string, ino_t> Inodes(const TempTree& tree,
                                    const Files& originals) {
  std::map<std::string, ino_t> inodes;
  for (const auto& [path, bytes] : originals) {
    struct stat info {};
    if (stat(tree.Path(path).c_str(), &info) == 0) inodes[path] = info.st_ino;
  }
  return inodes;
}

// With the program stopped: is one of the tree's files open for writing and
// no longer its original (written over, cut short, or emptied)?
bool InsideRewrite(pid_t pid, const TempTree& tree, const Files& originals) {
  namespace fs = std::filesystem;
  std::error_code error;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& fd : fs::directory_iterator(fds, error)) {
    const std::string target = fs::read_symlink(fd.path(), error).string();
    if (target.rfind(tree.root() + "/", 0) != 0) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" +
                       fd.path().filename().string());
    std::string key;
    unsigned long flags = 0;
    while (info >> key) {
      if (key == "flags:") info >> std::oct >> flags;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) continue;
    const std::string relative = target.substr(tree.root().size() + 1);
    auto original = originals.find(relative);
    if (original == originals.end()) continue;
    std::ifstream file(target, std::ios::binary);
    std::string head(64, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    struct stat now {};
    if (stat(target.c_str(), &now) == 0 &&
        (static_cast<std::size_t>(now.st_size) != original->second.size() ||
         head != original->second.substr(0, head.size()))) {
      return true;
    }
  }
  return false;
}

std::string ReadAll(int fd) {
  std::string output;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return output;
}

TEST(Interruption, EveryFileIsWholeAfterAnySignalAtAnyMoment) {
  const char* setting = std::getenv("SARNELUX_INTERRUPTIONS");
  const int wanted = setting != nullptr ? std::atoi(setting) : 200;
  const Files originals = MakeOriginals();
  std::size_t marked = 0;
  for (const auto& [path, bytes] : originals)
    marked += StartsWith(bytes, kMark);
  TempTree tree;
  Restore(tree, originals);
  const std::map<std::string, ino_t> inodes = Inodes(tree, originals);

  // How long a whole run takes, to spread the interruptions over it: the
  // quickest of a few, so that few runs end before their signal.
  auto whole_run = Clock::duration::max();
  for (int run = 0; run < 3; ++run) {
    const auto started = Clock::now();
    RunTool({tree.root(), "/Q"});
    whole_run = std::min(whole_run, Clock::now() - started);
    Restore(tree, originals);
  }

  std::mt19937 random(7);
  const int signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGKILL};
  int made = 0;
  int inside_rewrite = 0;
  int kills_inside = 0;
  int finished_first = 0;
  for (int attempt = 0; made < wanted && attempt < wanted * 3; ++attempt) {
    const int sig = signals[random() % 5];
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
        whole_run * std::uniform_real_distribution<>(0.0, 1.0)(random));
    int out = -1;
    const pid_t pid = StartTool({tree.root(), "/Q"}, out);
    std::thread reader;
    std::string output;
    reader = std::thread([&] { output = ReadAll(out); });
    std::this_thread::sleep_for(delay);
    bool interrupted = false;
    if (kill(pid, SIGSTOP) == 0) {
      int status = 0;
      // Stopped, or already gone (then it finished before the signal).
      if (waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) {
        if (InsideRewrite(pid, tree, originals)) {
          ++inside_rewrite;
          kills_inside += sig == SIGKILL;
        }
        kill(pid, sig);
        kill(pid, SIGCONT);
        waitpid(pid, &status, 0);
        interrupted = WIFSIGNALED(status);
        EXPECT_TRUE(interrupted ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "status " << status;
        if (interrupted) {
          EXPECT_EQ(WTERMSIG(status), sig);
        }
      }
    }
    reader.join();
    if (!interrupted) {
      waitpid(pid, nullptr, 0);
      ++finished_first;
      Restore(tree, originals);
      continue;
    }
    ++made;
    const std::string when = "interruption " + std::to_string(made) +
                             " by signal " + std::to_string(sig);
    const bool killed = sig == SIGKILL;
    const std::set<std::string> stripped =
        killed ? ReportedPaths(output) : CheckFiles(tree, originals, when);
    if (!killed) {
      EXPECT_EQ(ReportedPaths(output), stripped) << when;
    }

    // An uninterrupted run finishes the job and reports just the rest; after
    // a kill, also the file it repaired (a file stripped but not yet
    // reported when the kill came may go unreported).
    const ToolRun rest = RunTool({tree.root(), "/Q"});
    const std::set<std::string> done =
        CheckFiles(tree, originals, when + ", then");
    std::set<std::string> finished = ReportedPaths(rest.output);
    finished.insert(stripped.begin(), stripped.end());
    if (killed) {
      const std::set<std::string> repaired =
          PathsNamed(rest.output, "repaired interrupted rewrite of file ");
      finished.insert(repaired.begin(), repaired.end());
      EXPECT_TRUE(std::includes(done.begin(), done.end(), finished.begin(),
                                finished.end()))
          << when;
      EXPECT_EQ(Inodes(tree, originals), inodes) << when;
    } else {
      EXPECT_EQ(finished, done) << when;
    }
    EXPECT_EQ(done.size(), marked) << when;
    EXPECT_TRUE(RecordsLeft().empty()) << when;
    if (HasFailure()) break;
    Restore(tree, originals);
  }
  std::cout << "interruptions made: " << made
            << ", inside a rewrite: " << inside_rewrite
            << " (of them SIGKILL: " << kills_inside << ")"
            << ", runs that finished first: " << finished_first << "\n";
  RecordProperty("interruptions", made);
  RecordProperty("inside_rewrite", inside_rewrite);
  EXPECT_GE(made, wanted / 2);
}

}  // namespace
}  // namespace sarnelux
