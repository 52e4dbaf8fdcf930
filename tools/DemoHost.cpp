// Loads Vombra.dll from beside this program and prints its version and its error texts,
// in the language of the current locale. (The C library printf here is MinGW's ISO one: %ls for wide text.)
#include <windows.h>

#include <cstdio>
#include <string>

#include "Core.h"

int wmain() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path, length);
  dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"Vombra.dll";

  HMODULE module = LoadLibraryW(dll.c_str());
  if (!module) {
    std::fwprintf(stderr, L"cannot load %ls (error %lu)\n", dll.c_str(), GetLastError());
    return 1;
  }
  std::wstring version;
  VersionToStr(GetFileVersionNumber(dll.c_str()), version);
  std::wprintf(L"Vombra.dll %ls loaded from %ls\n", version.c_str(), dll.c_str());
  for (DWORD code = 0x80040201; code <= 0x80040243; ++code) {
    std::wstring text;
    if (FormatMessageText(text, module, code)) {
      std::string ansi;
      WideToAnsi(text.c_str(), int(text.size()), ansi);
      std::printf("0x%08lX  %s\n", code, ansi.c_str());
    }
  }
  FreeLibrary(module);
  return 0;
}
