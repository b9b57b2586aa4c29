// Mark detection and stripping of one file of arbitrary content, checked
// against the byte patterns that define each mark.
#include <cstddef>
#include <cstdint>
#include <string>

#include "marks/mark_detection.h"
#include "marks/mark_stripping.h"
#include "platform/console_window.h"
#include "platform/memory/memory_platform.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool Begins(const std::string& bytes, const char* prefix, std::size_t n) {
  return bytes.size() >= n && bytes.compare(0, n, prefix, n) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace sarnelux;  // NOLINT(google-build-using-namespace)
  const std::string content(reinterpret_cast<const char*>(data), size);
  MemoryPlatform platform;
  FileService files(platform);
  ConsoleWindow console(platform, files);
  Services services{platform, files, console};
  platform.AddFile("d/f", content);

  const FileHandle file = files.OpenForReading("d/f");
  const MarkKind kind = DetectLeadingMark(files, file);
  files.Close(file);
  const bool utf8 = Begins(content, "\xEF\xBB\xBF", 3);
  const bool utf16le = Begins(content, "\xFF\xFE", 2);
  const bool utf16be = Begins(content, "\xFE\xFF", 2);
  const bool utf32be = Begins(content, "\0\0\xFE\xFF", 4);
  Check((kind == MarkKind::kUtf16LE) == utf16le);
  Check((kind == MarkKind::kUtf8) == utf8);
  Check((kind == MarkKind::kUtf16BE) == utf16be);
  Check((kind == MarkKind::kUtf32BE) == utf32be);
  Check(HasLeadingMark(files, "d/f") ==
        (utf8 || utf16le || utf16be || utf32be));

  const bool stripped = StripUtf8Mark(services, "d/f");
  Check(stripped == utf8);
  const std::string after = platform.FileAt("d/f").bytes;
  Check(after == (utf8 ? content.substr(3) : content));
  const std::string line = content.empty()
                               ? "not enough memory to open file d/f\r\n"
                           : utf8 ? "successfully removed BOM of file d/f\r\n"
                                  : "no valid utf-8 BOM in file d/f\r\n";
  Check(platform.output() == line);
  Check(platform.open_files() == 0 && platform.held_blocks() == 0);
  return 0;
}
