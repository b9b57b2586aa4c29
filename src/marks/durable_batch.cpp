#include "marks/durable_batch.h"

namespace sarnelux {

bool DurableBatch::Strip(const std::string& path, StripFailure& failure) {
  auto marked = std::make_unique<MarkedFile>(services_, path);
  bool opened = marked->Open(&visited_, failure, RewriteRecord::kDurableStep);
  // Each file held is one more open file: where the system has run out,
  // the batch is written first and the file tried again.
  if (!opened && failure == StripFailure::kNotOpened && !held_.empty() &&
      !services_.platform.LastFailure().held_off) {
    Commit();
    opened = marked->Open(&visited_, failure, RewriteRecord::kDurableStep);
  }
  if (!opened) return false;
  if (marked->length() > FileService::kStreamBlockSize || !marked->whole() ||
      !marked->Identify()) {
    return StripOpened(services_, *marked, &visited_, failure, &record_);
  }
  bytes_ += marked->length();
  held_.push_back(std::move(marked));
  failure = StripFailure::kHeld;
  if (held_.size() >= kMostFiles || bytes_ >= kMostBytes) Commit();
  return false;
}

void DurableBatch::Commit() {
  if (held_.empty()) return;  // also while its own lines are written
  std::vector<std::unique_ptr<MarkedFile>> batch;
  batch.swap(held_);
  bytes_ = 0;
  FileService& files = services_.files;
  // As for a file on its own: a console event waits for every file of the
  // batch to be whole and its line to be out.
  FileService::RewriteShield shield(files);
  std::vector<BatchedFile> stated;
  stated.reserve(batch.size());
  for (const auto& marked : batch) {
    stated.push_back({services_.platform.AbsolutePath(marked->path()),
                      marked->identity(), marked->length(), marked->content()});
  }
  const RewriteRecord::Batch noted = record_.NoteBatch(stated);
  std::vector<FileHandle> whole;
  bool damaged = false;
  for (const auto& marked : batch) {
    if (noted == RewriteRecord::Batch::kFailed) {
      marked->Untouched();
      continue;
    }
    const RewriteOutcome outcome = marked->Rewrite(&visited_, nullptr);
    if (outcome == RewriteOutcome::kStripped ||
        outcome == RewriteOutcome::kRestored) {
      whole.push_back(marked->file());
    } else {
      damaged = true;
    }
  }
  if (noted != RewriteRecord::Batch::kFailed) {
    // A file left damaged keeps the record for the next run, and so does
    // one whose data may not be on the disk yet.
    const bool flushed = files.FlushTogether(whole);
    if (noted == RewriteRecord::Batch::kNoted) {
      if (flushed && !damaged) {
        record_.Drop();
      } else {
        record_.Leave();
      }
    }
  }
  for (const auto& marked : batch) {
    StripFailure why = StripFailure::kNone;
    const bool stripped = marked->Conclude(&visited_, why);
    told_(marked->path(), stripped, why);
  }
}

}  // namespace sarnelux
