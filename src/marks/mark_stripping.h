// Rewrites a file that begins with EF BB BF so that it holds the same bytes
// without those three.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/services.h"
#include "rewrite/mark_shift.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

// Why a file that the gate let through was not stripped.
enum class StripFailure {
  kNone,
  kNotOpened,   // not opened for writing; the platform tells why
  kNoBlock,     // no memory to move its bytes through
  kNotRead,     // could not be read whole
  kNotUtf8,     // begins with another mark: nothing to remove
  kNoMark,      // begins with no mark (any more): passed over in silence
  kNotWritten,  // the rewrite failed; its line tells what became of it
  kSeenBefore,  // reached again by another path
  kHeld,        // taken into a batch: told of when the batch is written
  kChanged,     // another program changed its length while it was rewritten
  kNoRoom,      // its file system copies on write and lacks the room
};

// True only when the file began with EF BB BF and now holds everything after
// those three bytes, every byte of it confirmed written. A rewrite that fails
// puts the original bytes back, or saves them beside the file, and says so.
// A file already in the visit record (reached again by another path) is
// passed over without a word. When false, failure (if given) tells why.
// With a record, every region is stated in it before it is written, so that
// a run killed outright leaves the next run what it needs to finish the
// file.
// With read_ahead, the caller judged the file by first bytes read ahead of
// it, which may be out of date: a file that begins with no mark now is
// passed over in silence (kNoMark), as if only now opened.
bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited = nullptr,
                   StripFailure* failure = nullptr,
                   RewriteRecord* record = nullptr, bool read_ahead = false);

class MarkedFile;

// The same for a file already opened and found to begin with the mark.
bool StripOpened(Services& services, MarkedFile& marked, VisitRecord* visited,
                 StripFailure& failure, RewriteRecord* record);

// The same, in steps: a file opened for update and held by this run, its
// first block read and found to begin with the mark, then rewritten, then
// closed and told of.
class MarkedFile {
 public:
  MarkedFile(Services& services, std::string path)
      : services_(services), path_(std::move(path)) {}
  ~MarkedFile();
  MarkedFile(const MarkedFile&) = delete;
  MarkedFile& operator=(const MarkedFile&) = delete;

  // False when the file cannot be rewritten; its line, if any, is out.
  // Regions are at most `largest` bytes.
  bool Open(VisitRecord* visited, StripFailure& failure, std::int64_t largest);
  // A file found to begin with no mark is passed over in silence: it was
  // judged by first bytes read ahead, which may be out of date.
  void PassOverUnmarked() { pass_over_unmarked_ = true; }
  // Its first block holds it whole: it is rewritten in one region.
  bool whole() const { return shift_->whole(); }

  const std::string& path() const { return path_; }
  FileHandle file() const { return file_; }
  std::int64_t length() const { return length_; }
  // Its identity, asked of the system once; false when it cannot tell.
  bool Identify();
  const FileIdentity& identity() const { return identity_; }
  const MemoryBlock& block() const { return block_; }
  // Its new content, while it is rewritten in one region.
  const unsigned char* content() const { return block_.data() + kMarkLength; }

  // Moves its bytes, stating every region in the record when there is one;
  // what failed is put right, or the original saved beside.
  RewriteOutcome Rewrite(VisitRecord* visited, RewriteRecord* record);
  // The file was not written: it is as it was.
  void Untouched() { outcome_ = RewriteOutcome::kRestored; }
  RewriteOutcome outcome() const { return outcome_; }

  // Closes the file and writes its line; true when it is stripped.
  bool Conclude(VisitRecord* visited, StripFailure& failure);

 private:
  Services& services_;
  std::string path_;
  FileHandle file_ = kNoFile;
  FileIdentity identity_;
  bool identified_ = false;
  std::int64_t length_ = 0;
  MemoryBlock block_;
  std::optional<MarkShift> shift_;
  Original at_;
  bool read_failed_ = false;
  bool pass_over_unmarked_ = false;
  RewriteOutcome outcome_ = RewriteOutcome::kStripped;
  std::string saved_;
};

}  // namespace sarnelux
