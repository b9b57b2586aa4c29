// Paths as the wide-character API takes them, and names as the tool prints
// them.
#pragma once

#include <string>

namespace sarnelux {

// The long-path form (\\?\C:\... or \\?\UNC\server\share\...) of a path in
// the active code page: made absolute against the current folder, with `.`
// and `..` resolved and `/` read as `\`, but every name otherwise exactly as
// spelled. Windows' usual path rules would open `con.txt` as the console and
// `name.` as `name`, and refuse full paths past 260 characters; in this form
// they are ordinary names. Empty when the path cannot be converted.
std::wstring LongPathOf(const std::string& path);

// The full path (C:\... or \\server\share\...) of a path in the active code
// page, in the same code page; empty when it cannot be had.
std::string AbsolutePathOf(const std::string& path);

// A name from a listing in the active code page; false when it has no exact
// form there, or holds a character that separates names in a path, so that
// it could never be opened as the one name it is.
bool NameOf(const wchar_t* wide, std::string& name);

// The same name as near as the active code page comes, only to be shown.
std::string ShownNameOf(const wchar_t* wide);

}  // namespace sarnelux
