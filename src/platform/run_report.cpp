#include "platform/run_report.h"

#include "platform/printed_path.h"

namespace sarnelux {

void RunReport::Line(std::string_view text) {
  if (!shown_) return;
  std::string line(text);
  line.append(platform_.Conventions().line_end);
  if (held_ == nullptr || !held_->Hold(true, line)) Emit(line);
}

void RunReport::Emit(const std::string& line) {
  // One write per line: lines of two streams interleave whole.
  platform_.DiagnosticWrite(line.data(), line.size());
}

void RunReport::Say(std::string_view text) {
  Line(std::string("sarnelux: ").append(text));
}

void RunReport::Failed(const std::string& path, std::string_view reason) {
  failed_ = true;
  Say(PrintedPath(path).append(": ").append(reason));
}

void RunReport::LastCallFailed(const std::string& path) {
  Failed(path, platform_.LastFailure().reason);
}

void RunReport::MarkLeft(const std::string& path, std::string_view why,
                         bool failed) {
  marks_left_ = true;
  failed_ = failed_ || failed;
  Say(PrintedPath(path).append(": UTF-8 mark left: ").append(why));
}

void RunReport::OutputLost(const std::string& reason) {
  if (output_lost_) return;
  output_lost_ = true;
  lost_reason_ = reason;
}

int RunReport::Finish() {
  if (output_lost_) {
    failed_ = true;
    Say("write error: " + lost_reason_);
  }
  if (!shown_) return 0;
  return failed_ ? 2 : marks_left_ ? 1 : 0;
}

}  // namespace sarnelux
