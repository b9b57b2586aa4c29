// What a run looks at, and what the project declares of what it finds.
//
// Built once per run from the options; the walk asks it of every entry it
// lists ("examine this name?") and of the files it would strip or list
// ("which charset does the project declare for it?"). Patterns are matched
// against an entry's name alone, as fnmatch(3) matches them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace sarnelux {

// The folders version control keeps its own files in.
inline constexpr std::string_view kVersionControlFolders[] = {
    ".git", ".hg", ".svn", ".bzr", "_darcs", "CVS"};

class Selection final : public EntryFilter {
 public:
  // Examines everything and reads no declarations.
  explicit Selection(const Platform& platform) : platform_(platform) {}

  // Files whose name matches are passed over.
  void ExcludeFiles(std::string pattern);
  // Once one is given, only files whose name matches one of them are
  // examined.
  void IncludeFiles(std::string pattern);
  // Folders whose name matches are not entered.
  void ExcludeFolders(std::string pattern);
  void ExcludeVersionControl();
  void ReadDeclarations(std::unique_ptr<CharsetDeclarations> declarations);

  // A listed entry: files by the file patterns, folders by the folder
  // patterns; a link not followed by both exclusions.
  bool Examines(std::string_view name, EntryKind kind) const override;
  // False when every entry is examined, so the walk need not ask.
  bool Filters() const;
  bool ReadsDeclarations() const { return declarations_ != nullptr; }
  CharsetDeclaration DeclaredFor(const std::string& path) const;

 private:
  bool AnyMatches(const std::vector<std::string>& patterns,
                  std::string_view name) const;

  const Platform& platform_;
  std::vector<std::string> excluded_files_;
  std::vector<std::string> included_files_;
  std::vector<std::string> excluded_folders_;
  std::unique_ptr<CharsetDeclarations> declarations_;
};

}  // namespace sarnelux
