// The record a rewrite in place keeps beside its work, so that a run killed
// outright (SIGKILL, the OOM killer, End task) leaves nothing the next run
// cannot put right.
//
// A rewrite moves a region of the file by three bytes at a time, one write
// per region. Before each write the record states, for every 4 KiB unit of
// the region's new content, a hash of the unit and the three bytes that the
// unit cannot rebuild from its own old bytes (its last three when the
// content moves towards the start, its first three when it moves back).
// After a kill the only unknown is which units of the last region landed:
// each one either hashes as the new content, or is still old and can be
// rebuilt from its own bytes and the three recorded. A unit that is neither
// (a write torn inside a unit) is refused, never guessed.
//
// The record is a file of the user's state folder, one per run, held by
// that run alone (flock on POSIX, share modes on Windows) and reused for
// every file the run rewrites: a header naming the file (identity, length,
// path), then two slots that take the entries in turn, so that a slot cut
// short by a kill leaves the one before it whole. Header and entries carry
// checksums; an entry's checksum is seeded with its header's, so an entry
// left from another file never passes for this one's.
//
// A batch of small files, each rewritten in one region, is stated at once:
// one such section per file, back to back, each header's checksum seeded
// with the one before it, so that a section left from an earlier batch
// never continues this one.
//
// Identity and length do not prove that a file is the one a kill left: a
// file restored from a backup has both. So each entry also carries a proof
// of what lies before its region, which the rewrite has already written:
// the sum, over every sixteenth 4 KiB unit there, of the unit's hash mixed
// with its place. Content in the old layout, three bytes on, differs from
// the new in nearly every unit, so one unit in sixteen tells a restored
// file; a repair reads the file up to the region and refuses it when the
// sum differs.
//
// Without --durable, what the record must know of each unit is cheaper
// than its hash: a process's write lands in order, whole pages at a time,
// even when the process is killed in it. The entry then keeps, instead of
// the hash, the first and the last place in the unit where its new content
// differs from its old (and both bytes there). Outside those places new
// and old agree, so a unit that shows the new byte at both is new, the old
// byte at both is old, whatever landed of it; one cut between them shows
// one of each and is refused, as is one changed at either place. A unit
// whose new and old content agree from its fourth byte on (content
// repeating every three bytes) comes out right when rebuilt either way. A
// durable rewrite, whose units a power loss may leave torn anywhere or out
// of order, keeps every unit's hash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_service.h"

namespace sarnelux {

inline constexpr std::int32_t kRecordUnit = 4096;
// Every how many units one goes into the proof of what lies before a region.
inline constexpr std::int64_t kProofStride = 16;

// Which way a region's content moves.
enum class MoveWay : std::uint8_t {
  kToStart = 1,  // new[x] = old[x + 3]: the mark is being stripped
  kBack = 2,     // old[x] = new[x - 3]: a failed strip is being undone
};

// Where a unit's new content differs from its old: the first and the last
// such place, with the new and the old byte there. kNoMark where none does.
struct UnitMarks {
  static constexpr std::uint16_t kNoMark = 0xffff;
  std::uint16_t first = kNoMark;
  unsigned char first_new = 0, first_old = 0;
  std::uint16_t last = kNoMark;
  unsigned char last_new = 0, last_old = 0;
};

// One entry, as read back.
struct RegionEntry {
  std::uint64_t sequence = 0;
  MoveWay way = MoveWay::kToStart;
  std::int64_t offset = 0;
  std::int32_t count = 0;
  // The proof of the new content before the region: UnitsProof of
  // [0, offset) as the rewrite left it.
  std::uint64_t before = 0;
  // What the region's new content adds to that proof (moved towards the
  // start only).
  std::uint64_t adds = 0;
  // Whether each unit is told by the places it differs from its old
  // content (`marks`) rather than by its hash (`hashes`).
  bool marked = false;
  std::vector<std::uint64_t> hashes;  // one per unit, unless marked
  std::vector<UnitMarks> marks;       // one per unit, when marked
  std::vector<unsigned char> edges;   // three per unit
};

// What a record says, once its checksums hold.
struct RecordContents {
  std::string path;
  FileIdentity identity;
  std::int64_t length = 0;    // the file's length before the rewrite
  std::int32_t largest = 0;   // the largest region a slot holds
  std::uint64_t seal = 0;     // the header's checksum
  std::int64_t slots_at = 0;  // where its first slot begins
  // The format it is written in: entries added to it keep that format.
  unsigned char version = 0;
  std::int64_t proof_stride = kProofStride;  // of that format
  std::optional<RegionEntry> last;           // the newest whole entry, if any
  // The one before it, whose region a durable rewrite may not have seen
  // reach the disk yet: its flush goes on while the next region is written.
  std::optional<RegionEntry> before_last;
};

// A small file of a batch: its whole new content, written in one region.
struct BatchedFile {
  std::string path;  // full path
  FileIdentity identity;
  std::int64_t length = 0;                 // before the rewrite
  const unsigned char* content = nullptr;  // length - 3 bytes
};

// The 64-bit hash the record uses, of any bytes.
std::uint64_t RecordHash(const unsigned char* bytes, std::size_t count,
                         std::uint64_t seed = 0);

// The proof of `count` bytes that begin at `offset`, a multiple of the
// unit: what a region adds to the proof of what lies before it. Proofs of
// adjacent spans add up (modulo 2^64). Every `stride`th unit goes in.
std::uint64_t UnitsProof(const unsigned char* bytes, std::int64_t offset,
                         std::int32_t count,
                         std::int64_t stride = kProofStride);
// What a unit with this hash, at this place, adds to a proof.
std::uint64_t UnitProof(std::int64_t unit_index, std::uint64_t hash);

// What reading a record found.
enum class RecordState {
  kRead,      // sections as below (none: nothing to put right)
  kCutShort,  // left empty or cut inside its first header by a kill, or
              // dropped: nothing to put right, and to be removed
  kNewer,     // written by a newer version: kept for it
  kUnknown,   // not understood: kept, never guessed at
};

struct RecordRead {
  RecordState state = RecordState::kRead;
  std::vector<RecordContents> sections;
};

// Reads a record file, section by section.
RecordRead ReadRecord(FileService& files, FileHandle file);

// The record of one run, as it writes it.
class RewriteRecord {
 public:
  // `folder` is the state folder (ending with its separator), empty for
  // none; `durable` makes every entry reach the disk before the region it
  // describes is written, and the file's data before the record is dropped.
  RewriteRecord(FileService& files, std::string folder, bool durable);
  ~RewriteRecord() { Finish(); }
  RewriteRecord(const RewriteRecord&) = delete;
  RewriteRecord& operator=(const RewriteRecord&) = delete;

  // Takes over a record left by another run, to go on with its files.
  void Adopt(FileHandle record, std::string record_path);
  // Goes on with the file this section of the adopted record names.
  void Resume(const RecordContents& section);
  // The section's file has been made to hold what its last entry states
  // (mended): the proof goes on from there.
  void ResumeProof(const RecordContents& section);
  // Clears the entries of a section of the adopted record whose file is
  // done with, so that a later run passes it over; its header stays, and
  // with it the sections after it.
  void Forget(const RecordContents& section);
  // The file being rewritten, open.
  void Retarget(FileHandle target) {
    WaitForFlushes();
    target_ = target;
  }

  // Names the file before its first region is written; false when no
  // record can be kept (the rewrite then goes on without one).
  bool Begin(FileHandle target, const std::string& path,
             const FileIdentity& identity, std::int64_t length,
             std::int32_t largest);
  bool active() const { return active_; }
  bool durable() const { return durable_; }
  // A durable rewrite moves bigger regions: each one costs two flushes.
  static constexpr std::int64_t kDurableStep = std::int64_t{16} << 20;
  // The largest region an entry may describe.
  std::int32_t largest() const { return largest_; }

  // States the region about to be written; false when that could not be
  // made sure of, and then the region must not be written.
  bool Note(MoveWay way, std::int64_t offset, const unsigned char* content,
            std::int32_t count);
  // The region just stated has landed in the file. Where durable, its
  // flush starts and goes on while the next region is written: it need be
  // done only when its entry's slot is taken again, two regions on.
  void Landed();

  // How stating a batch went.
  enum class Batch {
    kWithout,  // no record can be kept: the files are written without one
    kNoted,    // stated, and durable when asked to be
    kFailed,   // not made sure of: no file of the batch may be written
  };
  // States every file of a batch, each rewritten in one region, with one
  // write and, when durable, one flush. The files' data must be made
  // durable by the caller before the record is dropped.
  Batch NoteBatch(const std::vector<BatchedFile>& batch);
  // Clears the entry of the batch's file at this place, once it is whole
  // and on the disk, so that a record kept for the others does not make a
  // later run repair it again: a file put back to its original would be
  // stripped then.
  void ForgetBatched(std::size_t index);

  // The file is whole: makes its data durable where asked to, then drops
  // the entry, while the file is still open.
  void Drop();
  // The file is left as the record describes it, for the next run to put
  // right: the record stays, and the next file gets a record of its own.
  void Leave();

  // Closes the run's record and removes it.
  void Finish();

  static constexpr const char* kNamePrefix = "rewrite-";
  static constexpr const char* kNameSuffix = ".record";

 private:
  bool Open();
  std::int64_t SlotOffset(std::uint64_t sequence) const;

  FileService& files_;
  std::string folder_;
  bool durable_;
  FileHandle file_ = kNoFile;
  std::string path_;
  FileHandle target_ = kNoFile;        // the file being rewritten
  bool active_ = false;                // the header names a file not yet whole
  bool without_ = false;               // the record could not be written: none
  std::vector<unsigned char> header_;  // to be written with the first entry
  std::int32_t largest_ = 0;
  unsigned char version_ = 0;  // of the section being written
  std::int64_t slots_at_ = 0;
  std::uint64_t seal_ = 0;
  std::uint64_t sequence_ = 0;
  std::vector<unsigned char> bytes_;  // an entry being put together
  // The flush started after the region of the entry in each slot landed.
  std::uint64_t flushes_[2] = {0, 0};
  // The proof of the new content in [0, proven_to_), as the file holds it
  // once the last region stated has landed.
  std::uint64_t proven_ = 0;
  std::int64_t proven_to_ = 0;
  // Where the slots of each file of the last batch stated begin, and their
  // size.
  std::vector<std::pair<std::int64_t, std::int64_t>> batch_slots_;
  // Waits for every flush still under way.
  void WaitForFlushes();
};

}  // namespace sarnelux
