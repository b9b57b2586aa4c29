// Runs the built program on real folders and captures what it prints.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <map>
#include <string>
#include <vector>

namespace sarnelux::testing_support {

struct ToolRun {
  std::string output;    // everything written to standard output
  std::string errors;    // everything written to standard error
  int exit_status = -1;  // the exit code, or -1 when ended by a signal
  int signal = 0;        // the ending signal, if any
  bool timed_out = false;
  double cpu_seconds = 0;  // user and system time the program used
};

struct ToolOptions {
  std::string input = "/dev/null";  // standard input: a file, or "" for a pipe
  std::string pipe_input;           // written to the pipe, when input is ""
  int pipe_delay_ms = 0;            // how long the pipe stays silent first
  int pipe_hold_ms = 0;             // how long it stays open after the input
  int timeout_ms = 20000;
  int run_as_uid = -1;  // >= 0: the program runs as this user (needs root)
  long file_size_limit = -1;             // >= 0: ulimit -f, in bytes
  long open_files_limit = -1;            // >= 0: ulimit -n
  long processes_limit = -1;             // >= 0: ulimit -u, threads too
  std::vector<std::string> environment;  // "NAME=value", added to the run's
  std::string program;                   // the program to run; "": ToolPath()
};

// The path of the program under test.
std::string ToolPath();

// The names in the state folder the program's runs share in this test
// process (XDG_STATE_HOME points to a folder of the process's own).
std::vector<std::string> RecordsLeft();

ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options = {});

// Starts the program with standard output to a pipe (returned in out_fd) and
// standard input from /dev/null, without waiting for it; with err_fd,
// standard error to a pipe of its own too.
pid_t StartTool(const std::vector<std::string>& args, int& out_fd,
                int* err_fd = nullptr);

// Waits for a started program to end; kills it when it outlives the timeout,
// unless told to leave it running.
ToolRun WaitTool(pid_t pid, int timeout_ms, bool kill_on_timeout = true);

// The program on a pseudo-terminal of its own, in the terminal's foreground
// process group or, as `sarnelux ... &` from a shell, in the background.
class TerminalRun {
 public:
  TerminalRun(const std::vector<std::string>& args, bool background);
  ~TerminalRun();
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  void Type(const std::string& keys) const;
  // Reads what the program shows until this text has appeared (true) or the
  // timeout passed (false).
  bool WaitForText(const std::string& text, int timeout_ms);
  ToolRun Wait(int timeout_ms, bool kill_on_timeout = true);
  // The terminal's modes: the same before the run and after it.
  termios Modes() const;
  const termios& ModesBefore() const { return before_; }
  pid_t pid() const { return pid_; }  // the program's session leader
  const std::string& shown() const { return shown_; }  // read so far

 private:
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  termios before_{};
  std::string shown_;
};

bool SameModes(const termios& a, const termios& b);

// A fresh temporary folder, removed with everything in it on destruction.
class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(const std::string& relative) const;
  void Write(const std::string& relative, const std::string& bytes) const;
  std::string Read(const std::string& relative) const;
  // Every regular file below the root (links not followed), by relative path.
  std::map<std::string, std::string> Snapshot() const;

 private:
  std::string root_;
};

// A Unix socket bound at path; returns its descriptor, or -1.
int BindSocket(const std::string& path);

// A folder's entry names in the order the system lists them.
std::vector<std::string> ListingOrder(const std::string& folder);

}  // namespace sarnelux::testing_support
