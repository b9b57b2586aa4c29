#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace sarnelux::testing_support {

namespace fs = std::filesystem;

std::string ToolPath() {
  const char* path = std::getenv("SARNELUX_TOOL");
  return path != nullptr ? path : SARNELUX_TOOL_PATH;
}

namespace {

// Starts the program; stdin_fd is dup'ed onto its standard input.
pid_t Spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd,
            int run_as_uid) {
  const std::string tool = ToolPath();
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here to exec.
  dup2(stdin_fd, 0);
  dup2(stdout_fd, 1);
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);  // SIGQUIT would dump core otherwise
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
    signal(sig, SIG_DFL);
  if (run_as_uid >= 0 && (setgid(static_cast<gid_t>(run_as_uid)) != 0 ||
                          setuid(static_cast<uid_t>(run_as_uid)) != 0)) {
    _exit(126);
  }
  execv(tool.c_str(), argv.data());
  _exit(127);
}

}  // namespace

pid_t StartTool(const std::vector<std::string>& args, int& out_fd) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = Spawn(args, null, out[1], -1);
  close(null);
  close(out[1]);
  out_fd = out[0];
  return pid;
}

ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options) {
  int out[2];
  int in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  int input = -1;
  if (options.input.empty()) {
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    input = in[0];
  } else {
    input = open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
  }
  const pid_t pid = Spawn(args, input, out[1], options.run_as_uid);
  close(input);
  close(out[1]);
  std::thread feeder;
  if (in[1] >= 0) {
    feeder = std::thread([&options, fd = in[1]] {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(options.pipe_delay_ms));
      if (!options.pipe_input.empty()) {
        (void)!write(fd, options.pipe_input.data(), options.pipe_input.size());
      }
      close(fd);
    });
  }

  ToolRun run;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(options.timeout_ms);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{out[0], POLLIN, 0};
    if (left.count() <= 0 ||
        poll(&fd, 1, static_cast<int>(left.count())) == 0) {
      run.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (feeder.joinable()) feeder.join();
  run.cpu_seconds =
      static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
          1e6;
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
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
