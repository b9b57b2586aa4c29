// The files and folders a walk has already handled. Links and hard links can
// lead to one file or folder by many paths, and link cycles by endless ones;
// each file is handled once per run, so that no file loses more than one
// mark, and no cycle multiplies the walk.
#pragma once

#include <cstddef>
#include <map>
#include <set>

#include "platform/platform.h"

namespace sarnelux {

class VisitRecord {
 public:
  // True the first time a file's identity is met.
  bool FirstVisit(const FileIdentity& file) {
    return files_.insert(file).second;
  }

  // True when a folder has not yet been walked by a path as short as this
  // one. How deep a walk reaches below a folder depends on the length of
  // the path it came by (folder paths have a limit), so a folder first met
  // through a long link path is walked again when its own shorter path comes
  // up; its files are still handled once. Each walk of a folder is by a
  // strictly shorter path than the last, which keeps the walk finite and
  // polynomial however links double the tree.
  bool WalkFolder(const FileIdentity& folder, std::size_t path_length) {
    auto [walked, first] = folders_.emplace(folder, path_length);
    if (first) return true;
    if (path_length >= walked->second) return false;
    walked->second = path_length;
    return true;
  }

  bool FolderWalked(const FileIdentity& folder) const {
    return folders_.count(folder) != 0;
  }

 private:
  std::set<FileIdentity> files_;
  std::map<FileIdentity, std::size_t> folders_;  // shortest path walked by
};

}  // namespace sarnelux
