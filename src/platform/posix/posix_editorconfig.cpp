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
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>

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
bool DeclaresRoot(const std::string& lowered) {
  std::size_t at = 0;
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

// What the .editorconfig files that apply to one folder's files amount to.
struct FolderDeclarations {
  std::string problem;        // not empty: they cannot all be read
  bool mentions_bom = false;  // one of them holds the word utf-8-bom
};

class Editorconfig final : public CharsetDeclarations {
 public:
  explicit Editorconfig(std::string current_folder)
      : current_folder_(std::move(current_folder)) {}

  CharsetDeclaration DeclaredFor(const std::string& path) override {
    if (current_folder_.empty() && !path.starts_with('/')) {
      return {DeclaredCharset::kUnknown,
              "the current folder cannot be named, so neither can the "
              ".editorconfig files that apply"};
    }
    const std::string absolute =
        Normalised(path.starts_with('/') ? path : current_folder_ + "/" + path);
    const FolderDeclarations& folder = ForFolder(ParentOf(absolute));
    if (!folder.problem.empty()) {
      return {DeclaredCharset::kUnknown, folder.problem};
    }
    if (!folder.mentions_bom) return {};
    return Ask(absolute);
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
      // Parsed once here, so that a file that cannot be is told for every
      // file below it, whether or not its text names utf-8-bom.
      const CharsetDeclaration probe = Ask(config);
      if (probe.charset == DeclaredCharset::kUnknown) {
        found.problem = probe.problem;
      }
    }
    if (!root && folder != "/") {
      const FolderDeclarations& above = ForFolder(ParentOf(folder));
      if (found.problem.empty()) found.problem = above.problem;
      found.mentions_bom = found.mentions_bom || above.mentions_bom;
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
  std::unordered_map<std::string, FolderDeclarations> folders_;
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
