// Folders listed ahead of the walk, by a few threads of their own.
//
// On a cold disk or a slow file system, reading a folder's entries waits on
// the device as long as opening a file does, and the walk lists one folder
// at a time. Here every subfolder a listing names is handed to a small pool
// of listers, which open it (relative to its parent's descriptor, never
// through a link) and read its entries into memory, several folders at
// once, the nearest to the walk first; the gate source then reads the
// ready entries in the listing's own order instead of asking the system.
// What is read ahead is what the folder would have listed: the same
// entries, classified the same way, in the same order.
//
// Bounded: at most a fixed number of folders held open ahead of the walk,
// a fixed number of entries read ahead in each (the rest is read from the
// folder as the walk gets there), a fixed number of folders waiting for a
// lister. Where the listers have not got to a folder, the caller opens and
// lists it itself, as it would without them.
#pragma once

#include <dirent.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_gate.h"

namespace sarnelux {

class FolderListers;

// A folder's descriptor, kept open while a subfolder may still be opened
// relative to it.
struct HeldFolder {
  explicit HeldFolder(DIR* held) : dir(held), fd(dirfd(held)) {}
  ~HeldFolder() { closedir(dir); }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  DIR* dir;
  const int fd;  // read by listers while the walk reads dir
};

// One folder's listing: the entries read ahead, then the folder itself.
class ListedFolder {
 public:
  // A folder the caller opened; listers list its subfolders ahead (none:
  // nullptr, and nothing is read ahead).
  static std::shared_ptr<ListedFolder> Own(DIR* dir, FolderListers* listers);

  ListedFolder(FolderListers* listers, std::vector<std::uint32_t> key);
  ~ListedFolder();
  ListedFolder(const ListedFolder&) = delete;
  ListedFolder& operator=(const ListedFolder&) = delete;

  // For a subfolder a listing handed out: waits while a lister opens and
  // reads it. True when it was opened ahead, and is the caller's to read
  // from here on; false when the caller must open it itself, and Adopt
  // what it opened (a lister that could not open it says nothing: the
  // caller's own open tells why, where the walk would have).
  bool Take();
  // The caller's own open of a subfolder Take did not give.
  void Adopt(DIR* dir);

  int Descriptor() const { return dir_->fd; }
  // The next entry, as ReadListedEntry reads it; for a folder listers may
  // list ahead, the listing they will fill (child; otherwise nullptr).
  bool Read(GateEntry& entry, const EntryFilter* filter,
            std::shared_ptr<ListedFolder>& child);

 private:
  friend class FolderListers;
  enum class State { kWaiting, kListing, kReady, kNotOpened, kOwned };
  struct Ahead {
    GateEntry entry;
    std::shared_ptr<ListedFolder> child;
  };

  // Reads up to a bound of entries; true when the folder has no more.
  static bool ReadAhead(DIR* dir, const EntryFilter* filter,
                        std::deque<Ahead>& ahead);
  // Reads a folder the caller opened ahead of its own reads.
  void ListOwnAhead();
  // Takes what was read ahead, naming its subfolders for the listers.
  // Called under the lock.
  void Settle(std::deque<Ahead> ahead, bool exhausted);

  FolderListers* listers_;
  const std::vector<std::uint32_t> key_;  // its place in the walk's order
  State state_ = State::kOwned;
  std::string name_;                    // in its parent, while waiting
  std::shared_ptr<HeldFolder> parent_;  // while waiting
  std::shared_ptr<HeldFolder> dir_;     // once opened
  std::deque<Ahead> ahead_;             // read ahead, not handed out
  bool exhausted_ = false;
  bool counted_ = false;    // among the folders held ahead
  std::uint32_t read_ = 0;  // entries read so far, ahead or not
};

class FolderListers {
 public:
  // threads listers holding at most `folders` folders open ahead; nullptr
  // when either is 0.
  static std::unique_ptr<FolderListers> Start(int threads, int folders);

  FolderListers(int threads, int folders);
  ~FolderListers();
  FolderListers(const FolderListers&) = delete;
  FolderListers& operator=(const FolderListers&) = delete;

  // Listings read from here on leave out what the filter does not examine;
  // waits until no lister reads with the filter before.
  void Filter(const EntryFilter* filter);

  // Listers a run starts with: SARNELUX_LISTERS=N (0: none), otherwise
  // some where there are cores to spare and none on fewer.
  static int ForStart();
  // Listers where the tree proves cold or the file system slow:
  // SARNELUX_LISTERS=N, otherwise a few on any machine.
  static int ForSlowTree();
  // threads listers within a budget of `descriptors` open folders.
  static std::unique_ptr<FolderListers> ForRun(long descriptors, int threads);
  // The descriptors threads listers may hold at once within that budget.
  static int DescriptorsNeeded(long descriptors, int threads);

 private:
  friend class ListedFolder;
  // A subfolder of parent's to list ahead, queued by its place in the
  // walk's order; nullptr when too many wait. Called under the lock.
  std::shared_ptr<ListedFolder> Queue(ListedFolder& parent,
                                      const GateEntry& entry);
  void Work();

  std::mutex mutex_;
  std::condition_variable work_;  // a folder waits, or room was made
  std::condition_variable done_;  // a lister has finished a folder
  std::map<std::vector<std::uint32_t>, std::weak_ptr<ListedFolder>> waiting_;
  const int most_held_;
  int held_ = 0;  // folders open ahead, not yet taken
  int busy_ = 0;  // listers at work
  bool stop_ = false;
  const EntryFilter* filter_ = nullptr;
  std::uint32_t roots_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace sarnelux
