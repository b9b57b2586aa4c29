#include "marks/mark_detection.h"

namespace sarnelux {

MarkKind ClassifyLeadingBytes(const unsigned char* b, std::int32_t n) {
  // Order matters: FF FE 00 00 is taken as UTF-16 LE, there is no UTF-32 LE.
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return MarkKind::kUtf16LE;
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    return MarkKind::kUtf8;
  }
  if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return MarkKind::kUtf16BE;
  if (n >= 4 && b[0] == 0x00 && b[1] == 0x00 && b[2] == 0xFE && b[3] == 0xFF) {
    return MarkKind::kUtf32BE;
  }
  return MarkKind::kNone;
}

MarkKind DetectLeadingMark(FileService& files, FileHandle file) {
  unsigned char head[4] = {};
  const std::int32_t read = files.ReadBytes(file, head, sizeof head);
  return ClassifyLeadingBytes(head, read);
}

std::optional<MarkKind> LeadingMarkOf(FileService& files,
                                      const std::string& file_path) {
  const FileHandle file = files.OpenForReading(file_path);
  if (file == kNoFile) return std::nullopt;
  const MarkKind kind = DetectLeadingMark(files, file);
  files.Close(file);
  return kind;
}

bool HasLeadingMark(FileService& files, const std::string& file_path) {
  return LeadingMarkOf(files, file_path).value_or(MarkKind::kNone) !=
         MarkKind::kNone;
}

}  // namespace sarnelux
