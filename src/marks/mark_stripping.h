// Rewrites a file that begins with EF BB BF so that it holds the same bytes
// without those three.
#pragma once

#include <string>

#include "marks/rewrite_record.h"
#include "marks/visit_record.h"
#include "platform/services.h"

namespace sarnelux {

// Why a file that the gate let through was not stripped.
enum class StripFailure {
  kNone,
  kNotOpened,   // not opened for writing; the platform tells why
  kNoBlock,     // no memory to move its bytes through
  kNotRead,     // could not be read whole
  kNotUtf8,     // begins with another mark: nothing to remove
  kNotWritten,  // the rewrite failed; its line tells what became of it
  kSeenBefore,  // reached again by another path
};

// True only when the file began with EF BB BF and now holds everything after
// those three bytes, every byte of it confirmed written. A rewrite that fails
// puts the original bytes back, or saves them beside the file, and says so.
// A file already in the visit record (reached again by another path) is
// passed over without a word. When false, failure (if given) tells why.
// With a record, every region is stated in it before it is written, so that
// a run killed outright leaves the next run what it needs to finish the
// file.
bool StripUtf8Mark(Services& services, const std::string& file_path,
                   VisitRecord* visited = nullptr,
                   StripFailure* failure = nullptr,
                   RewriteRecord* record = nullptr);

}  // namespace sarnelux
