// The narrow layer between Sarnelux and the operating system.
//
// Everything the tool needs from the system goes through this interface and
// nothing else: file opens with their dispositions, whole-buffer reads and
// writes, folder listings, console output and input, the console-event
// callback, zero-filled memory and the command line. The core never includes a
// system header; each implementation (POSIX, Win32, in-memory for tests) keeps
// its quirks to itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sarnelux {

// How a file is opened. While the tool holds a file, other programs may read
// it but not write it (where the system can enforce that).
enum class OpenDisposition {
  kReadExisting,      // read; the file must exist
  kUpdateExisting,    // read and write; the file must exist and be writable
  kReplace,           // read and write; empties the file or creates it
                      // (Windows refuses this for hidden and system files)
  kTruncateExisting,  // write only; empties a file that exists
  kCreateNew,         // read and write; creates a file that must not exist,
                      // readable by its owner alone (see FileCopyAccess)
  // A run's record (see rewrite/rewrite_record.h): held by this run alone,
  // and made to be left in any state when the process ends.
  kCreateRecord,  // read and write; creates a file that must not exist
  kTakeRecord,    // read and write; the file must exist
};

// A file as the system knows it; kNoNativeFile when an open failed.
using NativeFile = std::intptr_t;
inline constexpr NativeFile kNoNativeFile = -1;

// kUnfollowedLink: a link the platform does not follow, as its owner owns
// neither what it points to nor the run (a tree's owner must not steer a
// run of another user's outside the tree). kUnusableName: a name that no
// path can reach as the one name it is (a Windows listing of a file system
// it does not own may hold `\` or `:` in a name); its entry's name is only
// to be shown.
enum class EntryKind { kFile, kFolder, kUnfollowedLink, kUnusableName };

// What a path names, as the walk's start is given it.
enum class PathKind { kFolder, kFile, kOther, kMissing, kUnfollowedLink };

// Why the last call that failed did.
struct Failure {
  std::string reason;  // in the system's words, or the tool's own
  // The tool's own rule held the call off (a read-only file, a file another
  // run holds): nothing is broken, the file is left as it is on purpose.
  bool held_off = false;
  // The system ran out of descriptors, handles or memory: the same call
  // may work once some are given back.
  bool exhausted = false;
  // A record that this user's own runs cannot have written alone (another
  // user's, one with another link, one others may write): never read.
  bool foreign = false;
};

// What a platform's users expect of a console program. These are facts of
// the platform, stated once, so that the core has no platform branches.
struct ConsoleConventions {
  std::string_view line_end = "\r\n";
  // Every run reports what it could not do and ends with a status that
  // tells; otherwise only list-only runs do, and a run that strips always
  // ends with status 0.
  bool every_run_reports = false;
};

// One entry of a folder listing. The name stays valid until the next call on
// the same listing.
struct ListingEntry {
  const char* name = nullptr;
  EntryKind kind = EntryKind::kFile;
};

// What tells one file or folder from another, whatever path leads to it:
// links and hard links give one file several paths.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// A folder listing as the system knows it; nullptr when there is none.
using NativeListing = void*;

enum class ListingStart {
  kListed,        // the first entry is in hand
  kNothingFound,  // the folder exists but yields no entry at all
  kCannotList,    // missing, not a folder, access denied, name too long
};

// One console input event. Only key-down events with a character end a key
// wait; everything else (releases, mouse, focus, keys without a character) is
// read and dropped.
struct InputEvent {
  bool key_down = false;
  char character = 0;
};

// Console control events, numbered as Windows numbers them.
enum class ConsoleEvent : int {
  kCtrlC = 0,
  kCtrlBreak = 1,
  kClose = 2,
  kLogoff = 5,
  kShutdown = 6,
};

// Called when the console is closed or interrupted: on a thread of its own on
// Windows, by the main flow once it holds no file on POSIX. It takes the
// platform's guard before it touches a file. Returning false lets the
// platform's default handling end the process.
using ConsoleEventHandler = std::function<bool(ConsoleEvent)>;

// The arguments as the platform hands them over: Windows gives one line that
// the tool splits itself; POSIX gives the vector the shell already split.
struct CommandLine {
  bool is_single_line = false;
  std::string line;               // when is_single_line; includes argument -1
  std::vector<std::string> args;  // otherwise; args[0] is the first argument
};

// Which listed entries a run looks at, by name and kind. A platform that
// lists or opens ahead of the walk asks it first, so that an entry the run
// passes over is neither opened nor listed.
class EntryFilter {
 public:
  virtual bool Examines(std::string_view name, EntryKind kind) const = 0;

 protected:
  ~EntryFilter() = default;
};

// What a project declares of a file's character set, as far as its mark is
// concerned.
enum class DeclaredCharset {
  kNothing,  // no charset, or one that says nothing of a mark
  kUtf8Bom,  // utf-8-bom: the file is meant to begin with the mark
  kUnknown,  // the declarations could not be read; `problem` says why
};

struct CharsetDeclaration {
  DeclaredCharset charset = DeclaredCharset::kNothing;
  std::string problem;
};

// The declarations a project keeps beside its files (.editorconfig).
class CharsetDeclarations {
 public:
  virtual ~CharsetDeclarations() = default;
  virtual CharsetDeclaration DeclaredFor(const std::string& path) = 0;
};

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  virtual char PathSeparator() const = 0;
  virtual CommandLine GetArguments() = 0;
  virtual ConsoleConventions Conventions() const = 0;
  // Why the last call that failed did; only meaningful right after it.
  virtual Failure LastFailure() const = 0;
  virtual PathKind KindOfPath(const std::string& path) = 0;

  // Files. Reads and writes move the whole count in one call unless the file
  // ends or the system fails; they return the bytes moved (0 on failure).
  virtual NativeFile FileOpen(const std::string& path,
                              OpenDisposition disposition) = 0;
  virtual std::int32_t FileRead(NativeFile file, void* destination,
                                std::int32_t count) = 0;
  virtual std::int32_t FileWrite(NativeFile file, const void* source,
                                 std::int32_t count) = 0;
  // Positional transfers, for rewriting a file in place through the handle
  // that read it: they start at the offset given, whatever the file's own
  // position, and move the whole count unless the file ends or the system
  // fails.
  virtual std::int32_t FileReadAt(NativeFile file, std::int64_t offset,
                                  void* destination, std::int32_t count) = 0;
  virtual std::int32_t FileWriteAt(NativeFile file, std::int64_t offset,
                                   const void* source, std::int32_t count) = 0;
  // Cuts the file, or extends it with zeros, to this length.
  virtual bool FileTruncate(NativeFile file, std::int64_t length) = 0;
  virtual std::int64_t FileSize(NativeFile file) = 0;  // -1 on failure
  virtual bool FileClose(NativeFile file) = 0;         // false: data lost
  // Makes what was written to the file durable: it survives a power loss
  // once this returns true (as far as the disk keeps its word).
  virtual bool FileFlush(NativeFile file) = 0;
  // The same for several files at once, sharing what can be shared: on
  // POSIX one flush per file system (syncfs), on Windows one per file.
  virtual bool FilesFlush(const std::vector<NativeFile>& files) = 0;
  // A flush of the file that goes on while the caller writes on: started
  // here, it makes durable what was written to the file before it started.
  // Where the platform cannot flush in the background, the flush is done
  // here. The ticket is for FileFlushWait; 0 when it failed at once.
  virtual std::uint64_t FileFlushStart(NativeFile file) = 0;
  // Waits for that flush; true once it made that data durable.
  virtual bool FileFlushWait(std::uint64_t ticket) = 0;
  virtual bool FileIdentityOf(NativeFile file, FileIdentity& identity) = 0;
  // Removes a file the tool itself created; false when it is still there.
  virtual bool FileRemove(const std::string& path) = 0;
  // Gives `to`, a file the tool itself created (readable by its owner
  // alone), the permissions of `from`, and its owner where the run may set
  // it; false when they could not be given, and `to` then stays as it was.
  // Where holes need a flag of their own (Windows' sparse files), `to` is
  // flagged as `from` is, whatever the permissions.
  virtual bool FileCopyAccess(NativeFile from, NativeFile to) = 0;
  // Where the file holds data from `offset` on, as the system keeps it: a
  // hole reads as zeros and takes no room on the disk. `begin` is the first
  // offset at or after `offset` that is not in a hole (the file's length
  // when none is), `end` the first hole after it (the length when none).
  // False when the system cannot tell, or the file cannot have holes (on
  // Windows, one not flagged sparse): every byte then counts as data.
  virtual bool FileDataAt(NativeFile file, std::int64_t offset,
                          std::int64_t& begin, std::int64_t& end) = 0;
  // False when rewriting the file in place needs room on the disk that is
  // not there: on a file system that copies on write (btrfs, ZFS,
  // bcachefs), every block written takes a new one before the old is
  // given back. True wherever a block is written over where it lies.
  virtual bool FileRoomToRewrite(NativeFile file) = 0;
  // Gives back the room on the disk of the file's bytes [offset, offset +
  // count), which hold zeros: they read as zeros after, from a hole. False
  // where the system cannot; the bytes are as they were.
  virtual bool FileGiveBack(NativeFile file, std::int64_t offset,
                            std::int64_t count) = 0;

  // The folder, private to this user, where a run keeps what must outlive
  // it if it is killed outright; created when missing if asked to. Ends
  // with the path separator; empty when there is none.
  virtual std::string StateFolder(bool create) = 0;
  // Whether what the state folder holds can only be this user's own: the
  // folder is this user's, no other user may write it, and no other user
  // controls a step or a link on the way to it. False, with LastFailure
  // telling why, when another user could have put or changed a record
  // there; true when the folder does not exist. Opening a record
  // (kTakeRecord) makes the same check of the record file itself.
  virtual bool StateFolderIsOwn(const std::string& folder) = 0;
  // How many files the run may hold open at once besides those its walk
  // opens: a durable batch holds its files until they are written.
  virtual std::size_t FilesToHold() = 0;
  // The path made absolute against the current folder, so that a later run
  // started elsewhere finds the same file; empty when it cannot be.
  virtual std::string AbsolutePath(const std::string& path) = 0;

  // Folder listings. The folder path ends with the path separator. Only files
  // and folders are listed; anything else the system keeps in a folder
  // (FIFOs, sockets, devices) is passed over.
  virtual NativeListing ListFirst(const std::string& folder_path,
                                  ListingEntry& entry, ListingStart& start) = 0;
  virtual bool ListNext(NativeListing listing, ListingEntry& entry) = 0;
  virtual void ListClose(NativeListing listing) = 0;
  // The first bytes of the file the walk is at (path), as read ahead of the
  // walk, marks included; false when none were. They may be out of date: a
  // caller that acts on a mark must read the file again as it opens it to
  // do so.
  virtual bool HeadReadAhead(const std::string& /*path*/,
                             unsigned char* /*head*/, std::int32_t& /*count*/) {
    return false;
  }
  virtual bool FolderIdentity(const std::string& folder_path,
                              FileIdentity& identity) = 0;
  // From now on listings leave out what the filter does not examine (none:
  // nullptr). Platforms that never work ahead of the walk need not: the
  // walk asks the filter itself.
  virtual void FilterListings(const EntryFilter* /*filter*/) {}
  // A name against a shell wildcard pattern, as fnmatch(3) with no flags
  // matches it: * and ? match any character, a leading dot included.
  virtual bool NameMatches(const std::string& pattern,
                           std::string_view name) const = 0;
  // What reads the declarations projects keep beside their files; nullptr
  // where this build cannot read them.
  virtual std::unique_ptr<CharsetDeclarations> OpenCharsetDeclarations() = 0;

  // Console.
  virtual void ConsoleOpen() = 0;
  virtual void ConsoleClose() = 0;
  // False when the bytes could not all be written.
  virtual bool ConsoleWrite(const char* bytes, std::size_t count) = 0;
  // Where the platform's diagnostics go: standard error, or the console.
  virtual bool DiagnosticWrite(const char* bytes, std::size_t count) = 0;
  // True when someone can see a prompt and answer it with a key.
  virtual bool KeyWaitUseful() = 0;
  // True where a run's progress can be shown to someone watching, without
  // any of it reaching a pipe, a file or a log: standard error is a
  // terminal (POSIX), or the program has a console of its own (Windows).
  virtual bool ProgressShowable() = 0;
  // Shows the text as the run's progress, in place of what was shown
  // before: a transient line on the terminal, the console's title; an
  // empty text takes it away and leaves things as they were.
  virtual void ShowProgress(const std::string& text) = 0;
  // A steady clock for pacing the progress, in milliseconds; cheap enough
  // to read every few dozen files.
  virtual std::int64_t MonotonicMilliseconds() = 0;
  virtual int ConsolePendingEvents() = 0;  // -1 when input cannot be asked
  virtual bool ConsoleReadEvent(InputEvent& event) = 0;
  // Blocks until input may be pending; false when none can ever arrive.
  virtual bool ConsoleWaitForInput() = 0;
  virtual void SetConsoleEventHandler(ConsoleEventHandler handler) = 0;
  // Called by the main flow once the console-event handler has run: the
  // platform is about to end the process, and the main flow must do nothing
  // more. Real platforms never return from it.
  virtual void HoldUntilProcessEnds() = 0;
  // The guard the main flow holds while it works with files, and the
  // console-event handler takes before it closes them: the handler waits
  // until the main flow is out. Taken again by the same flow, it nests.
  virtual void EnterGuard() = 0;
  virtual void LeaveGuard() = 0;

  // Zero-filled memory for whole-file contents; nullptr when memory is short.
  virtual void* BlockAllocate(std::size_t size) = 0;
  virtual void BlockRelease(void* block, std::size_t size) = 0;
};

// Holds the platform's guard for a scope.
class PlatformGuard {
 public:
  explicit PlatformGuard(Platform& platform) : platform_(platform) {
    platform_.EnterGuard();
  }
  ~PlatformGuard() { platform_.LeaveGuard(); }
  PlatformGuard(const PlatformGuard&) = delete;
  PlatformGuard& operator=(const PlatformGuard&) = delete;

 private:
  Platform& platform_;
};

}  // namespace sarnelux
