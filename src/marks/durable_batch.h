// With the durable switch, small files share their flushes. Each costs two
// on its own (the record before its bytes change, its data before the
// record goes), which for a tree of small files is nearly all of the run.
// So they are held open, each read whole into its own block, until a batch
// is full; then the record states them all with one write and one flush,
// they are written, and one flush per file system makes them durable
// before the record is dropped. Their lines come out then; every other line
// written meanwhile waits behind theirs, so that the output keeps the
// walk's order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "marks/mark_stripping.h"
#include "platform/services.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

class DurableBatch final : public HeldLines {
 public:
  // Told of each file once its line is out: stripped, or why not.
  using Told = std::function<void(const std::string& path, bool stripped,
                                  StripFailure why)>;

  DurableBatch(Services& services, RewriteRecord& record, VisitRecord& visited,
               Told told)
      : services_(services),
        record_(record),
        visited_(visited),
        told_(std::move(told)),
        most_files_(std::min(kMostFiles, services.platform.FilesToHold())) {}
  ~DurableBatch() = default;
  DurableBatch(const DurableBatch&) = delete;
  DurableBatch& operator=(const DurableBatch&) = delete;

  // Strips the file as StripUtf8Mark does, or holds it for the batch: then
  // false, with failure kHeld, and it is told of later.
  bool Strip(const std::string& path, StripFailure& failure);
  // Writes out the files held, and every line held back.
  void Commit();
  bool Hold(bool diagnostic, const std::string& line) override;

  // What a batch holds at most: open files, bytes in their blocks, and
  // other lines waiting behind theirs.
  static constexpr std::size_t kMostFiles = 256;
  static constexpr std::int64_t kMostBytes = std::int64_t{16} << 20;
  static constexpr std::size_t kMostLines = 4096;

 private:
  Services& services_;
  RewriteRecord& record_;
  VisitRecord& visited_;
  Told told_;
  // Within what the limit on open files leaves beside the walk's own.
  std::size_t most_files_;
  std::vector<std::unique_ptr<MarkedFile>> held_;
  std::int64_t bytes_ = 0;

  // The lines held back, in order: a line, or the place of a file's lines.
  static constexpr std::size_t kNoFile = static_cast<std::size_t>(-1);
  struct Line {
    bool diagnostic = false;
    std::string text;
    std::size_t file = kNoFile;  // which file of the batch, for its place
  };
  std::vector<Line> queue_;
  // While the batch is written, each file's lines, taken in its place.
  std::vector<std::vector<Line>> told_lines_;
  std::size_t telling_ = kNoFile;
};

}  // namespace sarnelux
