// Tells cheaply whether a file begins with a byte order mark of any kind, so
// that only such files are read in full.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_service.h"

namespace sarnelux {

enum class MarkKind { kNone, kUtf8, kUtf16LE, kUtf16BE, kUtf32BE };

// Classifies up to four leading bytes; count is how many were read.
MarkKind ClassifyLeadingBytes(const unsigned char* bytes, std::int32_t count);

// Reads up to four bytes from the start of a file just opened.
MarkKind DetectLeadingMark(FileService& files, FileHandle file);

// The mark a file begins with; none when it cannot be opened for reading.
std::optional<MarkKind> LeadingMarkOf(FileService& files,
                                      const std::string& file_path);

// True when the file could be opened for reading and begins with a mark.
bool HasLeadingMark(FileService& files, const std::string& file_path);

}  // namespace sarnelux
