#include "run/run_driver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "marks/folder_walk.h"
#include "marks/selection.h"
#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/services.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/rewrite_recovery.h"
#include "rewrite/visit_record.h"
#include "run/command_line.h"
#include "run/program_texts.h"

namespace sarnelux {
namespace {

OutputForm FormOf(const RunOptions& options) {
  if (options.null_names) return OutputForm::kNames;
  return options.quiet ? OutputForm::kQuiet : OutputForm::kFull;
}

void WaitUnlessQuiet(Platform& platform, ConsoleWindow& console,
                     const RunOptions& options) {
  // A prompt the form does not show would leave a wait nobody knows of.
  const bool prompt_shown = FormOf(options) == OutputForm::kFull;
  if (!options.no_wait && prompt_shown && platform.KeyWaitUseful()) {
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

void TellLines(ConsoleWindow& console, const TextLines& lines) {
  for (const std::string& line : lines) console.Tell(Told::kRun, line);
}

// One count line for the run, however many paths it was given: a path
// named once per line would bury the one line that matters under a hook's
// thousands of clean files.
void TellSummary(ConsoleWindow& console, const RunOptions& options,
                 std::int32_t count) {
  if (count >= 1) {
    console.Tell(Told::kRun,
                 (options.list_only ? "number of found BOM headers: "
                                    : "number of removed BOM headers: ") +
                     std::to_string(count));
  } else if (options.paths.size() == 1) {
    console.Tell(Told::kRun, "no BOM headers found in ", options.paths[0]);
  } else {
    console.Tell(Told::kRun, "no BOM headers found in " +
                                 std::to_string(options.paths.size()) +
                                 " paths");
  }
}

// The walk over every path, its summary and the closing key wait.
void Walk(Platform& platform, FileService& files, ConsoleWindow& console,
          const RunOptions& options, const Selection& selection) {
  console.UseForm(FormOf(options));
  TellLines(console, BannerLines());
  Services services{platform, files, console};
  // Whatever a run killed outright left half-rewritten is put right first.
  VisitRecord visited;
  RepairInterruptedRewrites(services, options.durable, options.list_only,
                            visited);
  std::int32_t count = 0;  // files stripped, or with a list-only run found
  RewriteRecord record(files, platform.StateFolder(!options.list_only),
                       options.durable);
  // A quiet run shows nothing it need not, progress included.
  console.progress().Start(&count, options.list_only, !options.quiet);
  ScanPaths(services, options.paths, options.style == ArgumentStyle::kPosix,
            options.list_only ? WalkMode::kListOnly : WalkMode::kStrip, count,
            &record, &visited, &selection);
  record.Finish();
  console.progress().Stop();
  TellSummary(console, options, count);
  console.Tell(Told::kRun, "ready!");
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
  // The POSIX spelling brings the POSIX program's diagnostics and statuses,
  // on Windows too: a hook must fail when a mark is left.
  report.Show(platform.Conventions().every_run_reports || options.list_only ||
              posix);
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
    RepairInterruptedRewrites(services, options.durable, options.list_only,
                              visited);
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
