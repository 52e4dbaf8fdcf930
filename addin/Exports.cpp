#include <windows.h>

#include "Core.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_hInstance = module;
    g_hResInstance = module;
  }
  return TRUE;
}
