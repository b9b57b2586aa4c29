// Splitting a Windows command line the way the C runtime splits it for
// main()'s argv, which is how other programs quote the arguments they pass
// (Python's subprocess, and so pre-commit, among them). The tool's classic
// line keeps its own simpler rules; this is for the POSIX spelling only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sarnelux {

// The arguments after the program's own invocation. Spaces and tabs
// separate; double quotes group; 2n backslashes before a quote give n and
// the quote groups, 2n + 1 give n and a literal quote; other backslashes
// are themselves; inside quotes, "" is a literal quote.
std::vector<std::string> SplitAsTheRuntimeDoes(std::string_view line);

}  // namespace sarnelux
