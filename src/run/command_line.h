// Splitting the command line into arguments, and the quiet-switch test.
//
// The rules are simpler than the usual Windows ones: only spaces separate,
// double quotes group, and nothing is escaped, so a quoted path ending in a
// backslash keeps it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace sarnelux {

// The argument at index (0 is the first after the program's own invocation)
// of a whole command line, or an empty text when there are fewer.
std::string TokenAt(std::string_view line, int index);

// The argument at index as the platform handed the arguments over.
std::string ArgumentAt(const CommandLine& command_line, int index);

// Upper-cases a to z and the bytes E0 to FF, the way the code page does.
std::string UpperCaseText(std::string text);

bool ContainsQuietSwitch(const std::string& text);

// "/L" anywhere in the text, in any case: list the marks, change nothing.
bool ContainsListSwitch(const std::string& text);

// "/D" anywhere in the text, in any case: every rewrite is made durable.
bool ContainsDurableSwitch(const std::string& text);

// "/E" anywhere in the text, in any case: each file's .editorconfig decides
// whether its mark stays.
bool ContainsEditorconfigSwitch(const std::string& text);

// Whose way the arguments were given: the Windows program's one line, with
// its folder and its switch text, or the POSIX program's vector, with
// options and any number of paths beside the classic forms.
enum class ArgumentStyle { kClassic, kPosix };

// What the command line asks a run to do.
struct RunOptions {
  ArgumentStyle style = ArgumentStyle::kClassic;
  std::vector<std::string> paths;  // as typed; the classic line names one
  bool list_only = false;
  bool no_wait = false;
  bool durable = false;       // each rewrite's record and data reach the disk
  bool editorconfig = false;  // a file declared utf-8-bom keeps its mark
  // Name patterns: files passed over, files alone examined (once any is
  // given), folders not entered.
  std::vector<std::string> excluded_files;
  std::vector<std::string> included_files;
  std::vector<std::string> excluded_folders;
  bool exclude_vcs = false;  // the folders of .git, .hg, .svn and the like
  // Only what became of files and what went wrong: no banner, summary,
  // "ready!", prompt, or line for a file left alone.
  bool quiet = false;
  // Only the names of the files stripped or found, each ended by a NUL.
  bool null_names = false;
  bool help = false;
  bool version = false;
  // The first argument that looks like an option and is none, as it was
  // typed; the run then does nothing but say so.
  std::string bad_option;
  bool bad_option_lacks_value = false;  // the option is known, its value not
};

// The one reading of a command line into run options. The classic line
// keeps the meaning it always had (folder, then switch text searched for /Q,
// /L and /D), with /? for help. The POSIX vector is read by getopt_long, so
// options come anywhere, bundle and take their values as GNU tools do
// (-l/--list, -W/--no-wait, -D/--durable, -q/--quiet, -Z/--null,
// --editorconfig, --exclude,
// --include, --exclude-dir, --exclude-vcs, -h/--help, -V/--version, --);
// on top of it /Q, /L, /D and /E (and any run of them) count as arguments of
// their own, and where the arguments are just a path and a text holding /Q
// or /L, the text is the classic switch text: of two readings, the one that
// cannot change files the user did not name wins.
//
// A Windows line whose first argument is an option the POSIX vector knows
// (--list, -lW, --) is split as the C runtime splits it and read the POSIX
// way; any other line, the classic way.
RunOptions ReadRunOptions(const CommandLine& command_line);

// An option the POSIX reading knows, "--" included.
bool IsPosixOption(const std::string& argument);

}  // namespace sarnelux
