// What a run could not do. Each thing is told as it happens, in one line
// "sarnelux: PATH: reason" where the platform's diagnostics go, and all of
// it is summed up in the exit status: 2 when anything could not be examined
// or written (this wins), else 1 when a UTF-8 mark is left, else 0.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace sarnelux {

// Work whose lines are held back (rewrites waiting to share one flush):
// while it holds any, every other line waits behind them, so that lines
// keep the order of the work they tell of.
class HeldLines {
 public:
  // Takes a whole line (line end included) to be written later, in order;
  // false when nothing is held and it is to be written now.
  virtual bool Hold(bool diagnostic, const std::string& line) = 0;

 protected:
  ~HeldLines() = default;
};

class RunReport {
 public:
  explicit RunReport(Platform& platform) : platform_(platform) {}

  // A hidden report says nothing and ends every run with 0, as the Windows
  // program's runs that strip do. Hidden until the run knows its mode.
  void Show(bool shown) { shown_ = shown; }

  // Something could not be examined or written.
  void Failed(const std::string& path, std::string_view reason);
  // Something went wrong that a line of its own tells.
  void FailedLine(std::string_view text) {
    failed_ = true;
    Say(text);
  }
  // The same, for the platform call that has just failed.
  void LastCallFailed(const std::string& path);
  // A file keeps its UTF-8 mark: held off by a rule of the tool's (a
  // read-only file), or, when failed, because something went wrong.
  void MarkLeft(const std::string& path, std::string_view why, bool failed);
  // The command line asks for nothing that can be done; whatever was said
  // of it is shown.
  void Refuse() {
    shown_ = true;
    failed_ = true;
  }
  // A list-only run found a UTF-8 mark.
  void MarkFound() { marks_left_ = true; }
  // Console output was lost; told once, at the end.
  void OutputLost(const std::string& reason);
  // A line "sarnelux: " and the text, shown or not.
  void Say(std::string_view text);
  // A line of its own, as it is.
  void Line(std::string_view text);

  // Tells of lost output, if any, and returns the run's exit status.
  int Finish();

  void HoldLines(HeldLines* held) { held_ = held; }
  // Writes a line held back before.
  void Emit(const std::string& line);

 private:
  Platform& platform_;
  HeldLines* held_ = nullptr;
  bool shown_ = false;
  bool failed_ = false;
  bool marks_left_ = false;
  bool output_lost_ = false;
  std::string lost_reason_;
};

}  // namespace sarnelux
