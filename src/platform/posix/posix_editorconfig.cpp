// The declarations of .editorconfig files, read with the EditorConfig
// project's own library (libeditorconfig): its calls are all in this file.
//
// The library answers for one file at a time, and for each it reads and
// parses every .editorconfig from the file's folder up to the root of the
// file system or the first one that says root = true. Two things it leaves
// to its caller are done here, once per folder: a .editorconfig that exists
// but cannot be read is passed over by the library as if it were missing,
// and is told here instead; and where no .editorconfig that applies to a
// folder so much as holds the word utf-8-bom, none of its files can be
// declared so, and the library is not asked for them.
#include "platform/posix/posix_platform.h"

#ifdef SARNELUX_HAVE_EDITORCONFIG

#include <editorconfig/editorconfig.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sarnelux {
namespace {

constexpr const char* kConfigName = ".editorconfig";

std::string Lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return text;
}

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// root = true before the first section, where the library looks for it.
// Where this and the library could differ, it says no: a chain taken as
// longer than the library reads it only makes the caches below finer.
bool DeclaresRoot(const std::string& lowered) {
  // The library reads past a leading mark, so a section may follow it.
  std::size_t at = lowered.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  while (at < lowered.size()) {
    std::size_t end = lowered.find('\n', at);
    if (end == std::string::npos) end = lowered.size();
    const std::string_view line =
        Trimmed(std::string_view(lowered).substr(at, end - at));
    at = end + 1;
    if (line.starts_with('[')) return false;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (Trimmed(line.substr(0, equals)) == "root" &&
        Trimmed(line.substr(equals + 1)) == "true") {
      return true;
    }
  }
  return false;
}

// The path with "." and empty components left out and ".." taken back,
// as the library matches sections against the path it is given.
std::string Normalised(const std::string& absolute) {
  if (absolute.find("//") == std::string::npos &&
      absolute.find("/.") == std::string::npos && absolute.size() > 1 &&
      absolute.back() != '/') {
    return absolute;  // nothing to leave out (a name may begin with a dot)
  }
  std::vector<std::string_view> parts;
  std::string_view rest = absolute;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string path;
  for (std::string_view part : parts) path.append("/").append(part);
  return path.empty() ? "/" : path;
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// How one section's glob picks files, where the name alone tells: a glob
// without a slash is matched by the library as **/GLOB, so *.cs picks the
// names ending in .cs and Makefile the name Makefile, in any folder.
struct NameTest {
  std::vector<std::string> literals;  // any of them
  bool suffix = false;                // the name ends with it, or is it
  bool Holds(std::string_view name) const {
    for (const std::string& literal : literals) {
      if (suffix ? name.ends_with(literal) : name == literal) return true;
    }
    return false;
  }
};

bool IsPlainGlobText(std::string_view text) {
  for (const char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' &&
        c != '-' && c != '+' && c != '@' && c != '~') {
      return false;
    }
  }
  return true;
}

// The test for a glob of the forms *X, **X, X and *.{a,b}, with plain
// text; false for every other glob (a slash, ?, [...], a range, an escape),
// whose files are then asked of the library one by one.
bool NameTestOf(std::string_view glob, NameTest& test) {
  test.suffix = glob.starts_with('*');
  while (glob.starts_with('*')) glob.remove_prefix(1);
  if (!test.suffix && glob.empty()) return false;
  const std::size_t open = glob.find('{');
  if (open == std::string_view::npos) {
    if (!IsPlainGlobText(glob)) return false;
    test.literals.emplace_back(glob);
    return true;
  }
  const std::size_t close = glob.find('}', open);
  if (close == std::string_view::npos) return false;
  const std::string_view head = glob.substr(0, open);
  const std::string_view tail = glob.substr(close + 1);
  std::string_view items = glob.substr(open + 1, close - open - 1);
  if (!IsPlainGlobText(head) || !IsPlainGlobText(tail) ||
      items.find(',') == std::string_view::npos) {
    return false;  // a brace of one item is taken literally by the library
  }
  while (true) {
    const std::size_t comma = items.find(',');
    const std::string_view item = items.substr(0, comma);
    if (item.empty() || item.find("..") != std::string_view::npos ||
        !IsPlainGlobText(item)) {
      return false;
    }
    test.literals.push_back(std::string(head) + std::string(item) +
                            std::string(tail));
    if (comma == std::string_view::npos) return true;
    items.remove_prefix(comma + 1);
  }
}

// The sections of the .editorconfig files that apply to a folder, and what
// the library answered for the names each set of them picks.
struct Sections {
  // The texts of the .editorconfig files, nearest first, each after its
  // length, so that no two chains share one.
  std::string texts;
  bool by_name = true;  // every section picks files by their name alone
  bool parsed = false;  // the library has read them without a fault
  std::vector<NameTest> tests;
  std::unordered_map<std::uint64_t, DeclaredCharset> answers;

  // Which sections pick the name, as a set of bits.
  std::uint64_t Picking(std::string_view name) const {
    std::uint64_t picked = 0;
    for (std::size_t at = 0; at < tests.size(); ++at) {
      if (tests[at].Holds(name)) picked |= std::uint64_t{1} << at;
    }
    return picked;
  }
};

// Adds the sections of one .editorconfig's text.
void AddSections(std::string_view text, Sections& sections) {
  // The library reads past a leading mark, so a section may follow it.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? "" : text.substr(end + 1);
    if (!line.starts_with('[')) {
      // A bracket elsewhere may be a section read otherwise than here.
      if (line.find_first_of("[]") != std::string_view::npos &&
          !line.starts_with('#') && !line.starts_with(';')) {
        sections.by_name = false;
        return;
      }
      continue;
    }
    NameTest test;
    if (!line.ends_with(']') ||
        !NameTestOf(line.substr(1, line.size() - 2), test)) {
      sections.by_name = false;
      return;
    }
    sections.tests.push_back(std::move(test));
  }
}

// What the .editorconfig files that apply to one folder's files amount to.
struct FolderDeclarations {
  std::string problem;        // not empty: they cannot all be read
  bool mentions_bom = false;  // one of them holds the word utf-8-bom

  std::shared_ptr<Sections> sections;
};

class Editorconfig final : public CharsetDeclarations {
 public:
  explicit Editorconfig(std::string current_folder)
      : current_folder_(std::move(current_folder)) {
    // SARNELUX_EDITORCONFIG_CACHE=0 asks the library for every file, for
    // measuring what it costs.
    const char* cache = std::getenv("SARNELUX_EDITORCONFIG_CACHE");
    cached_ = cache == nullptr || std::string_view(cache) != "0";
  }

  CharsetDeclaration DeclaredFor(const std::string& path) override {
    if (current_folder_.empty() && !path.starts_with('/')) {
      return {DeclaredCharset::kUnknown,
              "the current folder cannot be named, so neither can the "
              ".editorconfig files that apply"};
    }
    const std::string absolute =
        Normalised(path.starts_with('/') ? path : current_folder_ + "/" + path);
    // Files come folder by folder: the last folder's answer is kept at hand.
    const std::string parent = ParentOf(absolute);
    if (last_folder_ == nullptr || parent != last_path_) {
      last_folder_ = &ForFolder(parent);
      last_path_ = parent;
    }
    const FolderDeclarations& folder = *last_folder_;
    if (!folder.problem.empty()) {
      return {DeclaredCharset::kUnknown, folder.problem};
    }
    if (!cached_) return Ask(absolute);
    if (!folder.mentions_bom) return {};
    Sections* sections = folder.sections.get();
    if (sections == nullptr || !sections->by_name) return Ask(absolute);
    // Two files that the same sections pick get the same answer, whatever
    // their folder: the library is asked for the first of them only.
    const std::size_t slash = absolute.rfind('/');
    const std::uint64_t picked =
        sections->Picking(std::string_view(absolute).substr(slash + 1));
    if (const auto known = sections->answers.find(picked);
        known != sections->answers.end()) {
      return {known->second, {}};
    }
    const CharsetDeclaration declared = Ask(absolute);
    if (declared.charset != DeclaredCharset::kUnknown) {
      sections->answers.emplace(picked, declared.charset);
    }
    return declared;
  }

 private:
  // The library's answer for one file.
  static CharsetDeclaration Ask(const std::string& absolute) {
    editorconfig_handle handle = editorconfig_handle_init();
    if (handle == nullptr) {
      return {DeclaredCharset::kUnknown, ".editorconfig: not enough memory"};
    }
    CharsetDeclaration declared;
    const int error = editorconfig_parse(absolute.c_str(), handle);
    if (error > 0) {
      const char* file = editorconfig_handle_get_err_file(handle);
      declared = {DeclaredCharset::kUnknown,
                  std::string(file != nullptr ? file : kConfigName) +
                      ": cannot be parsed at line " + std::to_string(error)};
    } else if (error < 0) {
      declared = {
          DeclaredCharset::kUnknown,
          std::string(kConfigName) + ": " + editorconfig_get_error_msg(error)};
    } else {
      const int count = editorconfig_handle_get_name_value_count(handle);
      for (int at = 0; at < count; ++at) {
        const char* name = nullptr;
        const char* value = nullptr;
        editorconfig_handle_get_name_value(handle, at, &name, &value);
        if (name != nullptr && value != nullptr &&
            strcasecmp(name, "charset") == 0 &&
            strcasecmp(value, "utf-8-bom") == 0) {
          declared.charset = DeclaredCharset::kUtf8Bom;
        }
      }
    }
    editorconfig_handle_destroy(handle);
    return declared;
  }

  const FolderDeclarations& ForFolder(const std::string& folder) {
    if (const auto known = folders_.find(folder); known != folders_.end()) {
      return known->second;
    }
    FolderDeclarations found;
    const std::string config =
        (folder == "/" ? std::string() : folder) + "/" + kConfigName;
    std::string text;
    const int read = ReadWhole(config, text);
    bool root = false;
    if (read != 0 && read != ENOENT && read != ENOTDIR) {
      found.problem = config + ": " + std::strerror(read);
      root = true;  // nothing above it changes that
    } else if (read == 0) {
      const std::string lowered = Lowered(text);
      root = DeclaresRoot(lowered);
      found.mentions_bom = lowered.find("utf-8-bom") != std::string::npos;
    }
    const FolderDeclarations* above = nullptr;
    if (!root && folder != "/") {
      above = &ForFolder(ParentOf(folder));
      found.mentions_bom = found.mentions_bom || above->mentions_bom;
    }
    if (read != 0 && above != nullptr) {
      found.sections = above->sections;
    } else if (read == 0) {
      // Files whose folders have .editorconfig files of the same texts, in
      // the same order, are picked by the same sections and get the same
      // answers, where sections pick by name alone.
      std::string texts = std::to_string(text.size()) + ":" + text;
      if (above != nullptr && above->sections != nullptr) {
        texts.append(above->sections->texts);
      }
      std::shared_ptr<Sections>& shared = chains_[texts];
      if (shared == nullptr) {
        shared = std::make_shared<Sections>();
        shared->texts = std::move(texts);
        if (above != nullptr && above->sections != nullptr) {
          shared->by_name = above->sections->by_name;
          shared->tests = above->sections->tests;
        }
        AddSections(text, *shared);
        shared->by_name = shared->by_name && shared->tests.size() <= 64;
      }
      found.sections = shared;
      // Parsed once for each chain of texts, so that a file that cannot be
      // is told for every file below it, whether or not it names
      // utf-8-bom; a chain that fails is parsed again for each folder, for
      // the name of its own file.
      if (!shared->parsed) {
        const CharsetDeclaration probe = Ask(config);
        if (probe.charset == DeclaredCharset::kUnknown) {
          found.problem = probe.problem;
        } else {
          shared->parsed = true;
        }
      }
    }
    if (found.problem.empty() && above != nullptr) {
      found.problem = above->problem;
    }
    return folders_.emplace(folder, std::move(found)).first->second;
  }

  // 0 when the file was read whole into text, the error number otherwise.
  static int ReadWhole(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        const int error = errno;
        close(fd);
        return error;
      }
      if (got == 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return 0;
  }

  std::string current_folder_;
  std::string last_path_;
  const FolderDeclarations* last_folder_ = nullptr;  // stays put in folders_
  bool cached_ = true;
  std::unordered_map<std::string, FolderDeclarations> folders_;
  // Keyed by their texts: the key is held twice, once here and once by
  // the chain, for each distinct chain, not for each folder.
  std::unordered_map<std::string, std::shared_ptr<Sections>> chains_;
};

}  // namespace

std::unique_ptr<CharsetDeclarations> PosixPlatform::OpenCharsetDeclarations() {
  std::string current(4096, '\0');
  while (getcwd(current.data(), current.size()) == nullptr) {
    if (errno != ERANGE) {
      current.clear();  // every relative path is then told of
      break;
    }
    current.resize(current.size() * 2);
  }
  current.resize(std::strlen(current.c_str()));
  return std::make_unique<Editorconfig>(std::move(current));
}

}  // namespace sarnelux

#else

namespace sarnelux {

std::unique_ptr<CharsetDeclarations> PosixPlatform::OpenCharsetDeclarations() {
  return nullptr;
}

}  // namespace sarnelux

#endif
