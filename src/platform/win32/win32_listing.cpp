// Folder listings over FindFirstFileW and FindNextFileW, in the long-path
// form, so that a folder is listed as it is spelled.
#include <windows.h>

#include <string>

#include "platform/win32/win32_paths.h"
#include "platform/win32/win32_platform.h"

namespace sarnelux {
namespace {

struct Win32Listing {
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW found{};
  std::string name;  // backs ListingEntry::name
};

// Hands out the entry found. A name that is no name the tool can open is
// handed out to be told of, never joined to a path: a file system that
// Windows reaches but does not own (a Linux one, a share) may hold names
// with a backslash in them, which joined to a folder path would lead
// somewhere else.
bool Fill(Win32Listing& listing, ListingEntry& entry) {
  if (NameOf(listing.found.cFileName, listing.name)) {
    entry.kind =
        (listing.found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
            ? EntryKind::kFolder
            : EntryKind::kFile;
  } else {
    listing.name = ShownNameOf(listing.found.cFileName);
    entry.kind = EntryKind::kUnusableName;
  }
  entry.name = listing.name.c_str();
  return true;
}

}  // namespace

NativeListing Win32Platform::ListFirst(const std::string& folder_path,
                                       ListingEntry& entry,
                                       ListingStart& start) {
  start = ListingStart::kCannotList;
  std::wstring pattern = LongPathOf(folder_path);
  if (pattern.empty()) {
    last_error_ = ERROR_INVALID_NAME;
    return nullptr;
  }
  if (pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  auto* listing = new Win32Listing;
  listing->search = FindFirstFileW(pattern.c_str(), &listing->found);
  if (listing->search == INVALID_HANDLE_VALUE) {
    last_error_ = GetLastError();
    if (last_error_ == ERROR_FILE_NOT_FOUND) {
      start = ListingStart::kNothingFound;
    }
    delete listing;
    return nullptr;
  }
  if (!Fill(*listing, entry) && !ListNext(listing, entry)) {
    start = ListingStart::kNothingFound;
    ListClose(listing);
    return nullptr;
  }
  start = ListingStart::kListed;
  return listing;
}

bool Win32Platform::ListNext(NativeListing native, ListingEntry& entry) {
  auto* listing = static_cast<Win32Listing*>(native);
  while (FindNextFileW(listing->search, &listing->found)) {
    if (Fill(*listing, entry)) return true;
  }
  return false;
}

bool Win32Platform::FolderIdentity(const std::string& folder_path,
                                   FileIdentity& identity) {
  const std::wstring long_path = LongPathOf(folder_path);
  if (long_path.empty()) return false;
  // A folder opens only with backup semantics; no access is needed to ask
  // for its identity, and every share mode is granted to others.
  HANDLE folder =
      CreateFileW(long_path.c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  const bool known =
      FileIdentityOf(reinterpret_cast<NativeFile>(folder), identity);
  CloseHandle(folder);
  return known;
}

void Win32Platform::ListClose(NativeListing native) {
  auto* listing = static_cast<Win32Listing*>(native);
  FindClose(listing->search);
  delete listing;
}

}  // namespace sarnelux
