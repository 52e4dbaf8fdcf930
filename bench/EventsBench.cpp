// The Events tab over a test log of 100,000 lines: how long the tab takes to open, to jump to the last
// row and to refresh, and how many log lines each step read (only the rows the list shows should be).
// Needs a display. Run by hand, e.g.
//   WINEDEBUG=-all wine build/bin/EventsBench.exe
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "EventsPage.h"
#include "Strings.h"
#include "TestLog.h"
#include "TestVombra.h"
#include "WinApp.h"

namespace {

class CBenchApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

CBenchApp theApp;

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);  // ms
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

}  // namespace

int wmain() {
  constexpr size_t kLines = 100000;
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"VombraEventsBench";
  CreateDirectoryW(folder.c_str(), nullptr);
  std::unique_ptr<CTestVombra> host(CTestVombra::Create(folder.c_str()));
  CAppSettings settings;

  std::vector<_TEST_EVENT_INFO> records(1000);
  for (size_t i = 0; i < records.size(); ++i) {
    records[i] = {int32_t(1 + i), int32_t(1 + i % 3), L"COM7", L"TracksData", L"00AB12CD" + std::to_wstring(i)};
  }
  double start = Now();
  for (size_t written = 0; written < kLines; written += records.size()) {
    host->GetLog().WriteEvents(records.data(), records.size());
  }
  std::printf("log of %zu lines written in %.1f ms\n", host->GetLog().GetLineCount(), Now() - start);

  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = g_hInstance;
  wc.lpszClassName = L"EventsBenchParent";
  RegisterClassW(&wc);
  HWND parent = CreateWindowW(L"EventsBenchParent", L"EventsBench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900,
                              600, nullptr, nullptr, g_hInstance, nullptr);

  CEventsPage page(*host, settings);
  start = Now();
  CDialog::CreateFromTemplate(&page, IDD_TEST_EVENTS, parent);
  SetWindowPos(page.hwnd, nullptr, 0, 0, 880, 560, SWP_NOZORDER | SWP_SHOWWINDOW);
  UpdateWindow(page.hwnd);
  Pump();
  std::printf("open:    %8.2f ms, %zu lines read\n", Now() - start, page.rows.linesRead);

  HWND list = GetDlgItem(page.hwnd, IDC_EVENTS_LIST);
  size_t before = page.rows.linesRead;
  start = Now();
  SendMessageW(list, LVM_ENSUREVISIBLE, kLines - 1, FALSE);
  UpdateWindow(list);
  Pump();
  std::printf("to end:  %8.2f ms, %zu lines read\n", Now() - start, page.rows.linesRead - before);

  before = page.rows.linesRead;
  start = Now();
  page.ReloadRows();
  UpdateWindow(list);
  Pump();
  std::printf("refresh: %8.2f ms, %zu lines read\n", Now() - start, page.rows.linesRead - before);

  page.Destroy();
  DestroyWindow(parent);
  host.reset();
  DeleteFileW((folder + L"\\TestVombra.log").c_str());
  RemoveDirectoryW(folder.c_str());
  return 0;
}
