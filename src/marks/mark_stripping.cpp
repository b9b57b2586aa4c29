#include "marks/mark_stripping.h"

#include "marks/mark_shift.h"

namespace sarnelux {

bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited, StripFailure* failure,
                   RewriteRecord* record) {
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
  MemoryBlock block =
      BlockFor(files, length,
               record != nullptr && record->durable()
                   ? RewriteRecord::kDurableStep
                   : std::int64_t{FileService::kStreamBlockSize});
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
  // Where no record can be kept (no state folder, or it cannot be written),
  // the rewrite goes on as it would without one. The record names the file
  // by its full path: the next run may start in another folder.
  if (record != nullptr &&
      !((identity.index != 0 || files.Identity(file, identity)) &&
        record->Begin(file, services.platform.AbsolutePath(file_path), identity,
                      length, LargestRegion(block)))) {
    record = nullptr;
  }
  // A file left damaged keeps its record, for the next run to put right;
  // one whole again drops it while still open, so that its data can be
  // made durable first.
  auto settle = [&](RewriteOutcome outcome) {
    if (record == nullptr) return;
    if (outcome == RewriteOutcome::kStripped ||
        outcome == RewriteOutcome::kRestored) {
      record->Drop();
    } else {
      record->Leave();
    }
  };
  shift.UseRecord(record);
  Original at;
  bool read_failed = false;
  RewriteOutcome outcome = RewriteOutcome::kStripped;
  std::string saved;
  if (!shift.Forward(at, read_failed)) {
    outcome = Repair(files, file_path, shift, at, visited, saved);
    settle(outcome);
    files.Close(file);
  } else if (settle(outcome), !files.Close(file)) {
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
      services.console.WriteLine("can not write file, original bytes saved in ",
                                 saved);
      return fail(StripFailure::kNotWritten);
    case RewriteOutcome::kLost:
      services.console.WriteLine("can not restore file ", file_path);
      return fail(StripFailure::kNotWritten);
  }
  return fail(StripFailure::kNotWritten);
}

}  // namespace sarnelux
