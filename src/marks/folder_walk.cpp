#include "marks/folder_walk.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "marks/durable_batch.h"
#include "marks/mark_detection.h"
#include "marks/mark_listing.h"
#include "marks/mark_stripping.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

bool FolderListing::Begin(Platform& platform, const std::string& folder_path) {
  End();
  if (folder_path.size() > kMaxFolderPath) return false;
  ListingStart start = ListingStart::kCannotList;
  NativeListing native = platform.ListFirst(folder_path, entry_, start);
  switch (start) {
    case ListingStart::kListed:
      platform_ = &platform;
      native_ = native;
      first_handed_out_ = false;
      return true;
    case ListingStart::kNothingFound:
      first_handed_out_ = true;  // an exhausted listing
      return true;
    case ListingStart::kCannotList:
      break;
  }
  return false;
}

bool FolderListing::NextEntry() {
  if (!first_handed_out_) {
    first_handed_out_ = true;
    return true;
  }
  return native_ != nullptr && platform_->ListNext(native_, entry_);
}

void FolderListing::End() {
  if (native_ != nullptr) platform_->ListClose(native_);
  native_ = nullptr;
  first_handed_out_ = true;
}

namespace {

// Why a file that still has its UTF-8 mark has it, and whether that is a
// failure or the tool's own rule.
void ReportMarkLeft(Services& services, const std::string& path,
                    StripFailure why, const Failure& open_failure) {
  RunReport& report = services.console.report();
  switch (why) {
    case StripFailure::kNotOpened:
      report.MarkLeft(path, open_failure.reason, !open_failure.held_off);
      return;
    case StripFailure::kNoBlock:
      report.MarkLeft(path, "not enough memory", true);
      return;
    case StripFailure::kNotRead:
      report.MarkLeft(path, "could not be read whole", true);
      return;
    case StripFailure::kNotWritten:
      report.MarkLeft(path, "write failed", true);
      return;
    case StripFailure::kNoRoom:
      report.MarkLeft(path, "not enough space to rewrite it", true);
      return;
    case StripFailure::kChanged:
      report.Failed(path, "changed by another program while rewritten");
      return;
    case StripFailure::kNone:
    case StripFailure::kNotUtf8:
    case StripFailure::kNoMark:
    case StripFailure::kSeenBefore:
    case StripFailure::kHeld:
      return;
  }
}

// Counts a file stripped, or reports why a UTF-8 mark is left.
void Settle(Services& services, const std::string& path, bool stripped,
            StripFailure why, bool utf8, std::int32_t& count) {
  if (stripped) {
    ++count;
  } else if (utf8) {
    // Asked at once: the open that failed was the last platform call.
    ReportMarkLeft(services, path, why, services.platform.LastFailure());
  }
}

// How the walk handles each file: the mode, the files already handled, the
// record rewrites keep, and the batch small files share flushes in (none:
// nullptr).
struct Walk {
  WalkMode mode;
  VisitRecord& visited;
  RewriteRecord* record;
  DurableBatch* batch;
  const Selection* selection;
};

// A file with its UTF-8 mark that the project means to keep it, or whose
// declarations cannot be read (which is told): it is not rewritten.
bool MarkStays(Services& services, const std::string& path, const Walk& walk) {
  if (walk.selection == nullptr || !walk.selection->ReadsDeclarations()) {
    return false;
  }
  const CharsetDeclaration declared = walk.selection->DeclaredFor(path);
  if (declared.charset == DeclaredCharset::kUnknown) {
    services.console.report().Failed(path, declared.problem);
  }
  return declared.charset != DeclaredCharset::kNothing;
}

void HandleFile(Services& services, const std::string& path, const Walk& walk,
                std::int32_t& count) {
  services.console.progress().FileExamined();
  const WalkMode mode = walk.mode;
  VisitRecord& visited = walk.visited;
  if (mode == WalkMode::kListOnly) {
    if (ListUtf8Mark(services, path, &visited, walk.selection)) ++count;
    return;
  }
  // The rewrite reads the file's first bytes again as it opens it, so the
  // bytes read ahead of the walk decide, marks included: a marked file is
  // not opened an extra time only to read them once more.
  std::optional<MarkKind> kind;
  unsigned char head[4] = {};
  std::int32_t head_count = 0;
  const bool read_ahead =
      walk.batch == nullptr &&
      services.platform.HeadReadAhead(path, head, head_count);
  if (read_ahead) {
    kind = ClassifyLeadingBytes(head, head_count);
  } else {
    kind = LeadingMarkOf(services.files, path);
  }
  if (!kind) {
    services.console.report().LastCallFailed(path);
    return;
  }
  if (*kind == MarkKind::kNone) return;
  if (*kind == MarkKind::kUtf8 && MarkStays(services, path, walk)) return;
  StripFailure why = StripFailure::kNone;
  const bool stripped = walk.batch != nullptr
                            ? walk.batch->Strip(path, why)
                            : StripUtf8Mark(services, path, &visited, &why,
                                            walk.record, read_ahead);
  if (why == StripFailure::kHeld) return;  // told of with its batch
  Settle(services, path, stripped, why, *kind == MarkKind::kUtf8, count);
}

// Folders that could not be listed by a path short enough; told at the
// end, for those the walk did not reach by a shorter path meanwhile.
struct LongPaths {
  std::vector<std::pair<std::string, FileIdentity>> known;
  std::vector<std::string> unknown;
};

void ScanTree(Services& services, const std::string& folder_path,
              const std::string& shown, const Walk& walk, LongPaths& too_long,
              std::int32_t& count) {
  VisitRecord& visited = walk.visited;
  const char separator = services.platform.PathSeparator();
  std::string folder = folder_path;
  if (folder.empty() || folder.back() != separator) folder += separator;

  FileIdentity identity;
  const bool identified = services.platform.FolderIdentity(folder, identity);
  if (folder.size() > kMaxFolderPath) {
    if (identified) {
      too_long.known.emplace_back(shown, identity);
    } else {
      too_long.unknown.push_back(shown);
    }
    return;
  }
  if (identified && !visited.WalkFolder(identity, folder.size())) {
    return;  // reached again, and no deeper, through a link
  }
  FolderListing listing;
  if (!listing.Begin(services.platform, folder)) {
    services.console.report().LastCallFailed(shown);
    return;
  }

  const Selection* selection =
      walk.selection != nullptr && walk.selection->Filters() ? walk.selection
                                                             : nullptr;
  std::string path;  // reused for every entry of this folder
  while (listing.NextEntry()) {
    const char* name = listing.EntryName();
    const EntryKind kind = listing.CurrentEntryKind();
    if (selection != nullptr && !selection->Examines(name, kind)) continue;
    path.assign(folder).append(name);
    switch (kind) {
      case EntryKind::kFolder:
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
          ScanTree(services, path + separator, path, walk, too_long, count);
        }
        break;
      case EntryKind::kFile:
        HandleFile(services, path, walk, count);
        break;
      case EntryKind::kUnfollowedLink:
        services.console.report().Failed(path, kUnfollowedLinkReason);
        break;
      case EntryKind::kUnusableName:
        // Shown, never opened: no path leads to it as the one name it is.
        services.console.report().Failed(path, "name that Windows cannot open");
        break;
    }
  }
  listing.End();
}

void ReportTooLong(Services& services, const LongPaths& too_long,
                   const VisitRecord& visited) {
  constexpr const char* kReason = "folder path longer than 260 characters";
  for (const auto& [shown, identity] : too_long.known) {
    if (!visited.FolderWalked(identity)) {
      services.console.report().Failed(shown, kReason);
    }
  }
  for (const std::string& shown : too_long.unknown) {
    services.console.report().Failed(shown, kReason);
  }
}

}  // namespace

void ScanFolder(Services& services, const std::string& folder_path,
                std::int32_t& count, WalkMode mode) {
  ScanPaths(services, {folder_path}, /*files_too=*/false, mode, count);
}

void ScanPaths(Services& services, const std::vector<std::string>& paths,
               bool files_too, WalkMode mode, std::int32_t& count,
               RewriteRecord* record, VisitRecord* visited_before,
               const Selection* selection) {
  VisitRecord own;
  VisitRecord& visited = visited_before != nullptr ? *visited_before : own;
  // With the durable switch, small files are written in batches.
  std::optional<DurableBatch> batch;
  if (mode == WalkMode::kStrip && record != nullptr && record->durable()) {
    batch.emplace(
        services, *record, visited,
        [&](const std::string& path, bool stripped, StripFailure why) {
          Settle(services, path, stripped, why, true, count);
        });
    services.console.HoldLines(&*batch);
  }
  const Walk walk{mode, visited, record, batch ? &*batch : nullptr, selection};
  // Listings read ahead of the walk leave out what it passes over, so that
  // nothing is opened or listed for it.
  const bool filtered = selection != nullptr && selection->Filters();
  if (filtered) services.platform.FilterListings(selection);
  LongPaths too_long;
  for (const std::string& path : paths) {
    switch (files_too ? services.platform.KindOfPath(path)
                      : PathKind::kFolder) {
      case PathKind::kFolder:
        ScanTree(services, path, path, walk, too_long, count);
        break;
      case PathKind::kFile:
        HandleFile(services, path, walk, count);
        break;
      case PathKind::kMissing:
        services.console.report().LastCallFailed(path);
        break;
      case PathKind::kOther:
        services.console.report().Failed(path, "not a file or folder");
        break;
      case PathKind::kUnfollowedLink:
        services.console.report().Failed(path, kUnfollowedLinkReason);
        break;
    }
  }
  if (filtered) services.platform.FilterListings(nullptr);
  if (batch) {
    batch->Commit();
    services.console.HoldLines(nullptr);
  }
  ReportTooLong(services, too_long, visited);
}

}  // namespace sarnelux
