// Whether a record in the state folder can only have been written by this
// user's own runs. A record tells a run which bytes of which file to move:
// one another user could plant or change would let that user rewrite any
// file the run may write (an administrator's, in an elevated run).
//
// On Windows who may change a folder or file is its owner and its access
// list (DACL). Both are read from the handle the check opened, never by
// name, so that what is checked is what is used; and the handle is opened
// on a junction or symbolic link itself, never on where it leads.
#include <windows.h>
// Needs windows.h before it.
#include <aclapi.h>

#include <string>
#include <vector>

#include "platform/win32/win32_paths.h"
#include "platform/win32/win32_platform.h"

namespace sarnelux {
namespace {

// Every right that lets its holder change what a folder or file holds, or
// who may: write or append data, add files or folders (the same bits on a
// folder), delete entries or the object itself, change its access list,
// take it over. Writing attributes and extended attributes is refused too:
// no other user needs either here.
constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
    GENERIC_ALL;

// A well-known SID, made once per check.
class KnownSid {
 public:
  explicit KnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes_;
    made_ = CreateWellKnownSid(type, nullptr, bytes_, &size) != 0;
  }
  bool Is(PSID sid) const {
    return made_ && sid != nullptr && EqualSid(const_cast<BYTE*>(bytes_), sid);
  }

 private:
  BYTE bytes_[SECURITY_MAX_SID_SIZE] = {};
  bool made_ = false;
};

// The user this run is, as its process token says (a TOKEN_USER); empty
// when it cannot be had.
std::vector<BYTE> RunUser() {
  std::vector<BYTE> user;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  user.resize(size);
  if (size == 0 ||
      !GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
    user.clear();
  }
  CloseHandle(token);
  return user;
}

// Whether the owner is one this user's runs give what they create: the
// user, or the Administrators group, which Windows makes the owner of what
// an administrator's elevated run creates. That group is taken whether or
// not this run is elevated: its members may change anything on the
// machine, the user's files included, so it can plant nothing they could
// not; and refusing it would leave every later run of the user without
// records once one elevated run had made the folder.
bool OwnedByRun(PSID owner, PSID user, const KnownSid& admins) {
  return EqualSid(owner, user) || admins.Is(owner);
}

// Whether the access list lets anyone but these change the object: the
// user; SYSTEM and the Administrators group, who may change anything on
// the machine anyway; CREATOR OWNER, which no token holds (it stands for
// the owner of objects made later, which are checked in their turn); and
// OWNER RIGHTS, the object's owner, checked before this. Entries that
// only deny take nothing to weigh; entries that apply only to objects made
// later do not apply here. An allowing entry of a kind that names its
// trustee elsewhere (object entries) is taken as another user's.
bool OthersMayChange(PACL dacl, PSID user) {
  // No access list at all lets everyone do everything.
  if (dacl == nullptr) return true;
  const KnownSid trusted[] = {
      KnownSid(WinLocalSystemSid), KnownSid(WinBuiltinAdministratorsSid),
      KnownSid(WinCreatorOwnerSid), KnownSid(WinCreatorOwnerRightsSid)};
  for (DWORD at = 0; at < dacl->AceCount; ++at) {
    void* entry = nullptr;
    if (!GetAce(dacl, at, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    switch (header->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;
      default:
        break;
    }
    // Every entry keeps its rights just after its header.
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangeRights) == 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      return true;
    }
    PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
    if (EqualSid(trustee, user)) continue;
    bool known = false;
    for (const KnownSid& sid : trusted) known = known || sid.Is(trustee);
    if (!known) return true;
  }
  return false;
}

// What is said of an object whose owner and access list are not the run's
// alone, each case in the object's own words.
struct Refusals {
  const char* unreadable;
  const char* foreign_owner;
  const char* others_write;
};

// Why the handle's owner and access list let others change the object;
// nullptr when they do not.
const char* SecurityRefusal(HANDLE object, const Refusals& refusals) {
  std::vector<BYTE> token_user = RunUser();
  if (token_user.empty()) return refusals.unreadable;
  PSID user = reinterpret_cast<TOKEN_USER*>(token_user.data())->User.Sid;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return refusals.unreadable;
  }
  const KnownSid admins(WinBuiltinAdministratorsSid);
  const char* why = nullptr;
  if (owner == nullptr || !OwnedByRun(owner, user, admins)) {
    why = refusals.foreign_owner;
  } else if (OthersMayChange(dacl, user)) {
    why = refusals.others_write;
  }
  LocalFree(descriptor);
  return why;
}

}  // namespace

const char* RecordRefusal(void* file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(static_cast<HANDLE>(file), &info)) {
    return "record cannot be looked at";
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return "record is a link";
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "record is not a regular file";
  }
  if (info.nNumberOfLinks != 1) return "record has another link";
  return SecurityRefusal(static_cast<HANDLE>(file),
                         {"owner and access list of the record cannot be read",
                          "record belongs to another user",
                          "record may be written by other users"});
}

const char* ClosedRecordRefusal(const std::wstring& path) {
  // Opened again only to be looked at, so as to tell why.
  HANDLE file = CreateFileW(
      path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const char* why = nullptr;
  if (file != INVALID_HANDLE_VALUE) {
    why = RecordRefusal(file);
    CloseHandle(file);
  }
  return why != nullptr ? why : "record is closed to this user";
}

bool Win32Platform::StateFolderIsOwn(const std::string& folder) {
  std::string named = folder;
  while (named.size() > 1 && named.back() == '\\') named.pop_back();
  const std::wstring path = LongPathOf(named);
  if (path.empty()) return true;
  // Opened as itself, a junction or link included; reading its owner and
  // access list takes READ_CONTROL, which the owner always has.
  HANDLE handle = CreateFileW(
      path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  const char* why = nullptr;
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // No folder: no record to read, none to tell of.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return true;
    }
    why = "owner and access list of the state folder cannot be read";
  } else {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
      why = "state folder cannot be looked at";
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      why = "state folder is a junction or link";
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      why = "state folder is not a folder";
    } else {
      why = SecurityRefusal(
          handle, {"owner and access list of the state folder cannot be read",
                   "state folder belongs to another user",
                   "state folder may be written by other users"});
    }
    CloseHandle(handle);
  }
  if (why == nullptr) return true;
  Refuse(why);
  return false;
}

}  // namespace sarnelux
