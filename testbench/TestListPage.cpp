#include "TestListPage.h"

#include <exception>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MessageBox.h"
#include "Strings.h"
#include "UiHelpers.h"
#include "TestVombra.h"

CConfigVombraApp* ConfigApp() { return dynamic_cast<CConfigVombraApp*>(g_app); }

CAppSettings& BenchSettings() {
  if (CConfigVombraApp* app = ConfigApp()) return app->settings;
  static CAppSettings own;
  return own;
}

bool BenchDisplayText(const tVariant& value, std::wstring& out) {
  out.clear();
  CConfigVombraApp* app = ConfigApp();
  return app && app->VariantToDisplayText(value, out);
}

std::wstring BenchTypeName(uint16_t vt) {
  std::wstring name;
  if (!LoadStr(IDS_VARIANT_TYPE_FIRST + UINT(CConfigVombraApp::VariantTypeIndex(vt)), name) || name.empty()) name = L"?";
  return name;
}

std::wstring ExceptionText(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  return text;
}

int CTestLvData::DataColumn(int subItem) const {
  if (!visibleColumns || subItem < 0 || size_t(subItem) >= visibleColumns->size()) return -1;
  return (*visibleColumns)[size_t(subItem)];
}

void CTestLvData::PutText(NMLVDISPINFOW* info, const std::wstring* text) {
  LVITEMW& item = info->item;
  if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0) return;
  if (text) {
    lstrcpynW(item.pszText, text->c_str(), item.cchTextMax);
  } else {
    item.pszText[0] = L'\0';
  }
}

CTestListPage::CTestListPage(UINT templateId, UINT listId, COLUMN_SET_KIND kind, UINT firstTitle, UINT viewDetail,
                             CTestLvData& rows, CTestVombra* host, CAppSettings* settings)
    : CAppPage(templateId),
      host(host),
      m_listId(listId),
      m_kind(kind),
      m_viewDetail(viewDetail),
      m_rows(rows),
      settings(settings ? *settings : BenchSettings()) {
  for (UINT i = 0; i < 6; ++i) m_titles[i] = firstTitle + i;
}

CTestListPage::~CTestListPage() {
  if (IsRealHandle(hwnd)) Destroy();
  settings.RemoveView(viewIndex);
}

COLUMN_SET& CTestListPage::Columns() {
  return m_kind == CS_PROPERTIES ? settings.propertiesColumns : settings.methodsColumns;
}

int& CTestListPage::SortColumn() {
  return m_kind == CS_PROPERTIES ? settings.propertiesSortColumn : settings.methodsSortColumn;
}

void CTestListPage::LoadColumns() {
  COLUMN_SET set = Columns();
  if (set.size() != 6) set = DefaultColumnSet(m_kind);
  table.SetColumns(set, m_titles);
}

bool CTestListPage::IsLoaded() const { return host && host->IsLoaded() && host->Component; }

int CTestListPage::FirstSelectedRow() const {
  if (!table.hwnd) return -1;
  return int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
}

int CTestListPage::SelectedCount() const {
  return table.hwnd ? int(SendMessageW(table.hwnd, LVM_GETSELECTEDCOUNT, 0, 0)) : 0;
}

void CTestListPage::ShowError(const std::exception& e) {
  ShowMessageBox(ExceptionText(e).c_str(), MB_OK | MB_ICONERROR, hwnd);
}

void CTestListPage::Refill() {
  try {
    m_rows.Refill();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  buttonsDirty = true;
}

LRESULT CTestListPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      CAppPage::OnInitDialog();
      layout.owner = hwnd;
      layout.AddControl(int(m_listId), ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
      for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (UINT(GetDlgCtrlID(child)) != m_listId) layout.AddWindow(child, ANCHOR_LEFT | ANCHOR_BOTTOM);
      }
      layout.Capture();
      if (HWND list = GetDlgItem(hwnd, int(m_listId))) {
        const DWORD exStyle = LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP | LVS_EX_DOUBLEBUFFER;
        SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle, exStyle);
      }
      CConfigVombraApp* app = ConfigApp();
      if (table.Attach(hwnd, int(m_listId))) {
        LoadColumns();
        table.EnableAltRowColor(settings.altListBkColor);
        if (g_app) table.SetToolTip(g_app->GetSharedToolTip());
        table.UpdateColumns();
      }
      if (!host && app) {
        try {
          host = app->GetTestHost();
        } catch (const std::exception&) {
          host = nullptr;  // no host window: the tab stays empty
        }
      }
      m_rows.host = host;
      m_rows.columns = &table.columns;
      m_rows.visibleColumns = &table.visibleColumns;
      m_rows.sort = SortColumn();
      m_rows.owner = this;
      m_rows.callback = &CTestListPage::OnListDataChanged;
      UpdateData(false);
      if (viewIndex < 0) viewIndex = settings.AddView({this, &CTestListPage::OnSettingsChanged, 0});
      return TRUE;
    }
    case WM_SIZE: {
      const LRESULT answer = CAppPage::WindowProc(wnd, message, wParam, lParam);
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return answer;
    }
    case WM_COMMANDHELP: {
      const std::wstring name = SelectedName();
      CConfigVombraApp* app = ConfigApp();
      if (app && (name.empty() || !app->ShowHelpKeyword(name.c_str()))) app->ShowHelp(templateId);
      return TRUE;
    }
    case WM_DESTROY:
      settings.RemoveView(viewIndex);
      if (table.hwnd) {
        table.RemoveHeaderTips();
        table.Destroy();
      }
      table.hwnd = nullptr;
      m_rows.callback = nullptr;
      m_rows.owner = nullptr;
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

void CTestListPage::UpdateData(bool save) {
  if (save || !hwnd || !table.hwnd) return;
  LoadColumns();
  table.UpdateColumns();
  Refill();
  ApplyGridLines(table.hwnd);
  UpdateButtons();
}

void CTestListPage::OnIdle() {
  if (buttonsDirty) UpdateButtons();
}

void CTestListPage::OnListDataChanged(void* owner, CVirtualListViewData* data, int) {
  auto* page = static_cast<CTestListPage*>(owner);
  if (!page->table.hwnd) return;
  RefreshListRows(page->table, *data);
  const int sort = page->SortColumn();
  if (sort != page->table.sort) page->table.SetSort(sort);
}

void CTestListPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* page = static_cast<CTestListPage*>(owner);
  if (!page->hwnd || !page->table.hwnd || !(*hints & HINT_VIEW_OPTIONS)) return;
  const UINT detail = page->settings.GetViewDetail();
  if (detail & page->m_viewDetail) {
    SendMessageW(page->table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    page->LoadColumns();
    page->table.UpdateColumns();
    page->Refill();
  }
  if (detail & VIEW_DETAIL_ALT_LIST_BK_COLOR) page->table.EnableAltRowColor(page->settings.altListBkColor);
  if (detail & VIEW_DETAIL_TABLE_GRID) ApplyGridLines(page->table.hwnd);
}

bool CTestListPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id != m_listId || !table.hwnd || header->hwndFrom != table.hwnd) return CAppPage::OnNotify(id, header, result);
  switch (header->code) {
    case TBLN_SORT: {
      const int sort = reinterpret_cast<_TBLN_SORT_INFO*>(header)->sort;
      if (sort != SortColumn()) {
        SortColumn() = sort;
        if (!settings.configModified) {
          _DOC_UPDATE_INFO batch(&settings, this);
          settings.SetConfigModified(true);
          settings.EndUpdate(batch);
        }
      }
      if (sort != m_rows.sort) {
        m_rows.sort = sort;
        Refill();
      }
      *result = 1;
      return true;
    }
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      if (!settings.configModified) {
        _DOC_UPDATE_INFO batch(&settings, this);
        settings.SetConfigModified(true);
        settings.EndUpdate(batch);
      }
      COLUMN_SET set;
      for (const _COLUMN_INFO& column : table.columns)
        set.push_back({column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
      Columns() = set;
      if (change->what & COLCHANGE_VISIBLE) Refill();
      *result = 1;
      return true;
    }
    case TBLN_RESETCOLUMNS:
      *result = ResetColumnsToDefaults(settings, hwnd, *reinterpret_cast<_TBLN_RESET_INFO*>(header), m_kind);
      return true;
    case NM_RCLICK:
      *result = 1;
      return true;
    case LVN_GETDISPINFOW:
      m_rows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT:
      return true;
    case LVN_ITEMCHANGED: {
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      if ((change->uChanged & LVIF_STATE) && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED))
        buttonsDirty = true;
      return false;
    }
    case LVN_ODSTATECHANGED: {
      auto* change = reinterpret_cast<NMLVODSTATECHANGE*>(header);
      if ((change->uNewState ^ change->uOldState) & LVIS_SELECTED) buttonsDirty = true;
      return false;
    }
    case NM_RETURN: {
      const bool one = SelectedCount() == 1;
      if (one) OnActivateRow();
      *result = one ? 1 : 0;
      return true;
    }
    case NM_DBLCLK: {
      auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
      if (click->iItem < 0) return false;
      LVHITTESTINFO hit{};
      hit.pt = click->ptAction;
      SendMessageW(table.hwnd, LVM_SUBITEMHITTEST, 0, LPARAM(&hit));
      if (hit.iItem < 0 || (hit.flags & LVHT_ONITEMSTATEICON) || !(hit.flags & LVHT_ONITEM)) return false;
      OnActivateRow();
      *result = 1;
      return true;
    }
    default:
      return false;
  }
}
