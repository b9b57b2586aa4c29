#include "platform/printed_path.h"

#include <algorithm>

namespace sarnelux {

bool IsControlByte(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value < 0x20 || value == 0x7F;
}

std::string PrintedPath(std::string_view path) {
  if (std::none_of(path.begin(), path.end(), IsControlByte)) {
    return std::string(path);
  }
  std::string printed = "\"";
  for (const char byte : path) {
    switch (byte) {
      case '\a':
        printed += "\\a";
        break;
      case '\b':
        printed += "\\b";
        break;
      case '\t':
        printed += "\\t";
        break;
      case '\n':
        printed += "\\n";
        break;
      case '\v':
        printed += "\\v";
        break;
      case '\f':
        printed += "\\f";
        break;
      case '\r':
        printed += "\\r";
        break;
      case '"':
        printed += "\\\"";
        break;
      case '\\':
        printed += "\\\\";
        break;
      default:
        if (IsControlByte(byte)) {
          const auto value = static_cast<unsigned char>(byte);
          printed += '\\';
          printed += static_cast<char>('0' + (value >> 6));
          printed += static_cast<char>('0' + ((value >> 3) & 7));
          printed += static_cast<char>('0' + (value & 7));
        } else {
          printed += byte;
        }
    }
  }
  printed += '"';
  return printed;
}

}  // namespace sarnelux
