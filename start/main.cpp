// Entry point of RealmPorter.exe. The program takes no command-line arguments.
#include <windows.h>

#include <clocale>

#include "app/crash.h"
#include "app/system_dlls.h"
#include "start/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  KeepDllSearchToSystem();
  InstallCrashHandler();
  // The C runtime converts wide log arguments through the ANSI code page.
  std::setlocale(LC_CTYPE, "");
  return RunLauncher(instance, showCommand);
}
