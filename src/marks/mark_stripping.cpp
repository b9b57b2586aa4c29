#include "marks/mark_stripping.h"

#include "marks/mark_detection.h"

namespace sarnelux {

MarkedFile::~MarkedFile() {
  if (file_ != kNoFile) services_.files.Close(file_);
  FileService::ReleaseBlock(block_);
}

bool MarkedFile::Open(VisitRecord* visited, StripFailure& failure,
                      std::int64_t largest) {
  FileService& files = services_.files;
  auto fail = [&](StripFailure why, const char* line) {
    if (line != nullptr) {
      services_.console.Tell(
          why == StripFailure::kNotUtf8 ? Told::kLeftAlone : Told::kFileNews,
          line, path_);
    }
    files.Close(file_);
    file_ = kNoFile;
    failure = why;
    return false;
  };
  file_ = files.OpenForUpdate(path_);
  if (file_ == kNoFile) {
    failure = StripFailure::kNotOpened;
    return false;
  }
  if (visited != nullptr && Identify() && !visited->FirstVisit(identity_)) {
    return fail(StripFailure::kSeenBefore, nullptr);
  }
  length_ = files.FileLength(file_);
  block_ = BlockFor(files, length_, largest);
  if (!block_) {
    return fail(StripFailure::kNoBlock, "not enough memory to open file ");
  }
  shift_.emplace(files, file_, length_, block_);
  if (!shift_->ReadHead()) {
    return fail(StripFailure::kNotRead, "can not read file ");
  }
  if (!shift_->BeginsWithMark()) {
    // Judged as it is now: one whose mark went since its first bytes were
    // read ahead of the walk is passed over, as if only now opened.
    if (pass_over_unmarked_ &&
        ClassifyLeadingBytes(shift_->head(), shift_->head_count()) ==
            MarkKind::kNone) {
      return fail(StripFailure::kNoMark, nullptr);
    }
    return fail(StripFailure::kNotUtf8, "no valid utf-8 BOM in file ");
  }
  // Where every block written takes a new one, a rewrite that runs out of
  // room part-way could not even be undone: it is not begun.
  if (!files.RoomToRewrite(file_)) {
    return fail(StripFailure::kNoRoom, "not enough space to rewrite file ");
  }
  return true;
}

bool MarkedFile::Identify() {
  if (!identified_) identified_ = services_.files.Identity(file_, identity_);
  return identified_;
}

RewriteOutcome MarkedFile::Rewrite(VisitRecord* visited,
                                   RewriteRecord* record) {
  shift_->UseRecord(record);
  RunProgress& progress = services_.console.progress();
  shift_->ShowProgressIn(&progress);
  outcome_ = RewriteOutcome::kStripped;
  const bool forward = shift_->Forward(at_, read_failed_);
  progress.RewriteOver();
  if (!forward) {
    outcome_ = Repair(services_.files, path_, *shift_, at_, visited, saved_);
  }
  return outcome_;
}

bool MarkedFile::Conclude(VisitRecord* visited, StripFailure& failure) {
  FileService& files = services_.files;
  const FileHandle file = file_;
  file_ = kNoFile;
  if (outcome_ != RewriteOutcome::kStripped) {
    files.Close(file);
  } else if (!files.Close(file)) {
    // Every byte was handed over, and yet the system says not all of them
    // reached the file: put the original back through a new handle.
    const FileHandle again = files.OpenForUpdate(path_);
    MarkShift reopened(files, again, length_, block_);
    reopened.WasCut();
    outcome_ = again == kNoFile
                   ? RewriteOutcome::kLost
                   : Repair(files, path_, reopened, at_, visited, saved_);
    if (!files.Close(again) && outcome_ == RewriteOutcome::kRestored) {
      outcome_ = RewriteOutcome::kLost;
    }
  }
  FileService::ReleaseBlock(block_);
  ConsoleWindow& console = services_.console;
  switch (outcome_) {
    case RewriteOutcome::kStripped:
      console.Tell(Told::kNamed, "successfully removed BOM of file ", path_);
      return true;
    case RewriteOutcome::kRestored:
      console.Tell(Told::kFileNews,
                   read_failed_ ? "can not read file " : "can not write file ",
                   path_);
      failure =
          read_failed_ ? StripFailure::kNotRead : StripFailure::kNotWritten;
      return false;
    case RewriteOutcome::kSaved:
      console.Tell(Told::kFileNews,
                   "can not write file, original bytes saved in ", saved_);
      break;
    case RewriteOutcome::kLost:
      console.Tell(Told::kFileNews, "can not restore file ", path_);
      break;
    case RewriteOutcome::kChanged:
      console.WriteLine("rewrite stopped, another program changed file ",
                        path_);
      failure = StripFailure::kChanged;
      return false;
  }
  failure = StripFailure::kNotWritten;
  return false;
}

bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited, StripFailure* failure,
                   RewriteRecord* record, bool read_ahead) {
  StripFailure why = StripFailure::kNone;
  MarkedFile marked(services, file_path);
  if (read_ahead) marked.PassOverUnmarked();
  const bool stripped =
      marked.Open(visited, why,
                  record != nullptr && record->durable()
                      ? RewriteRecord::kDurableStep
                      : std::int64_t{FileService::kStreamBlockSize}) &&
      StripOpened(services, marked, visited, why, record);
  if (failure != nullptr && !stripped) *failure = why;
  return stripped;
}

bool StripOpened(Services& services, MarkedFile& marked, VisitRecord* visited,
                 StripFailure& failure, RewriteRecord* record) {
  // A console event waits until the file is whole again, one way or another,
  // and its line is out: every file stripped is reported. (A console nobody
  // reads does not hold the event off: once no file is open for writing,
  // the platform may end the process during the line.)
  FileService::RewriteShield shield(services.files);
  // Where no record can be kept (no state folder, or it cannot be written),
  // the rewrite goes on as it would without one. The record names the file
  // by its full path: the next run may start in another folder.
  if (record != nullptr &&
      !(marked.Identify() &&
        record->Begin(marked.file(),
                      services.platform.AbsolutePath(marked.path()),
                      marked.identity(), marked.length(),
                      LargestRegion(marked.block())))) {
    record = nullptr;
  }
  const RewriteOutcome outcome = marked.Rewrite(visited, record);
  // A file left damaged keeps its record, for the next run to put right;
  // one whole again drops it while still open, so that its data can be
  // made durable first. One another program changed is no longer the file
  // the record describes: a later repair could only write over that
  // program's bytes.
  if (record != nullptr) {
    if (outcome == RewriteOutcome::kStripped ||
        outcome == RewriteOutcome::kRestored ||
        outcome == RewriteOutcome::kChanged) {
      record->Drop();
    } else {
      record->Leave();
    }
  }
  return marked.Conclude(visited, failure);
}

}  // namespace sarnelux
