// The services the tool's own work runs on, set up once by the run driver.
#pragma once

#include "platform/console_window.h"
#include "platform/file_service.h"
#include "platform/platform.h"

namespace sarnelux {

struct Services {
  Platform& platform;
  FileService& files;
  ConsoleWindow& console;
};

}  // namespace sarnelux
