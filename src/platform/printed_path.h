// How a path is printed: as it is, unless it holds a control byte, which
// could act on a terminal (ESC sequences) or split a line (a newline that
// forges a report line). Such a path is printed in one quoted form, with C
// escapes as GNU ls and git write them, so that nothing in a name reaches a
// terminal or a script raw.
#pragma once

#include <string>
#include <string_view>

namespace sarnelux {

// True for the bytes 00 to 1F and 7F.
bool IsControlByte(char byte);

// The path as it is, or, when it holds a control byte, in double quotes
// with \a \b \t \n \v \f \r \" \\ and \ooo (three octal digits) for the
// other control bytes; every other byte stays as it is.
std::string PrintedPath(std::string_view path);

}  // namespace sarnelux
