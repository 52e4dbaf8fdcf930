// The configurator's start-up, measured in-process: from the process's creation and from the entry to the
// first idle pass (InitInstance, then the queue pumped until it first runs empty), with a fresh data
// folder and with 2,000 formats in ConfigVombra.xml and 500 in the registry. The bench starts copies of
// itself in a scratch folder (portable, so the data folder is that folder), one per run, and prints the
// median of each case. Needs a display; run by hand, e.g.
//   WINEDEBUG=-all wine build/bin/StartupBench.exe
// It replaces Software\Tarvelon\Vombra of the current user while it runs and removes it at the end.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "MessageBox.h"
#include "RegistryStore.h"
#include "Settings.h"

CConfigVombraApp theApp;

namespace {

constexpr int kRuns = 7;
constexpr int kConfigFormats = 2000;
constexpr int kRegistryFormats = 500;

double Milliseconds(const FILETIME& from, const FILETIME& to) {
  const ULARGE_INTEGER a = {{from.dwLowDateTime, from.dwHighDateTime}};
  const ULARGE_INTEGER b = {{to.dwLowDateTime, to.dwHighDateTime}};
  return double(b.QuadPart - a.QuadPart) / 10000.0;
}

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

int WINAPI AnswerNo(HWND, LPCWSTR, LPCWSTR, UINT) { return IDNO; }
HRESULT WINAPI AnswerNoTask(const TASKDIALOGCONFIG*, int* button, int*, BOOL* checked) {
  if (button) *button = IDNO;
  if (checked) *checked = FALSE;
  return S_OK;
}

// The child: one start-up, its two figures on stdout.
int MeasureOnce() {
  const double entry = Now();
  g_hInstance = GetModuleHandleW(nullptr);
  g_hResInstance = g_hInstance;
  MessageBoxSeam.MessageBox = &AnswerNo;
  MessageBoxSeam.TaskDialogIndirect = &AnswerNoTask;
  if (theApp.InitInstance(SW_SHOWNORMAL) != 0) return 2;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
    if (!theApp.PumpMessage()) break;
  }
  // The queue ran empty: the first idle pass would run now.
  const double idle = Now();
  FILETIME created, exited, kernel, user, now;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimeAsFileTime(&now);
  std::printf("%.1f %.1f %zu\n", Milliseconds(created, now), idle - entry, theApp.settings.formats.size());
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), 0);  // no closing question, no saves
  return 0;
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool RunChild(const std::wstring& exe, double* fromProcess, double* fromEntry, size_t* formats) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  std::wstring commandLine = L"\"" + exe + L"\" --child";
  const bool started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      Folder(exe).c_str(), &startup, &process);
  CloseHandle(writeEnd);
  std::string output;
  if (started) {
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read) output.append(buffer, read);
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(readEnd);
  return std::sscanf(output.c_str(), "%lf %lf %zu", fromProcess, fromEntry, formats) == 3;
}

_FORMAT_INFO_EX MakeFormat(UINT id, bool registry) {
  _FORMAT_INFO_EX format;
  format.Id = id;
  format.Name = (registry ? L"Registry " : L"Format ") + std::to_wstring(id);
  format.Template = L"%.3u,%.5u";
  format.Params = L"b2 w01";
  format.Comment = L"bench";
  format.KeyFilters = 1;
  format.Flags = registry ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u;
  return format;
}

void PrepareLarge(const std::wstring& folder) {
  CAppSettings document;
  document.formats.clear();
  for (UINT id = 1; id <= kConfigFormats; ++id) document.formats.push_back(MakeFormat(id, false));
  document.formatsNewId = kConfigFormats + 1;
  document.ClearFormatIndex();
  document.SetConfigPath((folder + L"\\ConfigVombra.xml").c_str());
  document.SaveConfig(true);

  _SETTINGS_INFO record;
  for (UINT id = 1; id <= kRegistryFormats; ++id) {
    _FORMAT_INFO format = MakeFormat(kConfigFormats + id, true);
    record.Formats.push_back(format);
  }
  RegSaveSettings(record, SP_ALL & ~SP_PORTS);
}

void Report(const char* name, std::vector<double> fromProcess, std::vector<double> fromEntry,
            size_t formats) {
  std::sort(fromProcess.begin(), fromProcess.end());
  std::sort(fromEntry.begin(), fromEntry.end());
  if (fromProcess.empty()) {
    std::printf("%-34s no run succeeded\n", name);
    return;
  }
  std::printf("%-34s from process start %7.1f ms, from entry %7.1f ms (median of %zu; %zu formats)\n", name,
              fromProcess[fromProcess.size() / 2], fromEntry[fromEntry.size() / 2], fromProcess.size(),
              formats);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && wcscmp(argv[1], L"--child") == 0) return MeasureOnce();
  g_hInstance = GetModuleHandleW(nullptr);
  g_hResInstance = g_hInstance;

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring scratch = std::wstring(temp) + L"StartupBench";
  CreateDirectoryW(scratch.c_str(), nullptr);
  const std::wstring exe = scratch + L"\\StartupBench.exe";
  const std::wstring config = scratch + L"\\ConfigVombra.xml";
  const std::wstring marker = scratch + L"\\portable_mode_enabled";
  CopyFileW(self, exe.c_str(), FALSE);
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(file);

  for (int large = 0; large < 2; ++large) {
    std::vector<double> fromProcess, fromEntry;
    size_t formats = 0;
    for (int run = 0; run < kRuns; ++run) {
      DeleteFileW(config.c_str());
      DeleteSettingsTree(HKEY_CURRENT_USER);
      if (large) PrepareLarge(scratch);
      double process = 0, entry = 0;
      if (RunChild(exe, &process, &entry, &formats)) {
        fromProcess.push_back(process);
        fromEntry.push_back(entry);
      }
    }
    Report(large ? "2,000 in the file, 500 in registry" : "fresh data folder", fromProcess, fromEntry,
           formats);
  }
  DeleteSettingsTree(HKEY_CURRENT_USER);
  DeleteFileW(config.c_str());
  DeleteFileW(marker.c_str());
  DeleteFileW(exe.c_str());
  RemoveDirectoryW(scratch.c_str());
  return 0;
}
