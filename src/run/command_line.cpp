#include "run/command_line.h"

#include <cstddef>
#include <utility>

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

bool ContainsDurableSwitch(const std::string& text) {
  return UpperCaseText(text).find("/D") != std::string::npos;
}

namespace {

// An argument made of nothing but /Q, /L and /D, in any case and order.
bool IsSwitchWord(const std::string& argument) {
  const std::string upper = UpperCaseText(argument);
  if (upper.empty() || upper.size() % 2 != 0) return false;
  for (std::size_t at = 0; at < upper.size(); at += 2) {
    if (upper[at] != '/' || (upper[at + 1] != 'Q' && upper[at + 1] != 'L' &&
                             upper[at + 1] != 'D')) {
      return false;
    }
  }
  return true;
}

void TakeSwitchText(const std::string& text, RunOptions& options) {
  options.no_wait = options.no_wait || ContainsQuietSwitch(text);
  options.list_only = options.list_only || ContainsListSwitch(text);
  options.durable = options.durable || ContainsDurableSwitch(text);
}

// Help, version and a bad option each end the reading's meaning; the first
// of them met decides, as with getopt's callers.
bool Decided(const RunOptions& options) {
  return options.help || options.version || !options.bad_option.empty();
}

// One option, its name without the first dash; false when it is none.
bool TakeOption(const std::string& name, RunOptions& options) {
  if (name == "l" || name == "-list") {
    options.list_only = true;
  } else if (name == "W" || name == "-no-wait") {
    options.no_wait = true;
  } else if (name == "D" || name == "-durable") {
    options.durable = true;
  } else if (name == "h" || name == "-help") {
    options.help = options.help || !Decided(options);
  } else if (name == "V" || name == "-version") {
    options.version = options.version || !Decided(options);
  } else {
    return false;
  }
  return true;
}

void TakeBadOption(const std::string& option, RunOptions& options) {
  if (!Decided(options)) options.bad_option = option;
}

RunOptions ReadClassicLine(const CommandLine& command_line) {
  RunOptions options;
  const std::string folder = ArgumentAt(command_line, 0);
  const std::string switches = UpperCaseText(ArgumentAt(command_line, 1));
  // No folder or switch text is ever written that way: "?" is no name a
  // Windows file may have.
  options.help = folder == "/?" || switches == "/?";
  if (!folder.empty()) options.paths.push_back(folder);
  TakeSwitchText(switches, options);
  return options;
}

RunOptions ReadPosixArguments(const std::vector<std::string>& args) {
  RunOptions options;
  options.style = ArgumentStyle::kPosix;
  bool options_ended = false;
  bool any_option = false;
  for (const std::string& arg : args) {
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (!options_ended && arg == "/?") {
        TakeOption("h", options);
      } else if (!options_ended && IsSwitchWord(arg)) {
        TakeSwitchText(arg, options);
      } else {
        options.paths.push_back(arg);
      }
      continue;
    }
    any_option = true;
    if (arg == "--") {
      options_ended = true;
    } else if (arg[1] == '-') {
      if (!TakeOption(arg.substr(1), options)) TakeBadOption(arg, options);
    } else {
      for (std::size_t at = 1; at < arg.size(); ++at) {
        if (!TakeOption(std::string(1, arg[at]), options)) {
          TakeBadOption(std::string("-") + arg[at], options);
        }
      }
    }
  }
  // Just a path and a text: the classic line, whose switch text may hold
  // /Q and /L anywhere (x/qy). Read so, such a text lists rather than
  // strips, and names no second tree to strip.
  if (!any_option && args.size() == 2 && options.paths.size() == 2 &&
      (ContainsQuietSwitch(args[1]) || ContainsListSwitch(args[1]))) {
    TakeSwitchText(args[1], options);
    options.paths.pop_back();
  }
  return options;
}

}  // namespace

RunOptions ReadRunOptions(const CommandLine& command_line) {
  if (command_line.is_single_line) return ReadClassicLine(command_line);
  return ReadPosixArguments(command_line.args);
}

}  // namespace sarnelux
