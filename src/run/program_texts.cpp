#include "run/program_texts.h"

#include "platform/printed_path.h"

namespace sarnelux {

TextLines BannerLines() {
  return {"Sarnelux", "Copyright (c) 2026 the Sarnelux project", ""};
}

TextLines ClassicUsageLines() {
  return {"Usage: Sarnelux.exe \"path\" {/Q}",
          "you need to specify the path of the folder to examine",
          "add /Q to quit without keypress", "Press a key to continue..."};
}

TextLines HelpLines(ArgumentStyle style) {
  if (style == ArgumentStyle::kClassic) {
    return {
        "Usage: Sarnelux.exe \"path\" {/Q} {/L} {/D}",
        "Removes the UTF-8 byte order mark (EF BB BF) from the start of every",
        "file in the folder \"path\" and all of its subfolders.",
        "",
        "  /Q  quit without keypress",
        "  /L  change nothing: list the files that begin with a mark",
        "  /D  make each rewrite durable: its record and its data reach the",
        "      disk before it is counted",
        "  /?  show this help",
        "",
        "With /L the exit status is 0 when no file begins with the UTF-8",
        "mark, 1 when one does, 2 when anything could not be examined; a run",
        "without /L ends with 0.",
        "",
        std::string("Sarnelux ") + SARNELUX_VERSION + ", record hash XXH3",
    };
  }
  return {
      "Usage: sarnelux [OPTION]... PATH...",
      "  or:  sarnelux PATH [/Q][/L][/D][/E]",
      "Remove the UTF-8 byte order mark (EF BB BF) from the start of every",
      "file in each PATH: a folder is walked with all its subfolders, a file",
      "is handled on its own.",
      "",
      "  -l, --list            change nothing: list the files that begin",
      "                        with a mark",
      "  -W, --no-wait         do not wait for a key at the end (a run waits",
      "                        only when its input and output are both a",
      "                        terminal)",
      "  -D, --durable         make each rewrite durable: its record and its",
      "                        data reach the disk before it is counted",
      "  -q, --quiet           print only the lines of files stripped or",
      "                        found (or that could not be), and the",
      "                        diagnostics; no wait",
      "  -Z, --null            print only the names of the files stripped or",
      "                        found, each ended by a NUL byte (for",
      "                        xargs -0); no wait",
      "      --editorconfig    let each file's .editorconfig decide: a file",
      "                        declared charset = utf-8-bom keeps its mark",
      "                        (and is told by --list when it has none)",
      "      --exclude=GLOB    pass over files whose name matches GLOB",
      "      --include=GLOB    examine only files whose name matches GLOB",
      "      --exclude-dir=GLOB  do not enter folders whose name matches GLOB",
      "      --exclude-vcs     do not enter .git, .hg, .svn, .bzr, _darcs or",
      "                        CVS",
      "  -h, --help            show this help and exit",
      "  -V, --version         show the version and exit",
      "      --                end the options: every argument after it is a",
      "                        PATH",
      "  /L, /Q, /D, /E        as -l, -W, -D and --editorconfig, in an",
      "                        argument of their own (/Q/L too), or anywhere",
      "                        in the argument after a lone PATH",
      "  /?                    as --help",
      "",
      "A GLOB matches a name alone, as the shell matches it (* and ? match",
      "a leading dot too), and each may be given several times; a PATH",
      "named here is examined whatever they say.",
      "",
      "Exit status: 0 when no UTF-8 mark is left, 1 when one is (found by",
      "--list, or not removed) or a file declared utf-8-bom lacks it, 2",
      "when anything could not be examined or written. Each such thing is",
      "told on standard error as \"sarnelux: PATH: reason\".",
  };
}

std::string NoEditorconfigLine() {
  return "sarnelux: this program cannot read .editorconfig files: it was "
         "built without the EditorConfig library";
}

// The parts a build may leave out, named so that a user or a packager can
// tell which build this is.
TextLines VersionLines() {
  return {
    std::string("sarnelux ") + SARNELUX_VERSION,
#if defined(SARNELUX_GATE_PIPELINE)
        "gate pipeline: io_uring",
#elif !defined(_WIN32)
        "gate pipeline: not built in (built without liburing): read-ahead only",
#endif
#if defined(SARNELUX_RECORD_HASH_AVX2)
        "record hash: XXH3, with AVX2 where the processor has it",
#else
        "record hash: XXH3",
#endif
#if defined(SARNELUX_HAVE_EDITORCONFIG)
        "editorconfig: libeditorconfig",
#else
        "editorconfig: not built in",
#endif
  };
}

TextLines BadOptionLines(const std::string& option, bool lacks_value) {
  const std::string shown = PrintedPath(option);
  const std::string said =
      lacks_value && option.starts_with("--")
          ? "sarnelux: option '" + shown + "' requires an argument"
      : lacks_value ? "sarnelux: option requires an argument -- '" +
                          PrintedPath(option.substr(1)) + "'"
      : option.starts_with("--")
          ? "sarnelux: unrecognized option '" + shown + "'"
          : "sarnelux: invalid option -- '" + PrintedPath(option.substr(1)) +
                "'";
  return {said, "Try 'sarnelux --help' for more information."};
}

}  // namespace sarnelux
