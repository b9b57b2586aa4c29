// The whole life of one run: banner, arguments, usage screen or walk,
// summary, the closing key wait and the tear-down.
#pragma once

#include "platform/platform.h"

namespace sarnelux {

// Runs the tool on the given platform and returns the exit status, which is
// 0 for every run the tool itself finishes.
int RunProgram(Platform& platform);

}  // namespace sarnelux
