// The program's fixed texts: banner, usage screen, help and version.
#pragma once

#include <string>
#include <vector>

#include "run/command_line.h"

namespace sarnelux {

using TextLines = std::vector<std::string>;

TextLines BannerLines();
// The classic usage screen, prompt included, shown before its key wait.
TextLines ClassicUsageLines();
// The help that names every switch of the program read in this style.
TextLines HelpLines(ArgumentStyle style);
// The version, and the optional parts built in.
TextLines VersionLines();
// What to say of an argument that looks like an option and is none, or of
// an option given without the value it takes.
TextLines BadOptionLines(const std::string& option, bool lacks_value = false);
// What a program built without the EditorConfig library says to /E.
std::string NoEditorconfigLine();

}  // namespace sarnelux
