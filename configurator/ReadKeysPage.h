// The Reading keys page (the main window's third tab): a tab control hosting five sub-pages made on their
// first selection (General, Mifare Classic, Mifare Plus SL3, Mifare Ultralight, Temic), with tab images
// that follow the four card kinds' Enabled switches; and the General sub-page with its key-type list.
// Helpers the sub-pages share sit here too. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

#include "AppPage.h"
#include "AppSettings.h"
#include "Exceptions.h"
#include "Layout.h"
#include "TableCtrl.h"

class CDocument;

// A typed text the settings cannot take. The sub-page stores nothing and throws this from its save;
// the host shows the sub-page and puts the focus on the edit, selected, before it lets it go on.
class CRefusedTextException : public CException {
 public:
  // The message is string `messageId` (in the thread's language); `edit` is the refused control.
  CRefusedTextException(HWND edit, UINT messageId);
  HWND edit;
};

// A decimal delay: an optional "-" and digits, -1 .. 2147483647, nothing else. True with `out` set.
bool ParseDelayText(const wchar_t* text, UINT* out);
// Whether a client point of a list view lands on an item's state icon; the item in *item.
bool HitsStateIcon(HWND list, POINT point, int* item);
// Enables control `id` of `page` and the static just before it (its label) in the tab order.
void EnableWithLabel(HWND page, UINT id, bool enable);
// Shows or hides control `id` of `page` and the static just before it.
void ShowWithLabel(HWND page, UINT id, bool show);
// Fills a drop-down list with the numbers first..last.
void FillNumberCombo(HWND combo, int first, int last);
// The check state of a box as a bool.
inline bool IsChecked(HWND page, UINT id) { return IsDlgButtonChecked(page, int(id)) == BST_CHECKED; }
inline void SetChecked(HWND page, UINT id, bool on) { CheckDlgButton(page, int(id), on ? BST_CHECKED : BST_UNCHECKED); }
// Opens a batch with `sender`, stores what `store` does, fires HINT_READ_ENABLED and marks the settings
// modified: the host changes the tab image at once.
void StoreReadEnabled(CAppSettings& settings, void* sender, bool& field, bool on);

// One group of menu 801: its Check and Uncheck commands and its key-type bits.
struct _KEY_TYPES_GROUP {
  UINT checkId;
  UINT uncheckId;
  UINT mask;
};
constexpr UINT KEY_TYPES_MASK = 0x3FFFFF;
extern const _KEY_TYPES_GROUP kKeyTypeGroups[7];
// Each Check item of menu 801 checked when all its group's types are set, each Uncheck item when none is.
void SetKeyTypesMenuChecks(HMENU menu, UINT keyTypes);

// The rows of the key-type list: row i is key type i, checked when its bit is set in the copy of the
// document's KeyTypes.
class CKeyTypesLvData : public CVirtualListViewData {
 public:
  // Makes sure the application's key-type names are loaded.
  CKeyTypesLvData();
  int GetItemCount() override { return 22; }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;
  void FillCache(int from, int to);

  UINT mask = 0;
  int cacheFrom = 0;
  int cacheTo = -1;
  int cache[22] = {};  // row -> key type
};

class CReadKeysGeneralPage : public CAppPage {
 public:
  explicit CReadKeysGeneralPage(CAppSettings& settings);

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  void UpdateData(bool save) override;

  // Stores (KeyTypes & ~clear) | set; the list follows only when that changed something.
  void ChangeKeyTypes(UINT clear, UINT set);
  void ShowKeyTypesMenu(POINT screen);
  static void OnListDataEvent(void* owner, CVirtualListViewData* data, int event);

  CAnchorLayout layout;
  CKeyTypesLvData data;
  bool delayChanged = false;  // 1214 typed into since it was loaded or stored

 private:
  BOOL OnInitDialog();
  void ToggleKeyType(int row);
  CAppSettings& m_settings;
};

enum READ_KEYS_SUBPAGE { RK_GENERAL, RK_MIFARE_C, RK_MIFARE_P, RK_MIFARE_UL, RK_TEMIC, RK_COUNT };

class CReadKeysPage : public CAppPage {
 public:
  // On the application's settings document.
  CReadKeysPage();
  explicit CReadKeysPage(CAppSettings& settings);
  ~CReadKeysPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // Load: the tab images, then each sub-page made so far. Save: each sub-page made so far; one that
  // refuses a text is shown with that text selected and the refusal goes on to the caller.
  void UpdateData(bool save) override;

  // False when the sub-page's window could not be made (nothing is shown then).
  bool ShowSubPage(int index);
  // Puts the shown sub-page over the tab control's display area (of its client rectangle for width -1,
  // else of 0, 0, width, height); with a batch the move joins it and the batch goes on.
  HDWP LayoutSubPage(int width, int height, HDWP batch);
  void UpdateTabImages();
  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);
  CAppPage* GetSubPage(int index) const { return index >= 0 && index < RK_COUNT ? subPages[index] : nullptr; }

  HWND tabCtrl = nullptr;
  HIMAGELIST tabImages = nullptr;
  int shown = -1;
  CAppPage* subPages[RK_COUNT] = {};
  int viewIndex = -1;

 private:
  BOOL OnInitDialog();
  void OnDestroy();
  CAppPage* MakeSubPage(int index);
  CAppSettings& m_settings;
};
