#include "run/run_driver.h"

#include <cstdint>
#include <string>

#include "marks/folder_walk.h"
#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/services.h"
#include "run/command_line.h"

namespace sarnelux {
namespace {

void ShowUsage(ConsoleWindow& console) {
  console.WriteLine("Usage: Sarnelux.exe \"path\" {/Q}");
  console.WriteLine("you need to specify the path of the folder to examine");
  console.WriteLine("add /Q to quit without keypress");
  console.WriteLine("Press a key to continue...");
  console.WaitForKey();
}

}  // namespace

int RunProgram(Platform& platform) {
  FileService files(platform);
  ConsoleWindow console(platform, files);
  console.Open();

  console.WriteLine("Sarnelux");
  console.WriteLine("Copyright (c) 2026 the Sarnelux project");
  console.WriteLine("");

  const CommandLine command_line = platform.GetArguments();
  const std::string folder = ArgumentAt(command_line, 0);
  const std::string quiet_switch = UpperCaseText(ArgumentAt(command_line, 1));
  std::int32_t count = 0;  // files stripped, or with /L marks found
  int status = 0;

  if (folder.empty()) {
    ShowUsage(console);
  } else {
    Services services{platform, files, console};
    const bool list_only = ContainsListSwitch(quiet_switch);
    ScanFolder(services, folder, count,
               list_only ? WalkMode::kListOnly : WalkMode::kStrip);
    if (count < 1) {
      console.WriteLine("no BOM headers found in " + folder);
    } else {
      console.WriteLine((list_only ? "number of found BOM headers: "
                                   : "number of removed BOM headers: ") +
                        std::to_string(count));
    }
    console.WriteLine("ready!");
    // A list-only run fails when a mark was found, so that a build can
    // check that none is left; a run that strips always succeeds.
    if (list_only && count > 0) status = 1;
    if (!ContainsQuietSwitch(quiet_switch)) {
      console.WriteLine("Press a key to continue...");
      console.WaitForKey();
    }
  }
  console.Close();
  files.CloseAllFiles();
  return status;
}

}  // namespace sarnelux
