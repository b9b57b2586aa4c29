// Folder listings on POSIX.
//
// Entries are classified from the directory entry's own type, without a stat
// per entry; only links and entries of unknown type are looked up, so that a
// link to a folder is walked like a folder. Entries that are neither files
// nor folders (FIFOs, sockets, devices) are not listed at all, as a Windows
// listing never holds them.
#include <dirent.h>
#include <sys/stat.h>

#include <iterator>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

bool ReadEntry(DIR* dir, ListingEntry& entry) {
  while (const dirent* found = readdir(dir)) {
    EntryKind kind = EntryKind::kFile;
    switch (found->d_type) {
      case DT_DIR:
        kind = EntryKind::kFolder;
        break;
      case DT_REG:
        break;
      case DT_LNK:
      case DT_UNKNOWN: {
        struct stat info {};
        if (fstatat(dirfd(dir), found->d_name, &info, 0) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
          kind = EntryKind::kFolder;
        } else if (!S_ISREG(info.st_mode)) {
          continue;
        }
        break;
      }
      default:
        continue;
    }
    entry.name = found->d_name;
    entry.kind = kind;
    return true;
  }
  return false;
}

}  // namespace

// The listing calls are where the walk moves on from one file to the next:
// the file it leaves is whole, so a console event noted meanwhile is
// answered here (a walk through folders without files makes no other call),
// and the lock on the last file opened for update is let go.

NativeListing PosixPlatform::ListFirst(const std::string& folder_path,
                                       ListingEntry& entry,
                                       ListingStart& start) {
  AnswerPendingSignal();
  ReleaseUpdateLock();
  DIR* dir = opendir(folder_path.c_str());
  if (dir == nullptr) {
    start = ListingStart::kCannotList;
    return nullptr;
  }
  if (!ReadEntry(dir, entry)) {
    closedir(dir);
    start = ListingStart::kNothingFound;
    return nullptr;
  }
  start = ListingStart::kListed;
  listings_.emplace_back(folder_path, dir);
  return dir;
}

bool PosixPlatform::ListNext(NativeListing listing, ListingEntry& entry) {
  AnswerPendingSignal();
  ReleaseUpdateLock();
  return ReadEntry(static_cast<DIR*>(listing), entry);
}

bool PosixPlatform::FolderIdentity(const std::string& folder_path,
                                   FileIdentity& identity) {
  struct stat info {};
  if (stat(folder_path.c_str(), &info) != 0) return false;
  identity = {static_cast<std::uint64_t>(info.st_dev),
              static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

void PosixPlatform::ListClose(NativeListing listing) {
  ReleaseUpdateLock();
  for (auto open = listings_.rbegin(); open != listings_.rend(); ++open) {
    if (open->second == listing) {
      listings_.erase(std::next(open).base());
      break;
    }
  }
  closedir(static_cast<DIR*>(listing));
}

}  // namespace sarnelux
