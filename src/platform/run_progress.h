// How far a long run has come, shown where someone watches it and nowhere
// else: files examined, marks removed or found, and how much of a big file
// is rewritten. Nothing shows before the run has gone on for about a
// second, and it is redrawn at most a few times a second.
//
// It costs the walk one increment per file and, every kFilesPerLook files,
// one read of a cheap clock; the rewrite, one read per block it moves.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace sarnelux {

class RunProgress {
 public:
  static constexpr std::int64_t kFirstShowMs = 1000;
  static constexpr std::int64_t kRedrawMs = 250;
  static constexpr std::uint32_t kFilesPerLook = 64;

  explicit RunProgress(Platform& platform) : platform_(platform) {}

  // Watches a run whose count of marks removed (or, listing, found) is
  // `marks`, when `wanted` and the platform has somewhere to show it.
  void Start(const std::int32_t* marks, bool list_only, bool wanted);
  void FileExamined() {
    if (active_ && ++files_ % kFilesPerLook == 0) Look();
  }
  // Inside a rewrite: `done` of the file's `total` bytes are moved.
  void Rewriting(std::int64_t done, std::int64_t total) {
    if (!active_) return;
    done_ = done;
    total_ = total;
    Look();
  }
  void RewriteOver() { total_ = 0; }
  // Takes the progress away, so that the run's last lines stand alone.
  void Stop();

  // What is shown: public for its tests.
  std::string Text() const;

 private:
  void Look();

  Platform& platform_;
  bool active_ = false;
  bool shown_ = false;
  bool list_only_ = false;
  const std::int32_t* marks_ = nullptr;
  std::uint64_t files_ = 0;
  std::int64_t done_ = 0;
  std::int64_t total_ = 0;
  std::int64_t started_ms_ = 0;
  std::int64_t drawn_ms_ = 0;
};

}  // namespace sarnelux
