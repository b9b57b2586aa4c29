// Entry point on Windows: a window-subsystem program that opens a console of
// its own.
#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "run/run_driver.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/,
                   LPSTR /*command_line*/, int /*show*/) {
  int status = 0;
  {
    sarnelux::Win32Platform platform;
    status = sarnelux::RunProgram(platform);
  }
  ExitProcess(static_cast<UINT>(status));
}
