// Puts right, before a run does anything else, the files that runs killed
// outright left in the middle of a rewrite.
#pragma once

#include "platform/services.h"
#include "rewrite/visit_record.h"

namespace sarnelux {

// Takes every record left in the state folder that no other run holds, and
// for each: checks that its file is still the one it names, finishes the
// rewrite the record describes, and drops the record once the file is
// whole. Prints a line for every file it repaired or refused; the files it
// handled are entered in `visited`, so that the walk that follows passes
// them over, but for those put back to their original: the walk handles
// them as any other. `durable` as for the rewrite's own record. A run that
// lists changes nothing: it only tells of each file a record waits to put
// right, as a mark left.
//
// Records are read only where no other user could have written them
// (Platform::StateFolderIsOwn); a record left by a kill before its first
// header was whole is removed, any other the run cannot read is kept.
void RepairInterruptedRewrites(Services& services, bool durable, bool list_only,
                               VisitRecord& visited);

}  // namespace sarnelux
