#include "platform/win32/win32_paths.h"

#include <windows.h>

#include <vector>

namespace sarnelux {
namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                          static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                      static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The current folder, or that of a drive ("C:"), in full.
std::wstring FullPathOf(const wchar_t* path) {
  const DWORD length = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (length == 0) return {};
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(path, length, full.data(), nullptr);
  if (written == 0 || written >= length) return {};
  full.resize(written);
  return full;
}

// Splits off the root ("C:\" or "\\server\share\") of an absolute path and
// resolves `.` and `..` among the names after it, by their spelling alone.
std::wstring Normalized(const std::wstring& absolute, std::size_t root) {
  std::wstring result = absolute.substr(0, root);
  for (wchar_t& c : result) {
    if (c == L'/') c = L'\\';
  }
  if (result.empty() || result.back() != L'\\') result += L'\\';
  const std::size_t base = result.size();
  std::size_t at = root;
  while (at <= absolute.size()) {
    std::size_t end = at;
    while (end < absolute.size() && !IsSeparator(absolute[end])) ++end;
    const std::wstring name = absolute.substr(at, end - at);
    if (name == L"..") {
      if (result.size() > base) {
        result.pop_back();  // the separator after the last name
        result.erase(result.rfind(L'\\') + 1);
      }
    } else if (!name.empty() && name != L".") {
      result += name;
      result += L'\\';
    }
    at = end + 1;
  }
  // A path that ended in a separator names a folder; keep the ending as
  // given, since callers add to it.
  const bool trailing = !absolute.empty() && IsSeparator(absolute.back());
  if (!trailing && result.size() > base) result.pop_back();
  return result;
}

bool IsUnc(const std::wstring& path) {
  return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// The long form of an absolute path: C:\... or \\server\share\...
std::wstring LongFormOfAbsolute(const std::wstring& absolute) {
  if (IsUnc(absolute)) {
    // The root is the server and the share.
    std::size_t root = 2;
    for (int names = 0; names < 2 && root < absolute.size(); ++names) {
      while (root < absolute.size() && !IsSeparator(absolute[root])) ++root;
      if (names == 0 && root < absolute.size()) ++root;
    }
    return L"\\\\?\\UNC\\" + Normalized(absolute, root).substr(2);
  }
  if (absolute.size() < 3 || absolute[1] != L':') return {};
  return L"\\\\?\\" + Normalized(absolute, 3);
}

// The current folder with a separator at its end.
std::wstring CurrentFolder(const wchar_t* of = L".") {
  std::wstring folder = FullPathOf(of);
  if (!folder.empty() && !IsSeparator(folder.back())) folder += L'\\';
  return folder;
}

}  // namespace

std::wstring LongPathOf(const std::string& path) {
  const std::wstring wide = Widen(path);
  if (wide.empty()) return {};
  // Already in a form no rule rewrites (\\?\...), or a device (\\.\...).
  if (wide.size() >= 4 && IsUnc(wide) && (wide[2] == L'?' || wide[2] == L'.') &&
      IsSeparator(wide[3])) {
    return wide;
  }
  if (IsUnc(wide)) return LongFormOfAbsolute(wide);
  const bool drive = wide.size() >= 2 && wide[1] == L':';
  if (drive && wide.size() >= 3 && IsSeparator(wide[2])) {
    return LongFormOfAbsolute(wide);
  }
  if (drive) {
    // C:name is relative to the current folder of drive C.
    const std::wstring folder = CurrentFolder(wide.substr(0, 2).c_str());
    return folder.empty() ? folder
                          : LongFormOfAbsolute(folder + wide.substr(2));
  }
  const std::wstring here = CurrentFolder();
  if (here.empty()) return {};
  if (IsSeparator(wide[0])) {
    // \name is relative to the root of the current drive or share.
    if (here.size() >= 2 && here[1] == L':') {
      return LongFormOfAbsolute(here.substr(0, 2) + wide);
    }
    return {};
  }
  return LongFormOfAbsolute(here + wide);
}

std::string AbsolutePathOf(const std::string& path) {
  std::wstring full = LongPathOf(path);
  if (full.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    full = L"\\\\" + full.substr(8);
  } else if (full.rfind(L"\\\\?\\", 0) == 0) {
    full = full.substr(4);
  } else {
    return {};
  }
  const UINT code_page = GetACP();
  BOOL lossy = FALSE;
  BOOL* lossy_flag = code_page == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags =
      code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(code_page, flags, full.c_str(), -1,
                                         nullptr, 0, nullptr, lossy_flag);
  if (length <= 0 || lossy) return {};
  std::vector<char> narrow(static_cast<std::size_t>(length));
  WideCharToMultiByte(code_page, flags, full.c_str(), -1, narrow.data(), length,
                      nullptr, lossy_flag);
  return lossy ? std::string() : std::string(narrow.data());
}

std::string ShownNameOf(const wchar_t* wide) {
  const UINT code_page = GetACP();
  const int length =
      WideCharToMultiByte(code_page, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return "?";
  std::vector<char> narrow(static_cast<std::size_t>(length));
  WideCharToMultiByte(code_page, 0, wide, -1, narrow.data(), length, nullptr,
                      nullptr);
  return narrow.data();
}

bool NameOf(const wchar_t* wide, std::string& name) {
  for (const wchar_t* c = wide; *c != L'\0'; ++c) {
    if (*c == L'\\' || *c == L'/' || *c == L':') return false;
  }
  const UINT code_page = GetACP();
  // Only code pages other than UTF-8 can lack a character; there Windows
  // would put a '?' in its place, a name that opens nothing or another file.
  BOOL lossy = FALSE;
  BOOL* lossy_flag = code_page == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags =
      code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int length = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0,
                                         nullptr, lossy_flag);
  if (length <= 0 || lossy) return false;
  std::vector<char> narrow(static_cast<std::size_t>(length));
  WideCharToMultiByte(code_page, flags, wide, -1, narrow.data(), length,
                      nullptr, lossy_flag);
  if (lossy) return false;
  name.assign(narrow.data());
  return true;
}

}  // namespace sarnelux
