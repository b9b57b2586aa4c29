// Folder listings on POSIX.
//
// Entries are classified from the directory entry's own type, without a stat
// per entry; only links and entries of unknown type are looked up, so that a
// link to a folder is walked like a folder. Entries that are neither files
// nor folders (FIFOs, sockets, devices) are not listed at all, as a Windows
// listing never holds them. The listing itself is the gate source's (see
// posix_gate.h): it may have listed, opened and read ahead of the walk.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/posix/posix_platform.h"

namespace sarnelux {

namespace {

// For an entry whose target is known: true unless it is a link that must
// not be followed (see MayFollowLink).
bool LinkMayBeFollowed(int dir, const char* name, const struct stat& target) {
  struct stat link {};
  return fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0 ||
         !S_ISLNK(link.st_mode) || MayFollowLink(link.st_uid, target.st_uid);
}

}  // namespace

bool ReadListedEntry(DIR* dir, GateEntry& entry, const EntryFilter* filter) {
  while (const dirent* found = readdir(dir)) {
    EntryKind kind = EntryKind::kFile;
    bool through_link = false;
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
        through_link = found->d_type == DT_LNK;
        if (!LinkMayBeFollowed(dirfd(dir), found->d_name, info)) {
          kind = EntryKind::kUnfollowedLink;
        }
        break;
      }
      default:
        continue;
    }
    if (filter != nullptr && !filter->Examines(found->d_name, kind)) continue;
    entry.name = found->d_name;
    entry.kind = kind;
    entry.through_link = through_link;
    entry.fd = -1;
    entry.head_count = -1;
    return true;
  }
  return false;
}

int OpenListedFolder(int parent_fd, const char* name, bool ahead,
                     bool& refused) {
  refused = false;
  if (SarneluxBeforeFolderOpen != nullptr) {
    SarneluxBeforeFolderOpen(parent_fd, name);
  }
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY;
  int fd = -1;
  do {
    fd = openat(parent_fd, name, kFlags | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  // A link there makes the open fail with ELOOP (or ENOTDIR).
  if (fd >= 0 || ahead || (errno != ELOOP && errno != ENOTDIR)) return fd;
  do {
    fd = openat(parent_fd, name, kFlags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat opened {};
  if (fstat(fd, &opened) == 0 && ReachedAsNamed(parent_fd, name, opened)) {
    return fd;
  }
  close(fd);
  refused = true;
  errno = ELOOP;
  return -1;
}

DIR* OpenFolderAt(int parent_fd, const char* name) {
  const int fd =
      openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) close(fd);
  return dir;
}

void PosixPlatform::ForgetIdentifiedFolder() {
  if (identified_fd_ >= 0) close(identified_fd_);
  identified_fd_ = -1;
}

GateFolder* PosixPlatform::InnermostFolder() const {
  return listings_.empty() ? nullptr : listings_.back()->folder;
}

// The listing calls are where the walk moves on from one file to the next:
// the file it leaves is whole, so a console event noted meanwhile is
// answered here (a walk through folders without files makes no other call).

NativeListing PosixPlatform::ListFirst(const std::string& folder_path,
                                       ListingEntry& entry,
                                       ListingStart& start) {
  AnswerPendingSignal();
  int dir_fd = -1;
  if (identified_fd_ >= 0 && identified_path_ == folder_path) {
    dir_fd = std::exchange(identified_fd_, -1);
  }
  ForgetIdentifiedFolder();
  // A folder of the innermost listing is opened relative to it, and as it
  // was listed; only the paths given are opened by their path.
  if (dir_fd < 0 && gate_->FolderAhead(InnermostFolder(), folder_path) < 0) {
    const char* name = nullptr;
    const int parent = FolderOf(folder_path, name);
    if (parent != AT_FDCWD) {
      dir_fd = OpenListedFolder(parent, name);
      if (dir_fd < 0) {
        start = ListingStart::kCannotList;
        return nullptr;
      }
    }
  }
  GateFolder* folder = gate_->Begin(InnermostFolder(), folder_path, dir_fd);
  if (folder == nullptr) {
    NoteFailure(errno);
    start = ListingStart::kCannotList;
    return nullptr;
  }
  auto listing = std::make_unique<OpenListing>();
  listing->path = folder_path;
  listing->folder = folder;
  listings_.push_back(std::move(listing));
  if (!Advance(*listings_.back(), entry)) {
    ListClose(listings_.back().get());
    start = ListingStart::kNothingFound;
    return nullptr;
  }
  start = ListingStart::kListed;
  return listings_.back().get();
}

bool PosixPlatform::ListNext(NativeListing listing, ListingEntry& entry) {
  AnswerPendingSignal();
  ForgetIdentifiedFolder();
  return Advance(*static_cast<OpenListing*>(listing), entry);
}

int PosixPlatform::OpenListedFolder(int parent, const char* name) {
  // The name as listed: a trailing '/' would make the open follow a link.
  std::string own(name);
  if (!own.empty() && own.back() == '/') own.pop_back();
  bool refused = false;
  const int fd =
      sarnelux::OpenListedFolder(parent, own.c_str(), /*ahead=*/false, refused);
  if (fd >= 0) return fd;
  if (refused) {
    last_failure_ = {"became a link that is not followed", false};
  } else {
    NoteFailure(errno);
  }
  return -1;
}

bool PosixPlatform::Advance(OpenListing& listing, ListingEntry& entry) {
  listing.current = gate_->Next(listing.folder);
  if (listing.current == nullptr) return false;
  entry.name = listing.current->name.c_str();
  entry.kind = listing.current->kind;
  return true;
}

void PosixPlatform::FilterListings(const EntryFilter* filter) {
  gate_->Filter(filter);
}

bool PosixPlatform::NameMatches(const std::string& pattern,
                                std::string_view name) const {
  return fnmatch(pattern.c_str(), std::string(name).c_str(), 0) == 0;
}

bool PosixPlatform::FolderIdentity(const std::string& folder_path,
                                   FileIdentity& identity) {
  // Asked just before the folder is listed: the descriptor that lists it
  // tells, which spares the kernel resolving the whole path once more.
  ForgetIdentifiedFolder();
  int fd = gate_->FolderAhead(InnermostFolder(), folder_path);
  if (fd < 0) {
    const char* name = nullptr;
    const int parent = FolderOf(folder_path, name);
    fd = parent == AT_FDCWD
             ? openat(parent, name,
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY)
             : OpenListedFolder(parent, name);
    if (fd < 0) return false;
    identified_fd_ = fd;
    identified_path_ = folder_path;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  identity = {static_cast<std::uint64_t>(info.st_dev),
              static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

void PosixPlatform::ListClose(NativeListing native) {
  ForgetIdentifiedFolder();
  auto open = std::find_if(listings_.rbegin(), listings_.rend(),
                           [native](const std::unique_ptr<OpenListing>& l) {
                             return l.get() == native;
                           });
  if (open == listings_.rend()) return;
  gate_->End((*open)->folder);
  listings_.erase(std::next(open).base());
}

GateEntry* PosixPlatform::ListedEntry(const std::string& path) const {
  if (listings_.empty()) return nullptr;
  const OpenListing& listing = *listings_.back();
  GateEntry* current = listing.current;
  if (current == nullptr ||
      path.size() != listing.path.size() + current->name.size() ||
      path.compare(listing.path.size(), std::string::npos, current->name) !=
          0 ||
      path.compare(0, listing.path.size(), listing.path) != 0) {
    return nullptr;
  }
  return current;
}

bool PosixPlatform::HeadReadAhead(const std::string& path, unsigned char* head,
                                  std::int32_t& count) {
  GateEntry* current = ListedEntry(path);
  if (current == nullptr || current->fd >= 0 || current->head_count < 0) {
    return false;
  }
  count = std::exchange(current->head_count, -1);
  std::copy(current->head, current->head + kGateBytes, head);
  return true;
}

int PosixPlatform::TakeOpenedAhead(const std::string& path) {
  GateEntry* current = ListedEntry(path);
  if (current == nullptr || (current->fd < 0 && current->head_count < 0)) {
    return -1;
  }
  if (current->fd >= 0) return std::exchange(current->fd, -1);
  // Read ahead, and closed since: its bytes stand in for the file, unless
  // they could begin a byte order mark. Such a file is opened and read
  // again now, so that a file changed since its bytes were read is judged
  // as it is when the walk gets to it.
  const int count = std::exchange(current->head_count, -1);
  const unsigned char first = current->head[0];
  const bool could_be_marked = count >= 2 && (first == 0xEF || first == 0xFF ||
                                              first == 0xFE || first == 0x00);
  if (could_be_marked || answered_.open) return -1;
  answered_.open = true;
  answered_.count = count;
  answered_.taken = 0;
  std::copy(current->head, current->head + kGateBytes, answered_.head);
  return kAnsweredFile;
}

}  // namespace sarnelux
