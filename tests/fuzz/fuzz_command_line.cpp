// The command-line splitter and the quiet-switch test against a second,
// independently written splitter and the switch's defining properties.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run/command_line.h"

namespace {

// Splits a whole line, the program's own invocation first, scanning it once
// character by character.
std::vector<std::string> SplitAll(const std::string& line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i < line.size() && line[i] == '"') {
      std::string token;
      for (++i; i < line.size() && line[i] != '"'; ++i) token += line[i];
      tokens.push_back(token);
      if (i < line.size()) ++i;  // past the closing quote
      continue;
    }
    if (i >= line.size()) break;
    std::string token;
    for (; i < line.size() && line[i] != ' '; ++i) token += line[i];
    tokens.push_back(token);
    if (i < line.size()) ++i;  // past the one space that ended it
  }
  return tokens;
}

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // The platform hands over a NUL-terminated line.
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, line.find('\0'));

  const std::vector<std::string> tokens = SplitAll(line);
  const int arguments =
      tokens.empty() ? 0 : static_cast<int>(tokens.size()) - 1;
  for (int i = 0; i < arguments; ++i) {
    Check(sarnelux::TokenAt(line, i) ==
          tokens[static_cast<std::size_t>(i) + 1]);
  }
  Check(sarnelux::TokenAt(line, arguments).empty());
  Check(sarnelux::TokenAt(line, arguments + 7).empty());

  const std::string upper = sarnelux::UpperCaseText(line);
  Check(upper.size() == line.size());
  Check(sarnelux::UpperCaseText(upper) == upper);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto before = static_cast<unsigned char>(line[i]);
    const auto after = static_cast<unsigned char>(upper[i]);
    const bool lowered = (before >= 'a' && before <= 'z') || before >= 0xE0;
    Check(after == (lowered ? before - 0x20 : before));
  }
  bool quiet = false;
  for (std::size_t i = 0; i + 1 < upper.size(); ++i) {
    quiet = quiet || (upper[i] == '/' && upper[i + 1] == 'Q');
  }
  Check(sarnelux::ContainsQuietSwitch(line) == quiet);

  // The same words as the POSIX program's arguments. Every path is one of
  // them, at most one of help, version and a bad option stops the run, and
  // a lone /L before "--" (and before any option's value) always lists: no
  // reading of a line that asks to change nothing changes a file.
  sarnelux::CommandLine posix;
  if (!tokens.empty()) posix.args.assign(tokens.begin() + 1, tokens.end());
  const sarnelux::RunOptions options = sarnelux::ReadRunOptions(posix);
  for (const std::string& path : options.paths) {
    Check(std::find(posix.args.begin(), posix.args.end(), path) !=
          posix.args.end());
  }
  Check(int{options.help} + int{options.version} +
            int{!options.bad_option.empty()} <=
        1);
  bool lists = false;
  for (const std::string& arg : posix.args) {
    if (arg == "--") break;
    // An option that takes a value (--exclude, --include, --exclude-dir, or
    // one cut short) takes the next word whatever it is, /L and -l too.
    if ((arg.starts_with("--e") || arg.starts_with("--i")) &&
        arg.find('=') == std::string::npos) {
      break;
    }
    lists = lists || sarnelux::UpperCaseText(arg) == "/L" || arg == "-l" ||
            arg == "--list";
  }
  Check(!lists || options.list_only);
  return 0;
}
