#include "run/command_line.h"

#include <getopt.h>

#include <cstddef>
#include <string_view>
#include <utility>

#include "run/runtime_split.h"

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

bool ContainsEditorconfigSwitch(const std::string& text) {
  return UpperCaseText(text).find("/E") != std::string::npos;
}

namespace {

// An argument made of nothing but /Q, /L, /D and /E, in any case and order.
bool IsSwitchWord(const std::string& argument) {
  const std::string upper = UpperCaseText(argument);
  if (upper.empty() || upper.size() % 2 != 0) return false;
  for (std::size_t at = 0; at < upper.size(); at += 2) {
    const char letter = upper[at + 1];
    if (upper[at] != '/' ||
        (letter != 'Q' && letter != 'L' && letter != 'D' && letter != 'E')) {
      return false;
    }
  }
  return true;
}

void TakeSwitchText(const std::string& text, RunOptions& options) {
  options.no_wait = options.no_wait || ContainsQuietSwitch(text);
  options.list_only = options.list_only || ContainsListSwitch(text);
  options.durable = options.durable || ContainsDurableSwitch(text);
  options.editorconfig =
      options.editorconfig || ContainsEditorconfigSwitch(text);
}

// Help, version and a bad option each end the reading's meaning; the first
// of them met decides, as with getopt's callers.
bool Decided(const RunOptions& options) {
  return options.help || options.version || !options.bad_option.empty();
}

void TakeBadOption(const std::string& option, RunOptions& options) {
  if (!Decided(options)) options.bad_option = option;
}

// What getopt_long hands back for an option: its short letter, or for a
// long-only option a code past every byte.
enum OptionCode : int {
  kList = 'l',
  kNoWait = 'W',
  kDurable = 'D',
  kQuiet = 'q',
  kNull = 'Z',
  kHelp = 'h',
  kVersion = 'V',
  kEditorconfig = 0x100,
  kExclude,
  kInclude,
  kExcludeDir,
  kExcludeVcs,
};

// Every POSIX option, the one place a new one is added: its long name,
// whether it takes a value, and its code (a letter gives the short form).
struct OptionSpec {
  const char* long_name;
  int has_arg;  // no_argument or required_argument
  int code;
};

constexpr OptionSpec kOptionTable[] = {
    {"list", no_argument, kList},
    {"no-wait", no_argument, kNoWait},
    {"durable", no_argument, kDurable},
    {"quiet", no_argument, kQuiet},
    {"null", no_argument, kNull},
    {"help", no_argument, kHelp},
    {"version", no_argument, kVersion},
    {"editorconfig", no_argument, kEditorconfig},
    {"exclude", required_argument, kExclude},
    {"include", required_argument, kInclude},
    {"exclude-dir", required_argument, kExcludeDir},
    {"exclude-vcs", no_argument, kExcludeVcs},
};

// One option getopt_long recognised, with its value when it takes one.
void TakeOption(int code, const char* value, RunOptions& options) {
  switch (code) {
    case kList:
      options.list_only = true;
      break;
    case kNoWait:
      options.no_wait = true;
      break;
    case kDurable:
      options.durable = true;
      break;
    case kQuiet:
      options.quiet = true;
      break;
    case kNull:
      options.null_names = true;
      break;
    case kHelp:
      options.help = options.help || !Decided(options);
      break;
    case kVersion:
      options.version = options.version || !Decided(options);
      break;
    case kEditorconfig:
      options.editorconfig = true;
      break;
    case kExclude:
      options.excluded_files.emplace_back(value);
      break;
    case kInclude:
      options.included_files.emplace_back(value);
      break;
    case kExcludeDir:
      options.excluded_folders.emplace_back(value);
      break;
    case kExcludeVcs:
      options.exclude_vcs = true;
      break;
    default:
      break;
  }
}

// getopt_long's short-option text: a leading '-' hands every other argument
// back in its place, so that the classic words keep their order among the
// options and POSIXLY_CORRECT changes nothing; ':' tells a missing value
// from an unknown option.
std::string ShortOptions() {
  std::string text = "-:";
  for (const OptionSpec& entry : kOptionTable) {
    if (entry.code > 0xFF) continue;
    text += static_cast<char>(entry.code);
    if (entry.has_arg == required_argument) text += ':';
  }
  return text;
}

std::vector<option> LongOptions() {
  std::vector<option> table;
  for (const OptionSpec& entry : kOptionTable) {
    table.push_back(
        option{entry.long_name, entry.has_arg, nullptr, entry.code});
  }
  table.push_back(option{nullptr, 0, nullptr, 0});
  return table;
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

// A word that is no option: /?, a classic switch word, or a path.
void TakeWord(const std::string& word, RunOptions& options) {
  if (word == "/?") {
    TakeOption(kHelp, nullptr, options);
  } else if (IsSwitchWord(word)) {
    TakeSwitchText(word, options);
  } else {
    options.paths.push_back(word);
  }
}

// The option an error of getopt_long's is about, as the user typed it: the
// whole word for a long option, the letter for a short one.
std::string FaultyOption(const char* word, int letter) {
  const std::string typed = word != nullptr ? word : "";
  if (typed.starts_with("--")) return typed;
  return std::string("-") + static_cast<char>(letter);
}

RunOptions ReadPosixArguments(const std::vector<std::string>& args) {
  RunOptions options;
  options.style = ArgumentStyle::kPosix;
  // getopt_long wants writable C strings, the program's name first.
  std::vector<std::string> words{"sarnelux"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  const std::string short_options = ShortOptions();
  const std::vector<option> long_options = LongOptions();

  bool any_option = false;
  opterr = 0;  // the run says what went wrong, in its own words
  optind = 0;  // a fresh scan: the state of any earlier one is dropped
  for (;;) {
    // With the leading '-' nothing is permuted: the word being read is the
    // one at optind, a bundle of short options included.
    const int at = optind == 0 ? 1 : optind;
    const char* word = at < argc ? argv[at] : nullptr;
    const int code = getopt_long(argc, argv.data(), short_options.c_str(),
                                 long_options.data(), nullptr);
    if (code == -1) {
      // "--" ends the options; every word after it is a path.
      if (word != nullptr && std::string_view(word) == "--" &&
          optind == at + 1) {
        any_option = true;
      }
      break;
    }
    if (code == 1) {
      TakeWord(optarg, options);
      continue;
    }
    any_option = true;
    if (code == '?' || code == ':') {
      const bool first = !Decided(options);
      TakeBadOption(FaultyOption(word, optopt), options);
      if (first) options.bad_option_lacks_value = code == ':';
    } else {
      TakeOption(code, optarg, options);
    }
  }
  for (int at = optind; at < argc; ++at) options.paths.push_back(argv[at]);
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

bool IsPosixOption(const std::string& argument) {
  if (argument.size() < 2 || argument[0] != '-') return false;
  return argument == "--" || ReadPosixArguments({argument}).bad_option.empty();
}

RunOptions ReadRunOptions(const CommandLine& command_line) {
  if (!command_line.is_single_line) {
    return ReadPosixArguments(command_line.args);
  }
  // A configuration written for the POSIX program (a pre-commit hook's
  // entry) works unchanged on Windows; no classic line begins with an
  // option, as no folder the classic line names does.
  if (IsPosixOption(TokenAt(command_line.line, 0))) {
    return ReadPosixArguments(SplitAsTheRuntimeDoes(command_line.line));
  }
  return ReadClassicLine(command_line);
}

}  // namespace sarnelux
