#include "marks/folder_walk.h"

#include <cstring>

#include "marks/mark_detection.h"
#include "marks/mark_listing.h"
#include "marks/mark_stripping.h"
#include "marks/visit_record.h"

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

void ScanTree(Services& services, const std::string& folder_path, WalkMode mode,
              VisitRecord& visited, std::int32_t& count) {
  const char separator = services.platform.PathSeparator();
  std::string folder = folder_path;
  if (folder.empty() || folder.back() != separator) folder += separator;

  FileIdentity identity;
  if (folder.size() <= kMaxFolderPath &&
      services.platform.FolderIdentity(folder, identity) &&
      !visited.WalkFolder(identity, folder.size())) {
    return;  // reached again, and no deeper, through a link
  }
  FolderListing listing;
  if (!listing.Begin(services.platform, folder)) return;

  std::string path;  // reused for every entry of this folder
  while (listing.NextEntry()) {
    const char* name = listing.EntryName();
    path.assign(folder).append(name);
    if (listing.CurrentEntryKind() == EntryKind::kFolder) {
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
        ScanTree(services, path + separator, mode, visited, count);
      }
    } else if (mode == WalkMode::kListOnly) {
      if (ListUtf8Mark(services, path, &visited)) ++count;
    } else if (HasLeadingMark(services.files, path) &&
               StripUtf8Mark(services, path, &visited)) {
      ++count;
    }
  }
  listing.End();
}

}  // namespace

void ScanFolder(Services& services, const std::string& folder_path,
                std::int32_t& count, WalkMode mode) {
  VisitRecord visited;
  ScanTree(services, folder_path, mode, visited, count);
}

}  // namespace sarnelux
