#pragma once
// The Connection dialog's settings form: the driver's settings description turned into tabs of group
// boxes with a label and a typed input control per parameter, the "Save and close" button and the
// "Functions" split button. The form never calls the add-in: it writes the values back into the
// dialog's parameter records and tells the dialog what the user asked for with a WM_NOTIFY.
#include <windows.h>

#include <string>
#include <vector>

#include "AppPage.h"
#include "Layout.h"

class CMemXML;
class CMXNode;

// One parameter of the driver, in the order of the settings description.
struct _DRIVER_PARAM_INFO {
  int Type = 0;  // 1 String, 2 Number, 3 Boolean, 0 any other TypeValue
  std::wstring Name;
  std::wstring Value;  // the DefaultValue, then what the user chose
};

// The form's notification to its dialog: WM_NOTIFY with control id 957.
enum : UINT {
  PARAMS_NOTIFY_SAVE = 1,    // "Save and close"
  PARAMS_NOTIFY_TEST = 2,    // "Device Test"
  PARAMS_NOTIFY_ACTION = 3,  // an additional action; Action is its index in ActionNames
};
struct _PARAMS_NOTIFY {
  NMHDR hdr;
  INT32 Action;  // 0 unless PARAMS_NOTIFY_ACTION
};

// One parameter of a generated tab.
struct _XML_PARAM_INFO {
  int Type = 0;  // as _DRIVER_PARAM_INFO::Type
  std::wstring Name;
  std::vector<std::wstring> ChoiceValues;
  std::wstring MasterName, MasterValue;  // kept, drive nothing
  bool MasterEqual = false;
};

// One control of a generated tab, in creation order.
struct _XML_CONTROL_INFO {
  int Kind = 0;  // 1 group box, 2 label, 3 edit, 4 combo box, 5 check box
  HWND Wnd = nullptr;
  int Param = -1;  // index into the tab's descriptors, -1 for a group box
};

// One generated tab (dialog 961): the controls of one "Page" of the description.
class CXmlParsPage : public CAppPage {
 public:
  explicit CXmlParsPage(std::vector<_DRIVER_PARAM_INFO>* params);
  ~CXmlParsPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // save: every input control's value into the first record of Params with the same Name; a drop-down
  // list without a selection leaves its record as the description gave it.
  void UpdateData(bool save) override;

  // Control ids from 3000 on; a nameless parameter gets none, an unknown type a label only.
  void BuildControls(const CMXNode& page);
  // The scroll bar from `height` against the content; the widths then from the client area as the bar
  // leaves it (so `width` only stands for the size that came with WM_SIZE).
  void UpdateLayout(int width, int height);
  // Lines move a twentieth of the scrollable range, pages a tenth, each at least 5 pixels.
  void OnVScroll(int code, int position);

  std::vector<_DRIVER_PARAM_INFO>* Params;
  std::vector<_XML_PARAM_INFO> descriptors;
  std::vector<_XML_CONTROL_INFO> controls;
  int contentHeight = 0;
  int scrollPos = 0;

 private:
  // Indexes into controls, -1 where a control is missing.
  struct _ROW_LAYOUT {
    int label = -1;
    int input = -1;
  };
  struct _GROUP_LAYOUT {
    int box = -1;
    std::vector<_ROW_LAYOUT> rows;  // one per named parameter, in order
  };

  void DestroyControls();
  // Places every control for the client size it has now; sets contentHeight.
  void LayOut();

  std::vector<_GROUP_LAYOUT> groups;
  bool m_inLayout = false;
};

// The form (dialog 957), page 0 of the Connection dialog.
class CParamsPage : public CAppPage {
 public:
  CParamsPage();
  ~CParamsPage() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;
  // Passed to every generated tab.
  void UpdateData(bool save) override;

  // Set by the dialog right after creation.
  void SetTargets(std::vector<_DRIVER_PARAM_INFO>* params, std::vector<std::wstring>* actionNames);
  // The tabs from the parsed settings description; replaces what was built.
  void BuildForm(const CMemXML& document);
  // ActionNames and their captions from the parsed action description.
  void BuildActions(const CMemXML& document);
  void ShowFunctionsMenu();
  void PlacePage(int width, int height, HDWP batch);

  std::vector<_DRIVER_PARAM_INFO>* Params = nullptr;
  std::vector<std::wstring>* ActionNames = nullptr;
  std::vector<CXmlParsPage*> tabs;
  int currentTab = -1;
  std::vector<std::wstring> actionCaptions;

 private:
  BOOL OnInitDialog();
  void OnSize(int width, int height);
  void Notify(UINT code, int action);
  CXmlParsPage* CurrentTab() const;
  void ShowTab(int index);
  void DeleteTabs();

  CAnchorLayout layout;
  HWND tabCtrl = nullptr;
  HFONT titleFont = nullptr;
  HICON m_buttonIcon = nullptr;  // the Functions button's image under older controls
};
