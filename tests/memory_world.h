// A run's services over the in-memory platform, for tests of the tool's own
// logic.
#pragma once

#include <string>

#include "pattern.h"
#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/memory/memory_platform.h"
#include "platform/services.h"

namespace sarnelux {

inline const std::string kMark = "\xEF\xBB\xBF";

struct MemoryWorld {
  explicit MemoryWorld(char separator = '/') : platform(separator) {}

  MemoryPlatform platform;
  FileService files{platform};
  ConsoleWindow console{platform, files};
  Services services{platform, files, console};

  // Every line printed, as the console received it.
  std::string Output() const { return platform.output(); }
  std::string Bytes(const std::string& path) {
    return platform.FileAt(path).bytes;
  }
};

// Copies every file, with its flags and identity, as the next run would
// find them.
inline void CopyFiles(MemoryPlatform& from, MemoryPlatform& to) {
  for (const std::string& path : from.FilePaths()) {
    const MemoryPlatform::File& file = from.FileAt(path);
    MemoryPlatform::File& copy = to.AddFile(path, file.bytes);
    copy.read_only = file.read_only;
    copy.refuses_replace = file.refuses_replace;
    copy.generation = file.generation;
  }
}

inline bool InStateFolder(MemoryPlatform& platform, const std::string& path) {
  return path.rfind(platform.StateFolder(false), 0) == 0;
}

inline std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace sarnelux
