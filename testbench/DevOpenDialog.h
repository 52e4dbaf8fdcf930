#pragma once
// The Connection dialog: opens a reader of the hosted add-in the way the platform's equipment settings
// do. It asks the driver for its version, settings description and additional actions, shows the
// settings as a generated form beside the raw XML, tests the device, runs the actions, and on "Save and
// close" hands every parameter to the add-in and opens the reader. GUI thread only.
#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "Dialog.h"
#include "ParamsPage.h"

class CAppPage;
class CMemXML;
class CTestVombra;

enum DEV_OPEN_PAGE { DEV_OPEN_FORM, DEV_OPEN_PARAMS_XML, DEV_OPEN_ACTIONS_XML, DEV_OPEN_PAGE_COUNT };

// The records of a parsed settings description: every element three levels below the root's "Settings"
// (name without case) that carries a "Name". False when the document has no "Settings" element.
bool ReadDriverParams(const CMemXML& document, std::vector<_DRIVER_PARAM_INFO>& out);
// A Number parameter's value as "SetParameter" gets it: signed decimal, anything else 0.
int32_t DriverNumberValue(const std::wstring& value);

class CDevOpenDialog : public CModalDialog {
 public:
  // On the application's host.
  CDevOpenDialog();
  explicit CDevOpenDialog(CTestVombra& host);
  ~CDevOpenDialog() override;

  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  // Version, settings and action descriptions into the pages; false (after its box) when the driver
  // refused one of them.
  bool LoadDriverInfo();
  // "SetParameter" for each record in order, stopping at the first refusal (its reason in a box).
  bool ApplyParameters();
  bool TestDevice();
  bool RunAction(const std::wstring& name);
  // The form's request: 1 save and close, 2 device test, 3 action `action`. *handled false for others.
  bool OnPageNotify(UINT code, int action, bool* handled);

  bool CreatePage(int index);
  bool SelectPage(int index);
  // Puts the current page over the tab control's display area: of its client rectangle when width is
  // -1, else of a tab control of width x height; into `batch` when one is given.
  void PlacePage(int width, int height, HDWP batch);

  CParamsPage* Form() const;
  class CXmlPage* XmlPage(int index) const;

  std::wstring DeviceId;  // what "Open" returned, once the dialog ended with 1
  HWND tabCtrl = nullptr;
  CAppPage* pages[DEV_OPEN_PAGE_COUNT] = {};
  int currentPage = -1;
  std::vector<_DRIVER_PARAM_INFO> Params;
  std::vector<std::wstring> ActionNames;

 private:
  BOOL OnInitDialog();
  void OnSize(int cx, int cy);
  void DeletePages();
  void SetPageText(int index, const std::wstring& text);
  void ShowAddinError();
  void ShowError(const std::exception& e);
  void UpdatePages();

  CTestVombra& m_host;
};
