#include "rewrite/mark_shift.h"

#include <algorithm>
#include <cstring>

namespace sarnelux {
namespace {

constexpr int kSaveAttempts = 10;
constexpr std::int32_t kCompareChunk = 4096;
// A block holds the three original bytes carried over from the step before,
// a step's worth of bytes, and one spare byte: a read that reaches the
// file's end asks for one byte more, to learn in the same call that the
// file ends where its length said.
constexpr std::int64_t kBlockOverhead = kMarkLength + 1;
constexpr std::int64_t kSmallestStep = 4096;

// Keeps the original bytes in a new file beside the damaged one. Returns the
// new file's path, or an empty text when no complete copy could be written
// (a partial one is removed). The copy is this run's own: the walk, which
// may meet it later in the same folder, passes it over.
std::string SaveBeside(FileService& files, const std::string& file_path,
                       FileHandle file, MarkShift& shift, const Original& at,
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
    // Made readable by this run's user alone, it is given the file's own
    // permissions before a byte is in it; where they cannot be given, it
    // stays so.
    files.CopyAccess(file, copy);
    const bool copied = shift.CopyOriginal(copy, at);
    if (files.Close(copy) && copied) return saved;
    files.Remove(saved);
    return {};
  }
  return {};
}

}  // namespace

MemoryBlock BlockFor(FileService& files, std::int64_t length,
                     std::int64_t largest) {
  if (length <= 0) return {};
  const std::int64_t step = std::min(length, largest);
  MemoryBlock block =
      files.AllocateBlock(static_cast<std::int32_t>(step + kBlockOverhead));
  if (!block && step > kSmallestStep) {
    block = files.AllocateBlock(
        static_cast<std::int32_t>(kSmallestStep + kBlockOverhead));
  }
  return block;
}

std::int32_t LargestRegion(const MemoryBlock& block) {
  return static_cast<std::int32_t>(block.size() - kBlockOverhead + kMarkLength);
}

MarkShift::MarkShift(FileService& files, FileHandle file, std::int64_t length,
                     MemoryBlock& block, RewriteRecord* record)
    : files_(files),
      file_(file),
      length_(length),
      buffer_(block.data()),
      step_(static_cast<std::int32_t>(block.size() - kBlockOverhead)),
      record_(record) {}

bool MarkShift::Load(std::int64_t from) {
  from_ = from;
  to_ = std::min<std::int64_t>(length_, from + step_);
  const std::int64_t start = std::max<std::int64_t>(0, from - kMarkLength);
  return to_ >= start && ReadExactly(start, buffer_, to_ - start);
}

bool MarkShift::BeginsWithMark() const {
  return to_ >= kMarkLength &&
         std::memcmp(buffer_, kMarkBytes, kMarkLength) == 0;
}

bool MarkShift::Forward(Original& at, bool& read_failed) {
  // The block holds the three original bytes before the ones to write,
  // then those: at first the mark and what follows it.
  std::int64_t from = from_;  // offset of the first byte to write
  std::int64_t to = to_;      // just past the last one held
  for (bool first = true;; first = false) {
    const auto count = static_cast<std::int32_t>(to - from);
    at = {from - kMarkLength, buffer_ + kMarkLength, count, to};
    // Nothing is written unless the record could say so first: when that
    // fails at once, the file is as it was.
    if (record_ != nullptr &&
        !record_->Note(MoveWay::kToStart, from - kMarkLength,
                       buffer_ + kMarkLength, count)) {
      if (first) at = {0, nullptr, 0, kMarkLength, true};
      read_failed = false;
      return false;
    }
    // A file cut or grown by another program since the last block is
    // written no more: the bytes past its end are that program's now.
    if ((!first && !LengthHolds()) ||
        !WriteSparing(from - kMarkLength, buffer_ + kMarkLength, count)) {
      read_failed = false;
      return false;
    }
    if (record_ != nullptr) record_->Landed();
    at = {to - kMarkLength, nullptr, 0, to};
    if (to == length_) break;
    if (progress_ != nullptr) progress_->Rewriting(to, length_);
    // The last three bytes held precede the next ones to read.
    std::memmove(buffer_, buffer_ + count, kMarkLength);
    from = to;
    // Regions whose bytes and whose place both lie in one hole are zeros
    // before and after: passed over, neither read, stated nor written.
    if (const std::int64_t next = PastHole(from); next > from) {
      from = next;
      std::memset(buffer_, 0, kMarkLength);
      at = {from - kMarkLength, nullptr, 0, from};
    }
    to = std::min<std::int64_t>(length_, from + step_);
    if (!ReadOrZeros(from, buffer_ + kMarkLength, to - from)) {
      at = {from - kMarkLength, nullptr, 0, from};
      read_failed = true;
      LengthHolds();
      return false;
    }
  }
  // Another writer may have changed the length meanwhile; then cutting
  // would lose its bytes, or the old tail would hold what it wrote.
  // A length that cannot be asked is no sign of another writer, but no
  // leave to cut either.
  const std::int64_t now = files_.FileLength(file_);
  changed_ = now >= 0 && now != expected_;
  read_failed = now != expected_;
  if (read_failed || !files_.Truncate(file_, length_ - kMarkLength)) {
    return false;
  }
  WasCut();
  return true;
}

bool MarkShift::LengthHolds() {
  if (!changed_) {
    const std::int64_t now = files_.FileLength(file_);
    changed_ = now >= 0 && now != expected_;
  }
  return !changed_;
}

bool MarkShift::Back(Original& at) {
  if (at.untouched) return true;
  bool wrote_start = false;
  if (at.held_count > 0) {
    // The block holds, before what the failed write covered, the three
    // original bytes that precede it: rewritten with it, the region starts
    // where the write did, on a unit's boundary.
    const unsigned char* old = at.held - kMarkLength;
    if (!LengthHolds() ||
        !NoteAndWrite(MoveWay::kBack, at.head, old,
                      at.held_count + static_cast<std::int32_t>(kMarkLength))) {
      return false;
    }
    wrote_start = at.head == 0;
    at = {at.head, nullptr, 0, at.head + kMarkLength};
  }
  while (at.head > 0) {
    // Regions begin on a step's boundary, as the forward ones did, so that
    // a write cut short leaves each unit whole.
    const std::int64_t head = at.head;
    const std::int64_t start = (head - 1) / step_ * step_;
    const auto count = static_cast<std::int32_t>(head + kMarkLength - start);
    // A region that lies in a hole with the bytes it would be written from
    // holds zeros either way.
    if (start > 0 && InHole(start - kMarkLength, head + kMarkLength)) {
      at = {start, nullptr, 0, start + kMarkLength};
      continue;
    }
    bool read = false;
    if (start == 0) {
      std::memcpy(buffer_, kMarkBytes, kMarkLength);
      read = ReadOrZeros(0, buffer_ + kMarkLength, head, /*at_end=*/false);
    } else {
      read = ReadOrZeros(start - kMarkLength, buffer_, count, /*at_end=*/false);
    }
    if (!read) return false;
    at = {start, buffer_ + kMarkLength, static_cast<std::int32_t>(head - start),
          head + kMarkLength};
    if (!LengthHolds() ||
        !NoteAndWrite(MoveWay::kBack, start, buffer_, count)) {
      return false;
    }
    at = {start, nullptr, 0, start + kMarkLength};
    wrote_start = start == 0;
  }
  return wrote_start ||
         (LengthHolds() &&
          NoteAndWrite(MoveWay::kBack, 0, kMarkBytes, kMarkLength));
}

bool MarkShift::CopyOriginal(FileHandle copy, const Original& at) {
  // What is held lives in the block, so it goes first.
  if (at.held_count > 0 && files_.WriteAt(copy, at.head + kMarkLength, at.held,
                                          at.held_count) != at.held_count) {
    return false;
  }
  // What lies in a hole is not written: the copy has a hole there too,
  // and is given its length at the end.
  return files_.WriteAt(copy, 0, kMarkBytes, kMarkLength) == kMarkLength &&
         CopyRange(copy, 0, at.head, kMarkLength) &&
         CopyRange(copy, at.resume, length_, 0) &&
         (files_.FileLength(copy) == length_ || files_.Truncate(copy, length_));
}

bool MarkShift::ReadExactly(std::int64_t offset, unsigned char* into,
                            std::int64_t count, bool at_end) {
  // When the bytes reach the length, also that nothing follows them.
  const bool last = at_end && offset + count == length_;
  const auto wanted = static_cast<std::int32_t>(count + (last ? 1 : 0));
  return files_.ReadAt(file_, offset, into, wanted) == count;
}

bool MarkShift::ReadOrZeros(std::int64_t offset, unsigned char* into,
                            std::int64_t count, bool at_end) {
  if (!InHole(offset, offset + count)) {
    return ReadExactly(offset, into, count, at_end);
  }
  std::memset(into, 0, static_cast<std::size_t>(count));
  return true;
}

bool MarkShift::Sparse() {
  if (sparse_ < 0) {
    // Asked once: a file with no hole when its rewrite begins is written
    // as it always was.
    std::int64_t data = 0;
    std::int64_t hole = 0;
    sparse_ =
        files_.DataAt(file_, 0, data, hole) && (data > 0 || hole < length_) ? 1
                                                                            : 0;
  }
  return sparse_ == 1;
}

void MarkShift::GiveBackFilled() {
  for (const auto& [begin, end] : filled_) {
    files_.GiveBack(file_, begin, end - begin);
  }
  filled_.clear();
}

std::int64_t MarkShift::PastHole(std::int64_t from) {
  std::int64_t data = from;
  std::int64_t hole = from;
  if (!Sparse() || !files_.DataAt(file_, from - kMarkLength, data, hole) ||
      data <= from - kMarkLength) {
    return from;
  }
  // The region that holds the data, or the file's last byte.
  const std::int64_t first = std::min(data, length_ - 1) - kMarkLength;
  return std::max(from, kMarkLength + first / step_ * step_);
}

bool MarkShift::InHole(std::int64_t begin, std::int64_t end) {
  std::int64_t data = begin;
  std::int64_t hole = end;
  return begin < end && Sparse() && files_.DataAt(file_, begin, data, hole) &&
         data >= end;
}

bool MarkShift::WriteSparing(std::int64_t offset, const unsigned char* bytes,
                             std::int32_t count) {
  const std::int64_t end = offset + count;
  for (std::int64_t at = offset; at < end;) {
    std::int64_t data = at;
    std::int64_t hole = end;
    // Past the length the file has, every byte is written: it must reach
    // that far.
    if (!Sparse() || at >= expected_ || !files_.DataAt(file_, at, data, hole)) {
      data = at;
      hole = end;
    }
    data = std::min({std::max(data, at), end, expected_});
    if (data > at) {
      // [at, data) lies in a hole: only what is not a zero goes there.
      const unsigned char* first = bytes + (at - offset);
      const unsigned char* last = bytes + (data - offset);
      const auto nonzero = [](unsigned char byte) { return byte != 0; };
      const unsigned char* lead = std::find_if(first, last, nonzero);
      if (lead != last) {
        const unsigned char* trail = last;
        while (trail[-1] == 0) --trail;
        // The blocks the bytes land in are taken from the hole: noted
        // first, as a write that fails may have taken them too. Noted in
        // the unit a file system takes room in (NTFS: 16 clusters of a
        // sparse file, 64 KiB with 4 KiB clusters, given back only whole),
        // as far as the hole reaches: the whole hole held zeros.
        constexpr std::int64_t kBlock = 64 * 1024;
        const std::int64_t low = offset + (lead - bytes);
        const std::int64_t high = offset + (trail - bytes);
        filled_.emplace_back(
            std::max(at, low / kBlock * kBlock),
            std::min(data, (high + kBlock - 1) / kBlock * kBlock));
        if (!WriteChecked(low, lead, static_cast<std::int32_t>(high - low))) {
          return false;
        }
      }
      at = data;
      continue;
    }
    std::int64_t piece_end = std::min(hole, end);
    if (piece_end <= at) piece_end = end;
    if (!WriteChecked(at, bytes + (at - offset),
                      static_cast<std::int32_t>(piece_end - at))) {
      return false;
    }
    at = piece_end;
  }
  return true;
}

bool MarkShift::WriteChecked(std::int64_t offset, const unsigned char* bytes,
                             std::int32_t count) {
  // A write that reports failure may still have landed, or failed only
  // where nothing changed, so what the file holds is then looked at rather
  // than guessed.
  // Writing the old bytes back over a cut file makes it longer again.
  expected_ = std::max(expected_, offset + count);
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

bool MarkShift::NoteAndWrite(MoveWay way, std::int64_t offset,
                             const unsigned char* bytes, std::int32_t count) {
  if (record_ == nullptr) return WriteSparing(offset, bytes, count);
  if (!record_->Note(way, offset, bytes, count) ||
      !WriteSparing(offset, bytes, count)) {
    return false;
  }
  record_->Landed();
  return true;
}

bool MarkShift::CopyRange(FileHandle copy, std::int64_t begin, std::int64_t end,
                          std::int64_t shift) {
  // Copies the file's bytes [begin, end) to the copy, shifted by `shift`.
  for (std::int64_t at = begin; at < end;) {
    const auto count =
        static_cast<std::int32_t>(std::min<std::int64_t>(end - at, step_));
    if (InHole(at, at + count)) {
      at += count;
      continue;
    }
    if (!ReadExactly(at, buffer_, count, /*at_end=*/false) ||
        files_.WriteAt(copy, at + shift, buffer_, count) != count) {
      return false;
    }
    at += count;
  }
  return true;
}

RewriteOutcome Repair(FileService& files, const std::string& file_path,
                      MarkShift& shift, Original at, VisitRecord* visited,
                      std::string& saved) {
  // The undo is for failures of this run's own writes: over bytes another
  // program wrote, or past the end it cut the file at, it would put the
  // mark and old bytes in front of that program's, and zeros between.
  if (!at.untouched && !shift.LengthHolds()) return RewriteOutcome::kChanged;
  if (shift.Back(at)) {
    shift.GiveBackFilled();
    return RewriteOutcome::kRestored;
  }
  if (shift.changed()) return RewriteOutcome::kChanged;
  saved = SaveBeside(files, file_path, shift.file(), shift, at, visited);
  return saved.empty() ? RewriteOutcome::kLost : RewriteOutcome::kSaved;
}

}  // namespace sarnelux
