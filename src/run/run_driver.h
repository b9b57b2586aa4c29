// The whole life of one run: banner, arguments, usage screen or walk,
// summary, the closing key wait and the tear-down.
#pragma once

#include "platform/platform.h"

namespace sarnelux {

// Runs the tool on the given platform and returns the exit status: 0 for
// every run the tool itself finishes, but 1 for a list-only run (/L) that
// found a file beginning with the UTF-8 mark.
int RunProgram(Platform& platform);

}  // namespace sarnelux
