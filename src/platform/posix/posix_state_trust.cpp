// Whether a record in the state folder can only have been written by this
// user's own runs. A record tells a run which bytes of which file to move:
// one another user could plant or change would let that user rewrite any
// file the run may write (root's, with `sudo -E`).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_platform.h"

namespace sarnelux {
namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;

enum class Step { kOwn, kMissing, kForeign };

// A step this user cannot reach, or that is not there: no record can be
// read there, and none is to be told of.
bool Unreachable(int error) {
  return error == ENOENT || error == ENOTDIR || error == EACCES;
}

// One folder on the way: only this user and root may change what it holds,
// unless its sticky bit keeps each entry to its owner (as /tmp does). The
// state folder itself must be this user's and written by no one else.
const char* FolderRefusal(const struct stat& info, uid_t user, bool last) {
  if (!S_ISDIR(info.st_mode)) return "state folder is not a folder";
  if (last) {
    if (info.st_uid != user) return "state folder belongs to another user";
    if ((info.st_mode & kOthersWrite) != 0) {
      return "state folder may be written by other users";
    }
    return nullptr;
  }
  if (info.st_uid != user && info.st_uid != 0) {
    return "folder on the way to the state folder belongs to another user";
  }
  if ((info.st_mode & kOthersWrite) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return "folder on the way to the state folder may be written by other "
           "users";
  }
  return nullptr;
}

// Every step of the path, from the root: each link on the way is this
// user's or root's, each folder passes FolderRefusal.
Step CheckSteps(const std::string& path, uid_t user, const char*& why) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string step = path.substr(0, at);
    struct stat info {};
    if (lstat(step.c_str(), &info) != 0) {
      if (Unreachable(errno)) return Step::kMissing;
      why = std::strerror(errno);
      return Step::kForeign;
    }
    if (S_ISLNK(info.st_mode)) {
      if (info.st_uid != user && info.st_uid != 0) {
        why = "link on the way to the state folder belongs to another user";
        return Step::kForeign;
      }
      if (stat(step.c_str(), &info) != 0) {
        if (Unreachable(errno)) return Step::kMissing;
        why = std::strerror(errno);
        return Step::kForeign;
      }
    }
    why = FolderRefusal(info, user, at == path.size());
    if (why != nullptr) return Step::kForeign;
  }
  return Step::kOwn;
}

}  // namespace

const char* RecordRefusal(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return "record is not a regular file";
  if (info.st_uid != geteuid()) return "record belongs to another user";
  if (info.st_nlink != 1) return "record has another link";
  if ((info.st_mode & kOthersWrite) != 0) {
    return "record may be written by other users";
  }
  return nullptr;
}

bool PosixPlatform::StateFolderIsOwn(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path[0] != '/') return true;
  const uid_t user = geteuid();
  const char* why = nullptr;
  // The path as named, and where its links lead: a link's target may lie
  // below folders of another user's.
  Step step = CheckSteps(path, user, why);
  if (step == Step::kOwn) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) {
      why = std::strerror(errno);
      step = Unreachable(errno) ? Step::kMissing : Step::kForeign;
    } else {
      step = CheckSteps(real, user, why);
    }
  }
  if (step == Step::kForeign) {
    last_failure_ = {why, false, false, true};
    return false;
  }
  return true;
}

}  // namespace sarnelux
