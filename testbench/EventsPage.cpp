#include "EventsPage.h"

#include <windowsx.h>

#include <algorithm>
#include <exception>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MessageBox.h"
#include "Strings.h"
#include "UiHelpers.h"
#include "TestLog.h"
#include "TestVombra.h"

namespace {

constexpr UINT kColumnTitles[EVTCOL_COUNT] = {IDS_EVTCOL_TIME, IDS_EVTCOL_SOURCE, IDS_EVTCOL_MESSAGE,
                                              IDS_EVTCOL_DATA};
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshPeriod = 1000;  // ms

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

}  // namespace

// --- CTestLogView ---

void FormatEventTime(int32_t milliseconds, std::wstring& out) {
  out.clear();
  if (milliseconds == 0) return;
  wchar_t text[32];
  const uint32_t ms = uint32_t(milliseconds);
  swprintf(text, 32, L"%.2u:%.2u:%.2u.%.3u", (ms / 3600000) % 24, (ms / 60000) % 60, (ms / 1000) % 60, ms % 1000);
  out = text;
}

int CTestLogView::GetItemCount() {
  if (!log || !log->IsOpen()) return 0;
  return int(std::min<size_t>(log->GetLineCount(), size_t(INT_MAX)));
}

void CTestLogView::LoadRow(int row, _TEST_LOG_ROW_INFO& out) {
  out = _TEST_LOG_ROW_INFO();
  const int count = GetItemCount();
  if (row < 0 || row >= count) return;
  _TEST_EVENT_INFO record;
  ++linesRead;
  if (!log->ReadEvent(size_t(count - 1 - row), record)) return;
  FormatEventTime(record.Time, out.Time);
  out.Kind = record.Kind;
  out.Image = record.Kind >= 1 && record.Kind <= 3 ? record.Kind - 1 : -1;
  out.Source = record.Source;
  out.Message = record.Message;
  out.Data = record.Data;
}

void CTestLogView::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  if (!(item.mask & (LVIF_TEXT | LVIF_IMAGE))) return;
  const int column = visibleColumns && item.iSubItem >= 0 && size_t(item.iSubItem) < visibleColumns->size()
                         ? (*visibleColumns)[item.iSubItem]
                         : -1;
  const _TEST_LOG_ROW_INFO* row = nullptr;
  if (!cache.empty() && item.iItem >= cacheFirst && item.iItem < cacheFirst + int(cache.size())) {
    row = &cache[item.iItem - cacheFirst];
  } else {
    LoadRow(item.iItem, spare);
    row = &spare;
  }
  if (item.mask & LVIF_TEXT) {
    const std::wstring* text = column == EVTCOL_TIME      ? &row->Time
                               : column == EVTCOL_SOURCE  ? &row->Source
                               : column == EVTCOL_MESSAGE ? &row->Message
                               : column == EVTCOL_DATA    ? &row->Data
                                                          : nullptr;
    if (item.pszText && item.cchTextMax > 0) {
      item.pszText[0] = 0;
      if (text) lstrcpynW(item.pszText, text->c_str(), item.cchTextMax);
    }
  }
  if (item.mask & LVIF_IMAGE) item.iImage = row->Image;
}

void CTestLogView::OnCacheHint(int from, int to) {
  if (!cache.empty() && from >= cacheFirst && to < cacheFirst + int(cache.size())) return;
  FreeCache();
  if (from < 0 || to < from) return;
  cacheFirst = from;
  cache.resize(size_t(to - from) + 1);
  FillCache();
}

void CTestLogView::FreeCache() {
  std::vector<_TEST_LOG_ROW_INFO>().swap(cache);
  cacheFirst = 0;
}

void CTestLogView::FillCache() {
  if (cache.empty()) return;
  const int count = GetItemCount();
  const int rows = std::max(0, std::min(int(cache.size()), count - cacheFirst));
  for (int i = 0; i < rows; ++i) LoadRow(cacheFirst + i, cache[size_t(i)]);
  for (size_t i = size_t(rows); i < cache.size(); ++i) cache[i] = _TEST_LOG_ROW_INFO();
}

// --- CEventsPage ---

CEventsPage::CEventsPage() : CEventsPage(*App()->GetTestHost(), App()->settings) {}

CEventsPage::CEventsPage(CTestVombra& host, CAppSettings& settings)
    : CAppPage(IDD_TEST_EVENTS), m_host(host), m_settings(settings) {}

CEventsPage::~CEventsPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
}

LRESULT CEventsPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CAppPage::WindowProc(wnd, message, wParam, lParam);
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return answer;
    }
    case WM_TIMER:
      if (wParam != kRefreshTimer) break;
      OnTimer();
      return 0;
    case WM_COMMANDHELP:
      if (OnHelp()) return 1;
      break;
    case WM_DESTROY:
      OnDestroy();
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CEventsPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  layout.owner = hwnd;
  layout.AddControl(IDC_EVENTS_LIST, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.AddControl(ID_EVENTS_CLEAR, ANCHOR_LEFT | ANCHOR_BOTTOM);
  layout.Capture();

  if (HWND list = GetDlgItem(hwnd, IDC_EVENTS_LIST)) {
    const DWORD exStyle = LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle, exStyle);
    // The list owns its image list (no LVS_SHAREIMAGELISTS): it goes with the list.
    HIMAGELIST images = ImageList_LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDB_TEST_EVENT_IMAGES), 16, 4,
                                             RGB(0, 128, 128), IMAGE_BITMAP, LR_CREATEDIBSECTION);
    if (images) SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(images));
  }
  if (table.Attach(hwnd, IDC_EVENTS_LIST)) {
    LoadColumns();
    table.EnableAltRowColor(m_settings.altListBkColor);
    if (g_app) table.SetToolTip(g_app->GetSharedToolTip());
    table.UpdateColumns();
  }
  rows.log = &m_host.GetLog();
  rows.visibleColumns = &table.visibleColumns;
  rows.owner = this;
  rows.callback = &CEventsPage::OnListDataChanged;
  UpdateData(false);
  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CEventsPage::OnSettingsChanged, 0});
  return TRUE;
}

void CEventsPage::OnDestroy() {
  if (refreshTimer) KillTimer(hwnd, kRefreshTimer);
  refreshTimer = false;
  refreshPending = false;
  m_settings.RemoveView(viewIndex);
  if (table.hwnd) {
    table.RemoveHeaderTips();
    table.Destroy();
  }
  table.hwnd = nullptr;
  rows.callback = nullptr;
  rows.owner = nullptr;
}

void CEventsPage::LoadColumns() {
  COLUMN_SET set = m_settings.eventsColumns;
  if (set.size() != EVTCOL_COUNT) set = DefaultColumnSet(CS_EVENTS);
  table.SetColumns(set, kColumnTitles);
}

void CEventsPage::StoreColumns() {
  COLUMN_SET set;
  for (const _COLUMN_INFO& column : table.columns)
    set.push_back({column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
  m_settings.eventsColumns = set;
}

void CEventsPage::UpdateData(bool save) {
  if (save || !hwnd || !table.hwnd) return;
  CMuteNotifyScope mute(hwnd);
  LoadColumns();
  table.UpdateColumns();
  ReloadRows();
  ApplyGridLines(table.hwnd);
}

void CEventsPage::ReloadRows() {
  rows.FillCache();
  rows.FireEvent();
}

void CEventsPage::OnListDataChanged(void* owner, CVirtualListViewData* data, int) {
  auto* page = static_cast<CEventsPage*>(owner);
  if (page->table.hwnd) RefreshListRows(page->table, *data);
}

void CEventsPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* page = static_cast<CEventsPage*>(owner);
  if (!page->hwnd || !page->table.hwnd || !(*hints & HINT_VIEW_OPTIONS)) return;
  const UINT detail = page->m_settings.GetViewDetail();
  if (detail & VIEW_DETAIL_EVENTS_COLUMNS) {
    SendMessageW(page->table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    page->LoadColumns();
    page->table.UpdateColumns();
    page->ReloadRows();
  }
  if (detail & VIEW_DETAIL_ALT_LIST_BK_COLOR) page->table.EnableAltRowColor(page->m_settings.altListBkColor);
  if (detail & VIEW_DETAIL_TABLE_GRID) ApplyGridLines(page->table.hwnd);
}

void CEventsPage::OnNewEvents() {
  refreshPending = true;
  if (refreshTimer || !hwnd) return;
  refreshTimer = SetTimer(hwnd, kRefreshTimer, kRefreshPeriod, nullptr) != 0;
}

void CEventsPage::OnTimer() {
  if (refreshPending) {
    refreshPending = false;
    try {
      ReloadRows();
    } catch (const std::exception&) {
      // A timer-driven refresh stays silent; the next tick or event tries again.
    }
    return;
  }
  KillTimer(hwnd, kRefreshTimer);
  refreshTimer = false;
}

void CEventsPage::ClearLog() {
  m_host.GetLog().Clear();
  ReloadRows();
}

void CEventsPage::SetAddinLanguage(WORD language) { m_host.SetLanguage(language); }

void CEventsPage::ShowError(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
}

bool CEventsPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  try {
    switch (id) {
      case ID_EVENTS_CLEAR:
        ClearLog();
        return false;
      case ID_EVENTS_ENGLISH:
        SetAddinLanguage(LANG_ENGLISH);
        return false;
      case ID_EVENTS_RUSSIAN:
        SetAddinLanguage(LANG_RUSSIAN);
        return false;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ShowError(e);
    return false;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

void CEventsPage::ShowListMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU menu = LoadPopup(IDR_TEST_EVENTS_MENU, &bar);
  if (!menu) return;
  const WORD language = PRIMARYLANGID(LANGIDFROMLCID(m_host.ThreadLocale));
  if (language == LANG_ENGLISH || language == LANG_RUSSIAN) {
    CheckMenuRadioItem(menu, ID_EVENTS_ENGLISH, ID_EVENTS_RUSSIAN,
                       language == LANG_ENGLISH ? ID_EVENTS_ENGLISH : ID_EVENTS_RUSSIAN, MF_BYCOMMAND);
  }
  TrackPopupMenu(menu, TPM_LEFTBUTTON, screen.x, screen.y, 0, hwnd, nullptr);
  DestroyMenu(bar);
}

bool CEventsPage::OnHelp() {
  auto* app = dynamic_cast<CConfigVombraApp*>(g_app);
  if (!app) return false;
  const int row = table.hwnd ? int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)) : -1;
  if (row >= 0) {
    _TEST_LOG_ROW_INFO info;
    rows.LoadRow(row, info);
    if (!info.Message.empty() && app->ShowHelpKeyword(info.Message.c_str())) return true;
  }
  return app->ShowHelp(templateId);
}

bool CEventsPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (table.hwnd && header->hwndFrom == table.hwnd) {
    try {
      if (OnListNotify(header, result)) return true;
    } catch (const std::exception& e) {
      ShowError(e);
      *result = 0;
      return true;
    }
  }
  return CAppPage::OnNotify(id, header, result);
}

bool CEventsPage::OnListNotify(NMHDR* header, LRESULT* result) {
  *result = 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      rows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      *result = 1;
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      rows.OnCacheHint(hint->iFrom, hint->iTo);
      *result = 1;
      return true;
    }
    case NM_RCLICK: {
      POINT pt;
      GetCursorPos(&pt);
      ShowListMenu(pt);
      *result = 1;
      return true;
    }
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      if (!m_settings.configModified) {
        _DOC_UPDATE_INFO batch(&m_settings, this);
        m_settings.SetConfigModified(true);
        m_settings.EndUpdate(batch);
      }
      StoreColumns();
      if (change->what & COLCHANGE_VISIBLE) ReloadRows();
      *result = 1;
      return true;
    }
    case TBLN_RESETCOLUMNS:
      *result = ResetColumnsToDefaults(m_settings, hwnd, *reinterpret_cast<_TBLN_RESET_INFO*>(header), CS_EVENTS);
      return true;
    case TBLN_BEGINDRAG:
    case TBLN_SORT:
      return true;  // the log is neither reordered nor sorted
    default:
      return false;
  }
}
