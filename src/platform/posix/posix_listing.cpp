// Folder listings on POSIX, and the read-ahead that keeps a cold disk busy.
//
// Entries are classified from the directory entry's own type, without a stat
// per entry; only links and entries of unknown type are looked up, so that a
// link to a folder is walked like a folder. Entries that are neither files
// nor folders (FIFOs, sockets, devices) are not listed at all, as a Windows
// listing never holds them.
//
// On a cold disk the walk waits for one small read at a time. Once a few
// reads in a row show that data is not cached, each listing reads its entries a
// little ahead of the walk, opens the files among them read-only and hints
// their first page to the kernel, so that many reads are in flight while the
// walk still handles one file at a time, in listing order. The walk's own open
// for reading takes over the descriptor opened ahead. Only regular files
// are opened ahead, and never more than a fixed number at once, however
// deep the tree.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

// The first page holds every byte the mark gate reads.
constexpr off_t kHintBytes = 4096;

bool ReadEntry(DIR* dir, PosixPlatform::ListedEntry& entry) {
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
    entry.fd = -1;
    entry.opened_ahead = false;
    return true;
  }
  return false;
}

}  // namespace

void PosixPlatform::SetUpReadAhead() {
  // SARNELUX_PREFETCH=N looks N entries ahead from the start (0: never),
  // for measuring; by default the read-ahead waits for cold reads.
  if (const char* forced = std::getenv("SARNELUX_PREFETCH")) {
    prefetch_depth_ = std::max(0, std::atoi(forced));
    prefetching_ = prefetch_depth_ > 0;
  }
  // Descriptors opened ahead leave plenty for the walk's own under any
  // limit on open files.
  rlimit files{};
  const long limit =
      getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
          ? static_cast<long>(files.rlim_cur)
          : 1024;
  prefetch_budget_ =
      static_cast<int>(std::clamp<long>((limit - 32) / 2, 0, prefetch_depth_));
}

void PosixPlatform::ForgetAhead(ListedEntry& entry) {
  if (entry.fd < 0) return;
  close(entry.fd);
  entry.fd = -1;
  --prefetched_;
}

void PosixPlatform::ReadAhead(OpenListing& listing) {
  while (listing.ahead.size() < static_cast<std::size_t>(prefetch_depth_) &&
         !listing.exhausted) {
    ListedEntry entry;
    if (!ReadEntry(listing.dir, entry)) {
      listing.exhausted = true;
      break;
    }
    listing.ahead.push_back(std::move(entry));
  }
  // Files past a folder wait until the walk is back from that folder, so
  // that the descriptors go where the walk is.
  for (ListedEntry& entry : listing.ahead) {
    if (entry.kind == EntryKind::kFolder || prefetched_ >= prefetch_budget_) {
      break;
    }
    if (entry.opened_ahead) continue;
    entry.opened_ahead = true;
    entry.fd = openat(dirfd(listing.dir), entry.name.c_str(),
                      O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (entry.fd < 0) continue;  // the walk's own open will say why
    ++prefetched_;
    posix_fadvise(entry.fd, 0, kHintBytes, POSIX_FADV_WILLNEED);
  }
}

bool PosixPlatform::Advance(OpenListing& listing, ListingEntry& entry) {
  ForgetAhead(listing.current);
  if (prefetching_) ReadAhead(listing);
  if (!listing.ahead.empty()) {
    listing.current = std::move(listing.ahead.front());
    listing.ahead.pop_front();
  } else if (listing.exhausted || !ReadEntry(listing.dir, listing.current)) {
    listing.exhausted = true;
    return false;
  }
  entry.name = listing.current.name.c_str();
  entry.kind = listing.current.kind;
  return true;
}

int PosixPlatform::TakeOpenedAhead(const std::string& path) {
  if (listings_.empty()) return -1;
  OpenListing& listing = *listings_.back();
  ListedEntry& current = listing.current;
  if (current.fd < 0 ||
      path.size() != listing.path.size() + current.name.size() ||
      path.compare(listing.path.size(), std::string::npos, current.name) != 0 ||
      path.compare(0, listing.path.size(), listing.path) != 0) {
    return -1;
  }
  --prefetched_;
  return std::exchange(current.fd, -1);
}

// The listing calls are where the walk moves on from one file to the next:
// the file it leaves is whole, so a console event noted meanwhile is
// answered here (a walk through folders without files makes no other call).

NativeListing PosixPlatform::ListFirst(const std::string& folder_path,
                                       ListingEntry& entry,
                                       ListingStart& start) {
  AnswerPendingSignal();
  DIR* dir = opendir(folder_path.c_str());
  if (dir == nullptr) {
    start = ListingStart::kCannotList;
    return nullptr;
  }
  auto listing = std::make_unique<OpenListing>();
  listing->path = folder_path;
  listing->dir = dir;
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
  return Advance(*static_cast<OpenListing*>(listing), entry);
}

bool PosixPlatform::FolderIdentity(const std::string& folder_path,
                                   FileIdentity& identity) {
  struct stat info {};
  if (stat(folder_path.c_str(), &info) != 0) return false;
  identity = {static_cast<std::uint64_t>(info.st_dev),
              static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

void PosixPlatform::ListClose(NativeListing native) {
  auto open = std::find_if(listings_.rbegin(), listings_.rend(),
                           [native](const std::unique_ptr<OpenListing>& l) {
                             return l.get() == native;
                           });
  if (open == listings_.rend()) return;
  OpenListing& listing = **open;
  ForgetAhead(listing.current);
  for (ListedEntry& entry : listing.ahead) ForgetAhead(entry);
  closedir(listing.dir);
  listings_.erase(std::next(open).base());
}

}  // namespace sarnelux
