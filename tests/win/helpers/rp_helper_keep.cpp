// Holds a test prefix's desktop and services up until the prefix is taken
// down (tests/wine/wine-env). Wine starts them for the first program that
// needs them and ends them with the last one; started by a test program,
// they would inherit its output and keep CTest reading it for seconds after
// the test had ended.
#include <windows.h>

int wmain() {
  GetDesktopWindow();
  Sleep(INFINITE);
  return 0;
}
