// The console on POSIX: standard output for lines, the terminal (or whatever
// standard input is) for key presses, and signals for console events.
//
// Signals play the Windows console events: SIGINT and SIGTERM are Ctrl+C,
// SIGQUIT is Ctrl+Break and SIGHUP is the window being closed. They are
// blocked in every thread and taken by one thread of their own, which runs
// the handler exactly as Windows runs a console control handler: on another
// thread, free to wait for the main flow. Then the signal's default action
// ends the process.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

constexpr int kEscape = 0x1B;
constexpr int kEscapeFollowUpMs = 10;

struct SignalState {
  std::mutex mutex;
  ConsoleEventHandler handler;
  bool thread_started = false;
};

// Shared with the signal thread, which outlives every platform object.
SignalState& Signals() {
  static auto* state = new SignalState;
  return *state;
}

struct TerminalState {
  std::mutex mutex;
  termios saved{};
  bool changed = false;
};

TerminalState& Terminal() {
  static auto* state = new TerminalState;
  return *state;
}

void RestoreTerminal() {
  TerminalState& terminal = Terminal();
  std::lock_guard<std::mutex> lock(terminal.mutex);
  if (terminal.changed) tcsetattr(STDIN_FILENO, TCSANOW, &terminal.saved);
  terminal.changed = false;
}

sigset_t ConsoleSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  return set;
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

[[noreturn]] void EndBySignal(int sig) {
  RestoreTerminal();
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);  // only this thread takes it, and its default action ends all
  _exit(128 + sig);
}

void SignalLoop() {
  const sigset_t set = ConsoleSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    SignalState& signals = Signals();
    // Held to the end, so that the main flow cannot finish the run after the
    // handler has let the process go.
    std::lock_guard<std::mutex> lock(signals.mutex);
    if (!signals.handler || !signals.handler(EventFor(sig))) EndBySignal(sig);
  }
}

bool WaitReadable(int timeout_ms, short& revents) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&input, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  revents = input.revents;
  return ready > 0;
}

}  // namespace

void PosixPlatform::ConsoleOpen() {
  input_is_terminal_ = isatty(STDIN_FILENO) != 0;
  if (!input_is_terminal_) return;
  // One key at a time and no echo, from now on: keys pressed during the walk
  // stay pending for the closing wait, as they do in a Windows console.
  TerminalState& terminal = Terminal();
  std::lock_guard<std::mutex> lock(terminal.mutex);
  termios raw{};
  if (tcgetattr(STDIN_FILENO, &terminal.saved) != 0) return;
  raw = terminal.saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  terminal.changed = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void PosixPlatform::ConsoleClose() { RestoreTerminal(); }

void PosixPlatform::ConsoleWrite(const char* bytes, std::size_t count) {
  // Failures are not reported: a closed pipe must not end the run.
  while (count > 0) {
    const ssize_t put = write(STDOUT_FILENO, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
}

bool PosixPlatform::ReadInputByte(unsigned char& byte) {
  if (lookahead_ >= 0) {
    byte = static_cast<unsigned char>(lookahead_);
    lookahead_ = -1;
    return true;
  }
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got == 1) return true;
    if (got < 0 && errno == EINTR) continue;
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
  SignalState& signals = Signals();
  std::lock_guard<std::mutex> lock(signals.mutex);
  signals.handler = std::move(handler);
  if (signals.thread_started || !signals.handler) return;
  const sigset_t set = ConsoleSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalLoop).detach();
  signals.thread_started = true;
}

void PosixPlatform::HoldUntilProcessEnds() {
  for (;;) pause();
}

PosixPlatform::PosixPlatform(int argc, char** argv) {
  // A closed standard stream would hand its number to the first file
  // opened, and console lines would land in that file.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
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
  for (int i = 1; i < argc; ++i) args_.emplace_back(argv[i]);
}

PosixPlatform::~PosixPlatform() {
  SetConsoleEventHandler(nullptr);
  RestoreTerminal();
}

CommandLine PosixPlatform::GetArguments() {
  CommandLine command_line;
  command_line.args = args_;
  return command_line;
}

void PosixPlatform::EndProcess(int status) {
  RestoreTerminal();
  _exit(status);
}

}  // namespace sarnelux
