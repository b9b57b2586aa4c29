#include "platform/console_window.h"

namespace sarnelux {

void ConsoleWindow::Open() {
  platform_.ConsoleOpen();
  platform_.SetConsoleEventHandler(
      [this](ConsoleEvent event) { return OnConsoleEvent(event); });
}

void ConsoleWindow::WriteLine(const std::string& text) {
  if (!text.empty()) platform_.ConsoleWrite(text.data(), text.size());
  platform_.ConsoleWrite("\r\n", 2);
}

std::string ConsoleWindow::PollKey() {
  const int pending = platform_.ConsolePendingEvents();
  for (int taken = 0; taken < pending; ++taken) {
    InputEvent event;
    // A failed read still counts as one event taken.
    if (!platform_.ConsoleReadEvent(event) || !event.key_down) continue;
    if (event.character == 0) return {};
    return std::string(1, event.character);
  }
  return {};
}

std::string ConsoleWindow::WaitForKey() {
  for (;;) {
    std::string key = PollKey();
    if (!key.empty()) return key;
    if (!platform_.ConsoleWaitForInput()) return {};
  }
}

void ConsoleWindow::Close() {
  // The handler refers to this window and its file service; no event may
  // reach it once they are going away.
  platform_.SetConsoleEventHandler(nullptr);
  platform_.ConsoleClose();
}

bool ConsoleWindow::OnConsoleEvent(ConsoleEvent /*event*/) {
  files_.StopForConsoleEvent();
  return false;
}

}  // namespace sarnelux
