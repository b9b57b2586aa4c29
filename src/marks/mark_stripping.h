// Rewrites a file that begins with EF BB BF so that it holds the same bytes
// without those three.
#pragma once

#include <string>

#include "platform/services.h"

namespace sarnelux {

// True only when the file began with EF BB BF and now holds everything after
// those three bytes, every byte of it confirmed written. A rewrite that fails
// puts the original bytes back, or saves them beside the file, and says so.
bool StripUtf8Mark(Services& services, const std::string& file_path);

}  // namespace sarnelux
