// The console over kernel32: a console of the program's own, lines written
// to it (or to the file or pipe standard output was redirected to), key
// events read from it, and the console control handler.
#include <windows.h>

#include <climits>

#include "platform/win32/win32_platform.h"

namespace sarnelux {
namespace {

struct ControlState {
  CRITICAL_SECTION lock;
  CRITICAL_SECTION guard;  // the files' guard, shared with the handler
  ConsoleEventHandler handler;
  bool installed = false;
};

// Shared with the handler threads Windows starts; never destroyed.
ControlState& Control() {
  static ControlState* state = [] {
    auto* created = new ControlState;
    InitializeCriticalSection(&created->lock);
    InitializeCriticalSection(&created->guard);
    return created;
  }();
  return *state;
}

BOOL WINAPI OnControlEvent(DWORD type) {
  ControlState& control = Control();
  EnterCriticalSection(&control.lock);
  if (control.handler && control.handler(static_cast<ConsoleEvent>(type))) {
    LeaveCriticalSection(&control.lock);
    return TRUE;
  }
  // Left held on purpose: while the default handling ends the process, the
  // main flow must not get past the console's close and finish the run.
  return FALSE;
}

}  // namespace

Win32Platform::~Win32Platform() = default;

CommandLine Win32Platform::GetArguments() {
  CommandLine command_line;
  command_line.is_single_line = true;
  command_line.line = GetCommandLineA();
  return command_line;
}

void Win32Platform::ConsoleOpen() {
  // Fails when the process already has a console; then that one is used.
  own_console_ = AllocConsole() != 0;
  input_ = GetStdHandle(STD_INPUT_HANDLE);
  output_ = GetStdHandle(STD_OUTPUT_HANDLE);
  // Under a UTF-8 active code page (set by the manifest) paths are UTF-8;
  // the console must show them as such, not in its OEM code page.
  if (GetACP() == CP_UTF8) {
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      original_output_code_page_ = current;
    }
  }
}

void Win32Platform::ShowProgress(const std::string& text) {
  if (!title_saved_) {
    char title[1024] = {};
    GetConsoleTitleA(title, sizeof title);
    original_title_ = title;
    title_saved_ = true;
  }
  SetConsoleTitleA(text.empty() ? original_title_.c_str() : text.c_str());
}

std::int64_t Win32Platform::MonotonicMilliseconds() {
  return static_cast<std::int64_t>(GetTickCount64());
}

void Win32Platform::ConsoleClose() {
  if (original_output_code_page_ != 0) {
    SetConsoleOutputCP(original_output_code_page_);
  }
  FreeConsole();
}

bool Win32Platform::ConsoleWrite(const char* bytes, std::size_t count) {
  DWORD written = 0;
  const auto length = static_cast<DWORD>(count);
  // WriteConsoleA fails when the output is a file or a pipe.
  if (WriteConsoleA(output_, bytes, length, &written, nullptr) ||
      (WriteFile(output_, bytes, length, &written, nullptr) &&
       written == length)) {
    return true;
  }
  last_error_ = GetLastError();
  return false;
}

int Win32Platform::ConsolePendingEvents() {
  DWORD pending = 0;
  if (!GetNumberOfConsoleInputEvents(input_, &pending)) return -1;
  return pending > INT_MAX ? INT_MAX : static_cast<int>(pending);
}

bool Win32Platform::ConsoleReadEvent(InputEvent& event) {
  INPUT_RECORD record{};
  DWORD read = 0;
  if (!ReadConsoleInputA(input_, &record, 1, &read) || read != 1) return false;
  event.key_down =
      record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown != 0;
  event.character = event.key_down ? record.Event.KeyEvent.uChar.AsciiChar : 0;
  return true;
}

bool Win32Platform::ConsoleWaitForInput() {
  // Input redirected from a file or a pipe is no console: no key can come.
  DWORD mode = 0;
  if (!GetConsoleMode(input_, &mode)) return false;
  return WaitForSingleObject(input_, INFINITE) == WAIT_OBJECT_0;
}

void Win32Platform::SetConsoleEventHandler(ConsoleEventHandler handler) {
  ControlState& control = Control();
  EnterCriticalSection(&control.lock);
  control.handler = std::move(handler);
  if (!control.installed && control.handler) {
    control.installed = SetConsoleCtrlHandler(OnControlEvent, TRUE) != 0;
  }
  LeaveCriticalSection(&control.lock);
}

void Win32Platform::EnterGuard() { EnterCriticalSection(&Control().guard); }

void Win32Platform::LeaveGuard() { LeaveCriticalSection(&Control().guard); }

void Win32Platform::HoldUntilProcessEnds() {
  for (;;) Sleep(INFINITE);
}

}  // namespace sarnelux
