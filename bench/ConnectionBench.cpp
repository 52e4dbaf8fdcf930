// The Connection dialog over the real add-in: from creating the dialog to its first paint, with the
// driver's settings description (several hundred lines; Prefix and Suffix list 129 items each) read,
// the form built and both XML texts coloured. Also the colouring of the description alone. Ten runs
// each; median, minimum and maximum printed. Needs a display; run by hand, e.g.
//   WINEDEBUG=-all xvfb-run -a wine build/bin/ConnBench.exe
// The program name is no longer than ConfigVombra.exe, so the host loads Vombra.dll beside it. The
// add-in reads the stored settings of the prefix as they are; nothing is written.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "DevOpenDialog.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TestVombra.h"
#include "VariantArray.h"
#include "WinApp.h"
#include "XmlPage.h"

namespace {

class CBenchApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};
CBenchApp theApp;

constexpr int kRuns = 10;
int g_boxes = 0;

HRESULT WINAPI CountBox(const TASKDIALOGCONFIG*, int* button, int*, BOOL*) {
  ++g_boxes;
  if (button) *button = IDOK;
  return S_OK;
}

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void Report(const char* what, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%-52s median %8.1f ms   min %8.1f   max %8.1f\n", what, times[times.size() / 2], times.front(),
              times.back());
}

}  // namespace

int wmain() {
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  InitCommonControls();
  MessageBoxSeam.TaskDialogIndirect = CountBox;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"VombraConnBench";
  CreateDirectoryW(folder.c_str(), nullptr);
  CTestVombra* host = CTestVombra::Create(folder.c_str());
  try {
    host->Load();
  } catch (const std::exception& e) {
    std::printf("the add-in did not load: %s\n", e.what());
    return 1;
  }
  std::wstring description;
  {
    CVariantArray values(2, host);
    host->CallMethod(L"GetParameters", values.Values(), values.Values() + 1, 1);
    if (values[1].vt == VTYPE_PWSTR) description.assign(values[1].pwstrVal, values[1].wstrLen);
  }
  size_t lines = 0, tags = 0;
  for (wchar_t c : description) {
    lines += c == L'\n';
    tags += c == L'<';
  }
  std::printf("settings description: %zu characters, %zu lines, %zu tags\n", description.size(), lines, tags);

  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VombraConnBench";
  RegisterClassW(&wc);
  HWND parent = CreateWindowExW(0, L"VombraConnBench", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 700,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);

  std::vector<double> open, colour;
  size_t fields = 0;
  for (int run = 0; run < kRuns; ++run) {
    const double start = Now();
    CDevOpenDialog dialog(*host);
    if (!CDialog::CreateFromTemplate(&dialog, IDD_DEV_OPEN, parent)) {
      std::printf("the dialog was not created\n");
      return 1;
    }
    ShowWindow(dialog.hwnd, SW_SHOW);
    UpdateWindow(dialog.hwnd);
    Pump();
    open.push_back(Now() - start);
    fields = dialog.Params.size();

    CXmlPage* xml = dialog.XmlPage(DEV_OPEN_PARAMS_XML);
    const double before = Now();
    xml->SetXmlText(description);
    colour.push_back(Now() - before);
    dialog.Destroy();
    Pump();
  }
  std::printf("fields: %zu, message boxes: %d\n", fields, g_boxes);
  Report("dialog created, form built, both texts coloured", open);
  Report("settings description coloured alone", colour);
  DestroyWindow(parent);
  host->Unload();
  delete host;
  return 0;
}
