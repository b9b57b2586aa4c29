// The tool's console: lines out, single key presses in, and the handler for
// the console's control events.
#pragma once

#include <string>

#include "platform/file_service.h"
#include "platform/platform.h"
#include "platform/run_report.h"

namespace sarnelux {

class ConsoleWindow {
 public:
  ConsoleWindow(Platform& platform, FileService& files)
      : platform_(platform), files_(files), report_(platform) {}

  // Opens the console and installs the control-event handler.
  void Open();
  // Writes the text and the platform's line end in one write.
  void WriteLine(const std::string& text);
  // Writes the text followed by the path, printed safely (PrintedPath).
  void WriteLine(const std::string& text, const std::string& path);
  // The character of the first pending key-down event, or an empty text when
  // there is none or it carries no character. Never blocks.
  std::string PollKey();
  // Polls until a key yields a character, blocking on console input between
  // polls. Returns an empty text at once when no key can ever arrive.
  std::string WaitForKey();
  void Close();

  // What the control-event handler does, whatever the event: let a rewrite in
  // flight complete, then close every open file, so that the platform's
  // default handling ends a process whose files are all whole.
  bool OnConsoleEvent(ConsoleEvent event);

  // What the run could not do, and the exit status that sums it up.
  RunReport& report() { return report_; }

  // Work in flight that may hold lines back, with every line after them
  // (none: nullptr).
  void HoldLines(HeldLines* held) {
    held_ = held;
    report_.HoldLines(held);
  }
  // Writes a line held back before, to the console or the diagnostics.
  void Emit(bool diagnostic, const std::string& line);

 private:
  Platform& platform_;
  HeldLines* held_ = nullptr;
  FileService& files_;
  RunReport report_;
};

}  // namespace sarnelux
