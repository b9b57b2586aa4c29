#include "run/run_driver.h"

#include <cstdint>
#include <string>

#include "marks/folder_walk.h"
#include "rewrite/visit_record.h"
#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/services.h"
#include "rewrite/rewrite_record.h"
#include "rewrite/rewrite_recovery.h"
#include "run/command_line.h"
#include "run/program_texts.h"

namespace sarnelux {
namespace {

void WriteLines(ConsoleWindow& console, const TextLines& lines) {
  for (const std::string& line : lines) console.WriteLine(line);
}

void WriteErrorLines(RunReport& report, const TextLines& lines) {
  for (const std::string& line : lines) report.Line(line);
}

// The walk over every path, its summary and the closing key wait.
void Walk(Platform& platform, FileService& files, ConsoleWindow& console,
          const RunOptions& options) {
  WriteLines(console, BannerLines());
  Services services{platform, files, console};
  // Whatever a run killed outright left half-rewritten is put right first.
  VisitRecord visited;
  RepairInterruptedRewrites(services, options.durable, options.list_only,
                            visited);
  std::int32_t count = 0;  // files stripped, or with a list-only run found
  RewriteRecord record(files, platform.StateFolder(!options.list_only),
                       options.durable);
  ScanPaths(services, options.paths, options.style == ArgumentStyle::kPosix,
            options.list_only ? WalkMode::kListOnly : WalkMode::kStrip, count,
            &record, &visited);
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
  if (!options.no_wait && platform.KeyWaitUseful()) {
    console.WriteLine("Press a key to continue...");
    console.WaitForKey();
  }
}

// What the options ask for; the report collects what could not be done.
void Run(Platform& platform, FileService& files, ConsoleWindow& console,
         const RunOptions& options) {
  RunReport& report = console.report();
  const bool posix = options.style == ArgumentStyle::kPosix;
  report.Show(platform.Conventions().every_run_reports || options.list_only);
  if (!options.bad_option.empty()) {
    report.Refuse();
    WriteErrorLines(report, BadOptionLines(options.bad_option));
  } else if (options.help) {
    WriteLines(console, HelpLines(options.style));
  } else if (options.version) {
    console.WriteLine(VersionLine());
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
  } else {
    Walk(platform, files, console, options);
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
