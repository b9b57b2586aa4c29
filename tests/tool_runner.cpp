#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace sarnelux::testing_support {

namespace fs = std::filesystem;

namespace {

// Every run of this test process keeps its records in a state folder of its
// own, so that tests run side by side never see one another's records.
class PrivateStateHome {
 public:
  PrivateStateHome() {
    std::string pattern =
        (fs::temp_directory_path() / "sarnelux-state-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    setenv("XDG_STATE_HOME", path_.c_str(), 1);
  }
  ~PrivateStateHome() {
    std::error_code error;
    if (!path_.empty()) fs::remove_all(path_, error);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const PrivateStateHome state_home;

// A copy of the program that every user may run. A test that runs it as
// another user must not depend on where the build lies: a clone in root's
// own home (mode 0700) is out of that user's reach.
class ToolForAnyone {
 public:
  ~ToolForAnyone() {
    std::error_code error;
    if (!folder_.empty()) fs::remove_all(folder_, error);
  }
  const std::string& path(const std::string& tool) {
    if (!path_.empty()) return path_;
    std::string pattern =
        (fs::temp_directory_path() / "sarnelux-tool-XXXXXX").string();
    std::error_code error;
    if (mkdtemp(pattern.data()) == nullptr ||
        !fs::copy_file(tool, pattern + "/sarnelux", error)) {
      return tool;
    }
    folder_ = pattern;
    path_ = pattern + "/sarnelux";
    chmod(folder_.c_str(), 0755);
    chmod(path_.c_str(), 0755);
    return path_;
  }

 private:
  std::string folder_;
  std::string path_;
};

ToolForAnyone tool_for_anyone;

}  // namespace

std::vector<std::string> RecordsLeft() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator(state_home.path() + "/sarnelux", error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::string ToolPath() {
  const char* path = std::getenv("SARNELUX_TOOL");
  return path != nullptr ? path : SARNELUX_TOOL_PATH;
}

namespace {

void TakeStatus(int status, ToolRun& run) {
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
}

void SetLimit(int resource, long value) {
  if (value < 0) return;
  const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
  setrlimit(resource, &limit);
}

// The program's argument vector, made before a fork.
std::vector<char*> ArgVector(const std::string& tool,
                             const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// In a child process: becomes the program, with stdin_fd and stdout_fd as
// its standard input and output. Only async-signal-safe calls up to exec.
[[noreturn]] void ExecTool(const std::vector<char*>& argv, int stdin_fd,
                           int stdout_fd, const ToolOptions& options,
                           int stderr_fd = -1) {
  dup2(stdin_fd, 0);
  dup2(stdout_fd, 1);
  if (stderr_fd >= 0) dup2(stderr_fd, 2);
  SetLimit(RLIMIT_CORE, 0);  // SIGQUIT would dump core otherwise
  SetLimit(RLIMIT_FSIZE, options.file_size_limit);
  SetLimit(RLIMIT_NOFILE, options.open_files_limit);
  SetLimit(RLIMIT_NPROC, options.processes_limit);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTTOU})
    signal(sig, SIG_DFL);
  if (options.run_as_uid >= 0 &&
      (setgid(static_cast<gid_t>(options.run_as_uid)) != 0 ||
       setuid(static_cast<uid_t>(options.run_as_uid)) != 0)) {
    _exit(126);
  }
  for (const std::string& variable : options.environment) {
    putenv(const_cast<char*>(variable.c_str()));
  }
  execv(argv[0], argv.data());
  _exit(127);
}

pid_t Spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd,
            const ToolOptions& options = {}, int stderr_fd = -1) {
  const std::string tool =
      options.program.empty()
          ? (options.run_as_uid >= 0 ? tool_for_anyone.path(ToolPath())
                                     : ToolPath())
          : options.program;
  const std::vector<char*> argv = ArgVector(tool, args);
  const pid_t pid = fork();
  if (pid == 0) ExecTool(argv, stdin_fd, stdout_fd, options, stderr_fd);
  return pid;
}

}  // namespace

pid_t StartTool(const std::vector<std::string>& args, int& out_fd,
                int* err_fd) {
  int out[2];
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (err_fd != nullptr && pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = Spawn(args, null, out[1], {}, err[1]);
  close(null);
  close(out[1]);
  out_fd = out[0];
  if (err_fd != nullptr) {
    close(err[1]);
    *err_fd = err[0];
  }
  return pid;
}

ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options) {
  int out[2];
  int err[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  int input = -1;
  if (options.input.empty()) {
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    input = in[0];
  } else {
    input = open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
  }
  const pid_t pid = Spawn(args, input, out[1], options, err[1]);
  close(input);
  close(out[1]);
  close(err[1]);
  std::thread feeder;
  if (in[1] >= 0) {
    feeder = std::thread([&options, fd = in[1]] {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(options.pipe_delay_ms));
      if (!options.pipe_input.empty()) {
        (void)!write(fd, options.pipe_input.data(), options.pipe_input.size());
      }
      std::this_thread::sleep_for(
          std::chrono::milliseconds(options.pipe_hold_ms));
      close(fd);
    });
  }

  ToolRun run;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(options.timeout_ms);
  char buffer[4096];
  // Both streams at once: a full pipe of either would stall the program.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&run.output, &run.errors};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        poll(fds, 2, static_cast<int>(left.count())) == 0) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;  // poll passes over negative descriptors
      } else {
        into[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (feeder.joinable()) feeder.join();
  run.cpu_seconds =
      static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
          1e6;
  TakeStatus(status, run);
  return run;
}

ToolRun WaitTool(pid_t pid, int timeout_ms, bool kill_on_timeout) {
  ToolRun run;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      run.timed_out = true;
      if (!kill_on_timeout) return run;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!run.timed_out) TakeStatus(status, run);
  return run;
}

TerminalRun::TerminalRun(const std::vector<std::string>& args,
                         bool background) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("pseudo-terminal");
  }
  const std::string slave_name = ptsname(master_);
  const std::string tool_path = ToolPath();
  const std::vector<char*> argv = ArgVector(tool_path, args);
  slave_ = open(slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0 || tcgetattr(slave_, &before_) != 0) {
    throw std::runtime_error("pseudo-terminal");
  }
  pid_ = fork();
  if (pid_ != 0) return;
  // The child plays the shell: it leads a session on the terminal, starts
  // the program in a process group of its own, and ends as the program did.
  setsid();
  const int terminal = open(slave_name.c_str(), O_RDWR);
  ioctl(terminal, TIOCSCTTY, 0);
  // Handing the terminal to a process group is refused by SIGTTOU from
  // outside the foreground unless that is ignored; the program gets the
  // default back before it starts.
  signal(SIGTTOU, SIG_IGN);
  const pid_t tool = fork();
  if (tool == 0) {
    setpgid(0, 0);
    if (!background) tcsetpgrp(terminal, getpid());
    dup2(terminal, 2);
    ExecTool(argv, terminal, terminal, {});
  }
  setpgid(tool, tool);
  if (!background) tcsetpgrp(terminal, tool);
  int status = 0;
  waitpid(tool, &status, 0);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

TerminalRun::~TerminalRun() {
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(master_);
  close(slave_);
}

void TerminalRun::Type(const std::string& keys) const {
  (void)!write(master_, keys.data(), keys.size());
}

bool TerminalRun::WaitForText(const std::string& text, int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (shown_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{master_, POLLIN, 0};
    if (left.count() <= 0 ||
        poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    shown_.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

ToolRun TerminalRun::Wait(int timeout_ms, bool kill_on_timeout) {
  ToolRun run = WaitTool(pid_, timeout_ms, kill_on_timeout);
  if (run.timed_out && !kill_on_timeout) return run;
  if (run.exit_status > 128) {
    run.signal = run.exit_status - 128;
    run.exit_status = -1;
  }
  pid_ = -1;
  return run;
}

termios TerminalRun::Modes() const {
  termios modes{};
  tcgetattr(slave_, &modes);
  return modes;
}

bool SameModes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

TempTree::TempTree() {
  std::string pattern =
      (fs::temp_directory_path() / "sarnelux-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  root_ = pattern;
}

TempTree::~TempTree() {
  // Make everything removable again, read-only folders included.
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root_, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      error);
    }
  }
  fs::remove_all(root_, error);
}

std::string TempTree::Path(const std::string& relative) const {
  return root_ + "/" + relative;
}

void TempTree::Write(const std::string& relative,
                     const std::string& bytes) const {
  const fs::path path = Path(relative);
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempTree::Read(const std::string& relative) const {
  std::ifstream file(Path(relative), std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> TempTree::Snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_regular_file() && !entry.is_symlink()) {
      const std::string relative = fs::relative(entry.path(), root_).string();
      files[relative] = Read(relative);
    }
  }
  return files;
}

int BindSocket(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  if (sock >= 0 &&
      bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

std::vector<std::string> ListingOrder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  return names;
}

}  // namespace sarnelux::testing_support
