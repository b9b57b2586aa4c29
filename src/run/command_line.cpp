#include "run/command_line.h"

#include <cstddef>

namespace sarnelux {

std::string TokenAt(std::string_view line, int index) {
  std::size_t pos = 0;
  const std::size_t end = line.size();
  // The program's own invocation is token -1.
  for (int token = -1;; ++token) {
    if (pos >= end) return {};
    while (pos < end && line[pos] == ' ') ++pos;
    std::size_t start = 0;
    std::size_t stop = 0;
    if (pos < end && line[pos] == '"') {
      start = pos + 1;
      stop = line.find('"', start);
      if (stop == std::string_view::npos) {
        stop = end;
        pos = end;
      } else {
        pos = stop + 1;
      }
    } else {
      if (pos >= end) return {};
      start = pos;
      stop = line.find(' ', start);
      if (stop == std::string_view::npos) {
        stop = end;
        pos = end;
      } else {
        pos = stop + 1;
      }
    }
    if (token == index) return std::string(line.substr(start, stop - start));
  }
}

std::string ArgumentAt(const CommandLine& command_line, int index) {
  if (index < 0) return {};
  if (command_line.is_single_line) return TokenAt(command_line.line, index);
  const auto slot = static_cast<std::size_t>(index);
  return slot < command_line.args.size() ? command_line.args[slot]
                                         : std::string();
}

std::string UpperCaseText(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x61 && byte <= 0x7A) || byte >= 0xE0) {
      c = static_cast<char>(byte - 0x20);
    }
  }
  return text;
}

bool ContainsQuietSwitch(const std::string& text) {
  return UpperCaseText(text).find("/Q") != std::string::npos;
}

}  // namespace sarnelux
