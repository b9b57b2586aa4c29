#include "rewrite/rewrite_record.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "rewrite/mark_shift.h"

// Compiled into this file alone: the program needs no library at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace sarnelux {

#ifdef SARNELUX_RECORD_HASH_AVX2
// In record_hash_avx2.cpp, built for AVX2: the hash of a 4 KiB unit takes
// two thirds of the time there, and a rewrite hashes every byte it writes.
std::uint64_t RecordHashAvx2(const unsigned char* bytes, std::size_t count,
                             std::uint64_t seed);
// The hash of each `unit` bytes in turn: one call for a run of units.
void RecordHashUnitsAvx2(const unsigned char* bytes, std::size_t count,
                         std::size_t unit, std::uint64_t* hashes);
#endif

namespace {

// The last byte of the magic is the format's version. 2: entries carry the
// proof of what lies before their region.
constexpr unsigned char kVersion = '2';
constexpr unsigned char kMagic[8] = {'S', 'X', 'R', 'E',
                                     'W', 'R', 'T', kVersion};
constexpr std::size_t kVersionAt = sizeof kMagic - 1;
constexpr std::size_t kHeaderFixed = 40;  // magic, identity, length, sizes
// sequence, way, offset, count, proof of what lies before
constexpr std::size_t kEntryFixed = 8 + 1 + 8 + 4 + 8;
constexpr std::size_t kPerUnit = 8 + 3;
constexpr std::size_t kChecksum = 8;
constexpr std::uint32_t kLongestPath = 1 << 16;
constexpr int kNameAttempts = 1000;

void Put(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  }
}

std::uint64_t Get(const unsigned char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

std::int64_t UnitsOf(std::int64_t count) {
  return (count + kRecordUnit - 1) / kRecordUnit;
}

std::int64_t SlotSize(std::int32_t largest) {
  return static_cast<std::int64_t>(kEntryFixed + kChecksum) +
         UnitsOf(largest) * static_cast<std::int64_t>(kPerUnit);
}

// Appends a header naming the file; returns its checksum, seeded with the
// section's before it (0 for the first).
std::uint64_t AppendHeader(std::vector<unsigned char>& out,
                           const std::string& path,
                           const FileIdentity& identity, std::int64_t length,
                           std::int32_t largest, std::uint64_t seed) {
  const std::size_t begin = out.size();
  for (const unsigned char c : kMagic) out.push_back(c);
  Put(out, identity.volume, 8);
  Put(out, identity.index, 8);
  Put(out, static_cast<std::uint64_t>(length), 8);
  Put(out, static_cast<std::uint32_t>(largest), 4);
  Put(out, static_cast<std::uint32_t>(path.size()), 4);
  out.insert(out.end(), path.begin(), path.end());
  const std::uint64_t seal =
      RecordHash(out.data() + begin, out.size() - begin, seed);
  Put(out, seal, 8);
  return seal;
}

// The hash of each unit of the bytes, the last one perhaps shorter.
void HashUnits(const unsigned char* bytes, std::int32_t count,
               std::uint64_t* hashes) {
#ifdef SARNELUX_RECORD_HASH_AVX2
  if (__builtin_cpu_supports("avx2")) {
    RecordHashUnitsAvx2(bytes, static_cast<std::size_t>(count), kRecordUnit,
                        hashes);
    return;
  }
#endif
  for (std::int32_t at = 0; at < count; at += kRecordUnit) {
    *hashes++ = XXH3_64bits(bytes + at, static_cast<std::size_t>(
                                            std::min(kRecordUnit, count - at)));
  }
}

// Appends an entry stating a region's new content, sealed under its header.
// A big file's rewrite hashes every byte it writes, so the units go straight
// into place, a run of them at a time.
// `proof` is that of the content before the region; where the region is new
// content (moved towards the start), `proven` gets what its units add.
void AppendEntry(std::vector<unsigned char>& out, std::uint64_t sequence,
                 MoveWay way, std::int64_t offset, const unsigned char* content,
                 std::int32_t count, std::uint64_t seal, std::uint64_t proof,
                 std::uint64_t* proven = nullptr) {
  const std::size_t begin = out.size();
  Put(out, sequence, 8);
  out.push_back(static_cast<unsigned char>(way));
  Put(out, static_cast<std::uint64_t>(offset), 8);
  Put(out, static_cast<std::uint32_t>(count), 4);
  Put(out, proof, 8);
  const std::int64_t first_unit = offset / kRecordUnit;
  const std::size_t units_at = out.size();
  out.resize(units_at + static_cast<std::size_t>(UnitsOf(count)) * kPerUnit);
  unsigned char* into = out.data() + units_at;
  constexpr std::int32_t kRun = 64;
  std::uint64_t hashes[kRun];
  for (std::int32_t run = 0; run < count; run += kRun * kRecordUnit) {
    const std::int32_t run_size = std::min(kRun * kRecordUnit, count - run);
    HashUnits(content + run, run_size, hashes);
    for (std::int32_t unit = 0; unit * kRecordUnit < run_size; ++unit) {
      if (proven != nullptr) {
        *proven +=
            UnitProof(first_unit + run / kRecordUnit + unit, hashes[unit]);
      }
      for (int i = 0; i < 8; ++i) {
        *into++ = static_cast<unsigned char>(hashes[unit] >> (8 * i));
      }
      const std::int32_t at = run + unit * kRecordUnit;
      const std::int32_t size = std::min(kRecordUnit, count - at);
      for (std::int32_t i = 0; i < 3; ++i) {
        // The last three bytes, or the first three; a unit shorter than
        // three bytes is padded at the front.
        const std::int32_t from = way == MoveWay::kToStart ? size - 3 + i : i;
        *into++ = from >= 0 && from < size ? content[at + from] : 0;
      }
    }
  }
  Put(out, RecordHash(out.data() + begin, out.size() - begin, seal), 8);
}

// An entry from a slot's bytes, if its checksum under this header holds.
std::optional<RegionEntry> ParseEntry(const std::vector<unsigned char>& slot,
                                      std::int32_t largest,
                                      std::uint64_t seal) {
  if (slot.size() < kEntryFixed + kChecksum) return std::nullopt;
  const unsigned char* in = slot.data();
  RegionEntry entry;
  entry.sequence = Get(in, 8);
  const auto way = in[8];
  entry.offset = static_cast<std::int64_t>(Get(in + 9, 8));
  entry.count = static_cast<std::int32_t>(Get(in + 17, 4));
  entry.before = Get(in + 21, 8);
  if ((way != 1 && way != 2) || entry.count < 0 || entry.count > largest ||
      entry.offset < 0 || entry.sequence == 0) {
    return std::nullopt;
  }
  entry.way = static_cast<MoveWay>(way);
  const auto units = static_cast<std::size_t>(UnitsOf(entry.count));
  const std::size_t size = kEntryFixed + units * kPerUnit;
  if (size + kChecksum > slot.size() ||
      Get(in + size, 8) != RecordHash(in, size, seal)) {
    return std::nullopt;
  }
  for (std::size_t unit = 0; unit < units; ++unit) {
    const unsigned char* at = in + kEntryFixed + unit * kPerUnit;
    entry.hashes.push_back(Get(at, 8));
    entry.edges.insert(entry.edges.end(), at + 8, at + 11);
  }
  return entry;
}

// Why a record's first header does not hold: cut short by a kill (the
// header goes out in one write, into an empty file) or dropped, both with
// nothing to put right; written by a newer version; or not understood.
RecordState FirstHeaderState(const unsigned char* fixed, std::int32_t got,
                             bool ends_inside) {
  const auto present =
      static_cast<std::size_t>(std::clamp<std::int32_t>(got, 0, sizeof kMagic));
  // Dropped: the magic cleared, or, where the drop was cut short, its
  // first bytes cleared and the rest still the magic's.
  std::size_t cleared = 0;
  while (cleared < present && fixed[cleared] == 0) ++cleared;
  if (present == sizeof kMagic && cleared > 0 &&
      std::memcmp(fixed + cleared, kMagic + cleared, sizeof kMagic - cleared) ==
          0) {
    return RecordState::kCutShort;
  }
  if (std::memcmp(fixed, kMagic, std::min(present, kVersionAt)) != 0) {
    return RecordState::kUnknown;
  }
  if (present == sizeof kMagic && fixed[kVersionAt] != kVersion) {
    return fixed[kVersionAt] > kVersion && fixed[kVersionAt] <= '9'
               ? RecordState::kNewer
               : RecordState::kUnknown;
  }
  return ends_inside ? RecordState::kCutShort : RecordState::kUnknown;
}

// The section whose header begins at `offset`, if its checksum, seeded
// with the section's before it, holds. For the first one, `state` tells
// why not.
std::optional<RecordContents> ReadSection(FileService& files, FileHandle file,
                                          std::int64_t offset,
                                          std::uint64_t seed,
                                          RecordState& state) {
  unsigned char fixed[kHeaderFixed] = {};
  const std::int32_t got = files.ReadAt(file, offset, fixed, kHeaderFixed);
  if (got != static_cast<std::int32_t>(kHeaderFixed) ||
      std::memcmp(fixed, kMagic, sizeof kMagic) != 0) {
    state = FirstHeaderState(fixed, got,
                             got < static_cast<std::int32_t>(kHeaderFixed));
    return std::nullopt;
  }
  state = RecordState::kUnknown;
  const auto path_size = static_cast<std::uint32_t>(Get(fixed + 36, 4));
  if (path_size == 0 || path_size > kLongestPath) return std::nullopt;
  std::vector<unsigned char> header(fixed, fixed + kHeaderFixed);
  header.resize(kHeaderFixed + path_size + kChecksum);
  const auto rest = static_cast<std::int32_t>(path_size + kChecksum);
  if (files.ReadAt(file, offset + std::int64_t{kHeaderFixed},
                   header.data() + kHeaderFixed, rest) != rest) {
    state = RecordState::kCutShort;
    return std::nullopt;
  }
  const std::size_t sealed = kHeaderFixed + path_size;
  RecordContents contents;
  contents.seal = RecordHash(header.data(), sealed, seed);
  if (Get(header.data() + sealed, 8) != contents.seal) return std::nullopt;
  contents.identity = {Get(fixed + 8, 8), Get(fixed + 16, 8)};
  contents.length = static_cast<std::int64_t>(Get(fixed + 24, 8));
  contents.largest = static_cast<std::int32_t>(Get(fixed + 32, 4));
  contents.path.assign(header.begin() + kHeaderFixed,
                       header.begin() + static_cast<std::ptrdiff_t>(sealed));
  if (contents.largest <= 0 || contents.length < 3) return std::nullopt;
  state = RecordState::kRead;

  const std::int64_t slot_size = SlotSize(contents.largest);
  const std::int64_t slots_at =
      offset + static_cast<std::int64_t>(header.size());
  contents.slots_at = slots_at;
  std::optional<RegionEntry> entries[2];
  for (int slot = 0; slot < 2; ++slot) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(slot_size));
    const std::int32_t got =
        files.ReadAt(file, slots_at + slot * slot_size, bytes.data(),
                     static_cast<std::int32_t>(slot_size));
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    entries[slot] = ParseEntry(bytes, contents.largest, contents.seal);
  }
  const bool newer = entries[1] && (!entries[0] || entries[1]->sequence >
                                                       entries[0]->sequence);
  contents.last = std::move(entries[newer ? 1 : 0]);
  std::optional<RegionEntry>& other = entries[newer ? 0 : 1];
  if (contents.last && other &&
      other->sequence + 1 == contents.last->sequence) {
    contents.before_last = std::move(other);
  }
  return contents;
}

}  // namespace

std::uint64_t RecordHash(const unsigned char* bytes, std::size_t count,
                         std::uint64_t seed) {
#ifdef SARNELUX_RECORD_HASH_AVX2
  // A load and a test: libgcc reads the processor (and whether the system
  // saves its AVX state) once, before main.
  if (__builtin_cpu_supports("avx2")) {
    return RecordHashAvx2(bytes, count, seed);
  }
#endif
  return XXH3_64bits_withSeed(bytes, count, seed);
}

std::uint64_t UnitProof(std::int64_t unit_index, std::uint64_t hash) {
  // The unit's place goes in, so that units that trade places, or a span
  // that moves, change the sum (splitmix64's finaliser).
  std::uint64_t mixed =
      hash ^ (static_cast<std::uint64_t>(unit_index) * 0x9e3779b97f4a7c15u);
  mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9u;
  mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebu;
  return mixed ^ (mixed >> 31);
}

std::uint64_t UnitsProof(const unsigned char* bytes, std::int64_t offset,
                         std::int32_t count) {
  std::uint64_t proof = 0;
  constexpr std::int32_t kRun = 64;
  std::uint64_t hashes[kRun];
  for (std::int32_t run = 0; run < count; run += kRun * kRecordUnit) {
    const std::int32_t run_size = std::min(kRun * kRecordUnit, count - run);
    HashUnits(bytes + run, run_size, hashes);
    for (std::int32_t unit = 0; unit * kRecordUnit < run_size; ++unit) {
      proof += UnitProof(offset / kRecordUnit + run / kRecordUnit + unit,
                         hashes[unit]);
    }
  }
  return proof;
}

RecordRead ReadRecord(FileService& files, FileHandle file) {
  RecordRead read;
  std::int64_t offset = 0;
  std::uint64_t seed = 0;
  RecordState state = RecordState::kRead;
  while (auto section = ReadSection(files, file, offset, seed, state)) {
    offset = section->slots_at + 2 * SlotSize(section->largest);
    seed = section->seal;
    read.sections.push_back(std::move(*section));
  }
  // Past the first section, a header that does not hold ends the record.
  if (read.sections.empty()) read.state = state;
  return read;
}

RewriteRecord::RewriteRecord(FileService& files, std::string folder,
                             bool durable)
    : files_(files), folder_(std::move(folder)), durable_(durable) {}

bool RewriteRecord::Open() {
  for (int n = 1; n <= kNameAttempts; ++n) {
    std::string path = folder_ + kNamePrefix + std::to_string(n) + kNameSuffix;
    // Taken: by another run's record, or one left behind.
    file_ = files_.CreateRecord(path);
    if (file_ != kNoFile) {
      path_ = std::move(path);
      return true;
    }
  }
  return false;
}

void RewriteRecord::Adopt(FileHandle record, std::string record_path) {
  Finish();
  file_ = record;
  path_ = std::move(record_path);
  target_ = kNoFile;
  active_ = true;
}

void RewriteRecord::Resume(const RecordContents& section) {
  WaitForFlushes();
  header_.clear();
  without_ = false;
  target_ = kNoFile;
  largest_ = section.largest;
  seal_ = section.seal;
  slots_at_ = section.slots_at;
  sequence_ = section.last ? section.last->sequence : 0;
}

void RewriteRecord::Forget(const RecordContents& section) {
  WaitForFlushes();
  // Where the reader looks for the next section's header.
  const std::vector<unsigned char> cleared(
      static_cast<std::size_t>(2 * SlotSize(section.largest)));
  files_.WriteAt(file_, section.slots_at, cleared.data(),
                 static_cast<std::int32_t>(cleared.size()));
}

bool RewriteRecord::Begin(FileHandle target, const std::string& path,
                          const FileIdentity& identity, std::int64_t length,
                          std::int32_t largest) {
  WaitForFlushes();
  active_ = false;
  without_ = false;
  if (folder_.empty() || path.empty() || path.size() > kLongestPath ||
      (file_ == kNoFile && !Open())) {
    return false;
  }
  // Written with the first entry, in one write: a file rewritten in one
  // region costs the record two writes in all, this and the drop.
  header_.clear();
  seal_ = AppendHeader(header_, path, identity, length, largest, 0);
  target_ = target;
  largest_ = largest;
  slots_at_ = static_cast<std::int64_t>(header_.size());
  sequence_ = 0;
  proven_ = 0;
  proven_to_ = 0;
  active_ = true;
  return true;
}

std::int64_t RewriteRecord::SlotOffset(std::uint64_t sequence) const {
  // The first entry right after the header.
  return slots_at_ +
         static_cast<std::int64_t>((sequence + 1) % 2) * SlotSize(largest_);
}

bool RewriteRecord::Note(MoveWay way, std::int64_t offset,
                         const unsigned char* content, std::int32_t count) {
  if (without_) return true;
  if (!active_ || count > largest_) return false;
  // The slot about to be reused describes the region before last, which
  // must be on the disk first: its flush has had a region's time to end.
  // With none under way for it (a record taken over from another run),
  // the file is flushed now.
  const std::size_t slot = (sequence_ + 1) % 2;
  if (durable_ && sequence_ >= 2) {
    const std::uint64_t flush = std::exchange(flushes_[slot], 0);
    if (flush != 0 ? !files_.WaitFlush(flush) : !files_.Flush(target_)) {
      return false;
    }
  }
  const bool first = sequence_ == 0 && !header_.empty();
  bytes_.assign(header_.begin(), first ? header_.end() : header_.begin());
  // The proof of what the file holds before the region, and of what it
  // holds before the next one once this one has landed. A region moved
  // back turns the new content it covers into old again; one that does
  // not meet the proven span leaves a proof no repair accepts.
  std::uint64_t proven = proven_;
  std::int64_t proven_to = offset;
  if (way == MoveWay::kToStart) {
    AppendEntry(bytes_, sequence_ + 1, way, offset, content, count, seal_,
                proven_, &proven);
    proven_to = offset + count;
  } else {
    const std::int64_t new_end = offset + count - kMarkLength;
    if (new_end == proven_to_ && offset < proven_to_) {
      // What the region covers holds the content moved towards the start:
      // the bytes written here three places on.
      proven -= UnitsProof(content + kMarkLength, offset,
                           static_cast<std::int32_t>(new_end - offset));
    }
    AppendEntry(bytes_, sequence_ + 1, way, offset, content, count, seal_,
                proven);
  }
  const auto size = static_cast<std::int32_t>(bytes_.size());
  const std::int64_t at = first ? 0 : SlotOffset(sequence_ + 1);
  if (files_.WriteAt(file_, at, bytes_.data(), size) != size) {
    // Where the record cannot be written at all, the rewrite goes on
    // without one, as where there is no state folder.
    if (first) {
      active_ = false;
      without_ = true;
      return true;
    }
    return false;
  }
  if (durable_ && !files_.Flush(file_)) return false;
  header_.clear();
  ++sequence_;
  proven_ = proven;
  proven_to_ = proven_to;
  return true;
}

void RewriteRecord::ResumeProof(const RecordContents& section) {
  const RegionEntry& last = *section.last;
  proven_ = last.before;
  proven_to_ = last.offset;
  if (last.way != MoveWay::kToStart) return;
  for (std::size_t unit = 0; unit < last.hashes.size(); ++unit) {
    proven_ +=
        UnitProof(last.offset / kRecordUnit + static_cast<std::int64_t>(unit),
                  last.hashes[unit]);
  }
  proven_to_ = last.offset + last.count;
}

void RewriteRecord::Landed() {
  if (!durable_ || !active_ || target_ == kNoFile) return;
  std::uint64_t& flush = flushes_[sequence_ % 2];
  if (flush != 0) files_.WaitFlush(flush);
  // None started: the next use of the slot flushes the file then.
  flush = files_.StartFlush(target_);
}

void RewriteRecord::WaitForFlushes() {
  for (std::uint64_t& flush : flushes_) {
    if (flush != 0) files_.WaitFlush(flush);
    flush = 0;
  }
}

RewriteRecord::Batch RewriteRecord::NoteBatch(
    const std::vector<BatchedFile>& batch) {
  active_ = false;
  target_ = kNoFile;
  // As for a file on its own: where no record can be kept, the files are
  // rewritten without one.
  const auto unnamed = [](const BatchedFile& file) {
    return file.path.empty() || file.path.size() > kLongestPath;
  };
  if (folder_.empty() || std::any_of(batch.begin(), batch.end(), unnamed) ||
      (file_ == kNoFile && !Open())) {
    return Batch::kWithout;
  }
  bytes_.clear();
  batch_slots_.clear();
  std::uint64_t seed = 0;
  for (const BatchedFile& file : batch) {
    // Room for the undo of its one region as well, as a streamed file has.
    const auto largest = static_cast<std::int32_t>(file.length);
    seed = AppendHeader(bytes_, file.path, file.identity, file.length, largest,
                        seed);
    // The entry goes where a first entry goes, the slot after it cleared.
    const std::size_t entry_at = bytes_.size();
    // Nothing lies before its one region: its proof is that of nothing.
    AppendEntry(bytes_, 1, MoveWay::kToStart, 0, file.content,
                static_cast<std::int32_t>(file.length - kMarkLength), seed, 0);
    bytes_.resize(entry_at + 2 * static_cast<std::size_t>(SlotSize(largest)));
    batch_slots_.emplace_back(static_cast<std::int64_t>(entry_at),
                              2 * SlotSize(largest));
  }
  const auto size = static_cast<std::int32_t>(bytes_.size());
  if (files_.WriteAt(file_, 0, bytes_.data(), size) != size ||
      (durable_ && !files_.Flush(file_))) {
    // What landed names files that stay untouched: a later run must not
    // finish their rewrites.
    active_ = true;
    Drop();
    return Batch::kFailed;
  }
  active_ = true;
  return Batch::kNoted;
}

void RewriteRecord::ForgetBatched(std::size_t index) {
  if (index >= batch_slots_.size()) return;
  const auto [at, size] = batch_slots_[index];
  // Where it cannot be cleared, a later run repairs the file once more: a
  // stripped one is found whole, one put back is stripped; no byte is lost.
  const std::vector<unsigned char> cleared(static_cast<std::size_t>(size));
  files_.WriteAt(file_, at, cleared.data(), static_cast<std::int32_t>(size));
}

void RewriteRecord::Drop() {
  if (!active_) return;
  WaitForFlushes();
  // Dropped only once the file is whole on the disk as well.
  if (durable_ && target_ != kNoFile && !files_.Flush(target_)) {
    Leave();
    return;
  }
  static constexpr unsigned char kCleared[sizeof kMagic] = {};
  if (files_.WriteAt(file_, 0, kCleared, sizeof kCleared) !=
      static_cast<std::int32_t>(sizeof kCleared)) {
    Leave();
    return;
  }
  active_ = false;
}

void RewriteRecord::Leave() {
  WaitForFlushes();
  files_.Close(file_);
  file_ = kNoFile;
  active_ = false;
}

void RewriteRecord::Finish() {
  if (file_ == kNoFile) return;
  if (active_) {
    Leave();
    return;
  }
  files_.Close(file_);
  files_.Remove(path_);
  file_ = kNoFile;
}

}  // namespace sarnelux
