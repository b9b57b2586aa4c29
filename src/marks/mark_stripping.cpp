#include "marks/mark_stripping.h"

#include <cstdint>
#include <limits>

namespace sarnelux {
namespace {

constexpr int kSaveAttempts = 10;

// Creates the file anew with exactly these bytes; true when all reached it.
bool WriteWhole(FileService& files, FileHandle file, const unsigned char* bytes,
                std::int32_t count) {
  if (file == kNoFile) return false;
  const std::int32_t written =
      count > 0 ? files.WriteBytes(file, bytes, count) : 0;
  return files.Close(file) && written == count;
}

// Keeps the original bytes in a new file beside the damaged one. Returns the
// new file's path, or an empty text when none could be written.
std::string SaveBeside(FileService& files, const std::string& file_path,
                       const MemoryBlock& original, std::int32_t count) {
  for (int attempt = 1; attempt <= kSaveAttempts; ++attempt) {
    std::string saved = file_path + ".bom-original";
    if (attempt > 1) saved.append("-").append(std::to_string(attempt));
    const FileHandle file = files.CreateNew(saved);
    if (file == kNoFile) continue;  // taken by another file: try the next
    if (WriteWhole(files, file, original.data(), count)) return saved;
    return {};
  }
  return {};
}

bool Rewrite(Services& services, const std::string& file_path,
             MemoryBlock& block, std::int32_t read) {
  FileService& files = services.files;
  // A console event waits until the file is whole again, one way or another.
  FileService::RewriteShield shield(files);
  const FileHandle file = files.CreateAnew(file_path);
  if (file == kNoFile) return false;
  if (WriteWhole(files, file, block.data() + 3, read - 3)) {
    FileService::ReleaseBlock(block);
    services.console.WriteLine("successfully removed BOM of file " + file_path);
    return true;
  }
  if (WriteWhole(files, files.CreateAnew(file_path), block.data(), read)) {
    services.console.WriteLine("can not write file " + file_path);
    return false;
  }
  const std::string saved = SaveBeside(files, file_path, block, read);
  services.console.WriteLine(
      saved.empty() ? "can not restore file " + file_path
                    : "can not write file, original bytes saved in " + saved);
  return false;
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
  if (read >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    return Rewrite(services, file_path, block, read);
  }
  services.console.WriteLine("no valid utf-8 BOM in file " + file_path);
  return false;
}

}  // namespace sarnelux
