// What the mark gate learns of files before the walk reaches them.
//
// The listing asks a gate source for each folder's next entry; the entry
// comes with what was done for its gate ahead of the walk, in the walk's own
// depth-first listing order. Two sources answer: a pipeline over io_uring
// that keeps many opens and four-byte reads in flight, listing ahead through
// folder boundaries (through FUSE, and once a tree proves cold, its opens
// and reads are made by threads of its own instead of the ring; once it
// proves warm, on two cores, by one such thread and the walk), and the
// read-ahead that opens the next files of the current listing and hints
// their first page once reads turn out cold. The pipeline is used wherever
// the kernel lets a ring be set up; the read-ahead everywhere else, without
// a word. Both take each folder's entries from the listers
// (posix_listing_ahead.h), which open and list folders ahead of the walk
// on threads of their own.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace sarnelux {

// As many bytes as the mark gate reads from the start of a file.
inline constexpr int kGateBytes = 4;

// One listed entry, and what its gate got ahead of the walk.
struct GateEntry {
  std::string name;
  EntryKind kind = EntryKind::kFile;
  bool through_link = false;  // a link, followed to what it names
  int fd = -1;                // opened ahead for reading; taken by the walk
  int head_count = -1;        // >= 0: this many first bytes were read ahead
  unsigned char head[kGateBytes] = {};
};

// One folder as a source lists it.
class GateFolder {
 public:
  virtual ~GateFolder() = default;
};

class GateSource {
 public:
  virtual ~GateSource() = default;

  // The folder the walk is about to enter from parent's current entry
  // (nullptr: from none), if the source opened it ahead: its descriptor,
  // still owned by the source; -1 otherwise.
  virtual int FolderAhead(GateFolder* parent, const std::string& path) = 0;
  // Starts listing a folder; its path ends with '/'. dir_fd is the folder
  // already opened by the caller, or -1; the source owns it from here on.
  // nullptr when the folder cannot be listed.
  virtual GateFolder* Begin(GateFolder* parent, const std::string& path,
                            int dir_fd) = 0;
  // The folder's next entry, or nullptr at its end; the entry stays valid
  // until the next call on the same folder.
  virtual GateEntry* Next(GateFolder* folder) = 0;
  virtual void End(GateFolder* folder) = 0;
  virtual int Descriptor(GateFolder* folder) = 0;

  // The first read of a file the walk opened for its gate itself: returns
  // the bytes the source read into out (0 when it leaves the read to the
  // caller).
  virtual int FirstRead(int fd, void* out, int count) = 0;
  // Leaves nothing in flight: called on every road out of the process.
  virtual void Drain() {}

  // Entries the filter does not examine are left out of the listings read
  // from here on (none: nullptr), before anything is opened for them.
  virtual void Filter(const EntryFilter* filter) { filter_ = filter; }

 protected:
  const EntryFilter* filter_ = nullptr;
};

// The pipeline where the ring can be had (and SARNELUX_PIPELINE is not 0),
// the read-ahead otherwise. answer_signals is called whenever the source
// has waited a while, or was woken by a signal.
std::unique_ptr<GateSource> StartGateSource(
    std::function<void()> answer_signals);

// The read-ahead, always available.
std::unique_ptr<GateSource> StartReadAhead();

// Drains the source started last, if it is still there. Safe to call from
// the signal handler that ends the process while the main flow writes a
// line (the only time it does so), as the ring is then left alone.
void DrainGateBeforeExit();

// Reads a folder's next file or folder; false at its end. Links and entries
// of unknown type are looked up (following links); anything that is neither
// a file nor a folder, or that the filter does not examine (none: nullptr),
// is passed over.
bool ReadListedEntry(DIR* dir, GateEntry& entry, const EntryFilter* filter);

// Opens a folder given by its path for listing, following links: the
// folders the user names, not those a listing found.
DIR* OpenFolderAt(int parent_fd, const char* name);

// Opens a folder that the listing of parent_fd named, as a descriptor. What
// was listed as a folder is opened without following a link, so that a
// tree's owner who swaps it for a link once it is listed gains nothing; a
// link found there (listed as one, or swapped in) is followed only as far
// as MayFollowLink allows, judged on what the open reached. `ahead` opens
// no link at all: the walk will look for itself. -1 when it cannot be
// opened; `refused` then tells that the link rule held it off.
int OpenListedFolder(int parent_fd, const char* name, bool ahead,
                     bool& refused);

// Called where a listed folder is about to be opened. Only the test build
// defines it, to change the tree at that exact moment.
extern "C" void SarneluxBeforeFolderOpen(int parent_fd, const char* name)
    __attribute__((weak));
// Called where a file is about to be opened to be rewritten, likewise.
extern "C" void SarneluxBeforeFileUpdate(const char* path)
    __attribute__((weak));

// The limit on open files this process runs under, or 1024 where there is
// none: what descriptors opened ahead or held are kept within.
long OpenFilesLimit();

}  // namespace sarnelux
