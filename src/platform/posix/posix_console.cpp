// The console on POSIX: standard output for lines, the terminal (or whatever
// standard input is) for key presses, and signals for console events.
//
// Signals play the Windows console events: SIGINT and SIGTERM are Ctrl+C,
// SIGQUIT is Ctrl+Break and SIGHUP is the window being closed. A signal
// handler may do next to nothing safely, so it only notes the signal; the
// main flow answers it as soon as it holds no file (at once, when it is
// waiting for a key or writing a line): it runs the console-event handler
// and then lets the signal's default action end the process. This keeps the
// process single-threaded, which spares every system call glibc's
// thread-safe slow path.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

constexpr int kEscape = 0x1B;
constexpr int kEscapeFollowUpMs = 10;
constexpr int kConsoleSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t pending_signal = 0;
// Set while the main flow writes a line and no file is open for writing: a
// signal then ends the process from the handler itself, since a write to a
// pipe nobody reads may never return. Nothing is lost by skipping the
// console-event handler there: no file holds buffered bytes, and the system
// closes the descriptors.
volatile std::sig_atomic_t end_on_signal = 0;
// Written to by the signal handler, so that a wait for a key that begins
// just after a signal still wakes up for it.
int wake_pipe[2] = {-1, -1};

// Set while a progress line stands on the terminal, so that whatever
// writes there next, a signal's end included, takes it away first.
volatile std::sig_atomic_t progress_on_screen = 0;
constexpr char kEraseLine[] = "\r\x1b[K";

// Writes to the terminal without a word on failure, and without touching
// errno or the failure the run may be about to ask for: progress is no
// output, and a lost bit of it is no fault.
void WriteQuietly(int fd, const char* bytes, std::size_t count) {
  const int saved_errno = errno;
  while (count > 0) {
    const ssize_t put = write(fd, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
  errno = saved_errno;
}

// Async-signal-safe, as the signal handler may call it.
void EraseProgress() {
  if (progress_on_screen == 0) return;
  progress_on_screen = 0;
  WriteQuietly(STDERR_FILENO, kEraseLine, sizeof kEraseLine - 1);
}

termios saved_terminal{};
volatile std::sig_atomic_t terminal_changed = 0;

// Sets the terminal's modes even from the background: a process that is
// not in the terminal's foreground group would otherwise be stopped by
// SIGTTOU, and could never put back the modes it found.
bool SetTerminal(const termios& modes) {
  sigset_t ttou;
  sigset_t previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  const bool set = tcsetattr(STDIN_FILENO, TCSANOW, &modes) == 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return set;
}

// Async-signal-safe, as the signal handler may call it.
void RestoreTerminal() {
  if (terminal_changed != 0) SetTerminal(saved_terminal);
  terminal_changed = 0;
}

[[noreturn]] void EndBySignal(int sig) {
  EraseProgress();
  RestoreTerminal();
  // No gate read may still be in flight once the process is gone.
  DrainGateBeforeExit();
  signal(sig, SIG_DFL);
  // From within the handler the signal is blocked until it returns.
  sigset_t just_sig;
  sigemptyset(&just_sig);
  sigaddset(&just_sig, sig);
  sigprocmask(SIG_UNBLOCK, &just_sig, nullptr);
  raise(sig);
  _exit(128 + sig);
}

extern "C" void NoteSignal(int sig) {
  if (end_on_signal != 0) EndBySignal(sig);
  const int saved_errno = errno;
  pending_signal = sig;
  const char byte = 1;
  if (wake_pipe[1] >= 0) (void)!write(wake_pipe[1], &byte, 1);
  errno = saved_errno;
}

ConsoleEvent EventFor(int sig) {
  switch (sig) {
    case SIGHUP:
      return ConsoleEvent::kClose;
    case SIGQUIT:
      return ConsoleEvent::kCtrlBreak;
    default:
      return ConsoleEvent::kCtrlC;
  }
}

// True when the output has room for a line now (a pipe or terminal with
// space, or a file).
bool TakesLineAtOnce(int fd) {
  pollfd out{fd, POLLOUT, 0};
  return poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0;
}

}  // namespace

void PosixPlatform::AnswerPendingSignal() {
  const int sig = pending_signal;
  if (sig == 0 || guard_depth_ > 0) return;
  pending_signal = 0;
  if (handler_ && handler_(EventFor(sig))) return;
  EndBySignal(sig);
}

void PosixPlatform::EnterGuard() { ++guard_depth_; }

void PosixPlatform::LeaveGuard() {
  if (--guard_depth_ == 0 && pending_signal != 0) AnswerPendingSignal();
}

bool PosixPlatform::WaitReadable(int timeout_ms, short& revents) {
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
  for (;;) {
    const int ready = poll(watched, wake_pipe[0] >= 0 ? 2 : 1, timeout_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && watched[1].revents == 0) break;
    char drained[16];
    while (wake_pipe[0] >= 0 &&
           read(wake_pipe[0], drained, sizeof drained) > 0) {
    }
    AnswerPendingSignal();
    if (ready == 0) break;
  }
  revents = watched[0].revents;
  return revents != 0;
}

void PosixPlatform::ConsoleOpen() {
  output_is_terminal_ = isatty(STDOUT_FILENO) != 0;
  // Only where someone watches, and never from the background, where a
  // write to the terminal may stop the run (tostop).
  progress_showable_ =
      isatty(STDERR_FILENO) != 0 && tcgetpgrp(STDERR_FILENO) == getpgrp();
  input_is_terminal_ = isatty(STDIN_FILENO) != 0;
  // A run in the background leaves the terminal to the foreground job.
  if (!input_is_terminal_ || tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
  // One key at a time and no echo, from now on: keys pressed during the walk
  // stay pending for the closing wait, as they do in a Windows console.
  termios raw{};
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
  raw = saved_terminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  terminal_changed = SetTerminal(raw) ? 1 : 0;
}

void PosixPlatform::ConsoleClose() {
  EraseProgress();
  RestoreTerminal();
}

bool PosixPlatform::ConsoleWrite(const char* bytes, std::size_t count) {
  if (output_closed_) {
    NoteFailure(EBADF);
    return false;
  }
  if (output_is_terminal_) EraseProgress();
  return WriteWhole(STDOUT_FILENO, bytes, count);
}

bool PosixPlatform::DiagnosticWrite(const char* bytes, std::size_t count) {
  EraseProgress();
  return WriteWhole(STDERR_FILENO, bytes, count);
}

void PosixPlatform::ShowProgress(const std::string& text) {
  if (text.empty()) {
    EraseProgress();
    return;
  }
  // Cut to the terminal's width: a line that wrapped could not be taken
  // back with a carriage return.
  std::size_t width = 80;
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
    width = size.ws_col;
  }
  std::string line = "\r";
  line.append(text, 0, width - 1).append("\x1b[K");
  WriteQuietly(STDERR_FILENO, line.data(), line.size());
  progress_on_screen = 1;
}

std::int64_t PosixPlatform::MonotonicMilliseconds() {
  timespec now{};
#ifdef CLOCK_MONOTONIC_COARSE
  // Read from memory the kernel shares (vDSO): no system call.
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
  clock_gettime(CLOCK_MONOTONIC, &now);
#endif
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool PosixPlatform::KeyWaitUseful() {
  // A prompt nobody sees, or a key nobody can press, only stalls the run:
  // output to a log, input from a file or a pipe.
  return isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
}

bool PosixPlatform::WriteWhole(int fd, const char* bytes, std::size_t count) {
  // A closed pipe must not end the run: a failure is told, not fatal.
  while (count > 0) {
    // A full pipe must not hold a signal off. While no file is open for
    // writing, a signal that lands as the write blocks ends the process
    // there and then; one that is already pending is answered first, or,
    // with the guard held (the line reports a rewrite just over), once the
    // line is out, unless the console cannot take it at once.
    AnswerPendingSignal();
    if (writers_.empty()) {
      end_on_signal = 1;
      const int sig = pending_signal;
      if (sig != 0 && !TakesLineAtOnce(fd)) EndBySignal(sig);
    }
    const ssize_t put = write(fd, bytes, count);
    const int error = errno;
    end_on_signal = 0;
    if (put < 0 && error == EINTR) {
      AnswerPendingSignal();
      continue;
    }
    if (put <= 0) {
      NoteFailure(put < 0 ? error : EIO);
      return false;
    }
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
  return true;
}

bool PosixPlatform::ReadInputByte(unsigned char& byte) {
  if (lookahead_ >= 0) {
    byte = static_cast<unsigned char>(lookahead_);
    lookahead_ = -1;
    return true;
  }
  for (;;) {
    // Sleep where a signal wakes the wait up, never in read() itself: a
    // console event ends a key wait whatever part of a key (an escape
    // sequence's next byte, say) it is waiting for.
    short revents = 0;
    if (!WaitReadable(-1, revents)) {
      input_ended_ = true;
      return false;
    }
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) return true;
    if (got < 0 && errno == EINTR) {
      AnswerPendingSignal();
      continue;
    }
    if (got < 0 && errno == EAGAIN) return false;
    input_ended_ = true;  // end of input, or input that cannot be read
    return false;
  }
}

int PosixPlatform::ConsolePendingEvents() {
  if (lookahead_ >= 0) return 1;
  if (input_ended_) return 0;
  short revents = 0;
  if (!WaitReadable(0, revents)) return 0;
  // A hang-up or error is pending too: reading it reveals the end of input.
  return 1;
}

bool PosixPlatform::ConsoleReadEvent(InputEvent& event) {
  unsigned char byte = 0;
  if (!ReadInputByte(byte)) return false;
  event.key_down = true;
  event.character = static_cast<char>(byte);
  if (!input_is_terminal_ || byte != kEscape) return true;
  // Arrow, function and editing keys arrive as escape sequences; like keys
  // without a character on Windows, they do not end a key wait.
  short revents = 0;
  unsigned char next = 0;
  if (!WaitReadable(kEscapeFollowUpMs, revents) || !ReadInputByte(next)) {
    return true;  // a lone Escape
  }
  if (next == 'O') {
    ReadInputByte(next);
  } else if (next == '[') {
    while (ReadInputByte(next) && (next < 0x40 || next > 0x7E)) {
    }
  } else {
    lookahead_ = next;
    return true;
  }
  event.character = 0;
  return true;
}

bool PosixPlatform::ConsoleWaitForInput() {
  if (lookahead_ >= 0) return true;
  if (input_ended_) return false;
  short revents = 0;
  if (!WaitReadable(-1, revents) || (revents & POLLNVAL) != 0) {
    input_ended_ = true;
    return false;
  }
  return true;
}

void PosixPlatform::SetConsoleEventHandler(ConsoleEventHandler handler) {
  // A signal noted under the old handler is answered by it.
  AnswerPendingSignal();
  handler_ = std::move(handler);
  if (signals_installed_ || !handler_) return;
  if (pipe(wake_pipe) == 0) {
    for (int end : wake_pipe) {
      fcntl(end, F_SETFL, O_NONBLOCK);
      fcntl(end, F_SETFD, FD_CLOEXEC);
    }
  } else {
    wake_pipe[0] = wake_pipe[1] = -1;
  }
  struct sigaction action {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait for a key must wake up
  for (int sig : kConsoleSignals) {
    struct sigaction previous {};
    // A signal the process was started to ignore stays ignored.
    if (sigaction(sig, nullptr, &previous) == 0 &&
        previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(sig, &action, nullptr);
  }
  signals_installed_ = true;
}

void PosixPlatform::HoldUntilProcessEnds() {
  for (;;) pause();
}

PosixPlatform::PosixPlatform(int argc, char** argv) {
  // A closed standard stream would hand its number to the first file
  // opened, and console lines would land in that file.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // Lines for a closed standard output are lost, and told of as such
      // (as ls >&- says "write error"), not written to /dev/null unseen.
      output_closed_ = output_closed_ || fd == STDOUT_FILENO;
      const int opened =
          open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
      }
    }
  }
  // Console output that nobody reads anymore is simply lost, as on Windows.
  signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit (ulimit -f) fails like any other
  // failed write, instead of ending the process half-way through a rewrite.
  signal(SIGXFSZ, SIG_IGN);
  for (int i = 1; i < argc; ++i) args_.emplace_back(argv[i]);
  gate_ = StartGateSource([this] { AnswerPendingSignal(); });
}

PosixPlatform::~PosixPlatform() {
  AnswerPendingSignal();
  handler_ = nullptr;
  RestoreTerminal();
}

CommandLine PosixPlatform::GetArguments() {
  CommandLine command_line;
  command_line.args = args_;
  return command_line;
}

void PosixPlatform::EndProcess(int status) {
  RestoreTerminal();
  DrainGateBeforeExit();
  _exit(status);
}

}  // namespace sarnelux
