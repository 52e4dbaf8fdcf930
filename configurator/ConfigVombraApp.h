// The configurator's application object: start-up, the message loop with the pages' idle passes, and the
// services every page uses (settings document, PC/SC watcher, help, window placements, the shared image
// list, display names). The program has exactly one, defined beside wWinMain; a test program makes its own.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <htmlhelp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "CcidWatcher.h"
#include "UiHelpers.h"
#include "Variant.h"
#include "WinApp.h"

// The HTML Help entry behind the help calls. The program keeps the system's; a test puts its own in.
struct CHtmlHelpSeam {
  // Null: HtmlHelpW of hhctrl.ocx, loaded on first use.
  HWND(WINAPI* HtmlHelp)(HWND caller, LPCWSTR file, UINT command, DWORD_PTR data) = nullptr;
};
extern CHtmlHelpSeam HtmlHelpSeam;
// HtmlHelpW through the seam; null when hhctrl.ocx or its entry cannot be had.
HWND CallHtmlHelp(HWND caller, const wchar_t* file, UINT command, DWORD_PTR data);

// The folder of a module's file with a trailing backslash (a colon stays, a backslash is dropped and one
// appended), read with a buffer that grows from 260 up to 32768 characters. Empty when it cannot be read.
void GetModuleFolder(HMODULE module, std::wstring& out);
// Portable mode: `programFolder` (with its trailing backslash) holds a file (not a folder) named
// ConfigVombra.xml or portable_mode_enabled.
bool IsPortableFolder(const std::wstring& programFolder);
// The main window's stored show state (SHOW_STATE_* bits) with the start show command merged in:
// minimising commands (2, 6, 7) add SHOW_STATE_MINIMIZED, SW_SHOWMAXIMIZED adds SHOW_STATE_MAXIMIZED.
// With HISTORY_SHOW_STATE in `history` the stored state stands alone.
int MergeShowCommand(int storedState, UINT history, int nCmdShow);
// One coordinate of a window of `size` centred on [refLow, refHigh) (halves rounded towards zero), then
// moved inside [areaLow, areaHigh): first off the far edge, then off the near one.
int CenterInRange(int refLow, int refHigh, int size, int areaLow, int areaHigh);

constexpr int kKeyTypeCount = 22;
constexpr int kVariantTypeNameCount = 7;

// The key-type names of an RCDATA 801 text: UTF-8 after its byte-order mark, else the ANSI code page; one
// name per line, CR LF (or CR) separated. `text` receives the converted text and names[0..21] point into
// it; names past the last line stay empty.
void ParseKeyTypeNames(const void* data, size_t size, std::wstring& text, const wchar_t** names);

class CTestVombra;

class CConfigVombraApp : public CWinApp {
 public:
  CConfigVombraApp();
  ~CConfigVombraApp() override;

  // 0: run the loop; -1: end the process.
  int InitInstance(int nCmdShow);
  // The message loop; the WM_QUIT wParam.
  int Run();
  bool CreateMainFrame();

  // False when there is no help file; `helpContextId` 0 opens the help's default topic.
  bool ShowHelp(UINT helpContextId) override;
  bool PreTranslateMessage(MSG* message) override;
  void OnInitMenuPopup(HMENU menu, UINT index, bool systemMenu) override;

  // The class library's tables and column chooser read and change the settings document through these.
  bool GetNoSortHeader() override { return settings.noSortHeader; }
  // Flips noSortHeader: HINT_VIEW_OPTIONS with its detail, the configuration marked modified.
  void ToggleNoSortHeader() override;
  bool GetTableGrid() override { return settings.tableGrid; }
  bool GetAltListBkColor() override { return settings.altListBkColor; }
  // The colours cached when the application was made.
  COLORREF GetHighlightColor(bool text) override { return text ? highlightTextColor : highlightColor; }
  // The main window's tooltip control, null while it has none.
  CToolTipCtrl* GetSharedToolTip() override;
  CDocument* GetSettingsDocument() override { return &settings; }
  // False while the document holds no column set of the chooser's own.
  bool GetChooserColumns(COLUMN_SET& out) override;
  void StoreChooserColumns(const COLUMN_SET& columns) override;

  // Help\Vombra_<language>.chm beside the program when it exists, else Vombra_RUS.chm in the program folder
  // (existing or not).
  void GetHelpFile(std::wstring& out);
  // True when HTML Help opened a window for the keyword.
  bool ShowHelpKeyword(const wchar_t* keyword);
  // Window slot 0 main window, 1 column chooser, 2 key filters, 3 format dialog, 4 driver connection,
  // 5 method call, 6 key dialog; showSlot 0 for the main window, -1 for dialogs.
  bool ExchangeWindowPos(bool save, HWND window, int slot, int showSlot) override;
  // Bitmap 712 as 16-pixel images over magenta; loaded on first use, null while it cannot be.
  HIMAGELIST GetImageList();

  // Each loads its table once; callers read the pointer arrays afterwards.
  void LoadKeyTypeNames();
  void LoadVariantTypeNames();
  void LoadBoolNames();
  // The index into variantTypeNames of a value type (its low 16 bits).
  static int VariantTypeIndex(uint16_t vt);
  // The value as the configurator shows it; false (out empty) for a type it does not show.
  bool VariantToDisplayText(const tVariant& value, std::wstring& out);
  // The add-in host, made on first use with its hidden window. Throws COSException when that window cannot
  // be made (the host object stays stored).
  CTestVombra* GetTestHost();
  // The watcher's reader-list callback: posts WM_USER+2 to the main window. Runs on the watcher thread.
  static void OnReadersChanged(void* context, CCcidConnection* watcher, int event);

  bool portableMode = false;
  std::wstring dataFolder;  // no trailing backslash
  ATOM mainClassAtom = 0;
  std::wstring openHelpFile;
  std::wstring tipText;
  HIMAGELIST imageList = nullptr;
  std::wstring keyTypeNamesText;
  const wchar_t* keyTypeNames[kKeyTypeCount] = {};
  std::vector<_HOTKEY_INFO> menuHotKeys;
  std::wstring variantTypeNamesText;
  const wchar_t* variantTypeNames[kVariantTypeNameCount] = {};
  std::wstring boolNamesText;
  const wchar_t* boolNames[2] = {};
  // The system's COLOR_HIGHLIGHT and COLOR_HIGHLIGHTTEXT at start: every table draws selected rows in them.
  COLORREF highlightColor = GetSysColor(COLOR_HIGHLIGHT);
  COLORREF highlightTextColor = GetSysColor(COLOR_HIGHLIGHTTEXT);
  CAppSettings settings;
  CCcidConnection readersWatcher;
  CTestVombra* testHost = nullptr;  // owned; the main window deletes it at WM_DESTROY

 private:
  static void OnTestHostChanged(void* owner, CDocument* host, const uint64_t* hints);
  // Closes HTML Help's windows when another file was open, and remembers `file` as the open one.
  void SwitchHelpFile(const std::wstring& file);
  void DestroyMainFrame();
};

// The application object as the configurator's own class.
inline CConfigVombraApp* App() { return static_cast<CConfigVombraApp*>(g_app); }
