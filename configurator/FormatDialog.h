// The format dialog "Format properties": creates a format or edits the formats the Formats page selected
// (several at once: fields they disagree on show "*" and stay as they are unless typed over), checks a
// template with the add-in's checker and tries it live on a reader through the add-in host with a
// temporary format "FormatTemp". The settings document changes only on OK. GUI thread only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "Dialog.h"
#include "Layout.h"
#include "TableCtrl.h"

class CTestVombra;

// The fields of a format the dialog edits.
enum : UINT {
  FORMAT_FIELD_NAME = 0x1,
  FORMAT_FIELD_TEMPLATE = 0x2,
  FORMAT_FIELD_PARAMS = 0x4,
  FORMAT_FIELD_COMMENT = 0x8,
  FORMAT_FIELD_KEYFILTERS = 0x10,
  FORMAT_FIELD_SAVE = 0x20,
  FORMAT_FIELD_ALL = 0x3F,
};

// The live test's sample states.
enum : int {
  SAMPLE_WAITING = 1,  // waiting for a key, or the last result was a number
  SAMPLE_ERROR = 2,    // the last result was a driver error
  SAMPLE_NO_CONNECTION = 3,
};

// The rows of the key-filter list: row 0 "Default" (key filter id 0), row r the r-th key filter of the
// list. A row's state image is 1 unchecked, 2 checked, 3 mixed (its KeyFilterKnown bit clear).
class CShowKeyFiltersLvData : public CVirtualListViewData {
 public:
  int GetItemCount() override;
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void OnCacheHint(int from, int to) override;

  // The key filter id of a row; -1 past the end.
  int RowId(int row);
  // The state image index (1..3) of a key filter id.
  int StateImage(UINT id) const;

  const std::vector<_KEYFILTER_INFO>* keyFilters = nullptr;
  std::wstring defaultName;  // row 0's text
  UINT KeyFilterBits = 0;
  UINT KeyFilterKnown = 0;

 private:
  struct Row {
    UINT id;
    int index;  // into keyFilters; -1 for "Default"
  };
  std::vector<Row> m_cache;
  int m_cacheFrom = 0;
};

// One toggle of a key filter's membership: a bit the edited formats agreed on flips between checked and
// unchecked; any other goes mixed -> unchecked -> checked -> mixed. `id` is 0..31.
void ToggleKeyFilterBit(UINT id, UINT uniformBits, UINT& bits, UINT& known);
// A format's name as the user sees it: a preset's stored name without its line feed, marker and blank.
std::wstring FormatDisplayName(const std::wstring& storedName);
// The edit a CheckFormat error code points at: the template, the parameters, or 0 (focus stays).
UINT FormatErrorField(int32_t code);

class CFormatDialog : public CModalDialog {
 public:
  CFormatDialog() = default;
  // Destroys the window when it still exists (which ends a running test).
  ~CFormatDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  // Opening: the host state, the edited formats' fields (or a new format's defaults), the key-filter
  // list, the placement of slot 3.
  BOOL OnInitDialog();
  // OK: checks, asks, and writes the document in one batch with the dialog as sender. False leaves the
  // document unchanged and the dialog open.
  bool Apply();
  // The template checked by the add-in (loaded and left loaded when needed); "Format is correct." or the
  // add-in's error. An empty template calls nothing.
  bool Check();
  // Starts or ends the live test. Starting undoes itself and rethrows when any step fails.
  void SetTesting(bool on);
  // Undoes what the test did to the add-in: devices it opened, "FormatTemp", the reader's format id, the
  // add-in's SettingsModified; unloads an add-in the test loaded. Each step runs even when one fails.
  void EndTest();
  // fromControls: controls -> fields and ApplyFields; else fields -> controls.
  void ExchangeFields(bool fromControls);
  // Writes the dialog's fields of `bits` into `format`: whether a text or the save flag changed; always
  // true with FORMAT_FIELD_KEYFILTERS.
  bool ApplyToFormat(_FORMAT_INFO_EX& format, UINT bits);
  void OnTestTimer();
  static void OnHostChanged(void* owner, CDocument* document, const uint64_t* hints);
  // Toggles every selected row of the key-filter list.
  void ToggleSelectedKeyFilters();
  // Every key filter bit set (or clear) and definite.
  void SetAllKeyFilters(bool checked);
  // A failed check's report: the description (else string 196 with "CheckFormat") with " (position %d)"
  // unless the position is -1, in an error box; the caret put at the position in the field the code
  // names, which takes the focus.
  void ReportFormatError(int32_t code, const std::wstring& description, int32_t position);

  // --- Set by the caller for a new format (with the UniformFields bits of the fields it gives).
  bool NewFormat = true;
  UINT KeyFilterBits = 0;
  UINT KeyFilterKnown = 0;
  UINT UniformKeyFilterBits = 0;
  UINT UniformFields = 0;
  UINT ApplyFields = 0;
  bool SaveInVombra = false;

  std::wstring Name;
  std::wstring Template;
  std::wstring Params;
  std::wstring Comment;
  int EditCount = 0;
  int PresetCount = 0;

  bool Testing = false;
  int HostState = 0;  // 0 no host, 1 no component, 2 component without devices, 4 with open devices
  int SampleState = SAMPLE_WAITING;
  bool TimerOn = false;

  CShowKeyFiltersLvData keyFilterRows;
  CAnchorLayout layout;
  CSubclassedWnd list;

 private:
  // The add-in's state the live test changes and gives back.
  struct _TEST_UNDO_INFO {
    CTestVombra* Host = nullptr;  // null while no test runs
    bool LoadedByTest = false;
    bool HaveFormatId = false;
    uint32_t FormatId = 0;
    bool HaveModified = false;
    bool Modified = false;
    size_t DevicesBefore = 0;
  };

  void StartTest();
  // CheckFormat on the host; false after reporting the error.
  bool CheckWithHost(CTestVombra* host);
  bool ConfirmReplace(const std::wstring& text);
  void SetSample(UINT textId);
  void FocusName();
  void RefreshKeyFilters();
  void ShowKeyFiltersMenu(LPARAM point);
  void OnTemplateEdited();
  void DeleteTempFormat(CTestVombra* host);
  bool ApplyNew();
  bool ApplyEdit();

  CDocument* m_host = nullptr;  // the host while the dialog is its view
  int m_hostView = -1;
  _TEST_UNDO_INFO m_undo;
  HIMAGELIST m_checkImages = nullptr;
  HBRUSH m_windowBrush = nullptr;  // the system's; not owned
};
