#include "marks/mark_listing.h"

#include "marks/mark_detection.h"
#include "platform/printed_path.h"

namespace sarnelux {

bool ListUtf8Mark(Services& services, const std::string& file_path,
                  VisitRecord* visited, const Selection* selection) {
  FileService& files = services.files;
  RunReport& report = services.console.report();
  const FileHandle file = files.OpenForReading(file_path);
  if (file == kNoFile) {
    report.LastCallFailed(file_path);
    return false;
  }
  const MarkKind kind = DetectLeadingMark(files, file);
  // Another mark is told as it always was, whatever the declaration.
  CharsetDeclaration declared;
  if ((kind == MarkKind::kNone || kind == MarkKind::kUtf8) &&
      selection != nullptr && selection->ReadsDeclarations()) {
    declared = selection->DeclaredFor(file_path);
  }
  const bool tells =
      kind != MarkKind::kNone || declared.charset != DeclaredCharset::kNothing;
  FileIdentity identity;
  const bool first_visit = !tells || visited == nullptr ||
                           !files.Identity(file, identity) ||
                           visited->FirstVisit(identity);
  files.Close(file);
  if (!tells || !first_visit) return false;
  switch (declared.charset) {
    case DeclaredCharset::kUnknown:
      report.Failed(file_path, declared.problem);
      return false;
    case DeclaredCharset::kUtf8Bom:
      if (kind == MarkKind::kNone) {
        // A finding, but of no mark: -Z names only files that have one.
        services.console.Tell(Told::kFileNews,
                              "no BOM in file " + PrintedPath(file_path) +
                                  ", which .editorconfig declares utf-8-bom");
        report.MarkFound();
      }
      return false;
    case DeclaredCharset::kNothing:
      break;
  }
  if (kind == MarkKind::kUtf8) {
    services.console.Tell(Told::kNamed, "found BOM in file ", file_path);
    report.MarkFound();
    return true;
  }
  services.console.Tell(Told::kLeftAlone, "no valid utf-8 BOM in file ",
                        file_path);
  return false;
}

}  // namespace sarnelux
