// Tells, without changing anything, which files a run would strip: the
// list-only walk's per-file step.
#pragma once

#include <string>

#include "rewrite/visit_record.h"
#include "platform/services.h"

namespace sarnelux {

// Opens the file for reading only and reads its first bytes. Prints "found
// BOM in file " and the path for a file that begins with EF BB BF, and "no
// valid utf-8 BOM in file " and the path for one that begins with another
// mark; true for the first. A file already in the visit record (reached again
// by another path) is passed over without a word.
bool ListUtf8Mark(Services& services, const std::string& file_path,
                  VisitRecord* visited = nullptr);

}  // namespace sarnelux
