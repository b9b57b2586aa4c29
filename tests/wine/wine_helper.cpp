// A small console program that the Wine suite uses to drive the tool the way
// Windows would: it starts the tool with its standard handles redirected
// (a window-subsystem program started straight from a Unix shell under Wine
// gets a console of its own that nothing can read), holds files open for
// writing, sets and reads attributes, and lists folders as FindFirstFileA
// sees them.
//
//   wine_helper run OUT IN HOLD COMMAND_LINE   prints the exit code
//   wine_helper race OUT save|delete TARGET SOURCE MS COMMAND_LINE
//                                              runs the tool as run does and,
//                                              MS milliseconds after its
//                                              start, saves SOURCE over
//                                              TARGET (as an editor does) or
//                                              deletes it, again and again
//                                              until that lands; prints the
//                                              exit code
//   wine_helper setattr PATH HEX
//   wine_helper getattr PATH                   prints the attributes in hex
//   wine_helper sparse PATH                    flags the file sparse, as a
//                                              program that leaves holes
//                                              does first
//   wine_helper walk FOLDER                    prints every file path below
//                                              FOLDER in listing order
//   wine_helper grant PATH                     lets Everyone change the file
//                                              or folder, through its access
//                                              list
#include <windows.h>
// Both need windows.h before them.
#include <aclapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE OpenInherited(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// What another program does to a file while the tool runs; true once it
// landed.
using Rival = bool (*)(const char* target, const char* source);

bool SaveOver(const char* target, const char* source) {
  return MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool Delete(const char* target, const char* /*source*/) {
  return DeleteFileA(target) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

int Run(const char* out, const char* in, const char* hold, const char* line,
        Rival rival = nullptr, const char* target = nullptr,
        const char* source = nullptr, DWORD delay_ms = 0) {
  HANDLE held = INVALID_HANDLE_VALUE;
  if (std::strcmp(hold, "-") != 0) {
    // As an editor would hold it: writing, others may only read.
    held = CreateFileA(hold, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 90;
  }
  HANDLE output = OpenInherited(out, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE input = OpenInherited(std::strcmp(in, "-") == 0 ? "NUL" : in,
                               GENERIC_READ, OPEN_EXISTING);
  if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) {
    return 91;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  std::string command(line);
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &startup, &process)) {
    return 92;
  }
  if (rival != nullptr) {
    // No look at the file can tell that the tool holds it without getting
    // in the tool's way, so the first try waits until the tool is likely
    // to hold it; from then on, try until it lands.
    Sleep(delay_ms);
    while (!rival(target, source)) {
    }
  }
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    std::printf("timeout\n");
    return 93;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  std::printf("%lu\n", static_cast<unsigned long>(code));
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(output);
  CloseHandle(input);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return 0;
}

void Walk(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (name != "." && name != "..") Walk(folder + name + "\\");
    } else {
      std::printf("%s%s\n", folder.c_str(), name.c_str());
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Adds an entry giving Everyone full control to the access list, as
// icacls PATH /grant Everyone:F does.
int Grant(const char* path) {
  HANDLE object = CreateFileA(
      path, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (object == INVALID_HANDLE_VALUE) return 1;
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL changed = nullptr;
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof everyone;
  EXPLICIT_ACCESSA entry{};
  entry.grfAccessPermissions = FILE_ALL_ACCESS;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.ptstrName = reinterpret_cast<LPSTR>(everyone);
  const bool granted =
      CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size) &&
      GetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, &old, nullptr,
                      &descriptor) == ERROR_SUCCESS &&
      SetEntriesInAclA(1, &entry, old, &changed) == ERROR_SUCCESS &&
      SetSecurityInfo(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, changed, nullptr) == ERROR_SUCCESS;
  LocalFree(changed);
  LocalFree(descriptor);
  CloseHandle(object);
  return granted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "run") == 0) {
    return Run(argv[2], argv[3], argv[4], argv[5]);
  }
  if (argc == 8 && std::strcmp(argv[1], "race") == 0) {
    const Rival rival = std::strcmp(argv[3], "save") == 0 ? SaveOver : Delete;
    return Run(argv[2], "-", "-", argv[7], rival, argv[4], argv[5],
               static_cast<DWORD>(std::strtoul(argv[6], nullptr, 10)));
  }
  if (argc == 4 && std::strcmp(argv[1], "setattr") == 0) {
    const auto attributes =
        static_cast<DWORD>(std::strtoul(argv[3], nullptr, 16));
    return SetFileAttributesA(argv[2], attributes) ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "getattr") == 0) {
    std::printf("%lx\n",
                static_cast<unsigned long>(GetFileAttributesA(argv[2])));
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "sparse") == 0) {
    HANDLE file = CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD returned = 0;
    const BOOL flagged = DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0,
                                         nullptr, 0, &returned, nullptr);
    CloseHandle(file);
    return flagged ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "walk") == 0) {
    std::string folder = argv[2];
    if (folder.back() != '\\') folder += '\\';
    Walk(folder);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "grant") == 0) return Grant(argv[2]);
  std::fprintf(stderr,
               "usage: see the comment at the top of wine_helper.cpp\n");
  return 2;
}
