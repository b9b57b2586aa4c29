#include "expected_output.h"

#include <sys/stat.h>

#include <cstdio>

namespace sarnelux::testing_support {
namespace {

void ReportFolder(const TempTree& tree, const std::string& relative,
                  const std::map<std::string, std::string>& before,
                  bool list_only, std::string& report, int& removed) {
  const std::string shown = tree.root() + "/" + relative;
  for (const std::string& name : ListingOrder(shown)) {
    if (name == "." || name == "..") continue;
    const std::string child = relative + name;
    struct stat info {};
    if (stat(tree.Path(child).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      ReportFolder(tree, child + "/", before, list_only, report, removed);
      continue;
    }
    auto file = before.find(child);
    const bool read_only = (info.st_mode & 0222) == 0;
    if (file == before.end() || (read_only && !list_only)) continue;
    const std::string& bytes = file->second;
    if (StartsWith(bytes, kMark)) {
      report += (list_only ? "found BOM in file " : kRemoved) +
                Shown(shown + name) + "\n";
      ++removed;
    } else if (StartsWith(bytes, "\xFF\xFE") || StartsWith(bytes, "\xFE\xFF") ||
               StartsWith(bytes, std::string("\0\0\xFE\xFF", 4))) {
      report += "no valid utf-8 BOM in file " + Shown(shown + name) + "\n";
    }
  }
}

}  // namespace

std::string Shown(const std::string& path) {
  static const std::map<char, std::string> kNamed = {
      {'\a', "\\a"}, {'\b', "\\b"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\v', "\\v"},
      {'\f', "\\f"}, {'\r', "\\r"}, {'"', "\\\""}, {'\\', "\\\\"}};
  bool control = false;
  for (const unsigned char byte : path) control |= byte < 0x20 || byte == 0x7F;
  if (!control) return path;
  std::string quoted = "\"";
  for (const char byte : path) {
    auto named = kNamed.find(byte);
    const auto value = static_cast<unsigned char>(byte);
    if (named != kNamed.end()) {
      quoted += named->second;
    } else if (value < 0x20 || value == 0x7F) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", value);
      quoted += octal;
    } else {
      quoted += byte;
    }
  }
  return quoted + "\"";
}

bool StartsWith(const std::string& bytes, const std::string& prefix) {
  return bytes.compare(0, prefix.size(), prefix) == 0;
}

std::string ExpectedReport(const TempTree& tree,
                           const std::map<std::string, std::string>& before,
                           int& removed, bool list_only) {
  std::string report;
  ReportFolder(tree, "", before, list_only, report, removed);
  return report;
}

std::string Summary(int removed, const std::string& argument) {
  return (removed > 0
              ? "number of removed BOM headers: " + std::to_string(removed)
              : "no BOM headers found in " + Shown(argument)) +
         "\nready!\n";
}

std::map<std::string, std::string> Stripped(
    std::map<std::string, std::string> files,
    const std::set<std::string>& keep) {
  for (auto& [path, bytes] : files) {
    if (StartsWith(bytes, kMark) && keep.count(path) == 0) bytes.erase(0, 3);
  }
  return files;
}

}  // namespace sarnelux::testing_support
