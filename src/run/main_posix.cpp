// Entry point on Linux and other POSIX systems.
#include "platform/posix/posix_platform.h"
#include "run/run_driver.h"

int main(int argc, char** argv) {
  int status = 0;
  {
    sarnelux::PosixPlatform platform(argc, argv);
    status = sarnelux::RunProgram(platform);
  }
  sarnelux::PosixPlatform::EndProcess(status);
}
