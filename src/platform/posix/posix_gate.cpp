// The gate pipeline: many opens and four-byte reads in flight on io_uring.
//
// A cursor runs ahead of the walk through the tree in the walk's own order,
// depth-first, listing folders and descending into subfolders before the
// walk gets there. For each file it meets it queues one chain on the ring:
// open into a registered file slot, read the first bytes, close the slot.
// On a warm tree the kernel runs the whole chain inline, and one submission
// carries the chains of half the depth in flight. Where the tree proves
// cold (the walk keeps waiting for chains), and through FUSE from the
// start, the same three calls are made by threads of the tool's own
// instead (posix_opener_pool.h), with folders listed ahead by a few more
// (posix_listing_ahead.h); where it proves warm and a second core is
// there, by one such thread and by the walk itself while it would wait,
// so that the kernel's work is shared by two cores. The walk takes each
// file's result when it reaches the file, never before its turn, so what
// it prints, rewrites and counts is what a walk opening every file itself
// would do; it opens a file itself where the chain failed or could not be
// queued.
//
// Bounded: at most `Depth()` files ahead of the walk (each holding a slot
// while in flight), at most `max_folders_` folders open ahead, both well
// under the limit on open files; nothing of a file's content is kept but
// the first bytes. Links to folders are not descended ahead of the walk
// (they may lead anywhere, and the walk decides whether they are walked):
// the cursor waits there until the walk has entered the folder or passed it.
#include "platform/posix/posix_gate.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/posix_listing_ahead.h"
#include "platform/posix/posix_opener_pool.h"

#ifdef SARNELUX_HAVE_LIBURING
#include <liburing.h>
#include <sys/vfs.h>
#endif

namespace sarnelux {
namespace {

GateSource* draining_at_exit = nullptr;

#ifdef SARNELUX_HAVE_LIBURING

// Files ahead of the walk by default, on the ring and on the threads: a
// warm tree's chains gained nothing past 128 to 256 on the ring, a cold
// tree's opens gained up to 512 on threads (bench/results.md).
constexpr int kDefaultDepth = 128;
constexpr int kThreadsDepth = 512;
constexpr int kLargestDepth = 4096;
constexpr int kMostFoldersAhead = 32;
// Threads opening files ahead of the walk on a cold tree or through FUSE,
// as many as the reader of bench/many_reader.c, which 16 to 64 matched.
constexpr int kOpenersOffTheRing = 32;
// The files after which the ring is judged, again and again until the road
// changes: where the walk spent more than a quarter of their time waiting
// for chains still in flight, the tree is cold, and the gate takes threads
// of its own.
constexpr int kFilesJudged = 256;
// An open and a read the walk makes itself on the shared road that take
// longer than this waited on the device: a warm file's take a few
// microseconds.
constexpr auto kBlockedCalls = std::chrono::microseconds(50);
constexpr decltype(statfs::f_type) kFuseMagic = 0x65735546;
// How long a wait lasts before signals are looked at again.
constexpr long long kWaitSliceNs = 100'000'000;
// How long the walk waits for one file before its chain is cancelled and
// the walk opens the file itself: a FIFO put in a file's place would
// otherwise keep its read waiting for a writer.
constexpr auto kLongestWait = std::chrono::seconds(1);

enum Step : std::uint64_t { kOpen = 0, kRead = 1, kClose = 2, kCancel = 3 };
constexpr int kStepsPerFile = 3;

// Failures of the ring made on purpose, for the tests that show a ring
// failing at setup, at a submission or in a completion costs the run no
// file: SARNELUX_RING_FAULT=setup, submit:N (the Nth submission is
// refused), open:N or read:N (the Nth open or read completes with EIO).
struct RingFaults {
  bool setup = false;
  int submit = 0;
  int open = 0;
  int read = 0;

  static RingFaults FromEnvironment() {
    RingFaults faults;
    const char* said = std::getenv("SARNELUX_RING_FAULT");
    if (said == nullptr) return faults;
    const std::string text = said;
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const int nth =
        colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1);
    if (kind == "setup") faults.setup = true;
    if (kind == "submit") faults.submit = nth;
    if (kind == "open") faults.open = nth;
    if (kind == "read") faults.read = nth;
    return faults;
  }

  // True when this call is the one to fail; counts calls down.
  static bool Now(int& countdown) { return countdown > 0 && --countdown == 0; }
};

struct RingFolder;

struct RingEntry : GateEntry {
  std::unique_ptr<RingFolder> child;      // listed ahead of the walk
  std::shared_ptr<ListedFolder> listing;  // as listers may list it ahead
  int slot = -1;                          // >= 0: its chain is in flight
  bool ahead = false;  // a file done or in flight, not yet handed out
  bool cannot_open_ahead = false;
};

struct RingFolder final : GateFolder {
  std::string path;  // ends with '/'
  std::shared_ptr<ListedFolder> listed;
  RingEntry* owner = nullptr;     // the parent's entry it was listed from
  std::deque<RingEntry> entries;  // from the walk's current entry on
  std::size_t examined = 0;       // from the front, passed by the cursor
  bool handed = false;            // the front is the walk's current entry
  bool exhausted = false;
  bool entered = false;  // by the walk
  int in_flight = 0;     // chains of its entries
};

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

// The roads a file's open, read and close can take.
enum class Road {
  kRing,     // chains on the ring, which a warm tree's kernel runs inline
  kShared,   // one thread of ours, and the walk while it would wait
  kThreads,  // many threads of ours, each waiting on its own calls
};

class RingGate final : public GateSource {
 public:
  RingGate(std::function<void()> answer_signals, int ring_depth, int depth,
           int max_folders, long listing_budget, int openers)
      : listers_(
            FolderListers::ForRun(listing_budget, FolderListers::ForStart())),
        answer_signals_(std::move(answer_signals)),
        ring_depth_(ring_depth),
        depth_(depth),
        max_folders_(max_folders),
        listing_budget_(listing_budget),
        openers_(openers),
        cold_after_(FilesFromEnvironment("SARNELUX_COLD_AFTER")),
        warm_after_(FilesFromEnvironment("SARNELUX_WARM_AFTER")),
        judging_(openers < 0 && cold_after_ == 0 && warm_after_ == 0),
        slots_(static_cast<std::size_t>(depth)) {}

  RingGate(const RingGate&) = delete;
  RingGate& operator=(const RingGate&) = delete;

  bool SetUp() {
    if (openers_ > 0 ? !UsePool(openers_, OpenerPool::Order::kOldestFirst)
                     : !SetUpRing()) {
      return false;
    }
    if (openers_ > 0) road_ = next_road_ = Road::kThreads;
    for (int slot = depth_ - 1; slot >= 0; --slot) free_slots_.push_back(slot);
    draining_at_exit = this;
    set_ = true;
    return true;
  }

  bool SetUpRing() {
    unsigned entries = 8;
    while (entries < static_cast<unsigned>(kStepsPerFile * ring_depth_ + 4)) {
      entries *= 2;
    }
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN;
    int set = io_uring_queue_init_params(entries, &ring_, &params);
    if (set == -EINVAL) {  // a kernel older than these flags
      params = {};
      set = io_uring_queue_init_params(entries, &ring_, &params);
    }
    if (set < 0) return false;
    // Sparse file slots came with the direct opens and the cancellation of
    // any request, which the pipeline needs too. A round trip through the
    // ring shows that nothing (a seccomp profile) refuses it once set up.
    io_uring_cqe* cqe = nullptr;
    io_uring_sqe* nop = io_uring_get_sqe(&ring_);
    if (io_uring_register_files_sparse(&ring_, depth_) != 0 || nop == nullptr) {
      io_uring_queue_exit(&ring_);
      return false;
    }
    io_uring_prep_nop(nop);
    if (io_uring_submit_and_wait(&ring_, 1) != 1 ||
        io_uring_peek_cqe(&ring_, &cqe) != 0) {
      io_uring_queue_exit(&ring_);
      return false;
    }
    io_uring_cqe_seen(&ring_, cqe);
    AllowWorkersForDepth();
    if (faults_.setup) {
      io_uring_queue_exit(&ring_);
      return false;
    }
    ring_set_ = true;
    return true;
  }

  ~RingGate() override {
    if (!set_) return;
    Drain();
    for (auto& root : roots_) Release(*root);
    roots_.clear();
    pool_.reset();
    if (ring_set_) io_uring_queue_exit(&ring_);
    if (draining_at_exit == this) draining_at_exit = nullptr;
  }

  int FolderAhead(GateFolder* parent, const std::string& path) override {
    RingEntry* from = EntryFor(parent, path);
    if (from == nullptr ||
        (!from->child &&
         !EnterListedAhead(*static_cast<RingFolder*>(parent), *from))) {
      return -1;
    }
    return from->child->listed->Descriptor();
  }

  GateFolder* Begin(GateFolder* parent, const std::string& path,
                    int dir_fd) override {
    auto* in = static_cast<RingFolder*>(parent);
    RingEntry* from = EntryFor(parent, path);
    if (from != nullptr && from->child) {
      if (dir_fd >= 0) close(dir_fd);
      RingFolder* listed = from->child.get();
      listed->entered = true;
      --folders_ahead_;
      CursorInto(in, listed);
      return listed;
    }
    DIR* dir =
        dir_fd >= 0 ? fdopendir(dir_fd) : OpenFolderAt(AT_FDCWD, path.c_str());
    if (dir == nullptr) {
      if (dir_fd >= 0) close(dir_fd);
      return nullptr;
    }
    auto folder = std::make_unique<RingFolder>();
    RingFolder* made = folder.get();
    made->path = path;
    made->listed = Listing(from, dir);
    made->entered = true;
    if (from != nullptr) {
      made->owner = from;
      from->child = std::move(folder);
      CursorInto(in, made);
    } else {
      if (ahead_.empty()) ChooseRoad(made->listed->Descriptor());
      roots_.push_back(std::move(folder));
      if (ahead_.empty()) ahead_.push_back(made);
    }
    return made;
  }

  GateEntry* Next(GateFolder* native) override {
    RingFolder& folder = static_cast<RingFolder&>(*native);
    if (folder.handed) PopFront(folder);
    Reap();
    if (ahead_files_ * 2 <= Depth()) Fill();
    for (;;) {
      const bool cursor_here = !ahead_.empty() && ahead_.back() == &folder;
      if (cursor_here && folder.examined == 0) {
        // The walk has caught up with the cursor.
        if (Advance()) continue;
        if (!folder.entries.empty()) break;  // waits here for the walk
        continue;
      }
      if (!folder.entries.empty()) break;
      RingEntry entry;
      if (folder.exhausted ||
          !folder.listed->Read(entry, filter_, entry.listing)) {
        folder.exhausted = true;
        return nullptr;
      }
      folder.entries.push_back(std::move(entry));
    }
    RingEntry& entry = folder.entries.front();
    if (folder.examined == 0 && entry.kind == EntryKind::kFile) {
      folder.examined = 1;  // the walk's own to open
    }
    Submit();
    const bool waits = entry.slot >= 0;
    const auto since = std::chrono::steady_clock::now();
    bool cancelled = false;
    bool blocked = false;  // on the device, in calls of the walk's own
    while (entry.slot >= 0) {
      if (road_ == Road::kShared) {
        if (OpenOneItself(blocked)) continue;
        // The thread is making the file's calls: a warm file's take a few
        // microseconds, less than waking a sleeping core.
        pool_->Spin(kBlockedCalls);
        if (Reap() > 0) continue;
      }
      WaitSlice(/*submit_first=*/true, entry.slot);
      if (!cancelled && entry.slot >= 0 &&
          std::chrono::steady_clock::now() - since > kLongestWait) {
        Cancel(entry.slot);
        cancelled = true;
      }
    }
    if (entry.ahead) {
      entry.ahead = false;
      --ahead_files_;
      Judge(since,
            waits ? std::chrono::steady_clock::now() - since
                  : std::chrono::steady_clock::duration{},
            blocked);
    }
    folder.handed = true;
    return &entry;
  }

  void End(GateFolder* native) override {
    auto* folder = static_cast<RingFolder*>(native);
    Release(*folder);
    if (folder->owner != nullptr) {
      folder->owner->child.reset();
      return;
    }
    std::erase_if(roots_, [folder](const std::unique_ptr<RingFolder>& root) {
      return root.get() == folder;
    });
  }

  int Descriptor(GateFolder* native) override {
    return static_cast<RingFolder*>(native)->listed->Descriptor();
  }

  int FirstRead(int, void*, int) override { return 0; }

  void Filter(const EntryFilter* filter) override {
    GateSource::Filter(filter);
    if (listers_) listers_->Filter(filter);
  }

  void Drain() override {
    if (broken_ || outstanding_ == 0) return;
    if (Pooled()) {
      // No file not yet begun is opened now. A thread still in its calls
      // ends with the process: waiting for it would let a daemon that
      // never answers keep the process from ending. (The walk's own end
      // waits for them as it lets each folder go.)
      pool_->CancelQueued();
      Reap();
      return;
    }
    if (io_uring_sq_space_left(&ring_) == 0) io_uring_submit(&ring_);
    if (io_uring_sqe* sqe = io_uring_get_sqe(&ring_)) {
      io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
      io_uring_sqe_set_data64(sqe, kCancel);
      ++outstanding_;
    }
    while (outstanding_ > 0) {
      io_uring_cqe* cqe = nullptr;
      const int waited = io_uring_submit_and_wait(&ring_, 1);
      if (waited < 0 && waited != -EINTR && waited != -EAGAIN &&
          waited != -EBUSY) {
        break;
      }
      if (io_uring_peek_cqe(&ring_, &cqe) == 0) Reap();
    }
  }

 private:
  struct Slot {
    RingEntry* owner = nullptr;
    RingFolder* folder = nullptr;
    int steps_left = 0;
    int opened = 0;
    int read = 0;
    unsigned char head[kGateBytes] = {};
  };

  bool Pooled() const { return road_ != Road::kRing; }

  // Called with nothing in flight.
  bool UsePool(int threads, OpenerPool::Order order) {
    if (!pool_ || pool_->threads() != threads || pool_->order() != order) {
      pool_.reset();
      pool_ = std::make_unique<OpenerPool>(threads, order);
    }
    return pool_->threads() > 0;
  }

  // On the shared road the walk makes the calls of the oldest file no
  // thread has begun while it waits, as the thread does: on two cores the
  // kernel's work for a warm tree is split between them. Calls that took
  // as long as a device's read say so in `blocked`.
  bool OpenOneItself(bool& blocked) {
    const auto began = std::chrono::steady_clock::now();
    if (!pool_->RunOne()) return false;
    if (std::chrono::steady_clock::now() - began >= kBlockedCalls) {
      blocked = true;
    }
    Reap();
    return true;
  }

  // Through FUSE every call is a round trip to the daemon, and one handed
  // to the ring costs more switches of tasks on the way, as a worker of
  // the kernel's takes it and hands it back: threads of our own that make
  // the calls themselves listed a cold tree through bindfs in 5 to 18% less
  // time, with a fifth less system time (bench/results.md). On the disk
  // the run starts on the ring and leaves it where the tree proves cold
  // (Judge). The road is chosen for each folder the run is given, once
  // nothing is in flight.
  void ChooseRoad(int root_fd) {
    if (openers_ >= 0 || outstanding_ > 0 || !ring_set_) return;
    struct statfs volume {};
    road_ = next_road_ = Road::kRing;
    judged_ = 0;
    waited_ = {};
    blocked_ = 0;
    if (fstatfs(root_fd, &volume) == 0 && volume.f_type == kFuseMagic) {
      next_road_ = Road::kThreads;
      TakeNextRoad();
    }
  }

  // On a cold tree every open waits on the device. On the ring each goes
  // to a worker of the kernel's, which holds the ring's lock to put the
  // file in its slot and to close it, and the device saw half as many
  // requests at once as from threads that open files themselves: on two
  // cores a cold listing took 1.4 times as long as 32 such threads, and
  // 0.96 to 1.0 times once the gate opened with 32 threads of its own and
  // listed ahead with two more (bench/results.md). A warm tree's chains
  // complete inline, twice as fast as handing them to threads, so the run
  // starts on the ring. Where it proves warm and a second core is there,
  // it takes the shared road: the kernel's work for each file is most of a
  // warm run, and one core does all of it on the ring, while the walk and
  // one thread of ours making the same calls listed a warm tree in 0.73
  // times the time of a single thread making the fewest calls, against 1.03
  // on the ring (bench/results.md). Where the walk keeps waiting, on either road, the
  // tree is cold, and the run takes the threads' road for good: on the
  // ring, waits for more than a quarter of the time; on the shared road,
  // where a moment's wait for the thread is the rule and a core taken away
  // for a while the exception, a device's wait for more than a quarter of
  // the files.
  void Judge(std::chrono::steady_clock::time_point now,
             std::chrono::steady_clock::duration waited, bool blocked) {
    if (!judging_ || road_ == Road::kThreads || next_road_ != road_ ||
        broken_) {
      return;
    }
    if (judged_++ == 0) judging_since_ = now;
    waited_ += waited;
    if (waited >= kBlockedCalls || blocked) ++blocked_;
    if (judged_ < kFilesJudged) return;
    if (road_ == Road::kRing ? waited_ * 4 > now - judging_since_
                             : blocked_ * 4 > judged_) {
      next_road_ = Road::kThreads;
    } else if (road_ == Road::kRing && two_cores_) {
      next_road_ = Road::kShared;
    }
    judged_ = 0;
    waited_ = {};
    blocked_ = 0;
  }

  // The next road, taken once nothing is in flight on this one (until then
  // the walk opens its files itself); false until then. Where its threads
  // cannot be started the run stays where it is, and is not judged again.
  bool TakeNextRoad() {
    if (outstanding_ > 0) return false;
    const bool ok = next_road_ == Road::kShared
                        ? UsePool(1, OpenerPool::Order::kNewestFirst)
                        : UsePool(std::min(depth_, kOpenersOffTheRing),
                                  OpenerPool::Order::kOldestFirst);
    if (!ok) {
      next_road_ = road_;
      judging_ = false;
      return true;
    }
    const Road road = road_ = next_road_;
    if (road == Road::kThreads && !listers_) {
      listers_ =
          FolderListers::ForRun(listing_budget_, FolderListers::ForSlowTree());
      if (listers_) listers_->Filter(filter_);
    }
    return true;
  }

  static int FilesFromEnvironment(const char* name) {
    const char* said = std::getenv(name);
    return said == nullptr ? 0 : std::max(1, std::atoi(said));
  }

  // An open that must read an inode from the device blocks, so the kernel
  // hands it to a worker thread of its own; by default it keeps four such
  // workers per CPU, which on a small machine leaves most of the files in
  // flight waiting for a worker rather than for the device. One worker per
  // file in flight lets every open wait on the device at once, as many
  // threads opening files would. A warm tree never needs them: its opens
  // complete inline. Kernels without the call keep their own bound.
  void AllowWorkersForDepth() {
    unsigned workers[2] = {static_cast<unsigned>(ring_depth_), 0};
    io_uring_register_iowq_max_workers(&ring_, workers);
  }

  // The entry of parent the walk is at, if it is the folder at path.
  static RingEntry* EntryFor(GateFolder* parent, const std::string& path) {
    auto* in = static_cast<RingFolder*>(parent);
    if (in == nullptr || !in->handed || in->entries.empty()) return nullptr;
    RingEntry& entry = in->entries.front();
    const std::string& base = in->path;
    if (entry.kind != EntryKind::kFolder ||
        path.size() != base.size() + entry.name.size() + 1 ||
        path.back() != '/' || path.compare(0, base.size(), base) != 0 ||
        path.compare(base.size(), entry.name.size(), entry.name) != 0) {
      return nullptr;
    }
    return &entry;
  }

  // The folder at entry, opened and listed ahead by the listers: the
  // cursor goes on into it as into one it opened itself. False when they
  // did not get to it (or could not open it).
  bool EnterListedAhead(RingFolder& folder, RingEntry& entry) {
    if (!entry.listing || !entry.listing->Take()) return false;
    entry.child = std::make_unique<RingFolder>();
    entry.child->path = folder.path + entry.name + '/';
    entry.child->listed = std::move(entry.listing);
    entry.child->owner = &entry;
    ++folders_ahead_;
    return true;
  }

  // A folder opened here rather than by the listers: the listing they
  // would have filled takes it over, keeping its place in their order.
  std::shared_ptr<ListedFolder> Listing(RingEntry* from, DIR* dir) {
    if (from == nullptr || !from->listing) {
      return ListedFolder::Own(dir, listers_.get());
    }
    from->listing->Adopt(dir);
    return std::move(from->listing);
  }

  // The walk enters a folder the cursor waits at (it could not enter it
  // ahead): the cursor goes on from inside it.
  void CursorInto(RingFolder* in, RingFolder* entered) {
    if (!ahead_.empty() && ahead_.back() == in && in->examined == 0) {
      in->examined = 1;
      ahead_.push_back(entered);
    }
  }

  // Moves the cursor one file or folder on; false when it must wait: for
  // a free slot, for the walk to reach a folder it cannot enter ahead, or
  // because the tree is listed to its end.
  bool Advance() {
    while (!ahead_.empty()) {
      RingFolder& folder = *ahead_.back();
      if (folder.examined == folder.entries.size()) {
        RingEntry entry;
        if (folder.exhausted ||
            !folder.listed->Read(entry, filter_, entry.listing)) {
          folder.exhausted = true;
          ahead_.pop_back();
          continue;
        }
        folder.entries.push_back(std::move(entry));
      }
      RingEntry& entry = folder.entries[folder.examined];
      const bool walk_is_here = folder.examined == 0 && folder.handed;
      if (entry.kind == EntryKind::kFile) {
        // A file reached through a link is the walk's own to open, and to
        // judge by what the open reached.
        if (walk_is_here || entry.through_link) {
          ++folder.examined;
          continue;
        }
        if (next_road_ != road_ && !TakeNextRoad()) return false;
        if (!Pooled() && io_uring_sq_space_left(&ring_) < kStepsPerFile) {
          Submit();
        }
        if (broken_ || free_slots_.empty() || ahead_files_ >= Depth()) {
          return false;
        }
        Queue(folder, entry);
        ++folder.examined;
        return true;
      }
      // A link the walk will not follow is never entered ahead either.
      if (IsDots(entry.name) || entry.kind == EntryKind::kUnfollowedLink) {
        ++folder.examined;
        continue;
      }
      if (walk_is_here) return false;  // the walk is deciding about it
      if (!entry.child) {
        if (entry.through_link || entry.cannot_open_ahead ||
            folders_ahead_ >= max_folders_) {
          return false;
        }
        if (!EnterListedAhead(folder, entry)) {
          bool refused = false;
          const int fd =
              OpenListedFolder(folder.listed->Descriptor(), entry.name.c_str(),
                               /*ahead=*/true, refused);
          DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
          if (dir == nullptr) {
            if (fd >= 0) close(fd);
            entry.cannot_open_ahead = true;  // the walk will try for itself
            return false;
          }
          entry.child = std::make_unique<RingFolder>();
          entry.child->path = folder.path + entry.name + '/';
          entry.child->listed = Listing(&entry, dir);
          entry.child->owner = &entry;
          ++folders_ahead_;
        }
      }
      ++folder.examined;
      ahead_.push_back(entry.child.get());
      return true;
    }
    return false;
  }

  void Fill() {
    while (Advance()) {
    }
    Submit();
  }

  // Room for the three steps is there: the ring has three for every slot.
  void Queue(RingFolder& folder, RingEntry& entry) {
    const int slot = free_slots_.back();
    free_slots_.pop_back();
    Slot& held = slots_[static_cast<std::size_t>(slot)];
    held = Slot{};
    held.owner = &entry;
    held.folder = &folder;
    held.steps_left = kStepsPerFile;
    const auto tag = static_cast<std::uint64_t>(slot) << 2;
    entry.slot = slot;
    entry.ahead = true;
    ++ahead_files_;
    ++folder.in_flight;
    ++queued_;
    if (queued_ == warm_after_) next_road_ = Road::kShared;
    if (queued_ == cold_after_) next_road_ = Road::kThreads;
    if (Pooled()) {
      // One job reports its open and its read.
      held.steps_left = 2;
      outstanding_ += 2;
      pool_->Queue({folder.listed->Descriptor(), entry.name, slot, held.head});
      return;
    }
    // Hard links: the read and the close run whatever the step before
    // them returned, so that every slot is emptied and every step reports.
    io_uring_sqe* open = io_uring_get_sqe(&ring_);
    // Listed as a file, it is opened as one: never through a link put in
    // its place since.
    io_uring_prep_openat_direct(open, folder.listed->Descriptor(),
                                entry.name.c_str(),
                                O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW,
                                0, static_cast<unsigned>(slot));
    open->flags |= IOSQE_IO_HARDLINK;
    if (cold_after_ > 0) open->flags |= IOSQE_ASYNC;  // as on a cold tree
    io_uring_sqe_set_data64(open, tag | kOpen);
    io_uring_sqe* read = io_uring_get_sqe(&ring_);
    io_uring_prep_read(read, slot, held.head, kGateBytes, 0);
    read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_sqe_set_data64(read, tag | kRead);
    io_uring_sqe* close_slot = io_uring_get_sqe(&ring_);
    io_uring_prep_close_direct(close_slot, static_cast<unsigned>(slot));
    io_uring_sqe_set_data64(close_slot, tag | kClose);
    outstanding_ += kStepsPerFile;
  }

  void Cancel(int slot) {
    if (Pooled()) return;  // its calls do not wait for a writer
    const auto tag = static_cast<std::uint64_t>(slot) << 2;
    for (std::uint64_t step : {kOpen, kRead}) {
      if (io_uring_sq_space_left(&ring_) == 0) Submit();
      io_uring_sqe* sqe = broken_ ? nullptr : io_uring_get_sqe(&ring_);
      if (sqe == nullptr) return;
      io_uring_prep_cancel64(sqe, tag | step, 0);
      io_uring_sqe_set_data64(sqe, kCancel);
      ++outstanding_;
    }
    Submit();
  }

  // Hands the queued steps to the kernel. A ring that refuses them for
  // good is given up: the chains it holds count as failed, and the walk
  // opens those files, and every file after them, itself.
  void Submit() {
    if (Pooled()) {
      pool_->Submit();
      return;
    }
    while (!broken_ && io_uring_sq_ready(&ring_) > 0) {
      const int submitted =
          RingFaults::Now(faults_.submit) ? -EIO : io_uring_submit(&ring_);
      if (submitted > 0) continue;
      if (submitted == -EINTR || submitted == -EAGAIN || submitted == -EBUSY) {
        if (Reap() == 0) WaitSlice(/*submit_first=*/false);
        continue;
      }
      GiveUp();
    }
  }

  void GiveUp() {
    broken_ = true;
    for (Slot& held : slots_) {
      if (held.owner == nullptr) continue;
      held.owner->slot = -1;
      held.owner->head_count = -1;
      --held.folder->in_flight;
      held.owner = nullptr;
    }
    outstanding_ = 0;
  }

  // Takes every completion that has arrived; returns how many.
  int Reap() {
    if (broken_) return 0;
    if (Pooled()) {
      pool_->Take(taken_);
      for (const OpenerPool::Done& done : taken_) {
        const auto tag = static_cast<std::uint64_t>(done.slot) << 2;
        Complete(tag | kOpen, done.opened);
        Complete(tag | kRead, done.read);
      }
      return static_cast<int>(taken_.size());
    }
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_cqe* cqe = nullptr;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      Complete(cqe->user_data, cqe->res);
      ++seen;
    }
    io_uring_cq_advance(&ring_, seen);
    return static_cast<int>(seen);
  }

  void Complete(std::uint64_t tag, int result) {
    --outstanding_;
    const auto step = static_cast<Step>(tag & 3);
    if (step == kCancel) return;
    Slot& held = slots_[static_cast<std::size_t>(tag >> 2)];
    if (step == kOpen) {
      held.opened = RingFaults::Now(faults_.open) ? -EIO : result;
    }
    if (step == kRead) {
      held.read = RingFaults::Now(faults_.read) ? -EIO : result;
    }
    if (--held.steps_left > 0) return;
    RingEntry& entry = *held.owner;
    entry.slot = -1;
    if (held.opened >= 0 && held.read >= 0) {
      entry.head_count = std::min(held.read, kGateBytes);
      std::copy(held.head, held.head + kGateBytes, entry.head);
    }
    --held.folder->in_flight;
    held.owner = nullptr;
    free_slots_.push_back(static_cast<int>(tag >> 2));
  }

  // Waits up to a slice for a completion, then answers a signal noted
  // meanwhile: the walk stays as quick to end as when it waits for a read
  // of its own.
  void WaitSlice(bool submit_first = true, int slot = -1) {
    if (submit_first) Submit();
    if (broken_ || outstanding_ == 0) {
      answer_signals_();
      return;
    }
    if (Pooled()) {
      pool_->Wait(std::chrono::nanoseconds(kWaitSliceNs), slot);
      answer_signals_();
      Reap();
      return;
    }
    __kernel_timespec slice{0, kWaitSliceNs};
    io_uring_cqe* cqe = nullptr;
    io_uring_wait_cqe_timeout(&ring_, &cqe, &slice);
    answer_signals_();
    Reap();
  }

  // The walk leaves the front entry of a folder. A folder listed from it
  // ahead that the walk did not enter is let go.
  void PopFront(RingFolder& folder) {
    RingEntry& entry = folder.entries.front();
    if (entry.child) {
      Release(*entry.child);
      entry.child.reset();
    }
    folder.entries.pop_front();
    if (folder.examined > 0) --folder.examined;
    folder.handed = false;
  }

  // Takes the cursor out of a folder and everything listed in it, waits for
  // their chains (a chain names its file relative to the folder's
  // descriptor) and closes it.
  void Release(RingFolder& folder) {
    const auto at = std::find(ahead_.begin(), ahead_.end(), &folder);
    if (at != ahead_.end()) ahead_.erase(at, ahead_.end());
    for (RingEntry& entry : folder.entries) {
      entry.listing.reset();
      if (entry.ahead) {
        entry.ahead = false;
        --ahead_files_;
      }
      if (entry.child) {
        Release(*entry.child);
        entry.child.reset();
      }
    }
    while (folder.in_flight > 0 && !broken_) WaitSlice();
    if (!folder.entered) --folders_ahead_;
    folder.listed.reset();
  }

  // First in, last out: folders listed ahead go before the listers.
  std::unique_ptr<FolderListers> listers_;
  std::function<void()> answer_signals_;
  RingFaults faults_ = RingFaults::FromEnvironment();
  // Files ahead of the walk on the ring, and on threads (slots: depth_).
  int Depth() const { return road_ == Road::kThreads ? depth_ : ring_depth_; }
  const int ring_depth_;
  const int depth_;
  const int max_folders_;
  const long listing_budget_;  // descriptors for listers started later
  // Threads of our own for every file (> 0), the ring for every file (0),
  // or the road each folder given to the run calls for (< 0).
  const int openers_;
  // SARNELUX_COLD_AFTER=N hands every open on the ring to the kernel's
  // workers, as a cold tree does, and takes the threads' road once N files
  // are queued, whatever they cost; SARNELUX_WARM_AFTER=N takes the shared
  // road likewise (0: not asked). Either turns the judging off.
  const int cold_after_;
  const int warm_after_;
  bool judging_;
  const bool two_cores_ = std::thread::hardware_concurrency() >= 2;
  int queued_ = 0;  // files queued on any road
  Road road_ = Road::kRing;
  Road next_road_ = Road::kRing;  // once nothing is in flight
  int judged_ = 0;   // files taken from the ring or the pool, this round
  int blocked_ = 0;  // of them, files the walk waited a device's time for
  std::chrono::steady_clock::time_point judging_since_;
  std::chrono::steady_clock::duration waited_{};  // for chains, this round
  io_uring ring_{};
  bool ring_set_ = false;
  std::unique_ptr<OpenerPool> pool_;  // made once the road needs it
  std::vector<OpenerPool::Done> taken_;
  bool set_ = false;
  bool broken_ = false;
  std::vector<Slot> slots_;
  std::vector<int> free_slots_;
  int outstanding_ = 0;    // completions still to come
  int ahead_files_ = 0;    // files done or in flight, not yet handed out
  int folders_ahead_ = 0;  // open, not entered by the walk
  std::vector<RingFolder*> ahead_;  // the cursor's folders, outermost first
  std::vector<std::unique_ptr<RingFolder>> roots_;  // not listed from another
};

std::unique_ptr<GateSource> StartRing(std::function<void()> answer_signals,
                                      int ring_depth, int depth, int openers) {
  // Slots and folders open ahead stay within half of what the limit on
  // open files leaves beside the walk's own descriptors.
  const long spare = (OpenFilesLimit() - 32) / 2;
  const int folders =
      static_cast<int>(std::clamp<long>(spare / 4, 1, kMostFoldersAhead));
  // Room for the listers the run starts with or may take on later.
  const long listing_budget = spare - folders - 3;
  const int listing = FolderListers::DescriptorsNeeded(
      listing_budget,
      std::max(FolderListers::ForStart(), FolderListers::ForSlowTree()));
  depth =
      static_cast<int>(std::min<long>(depth, spare - folders - listing - 1));
  ring_depth = std::min(ring_depth, depth);
  if (ring_depth < 2) return nullptr;
  openers = std::min(openers, depth);
  auto ring =
      std::make_unique<RingGate>(std::move(answer_signals), ring_depth, depth,
                                 folders, listing_budget, openers);
  if (!ring->SetUp()) return nullptr;
  return ring;
}

#endif  // SARNELUX_HAVE_LIBURING

}  // namespace

std::unique_ptr<GateSource> StartGateSource(
    std::function<void()> answer_signals) {
#ifdef SARNELUX_HAVE_LIBURING
  // SARNELUX_PIPELINE=N keeps N files in flight, 0 turns the pipeline off;
  // SARNELUX_PREFETCH (see posix_read_ahead.cpp) measures the read-ahead.
  int depth = kDefaultDepth;
  int threads_depth = kThreadsDepth;
  if (const char* forced = std::getenv("SARNELUX_PIPELINE")) {
    depth = threads_depth = std::clamp(std::atoi(forced), 0, kLargestDepth);
  }
  if (std::getenv("SARNELUX_PREFETCH") != nullptr) depth = 0;
  if (depth > 0) {
    // SARNELUX_OPENERS=N opens files on N threads of the tool's own
    // wherever the run goes, 0 on the ring even through FUSE.
    int openers = -1;
    if (const char* asked = std::getenv("SARNELUX_OPENERS")) {
      openers = std::clamp(std::atoi(asked), 0, threads_depth);
    }
    if (auto ring = StartRing(answer_signals, depth, threads_depth, openers)) {
      return ring;
    }
  }
#else
  (void)answer_signals;
#endif
  return StartReadAhead();
}

void DrainGateBeforeExit() {
  if (draining_at_exit != nullptr) draining_at_exit->Drain();
}

}  // namespace sarnelux
