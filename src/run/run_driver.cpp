#include "run/run_driver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "marks/folder_walk.h"
#include "marks/selection.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/rewrite_recovery.h"
#include "marks/visit_record.h"
#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/services.h"
#include "run/command_line.h"
#include "run/program_texts.h"

namespace sarnelux {
namespace {

void WaitUnlessQuiet(Platform& platform, ConsoleWindow& console,
                     const RunOptions& options) {
  if (!options.no_wait && platform.KeyWaitUseful()) {
    console.WriteLine("Press a key to continue...");
    console.WaitForKey();
  }
}

void WriteLines(ConsoleWindow& console, const TextLines& lines) {
  for (const std::string& line : lines) console.WriteLine(line);
}

void WriteErrorLines(RunReport& report, const TextLines& lines) {
  for (const std::string& line : lines) report.Line(line);
}

// The walk over every path, its summary and the closing key wait.
void Walk(Platform& platform, FileService& files, ConsoleWindow& console,
          const RunOptions& options, const Selection& selection) {
  WriteLines(console, BannerLines());
  Services services{platform, files, console};
  // Whatever a run killed outright left half-rewritten is put right first.
  VisitRecord visited;
  RepairInterruptedRewrites(services, options.durable, visited);
  std::int32_t count = 0;  // files stripped, or with a list-only run found
  RewriteRecord record(files, platform.StateFolder(!options.list_only),
                       options.durable);
  ScanPaths(services, options.paths, options.style == ArgumentStyle::kPosix,
            options.list_only ? WalkMode::kListOnly : WalkMode::kStrip, count,
            &record, &visited, &selection);
  record.Finish();
  if (count < 1) {
    for (const std::string& path : options.paths) {
      console.WriteLine("no BOM headers found in ", path);
    }
  } else {
    console.WriteLine((options.list_only ? "number of found BOM headers: "
                                         : "number of removed BOM headers: ") +
                      std::to_string(count));
  }
  console.WriteLine("ready!");
  WaitUnlessQuiet(platform, console, options);
}

// What the options choose to look at, and the declarations that decide
// which marks stay; false when the program cannot read them.
bool SelectFromOptions(Platform& platform, const RunOptions& options,
                       Selection& selection) {
  for (const std::string& glob : options.excluded_files) {
    selection.ExcludeFiles(glob);
  }
  for (const std::string& glob : options.included_files) {
    selection.IncludeFiles(glob);
  }
  for (const std::string& glob : options.excluded_folders) {
    selection.ExcludeFolders(glob);
  }
  if (options.exclude_vcs) selection.ExcludeVersionControl();
  if (!options.editorconfig) return true;
  std::unique_ptr<CharsetDeclarations> declared =
      platform.OpenCharsetDeclarations();
  if (declared == nullptr) return false;
  selection.ReadDeclarations(std::move(declared));
  return true;
}

// What the options ask for; the report collects what could not be done.
void Run(Platform& platform, FileService& files, ConsoleWindow& console,
         const RunOptions& options) {
  RunReport& report = console.report();
  const bool posix = options.style == ArgumentStyle::kPosix;
  report.Show(platform.Conventions().every_run_reports || options.list_only);
  if (!options.bad_option.empty()) {
    report.Refuse();
    WriteErrorLines(report, BadOptionLines(options.bad_option,
                                           options.bad_option_lacks_value));
  } else if (options.help) {
    WriteLines(console, HelpLines(options.style));
  } else if (options.version) {
    WriteLines(console, VersionLines());
  } else if (options.paths.empty() && posix) {
    report.Refuse();
    WriteErrorLines(report, HelpLines(options.style));
  } else if (options.paths.empty()) {
    // The classic usage screen waits even with /Q: nothing was walked, and
    // the window would close before it could be read.
    WriteLines(console, BannerLines());
    VisitRecord visited;
    Services services{platform, files, console};
    RepairInterruptedRewrites(services, options.durable, visited);
    WriteLines(console, ClassicUsageLines());
    console.WaitForKey();
  } else if (Selection selection(platform);
             !SelectFromOptions(platform, options, selection)) {
    // Marks the project means to keep must not be stripped on a guess; the
    // window stays until the line is read.
    WriteLines(console, BannerLines());
    report.Refuse();
    report.Line(NoEditorconfigLine());
    WaitUnlessQuiet(platform, console, options);
  } else {
    Walk(platform, files, console, options, selection);
  }
}

}  // namespace

int RunProgram(Platform& platform) {
  FileService files(platform);
  ConsoleWindow console(platform, files);
  console.Open();
  const RunOptions options = ReadRunOptions(platform.GetArguments());
  Run(platform, files, console, options);
  const int status = console.report().Finish();
  console.Close();
  files.CloseAllFiles();
  return status;
}

}  // namespace sarnelux
