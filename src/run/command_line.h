// Splitting the command line into arguments, and the quiet-switch test.
//
// The rules are simpler than the usual Windows ones: only spaces separate,
// double quotes group, and nothing is escaped, so a quoted path ending in a
// backslash keeps it.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace sarnelux {

// The argument at index (0 is the first after the program's own invocation)
// of a whole command line, or an empty text when there are fewer.
std::string TokenAt(std::string_view line, int index);

// The argument at index as the platform handed the arguments over.
std::string ArgumentAt(const CommandLine& command_line, int index);

// Upper-cases a to z and the bytes E0 to FF, the way the code page does.
std::string UpperCaseText(std::string text);

bool ContainsQuietSwitch(const std::string& text);

// "/L" anywhere in the text, in any case: list the marks, change nothing.
bool ContainsListSwitch(const std::string& text);

}  // namespace sarnelux
