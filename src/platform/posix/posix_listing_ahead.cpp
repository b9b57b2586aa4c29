#include "platform/posix/posix_listing_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/posix/posix_quiet_threads.h"

namespace sarnelux {
namespace {

// Entries a lister reads of one folder; the walk reads the rest itself, so
// that a huge folder costs no more memory ahead than a small one.
constexpr std::size_t kEntriesAhead = 1024;
// Folders named for listing ahead, not yet opened: a name each.
constexpr std::size_t kMostWaiting = 8192;
// Listers a run starts with, where there are cores to spare: listing is
// waiting on the device, and a few threads keep a disk's queue full without
// adding to a warm run's cost. On fewer cores the kernel's own workers,
// opening files for the ring, already keep every core busy on a cold tree,
// and listers only take turns with them: measured on two cores, a cold run
// on the ring lists its tree 5 to 10% sooner with the walk's cursor listing
// one folder at a time (bench/results.md).
constexpr int kDefaultListers = 4;
constexpr unsigned kCoresForListers = 4;
// Listers beside the gate's own opening threads, which it takes where the
// tree proves cold or the file system slow: there the opens wait on the
// device in threads that use no core meanwhile, and two listers kept the
// walk from waiting on a listing, on two cores, as well as four did.
constexpr int kSlowTreeListers = 2;
constexpr int kMostListers = 64;
constexpr int kMostFoldersHeld = 32;

bool ListedAhead(const GateEntry& entry) {
  // A folder reached through a link may lead anywhere: the walk decides.
  return entry.kind == EntryKind::kFolder && !entry.through_link &&
         entry.name != "." && entry.name != "..";
}

int ListersAsked(int otherwise) {
  if (const char* asked = std::getenv("SARNELUX_LISTERS")) {
    return std::clamp(std::atoi(asked), 0, kMostListers);
  }
  return otherwise;
}

}  // namespace

bool ListedFolder::ReadAhead(DIR* dir, const EntryFilter* filter,
                             std::deque<Ahead>& ahead) {
  while (ahead.size() < kEntriesAhead) {
    Ahead next;
    if (!ReadListedEntry(dir, next.entry, filter)) return true;
    ahead.push_back(std::move(next));
  }
  return false;
}

void ListedFolder::ListOwnAhead() {
  if (listers_ == nullptr) return;
  const EntryFilter* filter = nullptr;
  {
    const std::lock_guard lock(listers_->mutex_);
    filter = listers_->filter_;
  }
  // The walk lists the folder itself anyway: all at once, its subfolders
  // are all named for the listers before the walk goes into the first.
  std::deque<Ahead> ahead;
  const bool exhausted = ReadAhead(dir_->dir, filter, ahead);
  const std::lock_guard lock(listers_->mutex_);
  Settle(std::move(ahead), exhausted);
}

void ListedFolder::Settle(std::deque<Ahead> ahead, bool exhausted) {
  exhausted_ = exhausted;
  for (Ahead& next : ahead) {
    ++read_;
    if (ListedAhead(next.entry))
      next.child = listers_->Queue(*this, next.entry);
  }
  ahead_ = std::move(ahead);
}

std::shared_ptr<ListedFolder> ListedFolder::Own(DIR* dir,
                                                FolderListers* listers) {
  std::vector<std::uint32_t> key;
  if (listers != nullptr) {
    const std::lock_guard lock(listers->mutex_);
    key.push_back(listers->roots_++);
  }
  auto folder = std::make_shared<ListedFolder>(listers, std::move(key));
  folder->dir_ = std::make_shared<HeldFolder>(dir);
  folder->ListOwnAhead();
  return folder;
}

ListedFolder::ListedFolder(FolderListers* listers,
                           std::vector<std::uint32_t> key)
    : listers_(listers), key_(std::move(key)) {}

ListedFolder::~ListedFolder() {
  if (listers_ == nullptr) return;
  // Its entries, the subfolders among them, and the descriptors go once
  // the lock is given back: each takes it in turn.
  const std::lock_guard lock(listers_->mutex_);
  if (state_ == State::kWaiting) listers_->waiting_.erase(key_);
  if (counted_) {
    --listers_->held_;
    listers_->work_.notify_one();
  }
}

bool ListedFolder::Take() {
  std::shared_ptr<HeldFolder> parent;  // closed, if it must be, unlocked
  std::unique_lock lock(listers_->mutex_);
  if (state_ == State::kWaiting) {
    listers_->waiting_.erase(key_);
    parent = std::move(parent_);
    state_ = State::kNotOpened;
  }
  listers_->done_.wait(lock, [this] { return state_ != State::kListing; });
  if (state_ != State::kReady) return false;
  state_ = State::kOwned;
  counted_ = false;
  --listers_->held_;
  listers_->work_.notify_one();
  return true;
}

void ListedFolder::Adopt(DIR* dir) {
  auto held = std::make_shared<HeldFolder>(dir);
  {
    const std::lock_guard lock(listers_->mutex_);
    dir_ = std::move(held);
    state_ = State::kOwned;
  }
  ListOwnAhead();
}

bool ListedFolder::Read(GateEntry& entry, const EntryFilter* filter,
                        std::shared_ptr<ListedFolder>& child) {
  child.reset();
  while (!ahead_.empty()) {
    Ahead next = std::move(ahead_.front());
    ahead_.pop_front();
    if (filter != nullptr &&
        !filter->Examines(next.entry.name, next.entry.kind)) {
      continue;
    }
    entry = std::move(next.entry);
    child = std::move(next.child);
    return true;
  }
  if (exhausted_ || !ReadListedEntry(dir_->dir, entry, filter)) {
    exhausted_ = true;
    return false;
  }
  ++read_;
  if (listers_ != nullptr && ListedAhead(entry)) {
    const std::lock_guard lock(listers_->mutex_);
    child = listers_->Queue(*this, entry);
  }
  return true;
}

std::unique_ptr<FolderListers> FolderListers::Start(int threads, int folders) {
  if (threads <= 0 || folders <= 0) return nullptr;
  auto listers = std::make_unique<FolderListers>(threads, folders);
  // None could be started: the walk lists every folder itself.
  if (listers->threads_.empty()) return nullptr;
  return listers;
}

int FolderListers::ForStart() {
  return ListersAsked(std::thread::hardware_concurrency() >= kCoresForListers
                          ? kDefaultListers
                          : 0);
}

int FolderListers::ForSlowTree() { return ListersAsked(kSlowTreeListers); }

int FolderListers::DescriptorsNeeded(long descriptors, int threads) {
  if (threads <= 0) return 0;
  // Each lister may hold a parent open a moment past its folder's end.
  const long folders = std::clamp<long>(descriptors / 4, 0, kMostFoldersHeld);
  return folders < 2 ? 0 : static_cast<int>(folders) + threads;
}

std::unique_ptr<FolderListers> FolderListers::ForRun(long descriptors,
                                                     int threads) {
  const int needed = DescriptorsNeeded(descriptors, threads);
  return needed == 0 ? nullptr : Start(threads, needed - threads);
}

FolderListers::FolderListers(int threads, int folders) : most_held_(folders) {
  StartQuietThreads(threads_, threads, [this] { Work(); });
}

FolderListers::~FolderListers() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void FolderListers::Filter(const EntryFilter* filter) {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return busy_ == 0; });
  filter_ = filter;
}

std::shared_ptr<ListedFolder> FolderListers::Queue(ListedFolder& parent,
                                                   const GateEntry& entry) {
  if (waiting_.size() >= kMostWaiting) return nullptr;
  std::vector<std::uint32_t> key = parent.key_;
  key.push_back(parent.read_);
  auto child = std::make_shared<ListedFolder>(this, key);
  child->state_ = ListedFolder::State::kWaiting;
  child->name_ = entry.name;
  child->parent_ = parent.dir_;
  waiting_.emplace(std::move(key), child);
  work_.notify_one();
  return child;
}

void FolderListers::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] {
      return stop_ || (held_ < most_held_ && !waiting_.empty());
    });
    if (stop_) return;
    // The waiting folder first in the walk's order: depth first, as the
    // walk will want them.
    const auto first = waiting_.begin();
    std::shared_ptr<ListedFolder> folder = first->second.lock();
    waiting_.erase(first);
    if (folder == nullptr) continue;  // let go of as it was named
    folder->state_ = ListedFolder::State::kListing;
    folder->counted_ = true;
    ++held_;
    ++busy_;
    std::shared_ptr<HeldFolder> parent = std::move(folder->parent_);
    const EntryFilter* filter = filter_;
    lock.unlock();

    bool refused = false;
    const int fd = OpenListedFolder(parent->fd, folder->name_.c_str(),
                                    /*ahead=*/true, refused);
    parent.reset();
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr && fd >= 0) close(fd);
    std::shared_ptr<HeldFolder> held;
    std::deque<ListedFolder::Ahead> ahead;
    bool exhausted = false;
    if (dir != nullptr) {
      held = std::make_shared<HeldFolder>(dir);
      exhausted = ListedFolder::ReadAhead(dir, filter, ahead);
    }

    lock.lock();
    --busy_;
    if (held == nullptr) {
      folder->state_ = ListedFolder::State::kNotOpened;
      folder->counted_ = false;
      --held_;
      work_.notify_one();
    } else {
      folder->dir_ = std::move(held);
      folder->Settle(std::move(ahead), exhausted);
      folder->state_ = ListedFolder::State::kReady;
    }
    done_.notify_all();
    // The last hold on a folder the walk let go of meanwhile: it takes the
    // lock to leave.
    lock.unlock();
    folder.reset();
    lock.lock();
  }
}

}  // namespace sarnelux
