#include "run/command_line.h"

#include <cstddef>

namespace sarnelux {

std::string TokenAt(std::string_view line, int index) {
  std::size_t pos = 0;
  // The program's own invocation is token -1.
  for (int token = -1;; ++token) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size()) return {};
    // A quoted token runs to the next quote, and the scan goes on right
    // after it; any other token runs to the next space, which it consumes.
    const bool quoted = line[pos] == '"';
    const std::size_t start = quoted ? pos + 1 : pos;
    std::size_t stop = line.find(quoted ? '"' : ' ', start);
    if (stop == std::string_view::npos) stop = line.size();
    pos = stop < line.size() ? stop + 1 : stop;
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

bool ContainsListSwitch(const std::string& text) {
  return UpperCaseText(text).find("/L") != std::string::npos;
}

}  // namespace sarnelux
