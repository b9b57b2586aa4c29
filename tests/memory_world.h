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

inline std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace sarnelux
