#include "marks/mark_stripping.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace sarnelux {
namespace {

constexpr int kSaveAttempts = 10;
constexpr std::int32_t kCompareChunk = 64 * 1024;

// How a rewrite ended.
enum class RewriteOutcome {
  kNotReopened,  // the file could not be opened for writing; nothing changed
  kStripped,
  kRestored,  // the file holds its original bytes again
  kSaved,     // the original bytes are in a new file beside it
  kLost,      // the original bytes could be neither put back nor saved
};

// Writes exactly these bytes to a file just opened for writing and closes
// it; true when all of them reached the file.
bool WriteWhole(FileService& files, FileHandle file, const unsigned char* bytes,
                std::int32_t count) {
  if (file == kNoFile) return false;
  const std::int32_t written =
      count > 0 ? files.WriteBytes(file, bytes, count) : 0;
  return files.Close(file) && written == count;
}

// True when the file holds exactly these bytes and no more. A write that
// failed part-way may have failed only where nothing had changed, so what
// the file holds is looked at rather than guessed.
bool HoldsExactly(FileService& files, const std::string& file_path,
                  const unsigned char* bytes, std::int32_t count) {
  const std::unique_ptr<unsigned char[]> chunk(
      new (std::nothrow) unsigned char[kCompareChunk]);
  const FileHandle file = files.OpenForReading(file_path);
  if (!chunk || file == kNoFile) {
    files.Close(file);
    return false;
  }
  std::int32_t compared = 0;
  bool same = true;
  for (std::int32_t got = 0;
       same && (got = files.ReadBytes(file, chunk.get(), kCompareChunk)) > 0;
       compared += got) {
    same = got <= count - compared &&
           std::memcmp(chunk.get(), bytes + compared,
                       static_cast<std::size_t>(got)) == 0;
  }
  files.Close(file);
  return same && compared == count;
}

// Keeps the original bytes in a new file beside the damaged one. Returns the
// new file's path, or an empty text when no complete copy could be written
// (a partial one is removed). The copy is this run's own: the walk, which
// may meet it later in the same folder, passes it over.
std::string SaveBeside(FileService& files, const std::string& file_path,
                       const MemoryBlock& original, std::int32_t count,
                       VisitRecord* visited) {
  for (int attempt = 1; attempt <= kSaveAttempts; ++attempt) {
    std::string saved = file_path + ".bom-original";
    if (attempt > 1) saved.append("-").append(std::to_string(attempt));
    const FileHandle file = files.CreateNew(saved);
    if (file == kNoFile) continue;  // taken by another file: try the next
    FileIdentity identity;
    if (visited != nullptr && files.Identity(file, identity)) {
      visited->FirstVisit(identity);
    }
    if (WriteWhole(files, file, original.data(), count)) return saved;
    files.Remove(saved);
    return {};
  }
  return {};
}

RewriteOutcome Rewrite(FileService& files, const std::string& file_path,
                       const MemoryBlock& block, std::int32_t read,
                       VisitRecord* visited, std::string& saved) {
  const FileHandle file = files.CreateAnew(file_path);
  if (file == kNoFile) return RewriteOutcome::kNotReopened;
  if (WriteWhole(files, file, block.data() + 3, read - 3)) {
    return RewriteOutcome::kStripped;
  }
  // Part of the new content may have landed: write the original back over
  // it. Where that too falls short, the file may still hold the original
  // (on POSIX nothing is cut where a write failed).
  if (WriteWhole(files, files.CreateAnew(file_path), block.data(), read) ||
      HoldsExactly(files, file_path, block.data(), read)) {
    return RewriteOutcome::kRestored;
  }
  saved = SaveBeside(files, file_path, block, read, visited);
  return saved.empty() ? RewriteOutcome::kLost : RewriteOutcome::kSaved;
}

}  // namespace

bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited) {
  FileService& files = services.files;
  const FileHandle file = files.OpenForUpdate(file_path);
  if (file == kNoFile) return false;
  FileIdentity identity;
  if (visited != nullptr && files.Identity(file, identity) &&
      !visited->FirstVisit(identity)) {
    files.Close(file);
    return false;
  }

  const std::int64_t length = files.FileLength(file);
  MemoryBlock block;
  if (length > 0 && length <= std::numeric_limits<std::int32_t>::max()) {
    block = files.AllocateBlock(static_cast<std::int32_t>(length));
  }
  if (!block) {
    services.console.WriteLine("not enough memory to open file " + file_path);
    files.Close(file);
    return false;
  }

  const auto expected = static_cast<std::int32_t>(length);
  const std::int32_t read = files.ReadBytes(file, block.data(), expected);
  // A short read would leave zero filler in place of content, and bytes
  // found past the length mean the file is growing under us: either way the
  // block does not hold the file, so it must not be written back.
  unsigned char beyond = 0;
  if (read < expected || files.ReadBytes(file, &beyond, 1) != 0) {
    services.console.WriteLine("can not read file " + file_path);
    files.Close(file);
    return false;
  }
  files.Close(file);

  const unsigned char* head = block.data();
  if (read < 3 || head[0] != 0xEF || head[1] != 0xBB || head[2] != 0xBF) {
    services.console.WriteLine("no valid utf-8 BOM in file " + file_path);
    return false;
  }
  // A console event waits until the file is whole again, one way or another,
  // and its line is out: every file stripped is reported. (A console nobody
  // reads does not hold the event off: once no file is open for writing,
  // the platform may end the process during the line.)
  FileService::RewriteShield shield(files);
  std::string saved;
  const RewriteOutcome outcome =
      Rewrite(files, file_path, block, read, visited, saved);
  FileService::ReleaseBlock(block);
  switch (outcome) {
    case RewriteOutcome::kNotReopened:
      return false;
    case RewriteOutcome::kStripped:
      services.console.WriteLine("successfully removed BOM of file " +
                                 file_path);
      return true;
    case RewriteOutcome::kRestored:
      services.console.WriteLine("can not write file " + file_path);
      return false;
    case RewriteOutcome::kSaved:
      services.console.WriteLine(
          "can not write file, original bytes saved in " + saved);
      return false;
    case RewriteOutcome::kLost:
      services.console.WriteLine("can not restore file " + file_path);
      return false;
  }
  return false;
}

}  // namespace sarnelux
