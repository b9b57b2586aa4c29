#include "marks/selection.h"

#include <utility>

namespace sarnelux {

void Selection::ExcludeFiles(std::string pattern) {
  excluded_files_.push_back(std::move(pattern));
}

void Selection::IncludeFiles(std::string pattern) {
  included_files_.push_back(std::move(pattern));
}

void Selection::ExcludeFolders(std::string pattern) {
  excluded_folders_.push_back(std::move(pattern));
}

void Selection::ExcludeVersionControl() {
  for (std::string_view name : kVersionControlFolders) {
    excluded_folders_.emplace_back(name);
  }
}

void Selection::ReadDeclarations(
    std::unique_ptr<CharsetDeclarations> declarations) {
  declarations_ = std::move(declarations);
}

bool Selection::AnyMatches(const std::vector<std::string>& patterns,
                           std::string_view name) const {
  for (const std::string& pattern : patterns) {
    if (platform_.NameMatches(pattern, name)) return true;
  }
  return false;
}

bool Selection::Examines(std::string_view name, EntryKind kind) const {
  switch (kind) {
    case EntryKind::kFolder:
      return !AnyMatches(excluded_folders_, name);
    case EntryKind::kFile:
      return (included_files_.empty() || AnyMatches(included_files_, name)) &&
             !AnyMatches(excluded_files_, name);
    case EntryKind::kUnfollowedLink:
    case EntryKind::kUnusableName:
      // Not followed, or not to be opened at all, so not known to be
      // either: told of unless a pattern of either kind puts it aside.
      return !AnyMatches(excluded_folders_, name) &&
             !AnyMatches(excluded_files_, name);
  }
  return true;
}

bool Selection::Filters() const {
  return !excluded_files_.empty() || !included_files_.empty() ||
         !excluded_folders_.empty();
}

CharsetDeclaration Selection::DeclaredFor(const std::string& path) const {
  if (declarations_ == nullptr) return {};
  return declarations_->DeclaredFor(path);
}

}  // namespace sarnelux
