// The program's entry and its one application object.
#include <windows.h>

#include "ConfigVombraApp.h"
#include "Core.h"

CConfigVombraApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int nCmdShow) {
  g_hInstance = instance;
  g_hResInstance = instance;
  const int result = theApp.InitInstance(nCmdShow);
  if (result != 0) return result;
  return theApp.Run();
}
