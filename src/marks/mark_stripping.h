// Rewrites a file that begins with EF BB BF so that it holds the same bytes
// without those three.
#pragma once

#include <string>

#include "marks/visit_record.h"
#include "platform/services.h"

namespace sarnelux {

// True only when the file began with EF BB BF and now holds everything after
// those three bytes, every byte of it confirmed written. A rewrite that fails
// puts the original bytes back, or saves them beside the file, and says so.
// A file already in the visit record (reached again by another path) is
// passed over without a word.
bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited = nullptr);

}  // namespace sarnelux
