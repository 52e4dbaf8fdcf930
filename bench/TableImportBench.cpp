// The formats table with 100,000 formats through a CSV file: the export, then the import in replace
// and in merge mode (read, merge and commit into the settings document; without the page's rebuild).
// Prints each step's time and the process's peak memory. Run by hand, e.g.
//   WINEDEBUG=-all wine build/bin/TableImportBench.exe
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "Core.h"
#include "CsvTable.h"
#include "FormatsPage.h"
#include "FormatsTable.h"

namespace {

constexpr UINT kFormatCount = 100000;

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

double PeakMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return double(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

void Fill(CAppSettings& settings) {
  settings.formats.clear();
  for (UINT i = 1; i <= kFormatCount; ++i) {
    _FORMAT_INFO_EX f;
    f.Id = i;
    f.Name = L"Format " + std::to_wstring(i) + (i % 7 ? L"" : L"; \"quoted\"");
    f.Template = L"%" + std::to_wstring(i % 40) + L"D";
    f.Params = i % 3 ? L"" : L"a,b";
    f.Comment = L"\x041A\x043E\x043C\x043C\x0435\x043D\x0442\x0430\x0440\x0438\x0439 " + std::to_wstring(i);
    f.KeyFilters = i % 2;
    settings.formats.push_back(f);
  }
  settings.formatsNewId = kFormatCount + 1;
  settings.ClearFormatIndex();
}

}  // namespace

int wmain() {
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring path = std::wstring(temp) + L"vombra-table-bench.csv";
  CAppSettings settings;
  settings.ConfirmFlags = 0;
  Fill(settings);
  std::vector<int> rows(kFormatCount);
  for (UINT i = 0; i < kFormatCount; ++i) rows[i] = int(i);
  const std::vector<int> kinds = {FMTCOL_CHOICE, FMTCOL_NUMBER, FMTCOL_ID, FMTCOL_NAME, FMTCOL_TEMPLATE,
                                  FMTCOL_PARAMS, FMTCOL_COMMENT, FMTCOL_SAVE, FMTCOL_VISIBLE};

  double start = Now();
  {
    CCsvTableExport writer;
    WriteFormatsTable(settings, 0, 0, rows, kinds, nullptr, writer, path.c_str());
  }
  printf("export %u formats to CSV: %.0f ms\n", kFormatCount, Now() - start);

  // Half the list gone and the rest reversed: the import must re-add, update and reorder.
  settings.formats.resize(kFormatCount / 2);
  for (auto& f : settings.formats) f.Template += L"x";
  settings.ClearFormatIndex();
  for (bool replace : {true, false}) {
    start = Now();
    CCsvTableImport reader;
    const TABLE_IMPORT_RESULT result = ImportFormats(settings, 0, reader, path.c_str(), replace, nullptr);
    printf("import (%s): %.0f ms, result %d, %zu formats\n", replace ? "replace" : "merge", Now() - start, int(result),
           settings.formats.size());
  }
  printf("peak working set: %.0f MB\n", PeakMb());
  DeleteFileW(path.c_str());
  return 0;
}
