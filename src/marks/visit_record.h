// The files and folders a walk has already handled. Links and hard links can
// lead to one file or folder by many paths, and link cycles by endless ones;
// each is handled once per run, so that no file loses more than one mark and
// no cycle multiplies the walk.
#pragma once

#include <set>

#include "platform/platform.h"

namespace sarnelux {

class VisitRecord {
 public:
  // True the first time an identity is met.
  bool FirstVisit(const FileIdentity& identity) {
    return visited_.insert(identity).second;
  }

 private:
  std::set<FileIdentity> visited_;
};

}  // namespace sarnelux
