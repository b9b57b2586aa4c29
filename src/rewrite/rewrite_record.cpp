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
// proof of what lies before their region, over every unit. 3: the proof is
// over every sixteenth unit, entries say what their region adds to it, and
// a unit may be told by its marks rather than its hash. A run goes on in a
// record in the format it finds it in.
constexpr unsigned char kVersion = '3';
constexpr unsigned char kOldestVersion = '2';
constexpr unsigned char kMagic[8] = {'S', 'X', 'R', 'E',
                                     'W', 'R', 'T', kVersion};
constexpr std::size_t kVersionAt = sizeof kMagic - 1;
constexpr std::size_t kHeaderFixed = 40;  // magic, identity, length, sizes
// sequence, way, offset, count, proof of what lies before; then, from
// version 3 on, what the region adds to it
constexpr std::size_t kEntryFixed = 8 + 1 + 8 + 4 + 8;
constexpr std::size_t kAddsAt = kEntryFixed;
// The way's high bit: the entry's units are told by their marks.
constexpr unsigned char kMarkedWay = 0x80;
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

bool Readable(unsigned char version) {
  return version >= kOldestVersion && version <= kVersion;
}

std::size_t EntryFixed(unsigned char version) {
  return version >= '3' ? kEntryFixed + 8 : kEntryFixed;
}

std::int64_t ProofStride(unsigned char version) {
  return version >= '3' ? kProofStride : 1;
}

// Whether bytes [from, 8) are those of the magic of a format this build
// reads.
bool MagicFrom(const unsigned char* bytes, std::size_t from) {
  for (std::size_t i = from; i < kVersionAt; ++i) {
    if (bytes[i] != kMagic[i]) return false;
  }
  return from > kVersionAt || Readable(bytes[kVersionAt]);
}

std::int64_t SlotSize(std::int32_t largest, unsigned char version) {
  return static_cast<std::int64_t>(EntryFixed(version) + kChecksum) +
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

// Units compared a block at a time: long runs that repeat every three
// bytes (zeros, the mark repeated) must not be looked at byte by byte.
constexpr std::int32_t kCompareBlock = 256;

// The first place at or after `from` (at least 3) where the unit differs
// from itself three bytes before; `size` where it never does.
std::int32_t FirstChange(const unsigned char* unit, std::int32_t from,
                         std::int32_t size) {
  std::int32_t x = from;
  while (size - x >= kCompareBlock &&
         std::memcmp(unit + x, unit + x - 3, kCompareBlock) == 0) {
    x += kCompareBlock;
  }
  while (x < size && unit[x] == unit[x - 3]) ++x;
  return x;
}

// The last such place, where there is one.
std::int32_t LastChange(const unsigned char* unit, std::int32_t size) {
  std::int32_t end = size;
  while (end - kCompareBlock >= 3 &&
         std::memcmp(unit + end - kCompareBlock, unit + end - kCompareBlock - 3,
                     kCompareBlock) == 0) {
    end -= kCompareBlock;
  }
  std::int32_t x = end - 1;
  while (unit[x] == unit[x - 3]) --x;
  return x;
}

// Where a unit's new content differs from its old, which is the same
// content three bytes on: the mark the content moved towards the start
// leaves there.
UnitMarks MarksOf(const unsigned char* unit, std::int32_t size) {
  UnitMarks marks;
  if (size <= 3) return marks;
  // Most units differ at both ends, and are told by four bytes: a big
  // file's rewrite looks at every unit it writes. Otherwise one call for
  // the whole unit first, so that one that never differs is read in one
  // pass.
  std::int32_t x = 3;
  if (unit[3] == unit[0]) {
    if (std::memcmp(unit + 3, unit, static_cast<std::size_t>(size - 3)) == 0) {
      return marks;
    }
    x = FirstChange(unit, 3, size);
  }
  marks.first = static_cast<std::uint16_t>(x);
  marks.first_new = unit[x];
  marks.first_old = unit[x - 3];
  x = unit[size - 1] != unit[size - 4] ? size - 1 : LastChange(unit, size);
  marks.last = static_cast<std::uint16_t>(x);
  marks.last_new = unit[x];
  marks.last_old = unit[x - 3];
  return marks;
}

unsigned char* PutMarks(unsigned char* into, const UnitMarks& marks) {
  *into++ = static_cast<unsigned char>(marks.first);
  *into++ = static_cast<unsigned char>(marks.first >> 8);
  *into++ = marks.first_new;
  *into++ = marks.first_old;
  *into++ = static_cast<unsigned char>(marks.last);
  *into++ = static_cast<unsigned char>(marks.last >> 8);
  *into++ = marks.last_new;
  *into++ = marks.last_old;
  return into;
}

UnitMarks GetMarks(const unsigned char* in) {
  UnitMarks marks;
  marks.first = static_cast<std::uint16_t>(in[0] | in[1] << 8);
  marks.first_new = in[2];
  marks.first_old = in[3];
  marks.last = static_cast<std::uint16_t>(in[4] | in[5] << 8);
  marks.last_new = in[6];
  marks.last_old = in[7];
  return marks;
}

// The three bytes a unit cannot rebuild from its own old ones: its last
// three, or its first three; a unit shorter than three bytes is padded at
// the front.
unsigned char* PutEdges(unsigned char* into, MoveWay way,
                        const unsigned char* unit, std::int32_t size) {
  for (std::int32_t i = 0; i < 3; ++i) {
    const std::int32_t from = way == MoveWay::kToStart ? size - 3 + i : i;
    *into++ = from >= 0 && from < size ? unit[from] : 0;
  }
  return into;
}

// How an entry is written: in which format, and whether its units are told
// by their marks.
struct EntryForm {
  unsigned char version = kVersion;
  bool marked = false;
};

// Appends an entry stating a region's new content, sealed under its header.
// A big file's rewrite states every unit it writes, so the units go
// straight into place, where hashed a run of them at a time.
// `proof` is that of the content before the region; where the region is new
// content (moved towards the start), `proven` gets what its units add.
void AppendEntry(std::vector<unsigned char>& out, EntryForm form,
                 std::uint64_t sequence, MoveWay way, std::int64_t offset,
                 const unsigned char* content, std::int32_t count,
                 std::uint64_t seal, std::uint64_t proof,
                 std::uint64_t* proven = nullptr) {
  const std::size_t begin = out.size();
  Put(out, sequence, 8);
  out.push_back(static_cast<unsigned char>(static_cast<unsigned char>(way) |
                                           (form.marked ? kMarkedWay : 0)));
  Put(out, static_cast<std::uint64_t>(offset), 8);
  Put(out, static_cast<std::uint32_t>(count), 4);
  Put(out, proof, 8);
  const std::size_t adds_at = out.size();
  if (form.version >= '3') Put(out, 0, 8);
  const std::int64_t first_unit = offset / kRecordUnit;
  const std::int64_t stride = ProofStride(form.version);
  const std::size_t units_at = out.size();
  out.resize(units_at + static_cast<std::size_t>(UnitsOf(count)) * kPerUnit);
  unsigned char* into = out.data() + units_at;
  std::uint64_t adds = 0;
  if (form.marked) {
    for (std::int32_t at = 0; at < count; at += kRecordUnit) {
      const std::int32_t size = std::min(kRecordUnit, count - at);
      into = PutMarks(into, MarksOf(content + at, size));
      into = PutEdges(into, way, content + at, size);
      const std::int64_t index = first_unit + at / kRecordUnit;
      if (index % stride == 0) {
        adds += UnitProof(
            index, RecordHash(content + at, static_cast<std::size_t>(size)));
      }
    }
  } else {
    constexpr std::int32_t kRun = 64;
    std::uint64_t hashes[kRun];
    for (std::int32_t run = 0; run < count; run += kRun * kRecordUnit) {
      const std::int32_t run_size = std::min(kRun * kRecordUnit, count - run);
      HashUnits(content + run, run_size, hashes);
      for (std::int32_t unit = 0; unit * kRecordUnit < run_size; ++unit) {
        const std::int32_t at = run + unit * kRecordUnit;
        const std::int64_t index = first_unit + at / kRecordUnit;
        if (index % stride == 0) adds += UnitProof(index, hashes[unit]);
        for (int i = 0; i < 8; ++i) {
          *into++ = static_cast<unsigned char>(hashes[unit] >> (8 * i));
        }
        into = PutEdges(into, way, content + at,
                        std::min(kRecordUnit, count - at));
      }
    }
  }
  if (way != MoveWay::kToStart) adds = 0;
  if (form.version >= '3') {
    for (int i = 0; i < 8; ++i) {
      out[adds_at + static_cast<std::size_t>(i)] =
          static_cast<unsigned char>(adds >> (8 * i));
    }
  }
  if (proven != nullptr) *proven += adds;
  Put(out, RecordHash(out.data() + begin, out.size() - begin, seal), 8);
}

// An entry from a slot's bytes, if its checksum under this header holds.
std::optional<RegionEntry> ParseEntry(const std::vector<unsigned char>& slot,
                                      std::int32_t largest, std::uint64_t seal,
                                      unsigned char version) {
  const std::size_t fixed = EntryFixed(version);
  if (slot.size() < fixed + kChecksum) return std::nullopt;
  const unsigned char* in = slot.data();
  RegionEntry entry;
  entry.sequence = Get(in, 8);
  const unsigned char way = in[8] & static_cast<unsigned char>(~kMarkedWay);
  entry.marked = version >= '3' && (in[8] & kMarkedWay) != 0;
  entry.offset = static_cast<std::int64_t>(Get(in + 9, 8));
  entry.count = static_cast<std::int32_t>(Get(in + 17, 4));
  entry.before = Get(in + 21, 8);
  if ((way != 1 && way != 2) || ((in[8] & kMarkedWay) != 0 && !entry.marked) ||
      entry.count < 0 || entry.count > largest || entry.offset < 0 ||
      entry.sequence == 0) {
    return std::nullopt;
  }
  entry.way = static_cast<MoveWay>(way);
  // Marks tell a unit from its old content moved towards the start, as
  // whole units in place.
  if (entry.marked &&
      (entry.way != MoveWay::kToStart || entry.offset % kRecordUnit != 0)) {
    return std::nullopt;
  }
  const auto units = static_cast<std::size_t>(UnitsOf(entry.count));
  const std::size_t size = fixed + units * kPerUnit;
  if (size + kChecksum > slot.size() ||
      Get(in + size, 8) != RecordHash(in, size, seal)) {
    return std::nullopt;
  }
  for (std::size_t unit = 0; unit < units; ++unit) {
    const unsigned char* at = in + fixed + unit * kPerUnit;
    if (entry.marked) {
      entry.marks.push_back(GetMarks(at));
    } else {
      entry.hashes.push_back(Get(at, 8));
    }
    entry.edges.insert(entry.edges.end(), at + 8, at + 11);
  }
  if (version >= '3') {
    entry.adds = Get(in + kAddsAt, 8);
  } else if (entry.way == MoveWay::kToStart) {
    // Every unit went into the proof then.
    for (std::size_t unit = 0; unit < units; ++unit) {
      entry.adds += UnitProof(
          entry.offset / kRecordUnit + static_cast<std::int64_t>(unit),
          entry.hashes[unit]);
    }
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
  if (present == sizeof kMagic && cleared > 0 && MagicFrom(fixed, cleared)) {
    return RecordState::kCutShort;
  }
  if (std::memcmp(fixed, kMagic, std::min(present, kVersionAt)) != 0) {
    return RecordState::kUnknown;
  }
  if (present == sizeof kMagic && !Readable(fixed[kVersionAt])) {
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
  if (got != static_cast<std::int32_t>(kHeaderFixed) || !MagicFrom(fixed, 0)) {
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
  contents.version = fixed[kVersionAt];
  contents.proof_stride = ProofStride(contents.version);
  state = RecordState::kRead;

  const std::int64_t slot_size = SlotSize(contents.largest, contents.version);
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
    entries[slot] =
        ParseEntry(bytes, contents.largest, contents.seal, contents.version);
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
                         std::int32_t count, std::int64_t stride) {
  std::uint64_t proof = 0;
  const std::int64_t first = offset / kRecordUnit;
  // The first unit of the span that goes in.
  std::int64_t index = (first + stride - 1) / stride * stride;
  for (; (index - first) * kRecordUnit < count; index += stride) {
    const auto at = static_cast<std::int32_t>((index - first) * kRecordUnit);
    proof += UnitProof(
        index, RecordHash(bytes + at, static_cast<std::size_t>(
                                          std::min(kRecordUnit, count - at))));
  }
  return proof;
}

RecordRead ReadRecord(FileService& files, FileHandle file) {
  RecordRead read;
  std::int64_t offset = 0;
  std::uint64_t seed = 0;
  RecordState state = RecordState::kRead;
  while (auto section = ReadSection(files, file, offset, seed, state)) {
    offset =
        section->slots_at + 2 * SlotSize(section->largest, section->version);
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
  version_ = section.version;
  seal_ = section.seal;
  slots_at_ = section.slots_at;
  sequence_ = section.last ? section.last->sequence : 0;
}

void RewriteRecord::Forget(const RecordContents& section) {
  WaitForFlushes();
  // Where the reader looks for the next section's header.
  const std::vector<unsigned char> cleared(
      static_cast<std::size_t>(2 * SlotSize(section.largest, section.version)));
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
  version_ = kVersion;
  slots_at_ = static_cast<std::int64_t>(header_.size());
  sequence_ = 0;
  proven_ = 0;
  proven_to_ = 0;
  active_ = true;
  return true;
}

std::int64_t RewriteRecord::SlotOffset(std::uint64_t sequence) const {
  // The first entry right after the header.
  return slots_at_ + static_cast<std::int64_t>((sequence + 1) % 2) *
                         SlotSize(largest_, version_);
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
  // Whole pages land in order even when the process is killed in its
  // write; a power loss promises nothing of the kind.
  const EntryForm form{version_, version_ >= '3' && !durable_ &&
                                     way == MoveWay::kToStart &&
                                     offset % kRecordUnit == 0};
  if (way == MoveWay::kToStart) {
    AppendEntry(bytes_, form, sequence_ + 1, way, offset, content, count, seal_,
                proven_, &proven);
    proven_to = offset + count;
  } else {
    const std::int64_t new_end = offset + count - kMarkLength;
    if (new_end == proven_to_ && offset < proven_to_) {
      // What the region covers holds the content moved towards the start:
      // the bytes written here three places on.
      proven -= UnitsProof(content + kMarkLength, offset,
                           static_cast<std::int32_t>(new_end - offset),
                           ProofStride(version_));
    }
    AppendEntry(bytes_, form, sequence_ + 1, way, offset, content, count, seal_,
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
  proven_ += last.adds;
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
    AppendEntry(bytes_, EntryForm{}, 1, MoveWay::kToStart, 0, file.content,
                static_cast<std::int32_t>(file.length - kMarkLength), seed, 0);
    const std::int64_t slots = 2 * SlotSize(largest, kVersion);
    bytes_.resize(entry_at + static_cast<std::size_t>(slots));
    batch_slots_.emplace_back(static_cast<std::int64_t>(entry_at), slots);
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
