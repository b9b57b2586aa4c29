#include "marks/mark_stripping.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sarnelux {
namespace {

constexpr int kSaveAttempts = 10;
constexpr std::int64_t kMarkLength = 3;
constexpr unsigned char kMarkBytes[kMarkLength] = {0xEF, 0xBB, 0xBF};
constexpr std::int32_t kCompareChunk = 4096;
// A block holds the three original bytes carried over from the step before,
// a step's worth of bytes, and one spare byte: a read that reaches the
// file's end asks for one byte more, to learn in the same call that the
// file ends where its length said.
constexpr std::int64_t kBlockOverhead = kMarkLength + 1;
constexpr std::int64_t kSmallestStep = 4096;

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
};

// How a rewrite ended.
enum class RewriteOutcome {
  kStripped,
  kRestored,  // the file holds its original bytes again
  kSaved,     // the original bytes are in a new file beside it
  kLost,      // the original bytes could be neither put back nor saved
};

// One rewrite: the file, opened for update and held by this run from its
// first read until it is whole, and the one block its bytes move through.
class MarkShift {
 public:
  MarkShift(FileService& files, FileHandle file, std::int64_t length,
            MemoryBlock& block)
      : files_(files),
        file_(file),
        length_(length),
        buffer_(block.data()),
        step_(static_cast<std::int32_t>(block.size() - kBlockOverhead)) {}

  // Reads the first block; false when the file could not be read whole
  // (short, or longer than its length said).
  bool ReadHead() {
    first_ = std::min<std::int64_t>(length_, step_ + kMarkLength);
    return ReadExactly(0, buffer_, first_);
  }
  bool BeginsWithMark() const {
    return first_ >= kMarkLength &&
           std::memcmp(buffer_, kMarkBytes, kMarkLength) == 0;
  }

  // Moves every byte after the mark three places towards the start and
  // cuts the file. On failure, `at` tells where the original content is
  // and `read_failed` whether a read, not a write, gave out.
  bool Forward(Original& at, bool& read_failed) {
    // The block holds the three original bytes before the ones to write,
    // then those: at first the mark and what follows it.
    std::int64_t from = kMarkLength;  // offset of the first byte to write
    std::int64_t to = first_;         // just past the last one held
    for (;;) {
      const auto count = static_cast<std::int32_t>(to - from);
      at = {from - kMarkLength, buffer_ + kMarkLength, count, to};
      if (!WriteChecked(from - kMarkLength, buffer_ + kMarkLength, count)) {
        read_failed = false;
        return false;
      }
      at = {to - kMarkLength, nullptr, 0, to};
      if (to == length_) break;
      // The last three bytes held precede the next ones to read.
      std::memmove(buffer_, buffer_ + count, kMarkLength);
      from = to;
      to = std::min<std::int64_t>(length_, from + step_);
      if (!ReadExactly(from, buffer_ + kMarkLength, to - from)) {
        at = {from - kMarkLength, nullptr, 0, from};
        read_failed = true;
        return false;
      }
    }
    // Another writer may have changed the length meanwhile; then cutting
    // would lose its bytes, or the old tail would hold what it wrote.
    read_failed = files_.FileLength(file_) != length_;
    return !read_failed && files_.Truncate(file_, length_ - kMarkLength);
  }

  // Writes the original content back in place, from the state `at`
  // describes, the reverse of Forward; true once the file holds it again.
  // On failure `at` tells where the original content is then.
  bool Back(Original& at) {
    if (at.held_count > 0) {
      if (!WriteChecked(at.head + kMarkLength, at.held, at.held_count)) {
        return false;
      }
      at = {at.head, nullptr, 0, at.head + kMarkLength};
    }
    while (at.head > 0) {
      const auto count =
          static_cast<std::int32_t>(std::min<std::int64_t>(at.head, step_));
      const std::int64_t start = at.head - count;
      if (!ReadExactly(start, buffer_, count, /*at_end=*/false)) return false;
      at = {start, buffer_, count, at.head + kMarkLength};
      if (!WriteChecked(start + kMarkLength, buffer_, count)) return false;
      at = {start, nullptr, 0, start + kMarkLength};
    }
    return WriteChecked(0, kMarkBytes, kMarkLength);
  }

  // Streams the original content into `copy`, a new file; true when every
  // byte of it landed there.
  bool CopyOriginal(FileHandle copy, const Original& at) {
    // What is held lives in the block, so it goes first.
    if (at.held_count > 0 &&
        files_.WriteAt(copy, at.head + kMarkLength, at.held, at.held_count) !=
            at.held_count) {
      return false;
    }
    return files_.WriteAt(copy, 0, kMarkBytes, kMarkLength) == kMarkLength &&
           CopyRange(copy, 0, at.head, kMarkLength) &&
           CopyRange(copy, at.resume, length_, 0);
  }

 private:
  // Reads exactly count bytes at offset; when they reach the length, also
  // that nothing follows them.
  bool ReadExactly(std::int64_t offset, unsigned char* into, std::int64_t count,
                   bool at_end = true) {
    const bool last = at_end && offset + count == length_;
    const auto wanted = static_cast<std::int32_t>(count + (last ? 1 : 0));
    return files_.ReadAt(file_, offset, into, wanted) == count;
  }

  // Writes the bytes at offset. A write that reports failure may still have
  // landed, or failed only where nothing changed, so what the file holds is
  // then looked at rather than guessed.
  bool WriteChecked(std::int64_t offset, const unsigned char* bytes,
                    std::int32_t count) {
    if (files_.WriteAt(file_, offset, bytes, count) == count) return true;
    unsigned char landed[kCompareChunk];
    for (std::int32_t done = 0; done < count;) {
      const std::int32_t piece = std::min(kCompareChunk, count - done);
      if (files_.ReadAt(file_, offset + done, landed, piece) != piece ||
          std::memcmp(landed, bytes + done, static_cast<std::size_t>(piece)) !=
              0) {
        return false;
      }
      done += piece;
    }
    return true;
  }

  // Copies the file's bytes [begin, end) to the copy, shifted by `shift`.
  bool CopyRange(FileHandle copy, std::int64_t begin, std::int64_t end,
                 std::int64_t shift) {
    for (std::int64_t at = begin; at < end;) {
      const auto count =
          static_cast<std::int32_t>(std::min<std::int64_t>(end - at, step_));
      if (!ReadExactly(at, buffer_, count, /*at_end=*/false) ||
          files_.WriteAt(copy, at + shift, buffer_, count) != count) {
        return false;
      }
      at += count;
    }
    return true;
  }

  FileService& files_;
  FileHandle file_;
  std::int64_t length_;
  unsigned char* buffer_;
  std::int32_t step_;  // bytes read per step, besides the three carried over
  std::int64_t first_ = 0;
};

// Keeps the original bytes in a new file beside the damaged one. Returns the
// new file's path, or an empty text when no complete copy could be written
// (a partial one is removed). The copy is this run's own: the walk, which
// may meet it later in the same folder, passes it over.
std::string SaveBeside(FileService& files, const std::string& file_path,
                       MarkShift& shift, const Original& at,
                       VisitRecord* visited) {
  for (int attempt = 1; attempt <= kSaveAttempts; ++attempt) {
    std::string saved = file_path + ".bom-original";
    if (attempt > 1) saved.append("-").append(std::to_string(attempt));
    const FileHandle copy = files.CreateNew(saved);
    if (copy == kNoFile) continue;  // taken by another file: try the next
    FileIdentity identity;
    if (visited != nullptr && files.Identity(copy, identity)) {
      visited->FirstVisit(identity);
    }
    const bool copied = shift.CopyOriginal(copy, at);
    if (files.Close(copy) && copied) return saved;
    files.Remove(saved);
    return {};
  }
  return {};
}

// One block however big the file: a small file fits it whole and takes one
// read and one write, a big one streams through it; where memory is short, a
// smaller block serves.
MemoryBlock BlockFor(FileService& files, std::int64_t length) {
  if (length <= 0) return {};
  const std::int64_t step =
      std::min<std::int64_t>(length, FileService::kStreamBlockSize);
  MemoryBlock block =
      files.AllocateBlock(static_cast<std::int32_t>(step + kBlockOverhead));
  if (!block && step > kSmallestStep) {
    block = files.AllocateBlock(
        static_cast<std::int32_t>(kSmallestStep + kBlockOverhead));
  }
  return block;
}

// After a rewrite that failed, or was cut off by another writer: the
// original back in place, or else beside the file.
RewriteOutcome Repair(FileService& files, const std::string& file_path,
                      MarkShift& shift, Original at, VisitRecord* visited,
                      std::string& saved) {
  if (shift.Back(at)) return RewriteOutcome::kRestored;
  saved = SaveBeside(files, file_path, shift, at, visited);
  return saved.empty() ? RewriteOutcome::kLost : RewriteOutcome::kSaved;
}

}  // namespace

bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited, StripFailure* failure) {
  auto fail = [failure](StripFailure why) {
    if (failure != nullptr) *failure = why;
    return false;
  };
  FileService& files = services.files;
  const FileHandle file = files.OpenForUpdate(file_path);
  if (file == kNoFile) return fail(StripFailure::kNotOpened);
  FileIdentity identity;
  if (visited != nullptr && files.Identity(file, identity) &&
      !visited->FirstVisit(identity)) {
    files.Close(file);
    return fail(StripFailure::kSeenBefore);
  }

  const std::int64_t length = files.FileLength(file);
  MemoryBlock block = BlockFor(files, length);
  if (!block) {
    services.console.WriteLine("not enough memory to open file ", file_path);
    files.Close(file);
    return fail(StripFailure::kNoBlock);
  }
  MarkShift shift(files, file, length, block);
  if (!shift.ReadHead()) {
    services.console.WriteLine("can not read file ", file_path);
    files.Close(file);
    return fail(StripFailure::kNotRead);
  }
  if (!shift.BeginsWithMark()) {
    services.console.WriteLine("no valid utf-8 BOM in file ", file_path);
    files.Close(file);
    return fail(StripFailure::kNotUtf8);
  }

  // A console event waits until the file is whole again, one way or another,
  // and its line is out: every file stripped is reported. (A console nobody
  // reads does not hold the event off: once no file is open for writing,
  // the platform may end the process during the line.)
  FileService::RewriteShield shield(files);
  Original at;
  bool read_failed = false;
  RewriteOutcome outcome = RewriteOutcome::kStripped;
  std::string saved;
  if (!shift.Forward(at, read_failed)) {
    outcome = Repair(files, file_path, shift, at, visited, saved);
    files.Close(file);
  } else if (!files.Close(file)) {
    // Every byte was handed over, and yet the system says not all of them
    // reached the file: put the original back through a new handle.
    const FileHandle again = files.OpenForUpdate(file_path);
    MarkShift reopened(files, again, length, block);
    outcome = again == kNoFile
                  ? RewriteOutcome::kLost
                  : Repair(files, file_path, reopened, at, visited, saved);
    if (!files.Close(again) && outcome == RewriteOutcome::kRestored) {
      outcome = RewriteOutcome::kLost;
    }
  }
  FileService::ReleaseBlock(block);
  switch (outcome) {
    case RewriteOutcome::kStripped:
      services.console.WriteLine("successfully removed BOM of file ",
                                 file_path);
      return true;
    case RewriteOutcome::kRestored:
      services.console.WriteLine(
          read_failed ? "can not read file " : "can not write file ",
          file_path);
      return fail(read_failed ? StripFailure::kNotRead
                              : StripFailure::kNotWritten);
    case RewriteOutcome::kSaved:
      services.console.WriteLine(
          "can not write file, original bytes saved in ", saved);
      return fail(StripFailure::kNotWritten);
    case RewriteOutcome::kLost:
      services.console.WriteLine("can not restore file ", file_path);
      return fail(StripFailure::kNotWritten);
  }
  return fail(StripFailure::kNotWritten);
}

}  // namespace sarnelux
