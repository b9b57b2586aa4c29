// Walks a folder tree depth-first in the platform's listing order and hands
// every file to the mark gate and, past it, to the stripping step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "marks/selection.h"
#include "platform/services.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

// Folders whose path (separator included) is longer than this are not
// listed; it also bounds the depth of a walk through a cycle of links.
inline constexpr std::size_t kMaxFolderPath = 260;

// One open listing of one folder.
class FolderListing {
 public:
  // Begins a listing; false when the folder cannot be listed.
  bool Begin(Platform& platform, const std::string& folder_path);
  bool NextEntry();
  const char* EntryName() const { return entry_.name; }
  EntryKind CurrentEntryKind() const { return entry_.kind; }
  void End();

  FolderListing() = default;
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;
  ~FolderListing() { End(); }

 private:
  Platform* platform_ = nullptr;
  NativeListing native_ = nullptr;
  bool first_handed_out_ = true;
  ListingEntry entry_;
};

// What the walk does with each file that begins with a mark.
enum class WalkMode {
  kStrip,     // strips a leading UTF-8 mark; counts the files stripped
  kListOnly,  // only reports the marks; counts the UTF-8 ones found
};

// What is said of a link the platform does not follow.
inline constexpr const char* kUnfollowedLinkReason =
    "link not followed: its owner is neither the user running this nor the "
    "owner of what it points to";

void ScanFolder(Services& services, const std::string& folder_path,
                std::int32_t& count, WalkMode mode = WalkMode::kStrip);

// Walks each path in turn, each file handled once over them all. A path is
// taken as a folder; with files_too, the platform tells whether it names a
// folder, which is walked, or a file, which is handled as the walk handles
// one. Whatever cannot be walked, listed or examined goes to the report.
// Files are rewritten with `record` (none: nullptr); `visited` holds the
// files already handled in this run (none: nullptr). The selection decides
// which listed entries are looked at, and which marks are meant to stay
// (none: nullptr, everything and none); a path named here is always
// examined.
void ScanPaths(Services& services, const std::vector<std::string>& paths,
               bool files_too, WalkMode mode, std::int32_t& count,
               RewriteRecord* record = nullptr, VisitRecord* visited = nullptr,
               const Selection* selection = nullptr);

}  // namespace sarnelux
