// The tool's console: lines out, single key presses in, and the handler for
// the console's control events.
#pragma once

#include <string>

#include "platform/file_service.h"
#include "platform/platform.h"
#include "platform/run_progress.h"
#include "platform/run_report.h"

namespace sarnelux {

// How the lines of a run are shown: in full, as they always were; quiet,
// only what happened to files and what went wrong; or as names, each file
// stripped or found as its raw name ended by a NUL byte, for other programs
// (xargs -0) to read.
enum class OutputForm { kFull, kQuiet, kNames };

// What a line tells of, which decides whether and how each form shows it.
enum class Told {
  kRun,        // banner, summary, "ready!", the prompt: the full form only
  kNamed,      // a file stripped, or found by a list-only run: every form
  kLeftAlone,  // a file with another mark, left as it is: the full form only
  kFileNews,   // anything else that became of a file (a failed rewrite, a
               // repair): a line in the full and quiet forms; in the names
               // form, a diagnostic, so that only names reach the output
};

class ConsoleWindow {
 public:
  ConsoleWindow(Platform& platform, FileService& files)
      : platform_(platform),
        files_(files),
        report_(platform),
        progress_(platform) {}

  // Opens the console and installs the control-event handler.
  void Open();
  // Writes the text and the platform's line end in one write.
  void WriteLine(const std::string& text);
  // Writes the text followed by the path, printed safely (PrintedPath).
  void WriteLine(const std::string& text, const std::string& path);
  // A line of the run's or about one file, shown as the form asks: `text`
  // followed by the path (when `path` is given), or just the file's name.
  void Tell(Told what, const std::string& text,
            const std::string* path = nullptr);
  void Tell(Told what, const std::string& text, const std::string& path) {
    Tell(what, text, &path);
  }
  void UseForm(OutputForm form) { form_ = form; }
  OutputForm form() const { return form_; }
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
  // How far a long run has come, for whoever watches it.
  RunProgress& progress() { return progress_; }

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
  OutputForm form_ = OutputForm::kFull;
  FileService& files_;
  RunReport report_;
  RunProgress progress_;
};

}  // namespace sarnelux
