#include "rewrite/rewrite_recovery.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/printed_path.h"
#include "rewrite/mark_shift.h"
#include "rewrite/rewrite_record.h"

namespace sarnelux {
namespace {

bool IsRecordName(const std::string& name) {
  const std::string prefix = RewriteRecord::kNamePrefix;
  const std::string suffix = RewriteRecord::kNameSuffix;
  return name.size() > prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What the report says of a file an interrupted rewrite left that could
// not be put right: the run then ends with status 2.
constexpr const char* kChangedReason =
    "changed since its rewrite was interrupted: not repaired";
constexpr const char* kNotRepairedReason =
    "interrupted rewrite could not be repaired";

// One unit of the recorded region as its new content, rebuilt from the
// unit's own old bytes and the three the record kept.
void Rebuild(MoveWay way, const unsigned char* own, const unsigned char* edge,
             std::int32_t size, unsigned char* into) {
  for (std::int32_t x = 0; x < size; ++x) {
    if (way == MoveWay::kToStart) {
      into[x] = x + 3 < size ? own[x + 3] : edge[x + 3 - size];
    } else {
      into[x] = x < 3 ? edge[x] : own[x - 3];
    }
  }
}

enum class UnitsFound { kWhole, kMended, kTorn, kUnreadable };

// What a unit told by its marks holds: its new content, its old, or
// neither (torn, or changed since).
enum class UnitHolds { kNew, kOld, kNeither };

UnitHolds HeldByMarks(const unsigned char* unit, const UnitMarks& marks) {
  // New and old content agree but perhaps in the first three bytes, which
  // rebuilding the unit gives either way.
  if (marks.first == UnitMarks::kNoMark) return UnitHolds::kOld;
  const unsigned char first = unit[marks.first];
  const unsigned char last = unit[marks.last];
  if (first == marks.first_new && last == marks.last_new) {
    return UnitHolds::kNew;
  }
  if (first == marks.first_old && last == marks.last_old) {
    return UnitHolds::kOld;
  }
  return UnitHolds::kNeither;
}

// Whether the unit holds the new content the entry states: by its hash,
// or by its marks, which tell new content only from old.
bool HoldsNew(const RegionEntry& entry, std::size_t unit,
              const unsigned char* bytes, std::int32_t size) {
  if (entry.marked) {
    const UnitMarks& marks = entry.marks[unit];
    return marks.first == UnitMarks::kNoMark ||
           (bytes[marks.first] == marks.first_new &&
            bytes[marks.last] == marks.last_new);
  }
  return RecordHash(bytes, static_cast<std::size_t>(size)) ==
         entry.hashes[unit];
}

// Brings every unit of the region the record's last entry describes to
// its new content. A unit that is neither the new content nor the old one
// it can be rebuilt from is torn: then nothing is written.
UnitsFound MendRegion(FileService& files, FileHandle file,
                      const RegionEntry& entry) {
  std::vector<unsigned char> region(static_cast<std::size_t>(entry.count));
  // Past the file's end only after the final cut, where the region reads
  // short; what the units need of their own bytes is read all the same.
  const std::int32_t got =
      entry.count == 0 ? 0
                       : std::max(0, files.ReadAt(file, entry.offset,
                                                  region.data(), entry.count));
  std::vector<unsigned char> mended = region;
  std::vector<std::int32_t> to_write;
  const std::size_t units = entry.edges.size() / 3;
  for (std::size_t unit = 0; unit < units; ++unit) {
    const auto at = static_cast<std::int32_t>(unit) * kRecordUnit;
    const std::int32_t size = std::min(kRecordUnit, entry.count - at);
    const std::int32_t needed =
        entry.way == MoveWay::kToStart ? size : size - 3;
    const UnitHolds holds =
        !entry.marked || got < at + size
            ? UnitHolds::kNeither
            : HeldByMarks(region.data() + at, entry.marks[unit]);
    if (holds == UnitHolds::kNew ||
        (!entry.marked && got >= at + size &&
         HoldsNew(entry, unit, region.data() + at, size))) {
      continue;
    }
    if (got < at + needed) return UnitsFound::kUnreadable;
    if (entry.marked && holds == UnitHolds::kNeither) return UnitsFound::kTorn;
    Rebuild(entry.way, region.data() + at, entry.edges.data() + 3 * unit, size,
            mended.data() + at);
    if (!HoldsNew(entry, unit, mended.data() + at, size)) {
      return UnitsFound::kTorn;
    }
    to_write.push_back(static_cast<std::int32_t>(unit));
  }
  for (const std::int32_t unit : to_write) {
    const std::int32_t at = unit * kRecordUnit;
    const std::int32_t size = std::min(kRecordUnit, entry.count - at);
    if (files.WriteAt(file, entry.offset + at, mended.data() + at, size) !=
        size) {
      return UnitsFound::kUnreadable;
    }
  }
  return to_write.empty() ? UnitsFound::kWhole : UnitsFound::kMended;
}

// Whether the file holds, before the regions the record states, what the
// rewrite left there. Identity and length are no proof: a file restored
// from a backup, or written over in place, keeps both.
enum class Proof { kHolds, kFails, kUnread };

Proof ProvenBefore(FileService& files, FileHandle file,
                   const RecordContents& contents) {
  const RegionEntry* first = &*contents.last;
  if (contents.before_last && contents.before_last->offset < first->offset) {
    first = &*contents.before_last;
  }
  const std::int64_t end = first->offset;
  const std::int64_t stride = contents.proof_stride;
  // Only the units that go into the proof are read, one at a time where
  // they lie apart.
  const std::int64_t step =
      stride > 1 ? stride * kRecordUnit : FileService::kStreamBlockSize;
  const std::int64_t span = stride > 1 ? kRecordUnit : step;
  std::vector<unsigned char> chunk(
      static_cast<std::size_t>(std::min<std::int64_t>(end, span)));
  std::uint64_t proof = 0;
  for (std::int64_t at = 0; at < end; at += step) {
    const auto size =
        static_cast<std::int32_t>(std::min<std::int64_t>(end - at, span));
    if (files.ReadAt(file, at, chunk.data(), size) != size) {
      return Proof::kUnread;
    }
    proof += UnitsProof(chunk.data(), at, size, stride);
  }
  return proof == first->before ? Proof::kHolds : Proof::kFails;
}

// Finishes what the record's last entry began: the strip from the end of
// its region, or the undo from its start.
RewriteOutcome Finish(FileService& files, FileHandle file,
                      const RecordContents& contents, RewriteRecord& record,
                      VisitRecord& visited, std::string& saved) {
  const RegionEntry& last = *contents.last;
  const std::int64_t length = contents.length;
  const std::int64_t end = last.offset + last.count;
  const bool cut = files.FileLength(file) == length - kMarkLength;
  if (cut) return RewriteOutcome::kStripped;
  MemoryBlock block = BlockFor(files, length, contents.largest - kMarkLength);
  if (!block) return RewriteOutcome::kLost;
  MarkShift shift(files, file, length, block, &record);
  Original at;
  RewriteOutcome outcome = RewriteOutcome::kStripped;
  if (last.way == MoveWay::kToStart) {
    bool read_failed = false;
    if (!shift.Load(end + kMarkLength)) return RewriteOutcome::kLost;
    if (!shift.Forward(at, read_failed)) {
      outcome = Repair(files, contents.path, shift, at, &visited, saved);
    }
  } else {
    at = {last.offset, nullptr, 0, last.offset + kMarkLength};
    outcome = Repair(files, contents.path, shift, at, &visited, saved);
  }
  FileService::ReleaseBlock(block);
  return outcome;
}

// The file one section of a record names, put right; true when the record
// must stay for a later run (the file could not be made whole).
bool RepairSection(Services& services, const RecordContents& contents,
                   RewriteRecord& record, bool durable, VisitRecord& visited) {
  // Cut short before its file was touched, or naming a file whose first
  // region was never stated: nothing to put right.
  if (!contents.last) return false;
  FileService& files = services.files;
  const std::string& path = contents.path;
  const RegionEntry& last = *contents.last;
  const FileHandle file = files.OpenForUpdate(path);
  if (file == kNoFile &&
      services.platform.KindOfPath(path) == PathKind::kFile) {
    // Still there but not to be opened for update now (made read-only, or
    // held by another program): the record stays for a run that can.
    services.console.Tell(Told::kFileNews, "can not repair file ", path);
    services.console.report().Failed(path, kNotRepairedReason);
    return true;
  }
  FileIdentity identity;
  const std::int64_t size = files.FileLength(file);
  const bool final_region =
      last.way == MoveWay::kToStart &&
      last.offset + last.count == contents.length - kMarkLength;
  const bool same = file != kNoFile && files.Identity(file, identity) &&
                    identity == contents.identity &&
                    (size == contents.length ||
                     (final_region && size == contents.length - kMarkLength));
  const Proof proof =
      same ? ProvenBefore(files, file, contents) : Proof::kFails;
  if (proof != Proof::kHolds) {
    files.Close(file);
    // A file that could not be read to the end of the proof stays recorded
    // for a run that can read it.
    const bool unread = proof == Proof::kUnread;
    services.console.Tell(
        Told::kFileNews,
        unread ? "can not repair file " : "can not repair changed file ", path);
    services.console.report().Failed(
        path, unread ? kNotRepairedReason : kChangedReason);
    return unread;
  }
  FileService::RewriteShield shield(files);
  record.Resume(contents);
  record.Retarget(file);
  // The region before last first: the last one may overlap its end.
  UnitsFound units = UnitsFound::kWhole;
  if (contents.before_last) {
    units = MendRegion(files, file, *contents.before_last);
  }
  if (units == UnitsFound::kWhole || units == UnitsFound::kMended) {
    const UnitsFound in_last = MendRegion(files, file, last);
    if (in_last != UnitsFound::kWhole) units = in_last;
  }
  std::string saved;
  RewriteOutcome outcome = RewriteOutcome::kLost;
  if (units == UnitsFound::kWhole || units == UnitsFound::kMended) {
    record.ResumeProof(contents);
    outcome = Finish(files, file, contents, record, visited, saved);
  }
  // A file put back to its original is left to the walk, as if no kill
  // had happened: stripped by a run that strips, and counted. Any other is
  // this run's business alone: a stripped one must not lose a second mark.
  if (outcome != RewriteOutcome::kRestored) visited.FirstVisit(identity);
  const bool whole = outcome == RewriteOutcome::kStripped ||
                     outcome == RewriteOutcome::kRestored;
  // The record goes only once the file is whole on the disk as well. A
  // torn unit is never mended by a later run either.
  const bool keep = (!whole && units != UnitsFound::kTorn) ||
                    (whole && durable && !files.Flush(file));
  record.Retarget(kNoFile);
  files.Close(file);
  ConsoleWindow& console = services.console;
  switch (outcome) {
    case RewriteOutcome::kStripped:
    case RewriteOutcome::kRestored:
      console.Tell(Told::kFileNews, "repaired interrupted rewrite of file ",
                   path);
      return keep;
    case RewriteOutcome::kSaved:
      console.Tell(Told::kFileNews,
                   "can not write file, original bytes saved in ", saved);
      break;
    case RewriteOutcome::kLost:
    case RewriteOutcome::kChanged:
      console.Tell(Told::kFileNews, "can not repair file ", path);
      break;
  }
  console.report().Failed(path, kNotRepairedReason);
  return keep;
}

// Tells, for a run that changes nothing, what a record waits to put right.
void TellWaiting(RunReport& report,
                 const std::vector<RecordContents>& sections) {
  for (const RecordContents& section : sections) {
    if (!section.last) continue;
    report.Say("interrupted rewrite of " + PrintedPath(section.path) +
               " waits for a run that strips");
    report.MarkFound();
  }
}

// One record, held by this run from the open to its removal: every file
// it names, in turn. A run that lists only tells of them.
void RepairOne(Services& services, const std::string& record_path, bool durable,
               bool list_only, VisitRecord& visited) {
  FileService& files = services.files;
  RunReport& report = services.console.report();
  const FileHandle held = files.TakeRecord(record_path);
  if (held == kNoFile) {
    // Another run holds it, or it is gone: nothing to tell. One this
    // user's runs cannot have written alone is never read.
    const Failure failure = services.platform.LastFailure();
    if (failure.foreign) report.Failed(record_path, failure.reason);
    return;
  }
  const RecordRead read = ReadRecord(files, held);
  if (read.state == RecordState::kNewer ||
      read.state == RecordState::kUnknown || list_only) {
    files.Close(held);
    if (read.state == RecordState::kNewer) {
      report.Failed(record_path,
                    "record of a newer version of sarnelux, kept for it");
    } else if (read.state == RecordState::kUnknown) {
      report.FailedLine("record " + PrintedPath(record_path) +
                        " not understood, kept");
    } else {
      TellWaiting(report, read.sections);
    }
    return;
  }
  RewriteRecord record(files, {}, durable);
  record.Adopt(held, record_path);
  bool keep = false;
  std::vector<const RecordContents*> done;
  for (const RecordContents& section : read.sections) {
    if (RepairSection(services, section, record, durable, visited)) {
      keep = true;
    } else {
      done.push_back(&section);
    }
  }
  if (keep) {
    // Kept for the files still to be put right: a later run says nothing
    // more of the others, repaired or refused once already.
    for (const RecordContents* section : done) record.Forget(*section);
    record.Leave();
  } else {
    record.Drop();
  }
}

}  // namespace

void RepairInterruptedRewrites(Services& services, bool durable, bool list_only,
                               VisitRecord& visited) {
  const std::string folder = services.platform.StateFolder(false);
  if (folder.empty()) return;
  // Records another user could have put there are never read.
  if (!services.platform.StateFolderIsOwn(folder)) {
    services.console.report().Failed(folder.substr(0, folder.size() - 1),
                                     services.platform.LastFailure().reason);
    return;
  }
  // Listed by the platform itself: the walk's listing rules (its limit on
  // path lengths, its folders ahead) are the walk's.
  std::vector<std::string> names;
  Platform& platform = services.platform;
  ListingEntry entry;
  ListingStart start = ListingStart::kCannotList;
  const NativeListing listing = platform.ListFirst(folder, entry, start);
  if (start != ListingStart::kListed) return;
  do {
    if (entry.kind == EntryKind::kFile && IsRecordName(entry.name)) {
      names.emplace_back(entry.name);
    }
  } while (platform.ListNext(listing, entry));
  platform.ListClose(listing);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    RepairOne(services, folder + name, durable, list_only, visited);
  }
}

}  // namespace sarnelux
