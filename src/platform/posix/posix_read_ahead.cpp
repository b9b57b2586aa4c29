// The read-ahead: where no ring can be had, it keeps a cold disk busy.
//
// On a cold disk the walk waits for one small read at a time. Once a few
// reads in a row show that data is not cached, each listing reads its
// entries a little ahead of the walk, opens the files among them read-only
// and hints their first page to the kernel, so that many reads are in flight
// while the walk still handles one file at a time, in listing order. The
// walk's own open for reading takes over the descriptor opened ahead. Only
// regular files are opened ahead, and never more than a fixed number at
// once, however deep the tree.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <utility>

#include "platform/posix/posix_gate.h"
#include "platform/posix/posix_listing_ahead.h"

namespace sarnelux {
namespace {

// The first page holds every byte the mark gate reads.
constexpr off_t kHintBytes = 4096;

// Reads in a row that find their data uncached before reading ahead starts.
constexpr int kUncachedReadsToReadAhead = 4;

struct AheadEntry : GateEntry {
  bool tried = false;    // opened ahead, or tried to be
  bool counted = false;  // opened ahead: counts until the walk moves on
  std::shared_ptr<ListedFolder> listing;  // as listers may list it ahead
};

struct ReadAheadFolder final : GateFolder {
  std::string path;  // ends with '/'
  std::shared_ptr<ListedFolder> listed;
  // The current entry's folder, opened and listed ahead by the listers,
  // once the walk has asked for it.
  std::shared_ptr<ListedFolder> entering;
  AheadEntry current;            // handed out last
  std::deque<AheadEntry> ahead;  // read, not yet handed out
  bool exhausted = false;
};

class ReadAhead final : public GateSource {
 public:
  ReadAhead() {
    // SARNELUX_PREFETCH=N looks N entries ahead from the start (0: never),
    // for measuring; by default the read-ahead waits for cold reads.
    if (const char* forced = std::getenv("SARNELUX_PREFETCH")) {
      depth_ = std::max(0, std::atoi(forced));
      reading_ahead_ = depth_ > 0;
    }
    // Descriptors opened ahead, and folders listed ahead, leave plenty for
    // the walk's own under any limit on open files.
    const long spare = (OpenFilesLimit() - 32) / 2;
    const int listers = FolderListers::ForStart();
    listers_ = FolderListers::ForRun(spare / 2, listers);
    budget_ = static_cast<int>(std::clamp<long>(
        spare - FolderListers::DescriptorsNeeded(spare / 2, listers), 0,
        depth_));
  }

  ~ReadAhead() override = default;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  int FolderAhead(GateFolder* parent, const std::string& path) override {
    auto* in = static_cast<ReadAheadFolder*>(parent);
    if (!Entering(in, path)) return -1;
    if (!in->entering) {
      if (!in->current.listing || !in->current.listing->Take()) return -1;
      in->entering = std::move(in->current.listing);
    }
    return in->entering->Descriptor();
  }

  GateFolder* Begin(GateFolder* parent, const std::string& path,
                    int dir_fd) override {
    auto* in = static_cast<ReadAheadFolder*>(parent);
    auto folder = std::make_unique<ReadAheadFolder>();
    folder->path = path;
    if (Entering(in, path) && in->entering) {
      if (dir_fd >= 0) close(dir_fd);
      folder->listed = std::move(in->entering);
      return folder.release();
    }
    DIR* dir =
        dir_fd >= 0 ? fdopendir(dir_fd) : OpenFolderAt(AT_FDCWD, path.c_str());
    if (dir == nullptr) {
      if (dir_fd >= 0) close(dir_fd);
      return nullptr;
    }
    if (Entering(in, path) && in->current.listing) {
      // Opened here: the listing the listers would have filled takes it
      // over, keeping its place in their order.
      in->current.listing->Adopt(dir);
      folder->listed = std::move(in->current.listing);
    } else {
      folder->listed = ListedFolder::Own(dir, listers_.get());
    }
    return folder.release();
  }

  GateEntry* Next(GateFolder* native) override {
    auto& folder = static_cast<ReadAheadFolder&>(*native);
    Forget(folder.current);
    folder.entering.reset();
    if (reading_ahead_) Fill(folder);
    if (!folder.ahead.empty()) {
      folder.current = std::move(folder.ahead.front());
      folder.ahead.pop_front();
    } else if (folder.exhausted ||
               !folder.listed->Read(folder.current, filter_,
                                    folder.current.listing)) {
      folder.exhausted = true;
      return nullptr;
    }
    return &folder.current;
  }

  void End(GateFolder* native) override {
    auto* folder = static_cast<ReadAheadFolder*>(native);
    Forget(folder->current);
    for (AheadEntry& entry : folder->ahead) Forget(entry);
    delete folder;
  }

  int Descriptor(GateFolder* native) override {
    return static_cast<ReadAheadFolder*>(native)->listed->Descriptor();
  }

  void Filter(const EntryFilter* filter) override {
    GateSource::Filter(filter);
    if (listers_) listers_->Filter(filter);
  }

  int FirstRead(int fd, void* out, int count) override {
    if (reading_ahead_ || depth_ == 0) return 0;
    // Asks the page cache alone first: the same one call when the data is
    // there, and the sign to start reading ahead when it is not. One such
    // sign is not enough: on a warm tree just written, a page now and then
    // is not to be had without waiting (seen about once in four runs over
    // 50,000 files), and reading ahead there would only cost calls.
    iovec into{out, static_cast<std::size_t>(count)};
    const ssize_t got = preadv2(fd, &into, 1, -1, RWF_NOWAIT);
    if (got == count) {
      uncached_reads_ = 0;
      return count;
    }
    if (got < 0 && errno == EAGAIN) {
      reading_ahead_ = ++uncached_reads_ >= kUncachedReadsToReadAhead;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) depth_ = 0;
    return got > 0 ? static_cast<int>(got) : 0;
  }

 private:
  // The walk has moved on from the entry, having taken its descriptor or
  // not.
  void Forget(AheadEntry& entry) {
    entry.listing.reset();
    if (entry.fd >= 0) close(entry.fd);
    entry.fd = -1;
    if (entry.counted) --opened_;
    entry.counted = false;
  }

  void Fill(ReadAheadFolder& folder) {
    while (folder.ahead.size() < static_cast<std::size_t>(depth_) &&
           !folder.exhausted) {
      AheadEntry entry;
      if (!folder.listed->Read(entry, filter_, entry.listing)) {
        folder.exhausted = true;
        break;
      }
      folder.ahead.push_back(std::move(entry));
    }
    // Files past a folder wait until the walk is back from that folder, so
    // that the descriptors go where the walk is.
    for (AheadEntry& entry : folder.ahead) {
      if (entry.kind == EntryKind::kFolder || opened_ >= budget_) break;
      // A file reached through a link is the walk's own to open, and to
      // judge by what the open reached; one listed as a file is opened as
      // one, never through a link put in its place since.
      if (entry.tried || entry.kind != EntryKind::kFile || entry.through_link) {
        continue;
      }
      entry.tried = true;
      entry.fd =
          openat(folder.listed->Descriptor(), entry.name.c_str(),
                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
      if (entry.fd < 0) continue;  // the walk's own open will say why
      entry.counted = true;
      ++opened_;
      posix_fadvise(entry.fd, 0, kHintBytes, POSIX_FADV_WILLNEED);
    }
  }

  // Whether path is the folder of in's current entry, as the walk enters
  // it from there.
  static bool Entering(const ReadAheadFolder* in, const std::string& path) {
    if (in == nullptr || in->current.kind != EntryKind::kFolder) return false;
    const std::string& name = in->current.name;
    return path.size() == in->path.size() + name.size() + 1 &&
           path.back() == '/' && path.starts_with(in->path) &&
           path.compare(in->path.size(), name.size(), name) == 0;
  }

  // First in, last out: folders listed ahead go before the listers.
  std::unique_ptr<FolderListers> listers_;
  int depth_ = 32;  // entries each listing reads ahead once it is on
  int budget_ = 0;  // descriptors open ahead at once, all listings together
  int opened_ = 0;
  bool reading_ahead_ = false;  // reads keep finding data that is not cached
  int uncached_reads_ = 0;      // in a row, since the last one that was cached
};

}  // namespace

std::unique_ptr<GateSource> StartReadAhead() {
  return std::make_unique<ReadAhead>();
}

}  // namespace sarnelux
