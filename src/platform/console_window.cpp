#include "platform/console_window.h"

#include "platform/printed_path.h"

namespace sarnelux {

void ConsoleWindow::Open() {
  platform_.ConsoleOpen();
  platform_.SetConsoleEventHandler(
      [this](ConsoleEvent event) { return OnConsoleEvent(event); });
}

void ConsoleWindow::WriteLine(const std::string& text) {
  // Text and line end in one write: a line another process writes to the
  // same place at the same time cannot land inside it.
  std::string line = text;
  line.append(platform_.Conventions().line_end);
  if (held_ == nullptr || !held_->Hold(false, line)) Emit(false, line);
}

void ConsoleWindow::Emit(bool diagnostic, const std::string& line) {
  if (diagnostic) {
    report_.Emit(line);
  } else if (!platform_.ConsoleWrite(line.data(), line.size())) {
    report_.OutputLost(platform_.LastFailure().reason);
  }
}

void ConsoleWindow::WriteLine(const std::string& text,
                              const std::string& path) {
  WriteLine(text + PrintedPath(path));
}

void ConsoleWindow::Tell(Told what, const std::string& text,
                         const std::string* path) {
  switch (form_) {
    case OutputForm::kFull:
      break;
    case OutputForm::kQuiet:
      if (what == Told::kRun || what == Told::kLeftAlone) return;
      break;
    case OutputForm::kNames:
      if (what == Told::kNamed && path != nullptr) {
        // Raw: a NUL is the one byte no name holds, so nothing needs quoting.
        std::string name = *path;
        name.push_back('\0');
        if (held_ == nullptr || !held_->Hold(false, name)) Emit(false, name);
      } else if (what == Told::kFileNews) {
        report_.Say(path != nullptr ? text + PrintedPath(*path) : text);
      }
      return;
  }
  WriteLine(path != nullptr ? text + PrintedPath(*path) : text);
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
