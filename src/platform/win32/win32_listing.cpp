// Folder listings over FindFirstFileA and FindNextFileA.
#include <windows.h>

#include <string>

#include "platform/win32/win32_platform.h"

namespace sarnelux {
namespace {

struct Win32Listing {
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA found{};
};

void Fill(const WIN32_FIND_DATAA& found, ListingEntry& entry) {
  entry.name = found.cFileName;
  entry.kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? EntryKind::kFolder
                   : EntryKind::kFile;
}

}  // namespace

NativeListing Win32Platform::ListFirst(const std::string& folder_path,
                                       ListingEntry& entry,
                                       ListingStart& start) {
  std::string pattern = folder_path;
  if (!pattern.empty() && pattern.back() != '\\') pattern += '\\';
  pattern += "*.*";
  auto* listing = new Win32Listing;
  listing->search = FindFirstFileA(pattern.c_str(), &listing->found);
  if (listing->search == INVALID_HANDLE_VALUE) {
    start = GetLastError() == ERROR_FILE_NOT_FOUND ? ListingStart::kNothingFound
                                                   : ListingStart::kCannotList;
    delete listing;
    return nullptr;
  }
  Fill(listing->found, entry);
  start = ListingStart::kListed;
  return listing;
}

bool Win32Platform::ListNext(NativeListing native, ListingEntry& entry) {
  auto* listing = static_cast<Win32Listing*>(native);
  if (!FindNextFileA(listing->search, &listing->found)) return false;
  Fill(listing->found, entry);
  return true;
}

bool Win32Platform::FolderIdentity(const std::string& folder_path,
                                   FileIdentity& identity) {
  // A folder opens only with backup semantics; no access is needed to ask
  // for its identity, and every share mode is granted to others.
  HANDLE folder =
      CreateFileA(folder_path.c_str(), 0,
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
