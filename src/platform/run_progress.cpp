#include "platform/run_progress.h"

#include <cstdio>

namespace sarnelux {
namespace {

// A size in the largest unit that keeps it at or above 1, one decimal.
std::string Size(std::int64_t bytes) {
  constexpr const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value,
                kUnits[unit]);
  return text;
}

}  // namespace

void RunProgress::Start(const std::int32_t* marks, bool list_only,
                        bool wanted) {
  active_ = wanted && platform_.ProgressShowable();
  if (!active_) return;
  marks_ = marks;
  list_only_ = list_only;
  files_ = 0;
  total_ = 0;
  started_ms_ = platform_.MonotonicMilliseconds();
  drawn_ms_ = started_ms_;
}

void RunProgress::Look() {
  const std::int64_t now = platform_.MonotonicMilliseconds();
  if (now - started_ms_ < kFirstShowMs || now - drawn_ms_ < kRedrawMs) return;
  drawn_ms_ = now;
  shown_ = true;
  platform_.ShowProgress(Text());
}

std::string RunProgress::Text() const {
  std::string text = "sarnelux: " + std::to_string(files_) +
                     (files_ == 1 ? " file examined, " : " files examined, ");
  const std::int32_t marks = marks_ != nullptr ? *marks_ : 0;
  text += std::to_string(marks) + (marks == 1 ? " mark " : " marks ") +
          (list_only_ ? "found" : "removed");
  if (total_ > 0) {
    text += ", rewriting " + Size(done_) + " of " + Size(total_);
  }
  return text;
}

void RunProgress::Stop() {
  if (shown_) platform_.ShowProgress("");
  active_ = false;
  shown_ = false;
}

}  // namespace sarnelux
