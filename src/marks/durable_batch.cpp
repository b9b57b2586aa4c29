#include "marks/durable_batch.h"

namespace sarnelux {

bool DurableBatch::Strip(const std::string& path, StripFailure& failure) {
  auto marked = std::make_unique<MarkedFile>(services_, path);
  bool opened = marked->Open(&visited_, failure, RewriteRecord::kDurableStep);
  // Each file held is one more open file: where the system has run out,
  // the batch is written first and the file tried again. Any other refusal
  // (a read-only file, one another program holds) would only come again.
  if (!opened && failure == StripFailure::kNotOpened && !held_.empty() &&
      services_.platform.LastFailure().exhausted) {
    Commit();
    opened = marked->Open(&visited_, failure, RewriteRecord::kDurableStep);
  }
  if (!opened) return false;
  if (marked->length() > FileService::kStreamBlockSize || !marked->whole() ||
      !marked->Identify()) {
    // Written at once, and its line too: a console event that ends the run
    // may drop lines held back, but never the line of a file changed.
    Commit();
    return StripOpened(services_, *marked, &visited_, failure, &record_);
  }
  bytes_ += marked->length();
  queue_.push_back({false, {}, held_.size()});
  held_.push_back(std::move(marked));
  failure = StripFailure::kHeld;
  if (held_.size() >= most_files_ || bytes_ >= kMostBytes) Commit();
  return false;
}

bool DurableBatch::Hold(bool diagnostic, const std::string& line) {
  if (telling_ != kNoFile) {
    told_lines_[telling_].push_back({diagnostic, line});
    return true;
  }
  if (held_.empty()) return false;
  if (queue_.size() >= kMostLines) {
    Commit();
    return false;
  }
  queue_.push_back({diagnostic, line});
  return true;
}

void DurableBatch::Commit() {
  if (held_.empty()) return;
  std::vector<std::unique_ptr<MarkedFile>> batch;
  batch.swap(held_);
  std::vector<Line> queue;
  queue.swap(queue_);
  bytes_ = 0;
  told_lines_.assign(batch.size(), {});
  telling_ = 0;  // any line while the batch is written, first in its place
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
  std::vector<std::size_t> whole_at;  // their places in the batch
  for (std::size_t at = 0; at < batch.size(); ++at) {
    if (noted == RewriteRecord::Batch::kFailed) {
      batch[at]->Untouched();
      continue;
    }
    const RewriteOutcome outcome = batch[at]->Rewrite(&visited_, nullptr);
    if (outcome == RewriteOutcome::kStripped ||
        outcome == RewriteOutcome::kRestored) {
      whole.push_back(batch[at]->file());
      whole_at.push_back(at);
    }
  }
  if (noted != RewriteRecord::Batch::kFailed) {
    // A file left damaged keeps the record for the next run, and so does
    // one whose data may not be on the disk yet. Once on the disk, whole
    // files are forgotten by a record kept for the others.
    const bool flushed = files.FlushTogether(whole);
    if (noted == RewriteRecord::Batch::kNoted) {
      if (flushed && whole.size() == batch.size()) {
        record_.Drop();
      } else {
        if (flushed) {
          for (const std::size_t at : whole_at) record_.ForgetBatched(at);
        }
        record_.Leave();
      }
    }
  }
  for (std::size_t file = 0; file < batch.size(); ++file) {
    telling_ = file;
    StripFailure why = StripFailure::kNone;
    const bool stripped = batch[file]->Conclude(&visited_, why);
    told_(batch[file]->path(), stripped, why);
  }
  telling_ = kNoFile;
  ConsoleWindow& console = services_.console;
  for (const Line& line : queue) {
    if (line.file == kNoFile) {
      console.Emit(line.diagnostic, line.text);
      continue;
    }
    for (const Line& told : told_lines_[line.file]) {
      console.Emit(told.diagnostic, told.text);
    }
  }
  told_lines_.clear();
}

}  // namespace sarnelux
