// A stand-in for regjump.exe: appends its command line, in UTF-16, to the file named by the environment
// variable FAKE_REGJUMP_RECORD, so a test sees what the shell started it with.
#include <windows.h>

#include <cwchar>

int wmain() {
  wchar_t record[MAX_PATH];
  if (!GetEnvironmentVariableW(L"FAKE_REGJUMP_RECORD", record, MAX_PATH)) return 1;
  HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  const wchar_t* line = GetCommandLineW();
  DWORD written = 0;
  WriteFile(file, line, DWORD(wcslen(line) * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  return 0;
}
