#include "run/runtime_split.h"

#include <cstddef>
#include <utility>

namespace sarnelux {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program's own invocation: quoted up to the next quote, or up to the
// first blank; backslashes mean nothing in it, as in a path.
std::size_t PastInvocation(std::string_view line) {
  std::size_t at = 0;
  if (!line.empty() && line[0] == '"') {
    at = line.find('"', 1);
    at = at == std::string_view::npos ? line.size() : at + 1;
  }
  while (at < line.size() && !IsBlank(line[at])) ++at;
  return at;
}

}  // namespace

std::vector<std::string> SplitAsTheRuntimeDoes(std::string_view line) {
  std::vector<std::string> args;
  std::size_t at = PastInvocation(line);
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at >= line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (at < line.size() && (quoted || !IsBlank(line[at]))) {
      std::size_t slashes = 0;
      while (at < line.size() && line[at] == '\\') {
        ++slashes;
        ++at;
      }
      if (slashes > 0 && (at >= line.size() || line[at] != '"')) {
        arg.append(slashes, '\\');
        continue;
      }
      if (line[at] != '"') {
        arg.push_back(line[at++]);
        continue;
      }
      arg.append(slashes / 2, '\\');
      if (slashes % 2 == 1) {
        arg.push_back('"');
      } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
        arg.push_back('"');
        ++at;
      } else {
        quoted = !quoted;
      }
      ++at;
    }
    args.push_back(std::move(arg));
  }
}

}  // namespace sarnelux
