// Moves a file's bytes three places towards its start, in place, through one
// bounded block; and, when that fails, moves them back or saves the original
// beside the file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_service.h"
#include "platform/run_progress.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

inline constexpr std::int64_t kMarkLength = 3;
inline constexpr unsigned char kMarkBytes[kMarkLength] = {0xEF, 0xBB, 0xBF};

// The file is rewritten in place, one block at a time, in increasing offset
// order: the bytes read at offset i + 3 are written at offset i. So at every
// moment between two writes the file holds its new content up to some
// offset, followed by its old content from that offset on: every original
// byte is still in the file, and the three that the mark pushed out are
// known. While a write is under way, what it covers is uncertain, and the
// original bytes it covers are held in memory.
//
// `Original` tells where the original content is at any such moment: the
// mark, then the file's bytes [0, head), then `held` (the original bytes
// the last write covered, when it failed), then the file's own bytes from
// `resume` = head + 3 + held_count to the end.
struct Original {
  std::int64_t head = 0;
  const unsigned char* held = nullptr;
  std::int32_t held_count = 0;
  std::int64_t resume = kMarkLength;
  bool untouched = false;  // no byte of the file was written
};

// How a rewrite ended.
enum class RewriteOutcome {
  kStripped,
  kRestored,  // the file holds its original bytes again
  kSaved,     // the original bytes are in a new file beside it
  kLost,      // the original bytes could be neither put back nor saved
  // Another program changed the file's length meanwhile (cut it, as a log
  // rotated by truncation is, or wrote past its end): writing stopped at
  // once, and nothing was put back over bytes this run did not write.
  kChanged,
};

// One block however big the file: a small file fits it whole and takes one
// read and one write, a big one streams through it; where memory is short, a
// smaller block serves. No step is larger than `largest`.
MemoryBlock BlockFor(FileService& files, std::int64_t length,
                     std::int64_t largest = FileService::kStreamBlockSize);

// The biggest region one write of a shift covers with this block: a step,
// and, when a failed write is undone, the three bytes before it.
std::int32_t LargestRegion(const MemoryBlock& block);

// One rewrite: the file, opened for update and held by this run from its
// first read until it is whole, and the one block its bytes move through.
// With a record, every region is stated in it before it is written.
class MarkShift {
 public:
  MarkShift(FileService& files, FileHandle file, std::int64_t length,
            MemoryBlock& block, RewriteRecord* record = nullptr);

  // Reads the block that starts `from` (the first byte still to move) and
  // the three original bytes before it; false when the file could not be
  // read whole (short, or longer than its length said).
  bool Load(std::int64_t from);
  // Reads the first block: the mark and what follows it.
  bool ReadHead() { return Load(kMarkLength); }
  bool BeginsWithMark() const;
  // The first bytes the first block read, and how many (at most four).
  const unsigned char* head() const { return buffer_; }
  std::int32_t head_count() const {
    return static_cast<std::int32_t>(std::min<std::int64_t>(to_, 4));
  }
  // The first block loaded holds the file whole.
  bool whole() const { return from_ == kMarkLength && to_ == length_; }
  // States every region in this record before writing it (none: nullptr).
  void UseRecord(RewriteRecord* record) { record_ = record; }
  // Tells how far Forward has come, block by block (none: nullptr).
  void ShowProgressIn(RunProgress* progress) { progress_ = progress; }

  // Moves every byte from the loaded block on three places towards the
  // start and cuts the file. On failure, `at` tells where the original
  // content is and `read_failed` whether a read, not a write, gave out.
  bool Forward(Original& at, bool& read_failed);

  // Writes the original content back in place, from the state `at`
  // describes, the reverse of Forward; true once the file holds it again.
  // On failure `at` tells where the original content is then.
  bool Back(Original& at);

  // Streams the original content into `copy`, a new file; true when every
  // byte of it landed there.
  bool CopyOriginal(FileHandle copy, const Original& at);

  // Writes the bytes at offset, looking at what the file holds when the
  // write reports failure: it may still have landed.
  bool WriteChecked(std::int64_t offset, const unsigned char* bytes,
                    std::int32_t count);

  // False once the file is seen at another length than this run's own
  // writes and cut left it at (a length that cannot be asked is no such
  // sign); changed() then says so for good.
  bool LengthHolds();
  bool changed() const { return changed_; }
  FileHandle file() const { return file_; }
  // Once the original is back in place: gives back the room this rewrite
  // took in the file's holes, which hold zeros again.
  void GiveBackFilled();
  // The file was cut to its new length (through another handle).
  void WasCut() { expected_ = length_ - kMarkLength; }

 private:
  bool ReadExactly(std::int64_t offset, unsigned char* into, std::int64_t count,
                   bool at_end = true);
  // The same, with zeros for bytes that lie in a hole, unread.
  bool ReadOrZeros(std::int64_t offset, unsigned char* into, std::int64_t count,
                   bool at_end = true);
  // True when the file had a hole when first asked.
  bool Sparse();
  // Where the forward loop goes on from `from`, a region's first byte:
  // past the regions that lie in a hole, bytes and place alike.
  std::int64_t PastHole(std::int64_t from);
  // True when the file's bytes [begin, end) all lie in a hole.
  bool InHole(std::int64_t begin, std::int64_t end);
  // WriteChecked, leaving out the zeros that would fall in a hole: a hole
  // stays a hole, and a file with holes takes no more room on the disk.
  bool WriteSparing(std::int64_t offset, const unsigned char* bytes,
                    std::int32_t count);
  bool CopyRange(FileHandle copy, std::int64_t begin, std::int64_t end,
                 std::int64_t shift);
  // States a region in the record, when there is one, then writes it.
  bool NoteAndWrite(MoveWay way, std::int64_t offset,
                    const unsigned char* bytes, std::int32_t count);

  FileService& files_;
  FileHandle file_;
  std::int64_t length_;
  unsigned char* buffer_;
  std::int32_t step_;  // bytes read per step, besides the three carried over
  RewriteRecord* record_;
  RunProgress* progress_ = nullptr;
  std::int64_t from_ = kMarkLength;  // the first byte of the block to move
  std::int64_t to_ = 0;              // just past the block's last byte
  std::int64_t expected_ = length_;  // the length the file should have
  bool changed_ = false;             // another program changed the length
  int sparse_ = -1;  // the file has holes: 1, none: 0, not asked yet: -1
  // Ranges of the file's holes that this rewrite's writes filled.
  std::vector<std::pair<std::int64_t, std::int64_t>> filled_;
};

// After a rewrite that failed, or was cut off by another writer: the
// original back in place, or else beside the file (whose path `saved` then
// gets).
RewriteOutcome Repair(FileService& files, const std::string& file_path,
                      MarkShift& shift, Original at, VisitRecord* visited,
                      std::string& saved);

}  // namespace sarnelux
