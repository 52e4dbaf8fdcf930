// The Formats page with 100,000 formats, in the real main window: a rebuild after a view-flag toggle, a
// page-down and a jump to the end of the list, a sort by Name both ways, Select All then a click on one
// row, and a Delete of one format without the question. Each step is timed from its message to the end of
// the repaint it causes (the queue pumped until empty, one idle pass, UpdateWindow); the median of five
// is printed. For the scrolls it also prints how many rows the list view asked texts for
// (LVN_GETDISPINFO, counted at the page's window) and how many samples the counting renderer made.
// Needs a display; run by hand, e.g.
//   WINEDEBUG=-all xvfb-run -a wine build/bin/FormatsPageBench.exe
// It clears Software\Tarvelon\Vombra of the current user before and after; nothing is saved.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "FormatsPage.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "SettingsKey.h"
#include "Strings.h"

CConfigVombraApp theApp;

namespace {

constexpr int kRuns = 5;
constexpr UINT kFormatCount = 100000;
constexpr UINT kPresetEvery = 100;  // every hundredth format is a preset, so the toggle changes the rows
constexpr double kFrameMs = 16.7;

int g_samples = 0;
int g_dispInfos = 0;
int g_notifications = 0;  // every WM_NOTIFY the page gets
double g_inPage = 0;      // milliseconds spent in the page's WM_NOTIFY handling (outermost calls)
int g_depth = 0;
std::set<int> g_describedRows;

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

bool CountingRender(const std::wstring& formatTemplate, const std::wstring&, UINT keyType,
                    const _KEYNUM_INFO& key, std::wstring& out) {
  ++g_samples;
  out = formatTemplate + L":" + std::to_wstring(keyType) + L":" + std::to_wstring(key.Data[0]);
  return true;
}

// Counts what the page is told on its way to it, and the time the page spends on it.
LRESULT CALLBACK CountNotifications(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR) {
  if (message != WM_NOTIFY) return DefSubclassProc(wnd, message, wParam, lParam);
  ++g_notifications;
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header->code == LVN_GETDISPINFOW) {
    ++g_dispInfos;
    g_describedRows.insert(reinterpret_cast<const NMLVDISPINFOW*>(lParam)->item.iItem);
  }
  const double start = g_depth == 0 ? Now() : 0;
  ++g_depth;
  const LRESULT result = DefSubclassProc(wnd, message, wParam, lParam);
  if (--g_depth == 0) g_inPage += Now() - start;
  return result;
}

int WINAPI AnswerNo(HWND, LPCWSTR, LPCWSTR, UINT) { return IDNO; }
HRESULT WINAPI AnswerCancel(const TASKDIALOGCONFIG*, int* button, int*, BOOL* checked) {
  if (button) *button = IDCANCEL;
  if (checked) *checked = FALSE;
  return S_OK;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

class Bench {
 public:
  Bench(CMainFrame* frame, CFormatsPage* page) : m_frame(frame), m_page(page) {}

  HWND List() const { return m_page->table.hwnd; }

  // What the program's loop does before it waits: every queued message, one idle pass, then the paint.
  void Settle() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
      if (!theApp.PumpMessage()) break;
    }
    m_page->OnIdle();
    UpdateWindow(m_frame->hwnd);
    UpdateWindow(List());
  }

  void Key(UINT vk) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = keys[VK_SHIFT] = keys[VK_MENU] = 0;
    SetKeyboardState(keys);
    SendMessageW(List(), WM_KEYDOWN, vk, 0);
  }

  LRESULT Notify(NMHDR* header, UINT code) {
    header->hwndFrom = List();
    header->idFrom = IDC_FORMATS_LIST;
    header->code = code;
    return SendMessageW(m_page->hwnd, WM_NOTIFY, IDC_FORMATS_LIST, LPARAM(header));
  }

  void ClickNameHeader() {
    NMLISTVIEW click{};
    click.iItem = -1;
    click.iSubItem = m_page->table.GetHeaderIndex(FMTCOL_NAME);
    Notify(&click.hdr, LVN_COLUMNCLICK);
  }

  // A left click in the Name cell of `row`. The button-up is queued first: the list view's press waits
  // for it in its own drag-detection loop.
  void ClickRow(int row) {
    RECT cell{};
    cell.top = m_page->table.GetHeaderIndex(FMTCOL_NAME);
    cell.left = LVIR_LABEL;
    SendMessageW(List(), LVM_GETSUBITEMRECT, row, LPARAM(&cell));
    const LPARAM at = MAKELPARAM((cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2);
    PostMessageW(List(), WM_LBUTTONUP, 0, at);
    SendMessageW(List(), WM_LBUTTONDOWN, MK_LBUTTON, at);
  }

  void SelectOnly(int row) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(List(), LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(List(), LVM_SETITEMSTATE, row, LPARAM(&state));
  }

  int SelectedRows() const { return int(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0)); }
  int Rows() const { return int(SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0)); }

  void InvalidateSamples() {
    for (auto& format : theApp.settings.formats) format.Flags &= ~UINT(FORMAT_SAMPLE_VALID);
  }
  void ResetCounts() {
    g_samples = 0;
    g_dispInfos = 0;
    g_notifications = 0;
    g_inPage = 0;
    g_describedRows.clear();
  }

  template <class F>
  double Time(F step) {
    const double start = Now();
    step();
    Settle();
    return Now() - start;
  }

 private:
  CMainFrame* m_frame;
  CFormatsPage* m_page;
};

void Print(const char* name, const std::vector<double>& times, double budget, const char* budgetName) {
  const double median = Median(times);
  std::printf("%-34s median %8.1f ms  (runs:", name, median);
  for (double t : times) std::printf(" %.1f", t);
  std::printf(")  %s %s\n", median <= budget ? "within" : "MISSES", budgetName);
}

void FillDocument(CAppSettings& settings, const std::wstring& configPath) {
  settings.ResetConfig(false);
  settings.ResetSettings();
  settings.SetConfigPath(configPath.c_str());
  settings.formats.clear();
  settings.formats.reserve(kFormatCount);
  for (UINT id = 1; id <= kFormatCount; ++id) {
    _FORMAT_INFO_EX format;
    format.Id = id;
    // Names in an order unlike the ids, so both sorts move rows.
    const bool preset = id % kPresetEvery == 0;
    format.Name = (preset ? L"\n[P] Preset " : L"Format ") + std::to_wstring((id * 7919u) % kFormatCount);
    format.Template = L"%.3u,%.5u";
    format.Params = L"b2 w01";
    format.Comment = L"bench";
    format.KeyFilters = 1;
    format.Flags = (preset ? UINT(FORMAT_PRESET) : 0u) | UINT(FORMAT_SAVE_IN_VOMBRA);
    settings.formats.push_back(format);
  }
  settings.formatsNewId = kFormatCount + 1;
  settings.ClearFormatIndex();
  settings.formatsViewFlags = 7;
  settings.fmtFilter = 0;
  settings.formatsSortColumn = 0;
  settings.ConfirmFlags = 0;  // Delete removes without a question
  for (auto& column : settings.formatsColumns) column.flags |= COLUMN_VISIBLE;
  settings.lastKeyType = 1;
  settings.lastKey.Length = 5;
  for (BYTE i = 0; i < 5; ++i) settings.lastKey.Data[i] = BYTE(0x10 + i);
}

int RunBench(const std::wstring& folder) {
  CAppSettings& settings = theApp.settings;
  FillDocument(settings, folder + L"\\ConfigVombra.xml");
  SampleRendererSeam.Render = &CountingRender;

  const double createStart = Now();
  if (!theApp.CreateMainFrame()) {
    std::printf("the main window could not be made\n");
    return 1;
  }
  auto* frame = static_cast<CMainFrame*>(theApp.mainWnd);
  ShowWindow(frame->hwnd, SW_SHOWNORMAL);
  if (!frame->SelectPage(1)) {
    std::printf("the Formats page could not be selected\n");
    return 1;
  }
  auto* page = dynamic_cast<CFormatsPage*>(frame->GetPage(1));
  if (!page || !page->table.hwnd) {
    std::printf("no Formats page\n");
    return 1;
  }
  SetWindowSubclass(page->hwnd, &CountNotifications, 1, 0);
  Bench bench(frame, page);
  bench.Settle();
  std::printf("%u formats (%u presets); the page open and painted in %.1f ms; %d rows shown\n", kFormatCount,
              kFormatCount / kPresetEvery, Now() - createStart, bench.Rows());
  const std::string frameBudget = "a frame or two (" + std::to_string(int(2 * kFrameMs)) + " ms)";

  // The view-flag toggle: presets off and on again, each a rebuild of the rows.
  std::vector<double> toggles;
  for (int run = 0; run < kRuns; ++run) {
    const UINT before = settings.formatsViewFlags;
    toggles.push_back(bench.Time([&] { SendMessageW(page->hwnd, WM_COMMAND, ID_FORMATS_SHOW_PRESETS, 0); }));
    std::printf("  view flags %u -> %u: %d rows\n", before, settings.formatsViewFlags, bench.Rows());
  }
  if (!(settings.formatsViewFlags & FORMATS_VIEW_PRESETS))
    SendMessageW(page->hwnd, WM_COMMAND, ID_FORMATS_SHOW_PRESETS, 0);
  bench.Settle();
  Print("rebuild after a view-flag toggle", toggles, 1000, "well under a second");

  // What a repaint of the whole list costs by itself (every visible row asked again).
  {
    std::vector<double> paints;
    for (int run = 0; run < kRuns; ++run) {
      bench.ResetCounts();
      paints.push_back(bench.Time([&] { InvalidateRect(page->table.hwnd, nullptr, TRUE); }));
    }
    std::printf("  a repaint: %zu rows described, %d LVN_GETDISPINFO, %.1f ms in the page\n",
                g_describedRows.size(), g_dispInfos, g_inPage);
    Print("repaint of the list (reference)", paints, 2 * kFrameMs, frameBudget.c_str());
  }

  // Scrolls with every sample to be made again (as after a new key). The first page-down from the top
  // only moves the focus to the page's last row; the second scrolls a page: both are timed.
  struct Scroll {
    const char* name;
    UINT vk;
    int before;  // page-downs made untimed first
  };
  const Scroll scrolls[] = {{"page-down from the top row", VK_NEXT, 0},
                            {"page-down from the page's end", VK_NEXT, 1},
                            {"jump to the end", VK_END, 0}};
  for (const Scroll& scroll : scrolls) {
    std::vector<double> times, keys;
    std::printf("  %s:", scroll.name);
    for (int run = 0; run < kRuns; ++run) {
      bench.SelectOnly(0);
      bench.Key(VK_HOME);
      for (int i = 0; i < scroll.before; ++i) bench.Key(VK_NEXT);
      bench.Settle();
      bench.InvalidateSamples();
      InvalidateRect(page->table.hwnd, nullptr, TRUE);
      bench.Settle();
      bench.InvalidateSamples();
      bench.ResetCounts();
      double keyDone = 0;
      times.push_back(bench.Time([&] {
        const double start = Now();
        bench.Key(scroll.vk);
        keyDone = Now() - start;
      }));
      keys.push_back(keyDone);
      std::printf(" [%zu rows described, %d LVN_GETDISPINFO, %d samples, top %d, %.1f ms in the page]",
                  g_describedRows.size(), g_dispInfos, g_samples,
                  int(SendMessageW(bench.List(), LVM_GETTOPINDEX, 0, 0)), g_inPage);
    }
    std::printf("\n  of which the key message itself: median %.1f ms\n", Median(keys));
    Print(scroll.name, times, 2 * kFrameMs, frameBudget.c_str());
  }

  // Sort by Name: the header clicks alternate the direction; each time goes to the direction it made.
  std::vector<double> ascending, descending;
  for (int clicks = 0; clicks < 4 * kRuns && (ascending.size() < kRuns || descending.size() < kRuns);
       ++clicks) {
    const double t = bench.Time([&] { bench.ClickNameHeader(); });
    const int key = settings.formatsSortColumn;
    if (key == FMTCOL_NAME + 1 && ascending.size() < kRuns) ascending.push_back(t);
    if (key == -(FMTCOL_NAME + 1) && descending.size() < kRuns) descending.push_back(t);
  }
  Print("sort by Name, ascending", ascending, 1000, "well under a second");
  Print("sort by Name, descending", descending, 1000, "well under a second");

  // Select All, then a click on one row (the click drops the other selections).
  std::vector<double> selectAll, clicks;
  int selectedAll = 0, selectedAfterClick = 0;
  for (int run = 0; run < kRuns; ++run) {
    bench.SelectOnly(0);
    bench.Key(VK_HOME);
    bench.Settle();
    bench.ResetCounts();
    selectAll.push_back(bench.Time([&] { SendMessageW(page->hwnd, WM_COMMAND, ID_FORMAT_SELECT_ALL, 0); }));
    selectedAll = bench.SelectedRows();
    const int selectAllNotes = g_notifications;
    const double selectAllInPage = g_inPage;
    bench.ResetCounts();
    clicks.push_back(bench.Time([&] { bench.ClickRow(3); }));
    selectedAfterClick = bench.SelectedRows();
    if (run == 0)
      std::printf("  notifications to the page: Select All %d (%.1f ms in the page), the click %d"
                  " (%.1f ms)\n", selectAllNotes, selectAllInPage, g_notifications, g_inPage);
  }
  std::printf("  selected after Select All: %d; after the click: %d\n", selectedAll, selectedAfterClick);
  Print("Select All", selectAll, 1000, "well under a second");
  Print("click on one row after Select All", clicks, 2 * kFrameMs, frameBudget.c_str());

  // Delete of one non-preset format, the question off.
  std::vector<double> deletes;
  for (int run = 0; run < kRuns; ++run) {
    int row = 1 + run;
    while (row < int(page->data.rows.size()) &&
           (settings.formats[size_t(page->data.rows[size_t(row)])].Flags & FORMAT_PRESET))
      ++row;
    bench.SelectOnly(row);
    bench.Settle();
    const size_t before = settings.formats.size();
    deletes.push_back(bench.Time([&] { bench.Key(VK_DELETE); }));
    if (settings.formats.size() != before - 1)
      std::printf("  delete %d removed %zu formats\n", run, before - settings.formats.size());
  }
  std::printf("  formats left: %zu\n", settings.formats.size());
  Print("delete of one format", deletes, 1000, "well under a second");

  RemoveWindowSubclass(page->hwnd, &CountNotifications, 1);
  DestroyWindow(frame->hwnd);
  delete frame;
  theApp.mainWnd = nullptr;
  SampleRendererSeam = CSampleRendererSeam();
  settings.SetConfigPath(L"");
  return 0;
}

}  // namespace

int wmain() {
  g_hInstance = GetModuleHandleW(nullptr);
  g_hResInstance = g_hInstance;
  SetUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  MessageBoxSeam.MessageBox = &AnswerNo;
  MessageBoxSeam.TaskDialogIndirect = &AnswerCancel;

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"FormatsPageBench";
  CreateDirectoryW(folder.c_str(), nullptr);
  int result;
  {
    CleanSettingsKeys registry;  // the settings key absent before and after
    result = RunBench(folder);
  }
  DeleteFileW((folder + L"\\ConfigVombra.xml").c_str());
  RemoveDirectoryW(folder.c_str());
  std::fflush(stdout);
  return result;
}
