// Reading a run's output back: which paths its lines name.
#pragma once

#include <set>
#include <string>

namespace sarnelux {

// The paths named by the lines that begin with this text (the rest of each
// such line, up to its line end, LF or CR LF).
inline std::set<std::string> PathsNamed(const std::string& output,
                                        const std::string& text) {
  std::set<std::string> paths;
  for (std::size_t at = output.find(text); at != std::string::npos;
       at = output.find(text, at + 1)) {
    const std::size_t start = at + text.size();
    std::string path = output.substr(start, output.find('\n', start) - start);
    if (path.ends_with('\r')) path.pop_back();
    paths.insert(path);
  }
  return paths;
}

}  // namespace sarnelux
