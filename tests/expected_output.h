// What the program must print and leave behind, worked out independently of
// it from a tree's files before a run.
#pragma once

#include <map>
#include <set>
#include <string>

#include "tool_runner.h"

namespace sarnelux::testing_support {

inline const std::string kMark = "\xEF\xBB\xBF";
inline const std::string kBanner =
    "Sarnelux\nCopyright (c) 2026 the Sarnelux project\n\n";
inline const std::string kPrompt = "Press a key to continue...\n";
inline const std::string kRemoved = "successfully removed BOM of file ";

bool StartsWith(const std::string& bytes, const std::string& prefix);

// A path as the program must print it: as it is, or, holding a control
// byte, in double quotes with C escapes.
std::string Shown(const std::string& path);

// The per-file lines for a walk of the whole tree (given as its root path
// plus "/"), in the order the system lists each folder, from each file's
// content before the run; counts the files that lose their mark, or with
// list_only (/L) the files found with one, read-only ones included.
std::string ExpectedReport(const TempTree& tree,
                           const std::map<std::string, std::string>& before,
                           int& removed, bool list_only = false);

// The summary and "ready!" lines.
std::string Summary(int removed, const std::string& argument);

// The files as a run leaves them: every mark gone but in the files kept.
std::map<std::string, std::string> Stripped(
    std::map<std::string, std::string> files,
    const std::set<std::string>& keep = {});

}  // namespace sarnelux::testing_support
