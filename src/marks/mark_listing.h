// Tells, without changing anything, which files a run would strip: the
// list-only walk's per-file step.
#pragma once

#include <string>

#include "marks/selection.h"
#include "platform/services.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

// Opens the file for reading only and reads its first bytes. Prints "found
// BOM in file " and the path for a file that begins with EF BB BF, and "no
// valid utf-8 BOM in file " and the path for one that begins with another
// mark; true for the first. A file already in the visit record (reached again
// by another path) is passed over without a word. Where the selection reads
// the project's declarations, a file declared utf-8-bom is meant to have its
// mark: it is not counted, and one without it is told as a finding.
bool ListUtf8Mark(Services& services, const std::string& file_path,
                  VisitRecord* visited = nullptr,
                  const Selection* selection = nullptr);

}  // namespace sarnelux
