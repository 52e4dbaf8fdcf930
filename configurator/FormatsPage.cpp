#include "FormatsPage.h"

#include "FormatDialog.h"

#include <windowsx.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <string>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "FormatDialog.h"
#include "KeyDialog.h"
#include "KeyFiltersDialog.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TableCommands.h"
#include "TestVombra.h"
#include "UiHelpers.h"
#include "Wnd.h"

CSampleRendererSeam SampleRendererSeam{RenderSampleWithHost};

bool RenderSampleWithHost(const std::wstring& formatTemplate, const std::wstring& params, UINT keyType,
                          const _KEYNUM_INFO& key, std::wstring& out) {
  auto* app = dynamic_cast<CConfigVombraApp*>(g_app);
  CTestVombra* host = app ? app->testHost : nullptr;
  if (!host || !host->IsLoaded()) return false;
  return host->Format(formatTemplate.c_str(), params.c_str(), keyType, key, out);
}

namespace {

constexpr UINT kColumnTitles[FMTCOL_COUNT] = {
    IDS_FMTCOL_CHOICE,   IDS_FMTCOL_NUMBER,  IDS_FMTCOL_ID,     IDS_FMTCOL_NAME,   IDS_FMTCOL_TEMPLATE,
    IDS_FMTCOL_PARAMS,   IDS_FMTCOL_COMMENT, IDS_FMTCOL_SAMPLE, IDS_FMTCOL_SAVE,   IDS_FMTCOL_VISIBLE};

// Image list positions: the check boxes of bitmap 718, then the radio marks of bitmap 719.
constexpr int kImageUnchecked = 0;
constexpr int kImageChecked = 1;
constexpr int kImageRadioOff = 3;
constexpr int kImageRadioOn = 4;

// The strip under the table that holds the buttons and view boxes.
constexpr int kBottomStrip = 40;
constexpr UINT kFilterCommandFirst = 2000;

bool IsPreset(const _FORMAT_INFO_EX& format) { return !format.Name.empty() && format.Name[0] == L'\n'; }
bool IsSelected(const _FORMAT_INFO_EX& format) { return (format.Flags & FORMAT_SELECTED) != 0; }
UINT FilterBit(UINT filter) { return filter < 32 ? 1u << filter : 0; }

HIMAGELIST LoadMaskedBitmap(HIMAGELIST list, UINT id) {
  HBITMAP bitmap = HBITMAP(LoadImageW(g_hResInstance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
  if (!bitmap && g_hResInstance != g_hInstance)
    bitmap = HBITMAP(LoadImageW(g_hInstance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
  if (!bitmap) return list;
  if (!list) list = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 3);
  if (list) ImageList_AddMasked(list, bitmap, RGB(255, 0, 255));
  DeleteObject(bitmap);
  return list;
}

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

void Gray(HMENU menu, UINT id, bool gray) {
  EnableMenuItem(menu, id, MF_BYCOMMAND | (gray ? MF_GRAYED : MF_ENABLED));
}

// Ordinal UTF-16 comparison: no locale, a proper prefix first.
int CompareText(const std::wstring& a, const std::wstring& b) { return a.compare(b); }

}  // namespace

// --- rows ---

bool CFormatsLvData::Shows(const _FORMAT_INFO_EX& format) const {
  if (!(ViewFlags & FORMATS_VIEW_PRESETS) && IsPreset(format)) return false;
  if (!(ViewFlags & FORMATS_VIEW_HIDDEN) && !(format.KeyFilters & FilterBit(Filter))) return false;
  if (!(ViewFlags & FORMATS_VIEW_UNSAVED_VOMBRA) && !(format.Flags & FORMAT_MUST_STORE)) return false;
  return true;
}

void CFormatsLvData::Rebuild() {
  rows.clear();
  if (settings) {
    for (size_t i = 0; i < settings->formats.size(); ++i) {
      if (Shows(settings->formats[i])) rows.push_back(int(i));
    }
  }
  FillCache();
  FireEvent();
}

void CFormatsLvData::FillCache() {
  const int count = int(rows.size());
  if (CacheFirst >= count) {
    cache.clear();
    CacheFirst = 0;
    return;
  }
  if (CacheFirst + int(cache.size()) > count) cache.resize(size_t(count - CacheFirst));
  for (size_t i = 0; i < cache.size(); ++i) FillRow(CacheFirst + int(i), cache[i]);
}

void CFormatsLvData::OnCacheHint(int from, int to) {
  if (!cache.empty() && from >= CacheFirst && to < CacheFirst + int(cache.size())) return;
  cache.clear();
  CacheFirst = 0;
  if (from < 0 || to < from || from >= int(rows.size())) return;
  to = std::min(to, int(rows.size()) - 1);
  CacheFirst = from;
  cache.resize(size_t(to - from + 1));
  for (size_t i = 0; i < cache.size(); ++i) FillRow(from + int(i), cache[i]);
}

void CFormatsLvData::RenderSample(_FORMAT_INFO_EX& format) {
  // A sample that cannot be had for the current key is empty: the column must never show another
  // key's number as this one's. Marked rendered either way, so a failing format is not asked again on
  // every repaint.
  std::wstring text;
  const _KEYNUM_INFO& key = settings->lastKey;
  if (key.Length > 0 && SampleRendererSeam.Render) {
    try {
      if (!SampleRendererSeam.Render(format.Template, format.Params, settings->lastKeyType, key, text))
        text.clear();
    } catch (const std::exception& e) {
      Trace(L"Formats page: sample of format %u failed: %S", format.Id, e.what());
      text.clear();
    }
  }
  format.Sample = std::move(text);
  format.Flags |= FORMAT_SAMPLE_VALID;
}

void CFormatsLvData::FillRow(int row, _FORMAT_ROW_INFO& record) {
  record = _FORMAT_ROW_INFO();
  if (!settings || row < 0 || size_t(row) >= rows.size()) return;
  record.FormatIndex = rows[size_t(row)];
  if (size_t(record.FormatIndex) >= settings->formats.size()) return;
  _FORMAT_INFO_EX& format = settings->formats[size_t(record.FormatIndex)];
  record.Format = &format;
  if (!visibleColumns) return;
  for (int kind : *visibleColumns) {
    switch (kind) {
      case FMTCOL_CHOICE:
        record.Chosen = format.Id == ChosenId;
        break;
      case FMTCOL_NUMBER:
        record.RowText = std::to_wstring(row + 1);
        break;
      case FMTCOL_ID:
        record.IdText = std::to_wstring(format.Id);
        break;
      case FMTCOL_SAMPLE:
        if (!(format.Flags & FORMAT_SAMPLE_VALID)) RenderSample(format);
        break;
      default:
        break;
    }
  }
}

void CFormatsLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  const _FORMAT_ROW_INFO* record;
  if (!cache.empty() && item.iItem >= CacheFirst && item.iItem < CacheFirst + int(cache.size())) {
    record = &cache[size_t(item.iItem - CacheFirst)];
  } else {
    FillRow(item.iItem, spare);
    record = &spare;
  }
  int kind = -1;
  if (visibleColumns && item.iSubItem >= 0 && size_t(item.iSubItem) < visibleColumns->size())
    kind = (*visibleColumns)[size_t(item.iSubItem)];
  const _FORMAT_INFO_EX* format = record->Format;
  if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
    const std::wstring* text = nullptr;
    if (format) {
      switch (kind) {
        case FMTCOL_NUMBER: text = &record->RowText; break;
        case FMTCOL_ID: text = &record->IdText; break;
        case FMTCOL_NAME: text = &format->Name; break;
        case FMTCOL_TEMPLATE: text = &format->Template; break;
        case FMTCOL_PARAMS: text = &format->Params; break;
        case FMTCOL_COMMENT: text = &format->Comment; break;
        case FMTCOL_SAMPLE: text = &format->Sample; break;
        default: break;
      }
    }
    if (text) {
      lstrcpynW(item.pszText, text->c_str(), item.cchTextMax);
    } else {
      item.pszText[0] = L'\0';
    }
  }
  if (item.mask & LVIF_IMAGE) {
    item.iImage = I_IMAGENONE;
    if (format) {
      if (kind == FMTCOL_CHOICE) item.iImage = record->Chosen ? kImageRadioOn : kImageRadioOff;
      if (kind == FMTCOL_SAVE)
        item.iImage = (format->Flags & FORMAT_SAVE_IN_VOMBRA) ? kImageChecked : kImageUnchecked;
      if (kind == FMTCOL_VISIBLE)
        item.iImage = (format->KeyFilters & FilterBit(Filter)) ? kImageChecked : kImageUnchecked;
    }
  }
  if ((item.mask & LVIF_INDENT) && columns && columns->size() > FMTCOL_CHOICE &&
      !((*columns)[FMTCOL_CHOICE].flags & COLUMN_VISIBLE)) {
    item.iIndent -= 1;
  }
}

// --- page ---

const _HOTKEY_INFO CFormatsPage::kListHotKeys[5] = {
    {VK_INSERT, ID_FORMAT_ADD},           {VK_RETURN, ID_FORMAT_CHANGE},        {VK_DELETE, ID_FORMAT_DELETE},
    {0x200 | 'A', ID_FORMAT_SELECT_ALL}, {0x200 | 'D', ID_FORMAT_DUPLICATE}};

CFormatsPage::CFormatsPage() : CFormatsPage(App()->settings) {}

CFormatsPage::CFormatsPage(CAppSettings& settings) : CAppPage(IDD_PAGE_FORMATS), m_settings(settings) {
  data.settings = &settings;
}

CFormatsPage::~CFormatsPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
  if (images) ImageList_Destroy(images);
  if (tabImages) ImageList_Destroy(tabImages);
}

LRESULT CFormatsPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CAppPage::WindowProc(wnd, message, wParam, lParam);
      Layout(LOWORD(lParam), HIWORD(lParam));
      return answer;
    }
    case WM_CONTEXTMENU: {
      if (IsInMenuMode()) return 0;
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      HWND source = reinterpret_cast<HWND>(wParam);
      // The menu key and Shift+F10 give no point: the menu goes to the control's corner.
      const bool byKeyboard = pt.x == -1 && pt.y == -1;
      if (byKeyboard) {
        RECT rect;
        GetWindowRect(source, &rect);
        pt = {rect.left + 8, rect.top + 8};
      }
      if (source == table.hwnd) {
        // The header has its own menu; its right clicks must not open the list's too. The corner the
        // menu key takes lies on the header, and is the list's all the same.
        RECT header;
        HWND headerWnd = HWND(SendMessageW(table.hwnd, LVM_GETHEADER, 0, 0));
        if (!byKeyboard && headerWnd && GetWindowRect(headerWnd, &header) && PtInRect(&header, pt)) return 0;
        ShowListMenu(pt);
        return 0;
      }
      if (source == tabCtrl) {
        ShowTabMenu(pt);
        return 0;
      }
      break;
    }
    case WM_INITMENUPOPUP:
      if (g_app) g_app->OnInitMenuPopup(reinterpret_cast<HMENU>(wParam), LOWORD(lParam), HIWORD(lParam) != 0);
      return 0;
    case WM_DESTROY:
      OnDestroy();
      break;
    default:
      break;
  }
  return CAppPage::WindowProc(wnd, message, wParam, lParam);
}

BOOL CFormatsPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  if (auto* app = dynamic_cast<CConfigVombraApp*>(g_app)) app->LoadKeyTypeNames();

  tabCtrl = GetDlgItem(hwnd, IDC_FORMATS_TABS);
  if (tabCtrl) {
    SetWindowLongW(tabCtrl, GWL_STYLE, GetWindowLongW(tabCtrl, GWL_STYLE) | WS_CLIPSIBLINGS);
    tabImages = LoadMaskedBitmap(nullptr, IDB_FORMATS_TAB_IMAGES);
    if (tabImages) SendMessageW(tabCtrl, TCM_SETIMAGELIST, 0, LPARAM(tabImages));
  }
  emptyText.clear();
  LoadStrAppendFormat(emptyText, IDS_LIST_EMPTY);

  if (table.Attach(hwnd, IDC_FORMATS_LIST)) {
    const DWORD exStyle =
        LVS_EX_LABELTIP | LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_SUBITEMIMAGES;
    SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle, exStyle);
    images = LoadMaskedBitmap(nullptr, IDB_CC_CHECKS);
    images = LoadMaskedBitmap(images, IDB_FORMATS_RADIO);
    if (images) SendMessageW(table.hwnd, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(images));
    if (g_app) table.SetToolTip(g_app->GetSharedToolTip());
    LoadColumns();
    table.EnableAltRowColor(m_settings.altListBkColor);
    table.UpdateColumns();
  }
  data.settings = &m_settings;
  data.columns = &table.columns;
  data.visibleColumns = &table.visibleColumns;
  data.owner = this;
  data.callback = &CFormatsPage::OnListDataChanged;

  layout.owner = hwnd;
  layout.AddControl(IDC_FORMATS_TABS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {ID_FORMAT_ADD, ID_FORMAT_CHANGE, ID_FORMAT_DELETE, ID_FORMATS_SHOW_PRESETS,
                 ID_FORMATS_SHOW_HIDDEN, ID_FORMATS_SHOW_UNSAVED})
    layout.AddControl(id, ANCHOR_BOTTOM);
  layout.Capture();

  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CFormatsPage::OnSettingsChanged, 0});
  Layout(-1, -1);
  UpdateData(false);
  return TRUE;
}

void CFormatsPage::OnDestroy() {
  m_settings.RemoveView(viewIndex);
  data.callback = nullptr;
  data.owner = nullptr;
  if (table.hwnd) {
    table.RemoveHeaderTips();
    table.Destroy();
  }
  if (images) ImageList_Destroy(images);
  images = nullptr;
  if (tabImages) ImageList_Destroy(tabImages);
  tabImages = nullptr;
}

void CFormatsPage::LoadColumns() {
  COLUMN_SET set = m_settings.formatsColumns;
  if (set.size() != FMTCOL_COUNT) set = DefaultColumnSet(CS_FORMATS);
  table.SetColumns(set, kColumnTitles);
}

void CFormatsPage::UpdateData(bool save) {
  if (!hwnd) return;
  if (save) {
    if (!columnsDirty) return;
    columnsDirty = false;
    _DOC_UPDATE_INFO batch(&m_settings, this);
    COLUMN_SET set;
    for (const _COLUMN_INFO& column : table.columns)
      set.push_back(
          {column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
    m_settings.formatsColumns = set;
    m_settings.AddViewDetail(VIEW_DETAIL_FORMATS_COLUMNS);
    m_settings.SetConfigModified(true);
    m_settings.UpdateAllViews(HINT_VIEW_OPTIONS);
    m_settings.EndUpdate(batch);
    return;
  }
  CMuteNotifyScope mute(hwnd);
  FillFilterTabs();
  UpdateTabImages();
  if (table.hwnd) {
    SendMessageW(table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    LoadColumns();
    table.UpdateColumns();
  }
  columnsDirty = false;
  ApplyViewState();
  if (table.hwnd) {
    SendMessageW(table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES,
                 m_settings.tableGrid ? LVS_EX_GRIDLINES : 0);
    table.SetNoSortHeader(m_settings.noSortHeader);
  }
  CheckViewBoxes();
  UpdateButtons();
}

void CFormatsPage::CheckViewBoxes() {
  CMuteNotifyScope mute(hwnd);
  const UINT flags = m_settings.formatsViewFlags;
  CheckDlgButton(hwnd, ID_FORMATS_SHOW_PRESETS, (flags & FORMATS_VIEW_PRESETS) ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(hwnd, ID_FORMATS_SHOW_HIDDEN, (flags & FORMATS_VIEW_HIDDEN) ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(hwnd, ID_FORMATS_SHOW_UNSAVED,
                 (flags & FORMATS_VIEW_UNSAVED_VOMBRA) ? BST_CHECKED : BST_UNCHECKED);
}

void CFormatsPage::OnIdle() {
  if (buttonsDirty) UpdateButtons();
}

void CFormatsPage::UpdateButtons() {
  buttonsDirty = false;
  if (!hwnd) return;
  int nonPresets = 0;
  SelectedCount(&nonPresets, nullptr);
  EnableWindow(GetDlgItem(hwnd, ID_FORMAT_ADD), TRUE);
  EnableWindow(GetDlgItem(hwnd, ID_FORMAT_CHANGE), SelectedCount(nullptr, nullptr) > 0);
  EnableWindow(GetDlgItem(hwnd, ID_FORMAT_DELETE), nonPresets > 0);
}

int CFormatsPage::SelectedCount(int* nonPresets, const _FORMAT_INFO_EX** firstNonPreset) const {
  int count = 0;
  if (nonPresets) *nonPresets = 0;
  if (firstNonPreset) *firstNonPreset = nullptr;
  for (int index : data.rows) {
    const _FORMAT_INFO_EX& format = m_settings.formats[size_t(index)];
    if (!IsSelected(format)) continue;
    ++count;
    if (IsPreset(format)) continue;
    if (nonPresets) ++*nonPresets;
    if (firstNonPreset && !*firstNonPreset) *firstNonPreset = &format;
  }
  return count;
}

_KEYFILTER_INFO* CFormatsPage::CurrentKeyFilter() {
  for (_KEYFILTER_INFO& filter : m_settings.keyFilters) {
    if (filter.Id == m_settings.fmtFilter) return &filter;
  }
  return nullptr;
}

void CFormatsPage::ApplyViewState() {
  data.Filter = m_settings.fmtFilter;
  if (data.Filter == 0) {
    data.ChosenId = m_settings.DefaultFormatId;
  } else {
    const _KEYFILTER_INFO* filter = CurrentKeyFilter();
    data.ChosenId = filter ? filter->FormatId : 0;
  }
  data.ViewFlags = m_settings.formatsViewFlags;
  data.Rebuild();
}

void CFormatsPage::OnListDataChanged(void* owner, CVirtualListViewData*, int) {
  auto* page = static_cast<CFormatsPage*>(owner);
  HWND list = page->table.hwnd;
  if (!list) return;
  const int top = int(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
  page->updating = true;
  SendMessageW(list, LVM_SETITEMCOUNT, page->data.rows.size(), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  const int sort = page->m_settings.formatsSortColumn;
  if (sort != page->table.sort) page->table.SetSort(sort);
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&state));
  state.state = LVIS_SELECTED;
  for (size_t row = 0; row < page->data.rows.size(); ++row) {
    if (IsSelected(page->m_settings.formats[size_t(page->data.rows[row])]))
      SendMessageW(list, LVM_SETITEMSTATE, row, LPARAM(&state));
  }
  page->updating = false;
  page->table.SetTopIndex(top);
  InvalidateRect(list, nullptr, TRUE);
  page->buttonsDirty = true;
}

void CFormatsPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* page = static_cast<CFormatsPage*>(owner);
  if (!page->hwnd) return;
  CAppSettings& settings = page->m_settings;
  const UINT detail = settings.GetViewDetail();
  const bool viewOptions = (*hints & HINT_VIEW_OPTIONS) != 0;
  const bool listHints = (*hints & (HINT_FORMATS | HINT_FORMAT_STORE | HINT_KEY_FILTERS | HINT_FORMAT_USAGE |
                                    HINT_LAST_KEY)) != 0;
  const UINT viewDetails =
      VIEW_DETAIL_FMT_FILTER | VIEW_DETAIL_FORMATS_COLUMNS | VIEW_DETAIL_FORMATS_VIEW_FLAGS;
  if (listHints || (viewOptions && (detail & viewDetails))) {
    if (*hints & HINT_KEY_FILTERS) {
      page->FillFilterTabs();
    } else if (viewOptions && (detail & VIEW_DETAIL_FMT_FILTER) && page->tabCtrl) {
      CMuteNotifyScope mute(page->hwnd);
      const int tab = FindTabByParam(page->tabCtrl, settings.fmtFilter);
      SendMessageW(page->tabCtrl, TCM_SETCURSEL, std::max(0, tab), 0);
    }
    if (viewOptions && (detail & VIEW_DETAIL_FORMATS_COLUMNS) && page->table.hwnd) {
      SendMessageW(page->table.hwnd, LVM_SETITEMCOUNT, 0, 0);
      page->LoadColumns();
      page->table.UpdateColumns();
      page->columnsDirty = false;
    }
    page->ApplyViewState();
  }
  if (*hints & (HINT_FORMAT_USAGE | HINT_KEY_FILTERS)) page->UpdateTabImages();
  if (!viewOptions) return;
  if (detail & VIEW_DETAIL_FORMATS_VIEW_FLAGS) page->CheckViewBoxes();
  if (!page->table.hwnd) return;
  if (detail & VIEW_DETAIL_ALT_LIST_BK_COLOR) page->table.EnableAltRowColor(settings.altListBkColor);
  if (detail & VIEW_DETAIL_TABLE_GRID)
    SendMessageW(page->table.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES,
                 settings.tableGrid ? LVS_EX_GRIDLINES : 0);
  if (detail & VIEW_DETAIL_NO_SORT_HEADER) page->table.SetNoSortHeader(settings.noSortHeader);
}

void CFormatsPage::FillFilterTabs() {
  if (!tabCtrl) return;
  CMuteNotifyScope mute(hwnd);
  SendMessageW(tabCtrl, TCM_DELETEALLITEMS, 0, 0);
  std::wstring text;
  LoadStrAppendFormat(text, IDS_DEFAULT_KEY_FILTER);
  TCITEMW item{};
  item.mask = TCIF_TEXT | TCIF_PARAM | TCIF_IMAGE;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  item.iImage = 0;
  item.lParam = 0;
  SendMessageW(tabCtrl, TCM_INSERTITEMW, 0, LPARAM(&item));
  int index = 1;
  for (const _KEYFILTER_INFO& filter : m_settings.keyFilters) {
    if (!(filter.Flags & 1)) continue;
    item.pszText = const_cast<wchar_t*>(filter.Name.c_str());
    item.lParam = LPARAM(filter.Id);
    SendMessageW(tabCtrl, TCM_INSERTITEMW, index++, LPARAM(&item));
  }
  SendMessageW(tabCtrl, TCM_SETCURSEL, std::max(0, FindTabByParam(tabCtrl, m_settings.fmtFilter)), 0);
  UpdateTabImages();
  Layout(-1, -1);
}

void CFormatsPage::UpdateTabImages() {
  if (!tabCtrl) return;
  const int count = int(SendMessageW(tabCtrl, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    TCITEMW item{};
    item.mask = TCIF_PARAM;
    SendMessageW(tabCtrl, TCM_GETITEMW, i, LPARAM(&item));
    UINT chosen = 0;
    if (item.lParam == 0) {
      chosen = m_settings.DefaultFormatId;
    } else {
      for (const _KEYFILTER_INFO& filter : m_settings.keyFilters) {
        if (filter.Id == UINT(item.lParam)) chosen = filter.FormatId;
      }
    }
    item.mask = TCIF_IMAGE;
    item.iImage = chosen ? 1 : 0;
    SendMessageW(tabCtrl, TCM_SETITEMW, i, LPARAM(&item));
  }
}

void CFormatsPage::Layout(int width, int height) {
  if (!hwnd) return;
  RECT client;
  GetClientRect(hwnd, &client);
  if (width < 0) width = client.right;
  if (height < 0) height = client.bottom;
  HDWP batch = BeginDeferWindowPos(int(layout.anchors.size()) + 1);
  batch = layout.Resize(width, height, batch);
  if (tabCtrl && table.hwnd) {
    RECT area{0, 0, width, height - kBottomStrip};
    for (const _ANCHOR_INFO& anchor : layout.anchors) {
      if (anchor.hwnd == tabCtrl) {
        area.left = anchor.rect.left;
        area.top = anchor.rect.top;
      }
    }
    SendMessageW(tabCtrl, TCM_ADJUSTRECT, FALSE, LPARAM(&area));
    const int cx = std::max(0, int(area.right - area.left));
    const int cy = std::max(0, int(area.bottom - area.top));
    if (batch) {
      batch = DeferWindowPos(batch, table.hwnd, nullptr, area.left, area.top, cx, cy,
                             SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
      SetWindowPos(table.hwnd, nullptr, area.left, area.top, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  if (batch) EndDeferWindowPos(batch);
}

// --- commands ---

bool CFormatsPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (control && control != table.hwnd && notifyCode != BN_CLICKED)
    return CAppPage::OnCommand(id, notifyCode, control);
  switch (id) {
    case ID_FORMAT_ADD:
      OnAdd();
      return true;
    case ID_FORMAT_CHANGE:
      OnChange();
      return true;
    case ID_FORMAT_DUPLICATE:
      OnDuplicate();
      return true;
    case ID_FORMAT_DELETE:
      OnDelete(false);
      return true;
    case ID_FORMAT_SELECT_ALL:
      OnSelectAll();
      return true;
    case ID_FORMATS_SHOW_PRESETS:
    case ID_FORMATS_SHOW_HIDDEN:
    case ID_FORMATS_SHOW_UNSAVED: {
      const UINT flag = id == ID_FORMATS_SHOW_PRESETS  ? FORMATS_VIEW_PRESETS
                        : id == ID_FORMATS_SHOW_HIDDEN ? FORMATS_VIEW_HIDDEN
                                                       : FORMATS_VIEW_UNSAVED_VOMBRA;
      {
        _DOC_UPDATE_INFO batch(&m_settings, this);
        m_settings.SetFormatsViewFlags(flag, !(m_settings.formatsViewFlags & flag));
      }
      CheckViewBoxes();
      ApplyViewState();
      return true;
    }
    case ID_FORMATS_IMPORT_CSV:
    case ID_FORMATS_IMPORT_EXCEL:
    case ID_FORMATS_IMPORT_CALC:
      // Shift at the command's start merges instead of replacing.
      Import(id - ID_FORMATS_IMPORT_CSV + 1, GetKeyState(VK_SHIFT) >= 0);
      return true;
    case ID_FORMATS_EXPORT_CSV:
      Export(1);
      return true;
    case ID_FORMATS_EXPORT_EXCEL_FILE:
      Export(m_settings.formatsExportType == 3 ? 3 : 2);
      return true;
    case ID_FORMATS_EXPORT_EXCEL:
      Export(4);
      return true;
    case ID_FORMATS_EXPORT_CALC_FILE:
      Export(5);
      return true;
    case ID_FORMATS_EXPORT_CALC:
      Export(6);
      return true;
    case ID_FORMATS_SET_READER_FORMAT:
      OnSetReaderFormat();
      return true;
    case ID_FORMATS_CHANGE_LAST_KEY:
      OnChangeLastKey();
      return true;
    case ID_FILTER_DEFAULT:
      m_settings.SetFormatsFilter(0);
      return true;
    case ID_FILTER_RESET:
      ResetKeyFilters();
      return true;
    case ID_FILTER_CUSTOMIZE: {
      CKeyFiltersDialog dialog(m_settings);
      dialog.DoModal(IDD_KEY_FILTERS, hwnd);
      return true;
    }
    default:
      break;
  }
  if (id >= kFilterCommandFirst && id < kFilterCommandFirst + m_settings.keyFilters.size()) {
    ToggleFilterTab(id - kFilterCommandFirst);
    return true;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

void CFormatsPage::OnSelectAll() {
  if (table.hwnd) table.SelectAll();
}

void CFormatsPage::OnSetReaderFormat() {
  const _FORMAT_INFO_EX* first = nullptr;
  int count = 0;
  for (int index : data.rows) {
    const _FORMAT_INFO_EX& format = m_settings.formats[size_t(index)];
    if (!IsSelected(format)) continue;
    if (!first) first = &format;
    ++count;
  }
  if (count != 1) return;
  _DOC_UPDATE_INFO batch(&m_settings, this);
  m_settings.SetFormatId(first->Id);
}

bool CFormatsPage::OnChangeLastKey() {
  CKeyDialog dialog;
  dialog.KeyType = int(m_settings.lastKeyType);
  dialog.Key = m_settings.lastKey;
  dialog.KeySize = m_settings.lastKey.Length ? m_settings.lastKey.Length : kKeyDefaultSize;
  dialog.InputFormat = m_settings.keyEditFormat ? int(m_settings.keyEditFormat) : KEY_INPUT_HEX;
  return dialog.DoModal(IDD_KEY_DIALOG, hwnd) == IDOK;
}

void CFormatsPage::ResetKeyFilters() {
  if (m_settings.ConfirmFlags & CONFIRM_RESET_TO_DEFAULT) {
    bool doNotAsk = false;
    const int answer = ShowMessageBoxRes(IDS_REALLY, MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_RESET_TO_DEFAULT, false);
    if (answer != IDOK) return;
  }
  _DOC_UPDATE_INFO batch(&m_settings, nullptr);
  m_settings.keyFilters = DefaultKeyFilters();
  if (!m_settings.keyFilters.empty()) m_settings.KeyFilterNewId = m_settings.keyFilters.back().Id + 1;
  m_settings.KeyFiltersChanged();
  m_settings.EndUpdate(batch);
}

void CFormatsPage::ToggleFilterTab(size_t index) {
  if (index >= m_settings.keyFilters.size()) return;
  _DOC_UPDATE_INFO batch(&m_settings, nullptr);
  _KEYFILTER_INFO& filter = m_settings.keyFilters[index];
  if (filter.Flags & 1) {
    filter.Flags &= ~1u;
    if (m_settings.fmtFilter == filter.Id) m_settings.SetFormatsFilter(0);
  } else {
    filter.Flags |= 1u;
    m_settings.SetFormatsFilter(filter.Id);
  }
  m_settings.KeyFiltersChanged();
  m_settings.EndUpdate(batch);
}

// --- sorting ---

void CFormatsPage::SortFormats(int key) {
  const int column = key < 0 ? -key : key;
  const bool descending = key < 0;
  const UINT chosen = data.ChosenId;
  const UINT bit = FilterBit(m_settings.fmtFilter);
  auto value = [&](const _FORMAT_INFO_EX& f) -> unsigned long long {
    switch (column) {
      case FMTCOL_CHOICE + 1: return f.Id == chosen ? 1 : 0;
      case FMTCOL_ID + 1: return f.Id;
      case FMTCOL_SAVE + 1: return (f.Flags & FORMAT_SAVE_IN_VOMBRA) ? 1 : 0;
      case FMTCOL_VISIBLE + 1: return (f.KeyFilters & bit) ? 1 : 0;
      default: return 0;
    }
  };
  auto text = [&](const _FORMAT_INFO_EX& f) -> const std::wstring* {
    switch (column) {
      case FMTCOL_NAME + 1: return &f.Name;
      case FMTCOL_TEMPLATE + 1: return &f.Template;
      case FMTCOL_PARAMS + 1: return &f.Params;
      case FMTCOL_COMMENT + 1: return &f.Comment;
      case FMTCOL_SAMPLE + 1: return &f.Sample;
      default: return nullptr;
    }
  };
  if (column >= 1 && column <= FMTCOL_COUNT && column != FMTCOL_NUMBER + 1) {
    // Stable: equal values keep the user's order.
    std::stable_sort(m_settings.formats.begin(), m_settings.formats.end(),
                     [&](const _FORMAT_INFO_EX& a, const _FORMAT_INFO_EX& b) {
                       const std::wstring* ta = text(a);
                       int order;
                       if (ta) {
                         order = CompareText(*ta, *text(b));
                       } else {
                         const unsigned long long va = value(a), vb = value(b);
                         order = va < vb ? -1 : va > vb ? 1 : 0;
                       }
                       return descending ? order > 0 : order < 0;
                     });
    m_settings.ClearFormatIndex();
  }
  if (key != m_settings.formatsSortColumn) {
    m_settings.formatsSortColumn = key;
    if (m_settings.History & HISTORY_SORT_COLUMNS) {
      _DOC_UPDATE_INFO batch(&m_settings, this);
      m_settings.SetConfigModified(true);
    }
  }
  ApplyViewState();
}

// --- toggles ---

void CFormatsPage::ToggleCell(int kind, int row) {
  if (row < 0 || size_t(row) >= data.rows.size()) return;
  _FORMAT_INFO_EX& format = m_settings.formats[size_t(data.rows[size_t(row)])];
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    switch (kind) {
      case FMTCOL_CHOICE:
        if (m_settings.fmtFilter == 0) {
          m_settings.SetDefaultFormatId(m_settings.DefaultFormatId == format.Id ? 0 : format.Id);
        } else if (_KEYFILTER_INFO* filter = CurrentKeyFilter()) {
          filter->FormatId = filter->FormatId == format.Id ? 0 : format.Id;
          m_settings.FormatUsageChanged();
        } else {
          return;  // the filter names no key filter: no default to set
        }
        break;
      case FMTCOL_SAVE:
        format.Flags ^= FORMAT_SAVE_IN_VOMBRA;
        m_settings.FormatsChanged(true);
        break;
      case FMTCOL_VISIBLE:
        format.KeyFilters ^= FilterBit(m_settings.fmtFilter);
        m_settings.FormatsChanged(true);
        break;
      default:
        return;
    }
    m_settings.EndUpdate(batch);
  }
  ApplyViewState();
  if (kind == FMTCOL_CHOICE) UpdateTabImages();
}

void CFormatsPage::ToggleSelection() {
  int kind = -1;
  for (int candidate : {int(FMTCOL_CHOICE), int(FMTCOL_SAVE), int(FMTCOL_VISIBLE)}) {
    const _COLUMN_INFO& column = table.columns[size_t(candidate)];
    if (!(column.flags & COLUMN_VISIBLE)) continue;
    if (kind < 0 || column.order < table.columns[size_t(kind)].order) kind = candidate;
  }
  if (kind < 0) return;
  std::vector<int> selected;
  for (size_t row = 0; row < data.rows.size(); ++row) {
    if (IsSelected(m_settings.formats[size_t(data.rows[row])])) selected.push_back(int(row));
  }
  if (selected.empty()) return;
  if (kind == FMTCOL_CHOICE) {
    ToggleCell(kind, selected.front());
    return;
  }
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    const UINT bit = FilterBit(m_settings.fmtFilter);
    for (int row : selected) {
      _FORMAT_INFO_EX& format = m_settings.formats[size_t(data.rows[size_t(row)])];
      if (kind == FMTCOL_SAVE) format.Flags ^= FORMAT_SAVE_IN_VOMBRA;
      if (kind == FMTCOL_VISIBLE) format.KeyFilters ^= bit;
    }
    m_settings.FormatsChanged(true);
    m_settings.EndUpdate(batch);
  }
  ApplyViewState();
}

// --- delete, duplicate, move ---

void CFormatsPage::OnDelete(bool noQuestion) {
  int nonPresets = 0;
  const _FORMAT_INFO_EX* first = nullptr;
  if (SelectedCount(&nonPresets, &first) == 0 || nonPresets == 0) return;
  if (!noQuestion && (m_settings.ConfirmFlags & CONFIRM_DELETE_ITEM)) {
    std::wstring text;
    if (nonPresets == 1) {
      LoadStrAppendFormat(text, IDS_REMOVE_ITEM, first->Name.c_str());
    } else {
      LoadStrAppendFormat(text, IDS_REMOVE_ITEMS, nonPresets);
    }
    bool doNotAsk = false;
    const int answer = ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
    if (answer != IDOK) return;
  }
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    for (_FORMAT_INFO_EX& format : m_settings.formats) format.Flags &= ~FORMAT_DELETED;
    // Only what the rows show: a selected format the view hides is not the user's to delete from here.
    for (int index : data.rows) {
      _FORMAT_INFO_EX& format = m_settings.formats[size_t(index)];
      if (IsSelected(format) && !IsPreset(format)) format.Flags |= FORMAT_DELETED;
    }
    m_settings.PurgeDeletedFormats();
    m_settings.EndUpdate(batch);
  }
  ApplyViewState();
}

void CFormatsPage::OnDuplicate() {
  UINT topCopyId = 0;
  {
    _DOC_UPDATE_INFO batch(&m_settings, nullptr);
    bool any = false;
    bool settingsToo = false;
    std::vector<_FORMAT_INFO_EX>& formats = m_settings.formats;
    for (size_t i = formats.size(); i-- > 0;) {
      if (!IsSelected(formats[i])) continue;
      std::wstring base = formats[i].Name;
      if (IsPreset(formats[i])) {
        const size_t blank = base.find(L' ', 1);
        base = blank == std::wstring::npos ? base.substr(1) : base.substr(blank + 1);
      }
      std::wstring name;
      if (!MakeUniqueFormatName(formats, base.c_str(), name)) continue;
      const UINT id = m_settings.NewFormatId();
      if (id == 0) continue;
      _FORMAT_INFO_EX copy = formats[i];
      formats[i].Flags &= ~FORMAT_SELECTED;
      copy.Name = name;
      copy.Id = id;
      copy.Flags &= ~FORMAT_PRESET;
      if (copy.Flags & FORMAT_SAVE_IN_VOMBRA) settingsToo = true;
      formats.insert(formats.begin() + std::ptrdiff_t(i + 1), std::move(copy));
      m_settings.ClearFormatIndex();
      topCopyId = id;
      any = true;
    }
    if (any) m_settings.FormatsChanged(settingsToo);
    m_settings.EndUpdate(batch);
  }
  if (!topCopyId || !table.hwnd) return;
  for (size_t row = 0; row < data.rows.size(); ++row) {
    if (m_settings.formats[size_t(data.rows[row])].Id == topCopyId) {
      table.SelectItem(int(row));
      break;
    }
  }
}

void CFormatsPage::MoveSelectedFormats(int row) {
  std::vector<_FORMAT_INFO_EX>& formats = m_settings.formats;
  size_t first = formats.size();
  for (size_t i = 0; i < formats.size(); ++i) {
    if (IsSelected(formats[i])) {
      first = i;
      break;
    }
  }
  if (first == formats.size()) return;
  size_t runEnd = first;
  while (runEnd < formats.size() && IsSelected(formats[runEnd])) ++runEnd;
  const bool onRow = row >= 0 && size_t(row) < data.rows.size();
  const size_t target = onRow ? size_t(data.rows[size_t(row)]) : formats.size();
  if (target >= first && target <= runEnd) return;

  std::vector<bool> shown(formats.size(), false);
  for (int index : data.rows) shown[size_t(index)] = true;
  std::vector<_FORMAT_INFO_EX> taken;
  std::vector<_FORMAT_INFO_EX> kept;
  size_t newTarget = target;
  for (size_t i = 0; i < formats.size(); ++i) {
    if (shown[i] && IsSelected(formats[i])) {
      taken.push_back(std::move(formats[i]));
      if (i < target) --newTarget;
    } else {
      kept.push_back(std::move(formats[i]));
    }
  }
  if (taken.empty()) {
    formats = std::move(kept);
    return;
  }
  kept.insert(kept.begin() + std::ptrdiff_t(newTarget), std::make_move_iterator(taken.begin()),
              std::make_move_iterator(taken.end()));
  formats = std::move(kept);
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    m_settings.ClearFormatIndex();
    m_settings.FormatsChanged(true);
    m_settings.EndUpdate(batch);
  }
  ApplyViewState();
}

// --- notifications ---

bool CFormatsPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (table.hwnd && header->hwndFrom == table.hwnd) {
    if (CAppPage::OnNotify(id, header, result)) return true;
    return OnListNotify(header, result);
  }
  if (tabCtrl && header->hwndFrom == tabCtrl && header->code == TCN_SELCHANGE) {
    const int index = int(SendMessageW(tabCtrl, TCM_GETCURSEL, 0, 0));
    TCITEMW item{};
    item.mask = TCIF_PARAM;
    if (index >= 0 && SendMessageW(tabCtrl, TCM_GETITEMW, index, LPARAM(&item))) {
      {
        _DOC_UPDATE_INFO batch(&m_settings, this);
        m_settings.SetFormatsFilter(UINT(item.lParam));
        m_settings.EndUpdate(batch);
      }
      ApplyViewState();
    }
    *result = 0;
    return true;
  }
  return CAppPage::OnNotify(id, header, result);
}

void CFormatsPage::StoreSelection(int from, int to, bool selected) {
  for (int row = std::max(0, from); row <= to && size_t(row) < data.rows.size(); ++row) {
    _FORMAT_INFO_EX& format = m_settings.formats[size_t(data.rows[size_t(row)])];
    if (selected) {
      format.Flags |= FORMAT_SELECTED;
    } else {
      format.Flags &= ~FORMAT_SELECTED;
    }
  }
}

bool CFormatsPage::OnListNotify(NMHDR* header, LRESULT* result) {
  *result = 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      data.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      data.OnCacheHint(hint->iFrom, hint->iTo);
      return true;
    }
    case LVN_GETEMPTYMARKUP: {
      auto* markup = reinterpret_cast<NMLVEMPTYMARKUP*>(header);
      markup->dwFlags = EMF_CENTERED;
      lstrcpynW(markup->szMarkup, emptyText.c_str(), L_MAX_URL_LENGTH);
      *result = TRUE;
      return true;
    }
    case LVN_ITEMCHANGED: {
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      const bool selectionChanged =
          (change->uChanged & LVIF_STATE) && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED);
      if (updating || !selectionChanged) return true;
      const bool selected = (change->uNewState & LVIS_SELECTED) != 0;
      if (change->iItem >= 0) {
        StoreSelection(change->iItem, change->iItem, selected);
      } else if (selected) {
        StoreSelection(0, int(data.rows.size()) - 1, true);
      } else {
        for (_FORMAT_INFO_EX& format : m_settings.formats) format.Flags &= ~FORMAT_SELECTED;
      }
      buttonsDirty = true;
      return true;
    }
    case LVN_ODSTATECHANGED: {
      auto* change = reinterpret_cast<NMLVODSTATECHANGE*>(header);
      if (updating || !((change->uNewState ^ change->uOldState) & LVIS_SELECTED)) return true;
      StoreSelection(change->iFrom, change->iTo, (change->uNewState & LVIS_SELECTED) != 0);
      buttonsDirty = true;
      return true;
    }
    case LVN_KEYDOWN:
      OnListKeyDown(reinterpret_cast<NMLVKEYDOWN*>(header), result);
      return true;
    case NM_CLICK:
      OnListClick(reinterpret_cast<NMITEMACTIVATE*>(header));
      return true;
    case NM_DBLCLK: {
      LVHITTESTINFO hit{};
      hit.pt = reinterpret_cast<NMITEMACTIVATE*>(header)->ptAction;
      SendMessageW(table.hwnd, LVM_SUBITEMHITTEST, 0, LPARAM(&hit));
      if (hit.iItem >= 0 && !(hit.flags & LVHT_ONITEMSTATEICON)) OnChange();
      return true;
    }
    case NM_RETURN:
      if (SelectedCount(nullptr, nullptr) == 1) OnChange();
      return true;
    case TBLN_BEGINDRAG:
      *result = 1;
      return true;
    case TBLN_DRAGOVER:
      *result = 1;
      return true;
    case TBLN_DROP: {
      auto* drop = reinterpret_cast<_TBLN_DRAG_INFO*>(header);
      if (!drop->cancelled && drop->row >= 0) {
        const int row = drop->row == kDropAtEnd ? int(data.rows.size()) : drop->row + (drop->after ? 1 : 0);
        MoveSelectedFormats(row);
      }
      return true;
    }
    case TBLN_SORT:
      SortFormats(reinterpret_cast<_TBLN_SORT_INFO*>(header)->sort);
      *result = 1;
      return true;
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      if (!m_settings.configModified) {
        _DOC_UPDATE_INFO batch(&m_settings, this);
        m_settings.SetConfigModified(true);
      }
      columnsDirty = true;
      if (change->what & COLCHANGE_VISIBLE) data.Rebuild();
      return true;
    }
    case TBLN_RESETCOLUMNS:
      *result = ResetColumnsToDefaults(m_settings, hwnd, *reinterpret_cast<_TBLN_RESET_INFO*>(header), CS_FORMATS);
      return true;
    default:
      return false;
  }
}

void CFormatsPage::OnListKeyDown(NMLVKEYDOWN* key, LRESULT* result) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  const bool shift = GetKeyState(VK_SHIFT) < 0;
  const bool alt = GetKeyState(VK_MENU) < 0;
  switch (key->wVKey) {
    case VK_SPACE:
      ToggleSelection();
      *result = 1;
      return;
    case VK_DELETE:
      if (!ctrl && !alt) {
        OnDelete(shift);
        *result = 1;
      }
      return;
    case 'D':
      if (ctrl && !shift && !alt) OnDuplicate();
      return;
    case VK_INSERT:
      if (!ctrl && !shift && !alt) {
        OnAdd();
        *result = 1;
      }
      return;
    default:
      return;  // the rest is the list view's
  }
}

void CFormatsPage::OnAdd() {
  // Only the name, template, parameters and comment start from their defaults: the new format is saved
  // in the add-in's settings and belongs to the filter on show.
  CFormatDialog dialog;
  dialog.NewFormat = true;
  dialog.UniformFields = FORMAT_FIELD_KEYFILTERS | FORMAT_FIELD_SAVE;
  dialog.KeyFilterBits = m_settings.fmtFilter < 32 ? 1u << m_settings.fmtFilter : 0;
  dialog.KeyFilterKnown = 0xFFFFFFFFu;
  dialog.SaveInVombra = true;
  dialog.DoModal(IDD_FORMAT, hwnd);
}

void CFormatsPage::OnChange() {
  if (SelectedCount(nullptr, nullptr) == 0) return;
  CFormatDialog dialog;
  dialog.NewFormat = false;
  dialog.DoModal(IDD_FORMAT, hwnd);
}

void CFormatsPage::OnListClick(NMITEMACTIVATE* click) {
  LVHITTESTINFO hit{};
  hit.pt = click->ptAction;
  if (SendMessageW(table.hwnd, LVM_SUBITEMHITTEST, 0, LPARAM(&hit)) < 0 || hit.iItem < 0) return;
  if (!(hit.flags & LVHT_ONITEM)) return;
  if (hit.iSubItem < 0 || size_t(hit.iSubItem) >= table.visibleColumns.size()) return;
  // The three toggle columns hold an image and no text: a click in the cell is a click on the image.
  const int kind = table.visibleColumns[size_t(hit.iSubItem)];
  if (kind == FMTCOL_CHOICE || kind == FMTCOL_SAVE || kind == FMTCOL_VISIBLE) ToggleCell(kind, hit.iItem);
}

// --- menus ---

void CFormatsPage::ShowListMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_FORMATS_MENU, &bar);
  if (!popup) return;
  int nonPresets = 0;
  const int selected = SelectedCount(&nonPresets, nullptr);
  Gray(popup, ID_FORMAT_ADD, false);
  Gray(popup, ID_FORMAT_CHANGE, selected == 0);
  Gray(popup, ID_FORMAT_DUPLICATE, selected == 0);
  Gray(popup, ID_FORMAT_DELETE, nonPresets == 0);
  Gray(popup, ID_FORMATS_SET_READER_FORMAT, selected != 1);
  // The spreadsheet items need the office registered on this machine.
  const bool excel = ExcelAvailable();
  const bool calc = CalcAvailable();
  for (UINT id : {ID_FORMATS_IMPORT_EXCEL, ID_FORMATS_EXPORT_EXCEL_FILE, ID_FORMATS_EXPORT_EXCEL}) Gray(popup, id, !excel);
  for (UINT id : {ID_FORMATS_IMPORT_CALC, ID_FORMATS_EXPORT_CALC_FILE, ID_FORMATS_EXPORT_CALC}) Gray(popup, id, !calc);
  const UINT flags = m_settings.formatsViewFlags;
  CheckMenuItem(popup, ID_FORMATS_SHOW_PRESETS, MF_BYCOMMAND | ((flags & 1) ? MF_CHECKED : MF_UNCHECKED));
  CheckMenuItem(popup, ID_FORMATS_SHOW_HIDDEN, MF_BYCOMMAND | ((flags & 2) ? MF_CHECKED : MF_UNCHECKED));
  CheckMenuItem(popup, ID_FORMATS_SHOW_UNSAVED, MF_BYCOMMAND | ((flags & 4) ? MF_CHECKED : MF_UNCHECKED));
  SetMenuDefaultItem(popup, ID_FORMAT_CHANGE, FALSE);
  auto* app = dynamic_cast<CConfigVombraApp*>(g_app);
  std::vector<_HOTKEY_INFO> savedHotKeys;
  if (app) {
    savedHotKeys.swap(app->menuHotKeys);
    app->menuHotKeys.assign(std::begin(kListHotKeys), std::end(kListHotKeys));
  }
  const UINT command = UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x,
                                           screen.y, 0, hwnd, nullptr));
  if (app) app->menuHotKeys.swap(savedHotKeys);
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

void CFormatsPage::ShowTabMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_FORMATS_TAB_MENU, &bar);
  if (!popup) return;
  CheckMenuItem(popup, ID_FILTER_DEFAULT, MF_BYCOMMAND | MF_CHECKED);
  Gray(popup, ID_FILTER_DEFAULT, true);
  for (size_t i = 0; i < m_settings.keyFilters.size(); ++i) {
    const _KEYFILTER_INFO& filter = m_settings.keyFilters[i];
    const UINT state = (filter.Flags & 1) ? MF_CHECKED : MF_UNCHECKED;
    InsertMenuW(popup, UINT(i + 1), MF_BYPOSITION | MF_STRING | state, kFilterCommandFirst + i,
                filter.Name.c_str());
  }
  const UINT command = UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x,
                                           screen.y, 0, hwnd, nullptr));
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}
