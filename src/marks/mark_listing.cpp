#include "marks/mark_listing.h"

#include "marks/mark_detection.h"

namespace sarnelux {

bool ListUtf8Mark(Services& services, const std::string& file_path,
                  VisitRecord* visited) {
  FileService& files = services.files;
  const FileHandle file = files.OpenForReading(file_path);
  if (file == kNoFile) {
    services.console.report().LastCallFailed(file_path);
    return false;
  }
  const MarkKind kind = DetectLeadingMark(files, file);
  FileIdentity identity;
  const bool first_visit = kind == MarkKind::kNone || visited == nullptr ||
                           !files.Identity(file, identity) ||
                           visited->FirstVisit(identity);
  files.Close(file);
  if (kind == MarkKind::kNone || !first_visit) return false;
  if (kind == MarkKind::kUtf8) {
    services.console.WriteLine("found BOM in file ", file_path);
    services.console.report().MarkFound();
    return true;
  }
  services.console.WriteLine("no valid utf-8 BOM in file ", file_path);
  return false;
}

}  // namespace sarnelux
