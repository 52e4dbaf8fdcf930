#include "AdvancedPage.h"

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Wnd.h"

namespace {

struct ConfirmBox {
  UINT Id;
  UINT Flag;
};
constexpr ConfirmBox kConfirmBoxes[] = {
    {IDC_CONFIRM_DELETE, CONFIRM_DELETE_ITEM},     {IDC_CONFIRM_REPLACE, CONFIRM_REPLACE_ITEM},
    {IDC_CONFIRM_LOAD, CONFIRM_LOAD_CONFIG},       {IDC_CONFIRM_SAVE, CONFIRM_SAVE_CONFIG},
    {IDC_CONFIRM_RESET, CONFIRM_RESET_TO_DEFAULT},
};

UINT CheckState(bool checked) { return checked ? BST_CHECKED : BST_UNCHECKED; }

}  // namespace

CAdvancedPage::CAdvancedPage() : CAdvancedPage(App()->settings) {}

CAdvancedPage::CAdvancedPage(CAppSettings& settings) : CAppPage(IDD_PAGE_ADVANCED), m_settings(settings) {}

CAdvancedPage::~CAdvancedPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
}

LRESULT CAdvancedPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CAdvancedPage::OnSettingsChanged, 0});
      UpdateData(false);
      return TRUE;
    case WM_DESTROY:
      m_settings.RemoveView(viewIndex);
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

bool CAdvancedPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (notifyCode == BN_CLICKED) {
    const bool checked = IsDlgButtonChecked(hwnd, int(id)) == BST_CHECKED;
    for (const ConfirmBox& box : kConfirmBoxes) {
      if (box.Id == id) m_settings.SetConfirmFlags(box.Flag, checked);
    }
    if (id == IDC_ALT_LIST_BK_COLOR) {
      SetViewOption(m_settings.altListBkColor, VIEW_DETAIL_ALT_LIST_BK_COLOR, checked);
    } else if (id == IDC_TABLE_GRID) {
      SetViewOption(m_settings.tableGrid, VIEW_DETAIL_TABLE_GRID, checked);
    }
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

void CAdvancedPage::SetViewOption(bool& option, UINT detail, bool checked) {
  if (option == checked) return;
  // The batch keeps the current sender: this page is one of the views that switch their tables.
  _DOC_UPDATE_INFO batch(&m_settings);
  option = checked;
  m_settings.AddViewDetail(detail);
  m_settings.UpdateAllViews(HINT_VIEW_OPTIONS);
  m_settings.SetConfigModified(true);
}

void CAdvancedPage::UpdateData(bool save) {
  if (save || !hwnd) return;
  CMuteNotifyScope mute(hwnd);
  for (const ConfirmBox& box : kConfirmBoxes) {
    CheckDlgButton(hwnd, int(box.Id), CheckState((m_settings.ConfirmFlags & box.Flag) != 0));
  }
  CheckDlgButton(hwnd, IDC_ALT_LIST_BK_COLOR, CheckState(m_settings.altListBkColor));
  CheckDlgButton(hwnd, IDC_TABLE_GRID, CheckState(m_settings.tableGrid));
}

void CAdvancedPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  if (*hints & HINT_CONFIRM_FLAGS) static_cast<CAdvancedPage*>(owner)->UpdateData(false);
}
