#include "SoundPage.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <string>

#include "Clock.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Exceptions.h"
#include "FileDialog.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "Strings.h"
#include "UiHelpers.h"
#include "Wnd.h"

CExplorerSeam ExplorerSeam;

namespace {

constexpr UINT kColumnTitles[SNDCOL_COUNT] = {IDS_SNDCOL_EVENT, IDS_SNDCOL_FILE, IDS_SNDCOL_PLAY, IDS_SNDCOL_GO,
                                              IDS_SNDCOL_BROWSE};
constexpr UINT_PTR kEditTimer = 1;
constexpr UINT kEditDelay = 500;  // ms
// Between a media file's path and its display name in the combo's list.
const wchar_t kNameSeparator[] = L" \t// ";
const wchar_t kPageProperty[] = L"VombraSoundPage";

std::wstring g_eventNames[SOUND_COUNT];
bool g_eventNamesLoaded = false;

HMENU LoadPopup(UINT id, HMENU* bar) {
  *bar = LoadMenuW(g_hResInstance, MAKEINTRESOURCEW(id));
  if (!*bar && g_hResInstance != g_hInstance) *bar = LoadMenuW(g_hInstance, MAKEINTRESOURCEW(id));
  return *bar ? GetSubMenu(*bar, 0) : nullptr;
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  // Ordinal folding: the "C" locale of _wcsicmp leaves Cyrillic letters unfolded.
  return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

void ShowError(HWND owner, const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, owner);
}

CMainFrame* MainFrame() { return g_app ? dynamic_cast<CMainFrame*>(g_app->mainWnd) : nullptr; }

}  // namespace

int PlayingSoundEvent() {
  const CMainFrame* frame = MainFrame();
  return frame ? frame->mciSound : -1;
}

// --- rows ---

void CSoundsLvData::LoadEventNames() {
  if (g_eventNamesLoaded) return;
  g_eventNamesLoaded = true;
  for (size_t i = 0; i < SOUND_COUNT; ++i) {
    if (!LoadStr(UINT(IDS_SOUND_EVENT_FIRST + i), g_eventNames[i]) || g_eventNames[i].empty())
      g_eventNames[i] = L"?";
  }
}

const std::wstring& CSoundsLvData::EventName(int event) {
  static const std::wstring unknown = L"?";
  if (event < 0 || event >= int(SOUND_COUNT)) return unknown;
  return g_eventNames[event];
}

void CSoundsLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  int kind = -1;
  if (visibleColumns && item.iSubItem >= 0 && size_t(item.iSubItem) < visibleColumns->size())
    kind = (*visibleColumns)[size_t(item.iSubItem)];
  const bool valid = files && item.iItem >= 0 && item.iItem < int(SOUND_COUNT);
  const std::wstring* file = valid ? &files[item.iItem] : nullptr;
  if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
    const std::wstring* text = nullptr;
    if (valid && kind == SNDCOL_EVENT) text = &EventName(item.iItem);
    if (valid && kind == SNDCOL_FILE) text = file;
    if (text) {
      lstrcpynW(item.pszText, text->c_str(), item.cchTextMax);
    } else {
      item.pszText[0] = L'\0';
    }
  }
  if (item.mask & LVIF_IMAGE) {
    item.iImage = I_IMAGENONE;
    if (valid) {
      switch (kind) {
        case SNDCOL_PLAY:
          if (!file->empty()) item.iImage = PlayingSoundEvent() == item.iItem ? SOUND_IMAGE_STOP : SOUND_IMAGE_PLAY;
          break;
        case SNDCOL_GO:
          if (!file->empty()) item.iImage = SOUND_IMAGE_GO;
          break;
        case SNDCOL_BROWSE:
          item.iImage = SOUND_IMAGE_FOLDER;
          break;
        default:
          break;
      }
    }
  }
  // A text column first reserves no image space: the name or path starts at the cell's edge.
  if ((item.mask & LVIF_INDENT) && (kind == SNDCOL_EVENT || kind == SNDCOL_FILE)) item.iIndent = -1;
}

// --- page ---

const _HOTKEY_INFO CSoundPage::kListHotKeys[2] = {{VK_RETURN, ID_SOUND_CHOOSE}, {0x200 | 'A', ID_SOUND_SELECT_ALL}};

CSoundPage::CSoundPage() : CSoundPage(App()->settings) {}

CSoundPage::CSoundPage(CAppSettings& settings) : CAppPage(IDD_PAGE_SOUND), m_settings(settings) {
  CSoundsLvData::LoadEventNames();
  rows.files = settings.SoundFiles;
}

CSoundPage::~CSoundPage() {
  if (IsRealHandle(hwnd)) Destroy();
  m_settings.RemoveView(viewIndex);
  viewIndex = -1;
}

LRESULT CSoundPage::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CAppPage::WindowProc(wnd, message, wParam, lParam);
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      if (editing) PlaceEditor();
      return answer;
    }
    case WM_TIMER:
      if (wParam != kEditTimer) break;
      BeginEdit();
      return 0;
    case WM_USER + 1:
      // Posted after a drop-down choice, once the combo holds the chosen text. Posted to a dialog this is
      // DM_SETDEFID, which the dialog manager would take: the page has no default button to set.
      EndEdit(true);
      return TRUE;
    case WM_CONTEXTMENU: {
      HWND source = reinterpret_cast<HWND>(wParam);
      if (!table.hwnd || source != table.hwnd) break;
      if (IsInMenuMode()) return 0;
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (pt.x == -1 && pt.y == -1) {
        RECT rect{};
        const int row = FirstSelectedRow();
        rect.left = LVIR_BOUNDS;
        if (row < 0 || !SendMessageW(table.hwnd, LVM_GETITEMRECT, row, LPARAM(&rect))) {
          GetClientRect(table.hwnd, &rect);
        }
        pt = {rect.left + 8, rect.top + 8};
        ClientToScreen(table.hwnd, &pt);
      } else {
        // The header has its own menu.
        RECT header;
        HWND headerWnd = HWND(SendMessageW(table.hwnd, LVM_GETHEADER, 0, 0));
        if (headerWnd && GetWindowRect(headerWnd, &header) && PtInRect(&header, pt)) return 0;
      }
      ShowListMenu(pt);
      return 0;
    }
    case WM_DRAWITEM:
      if (wParam != IDC_SOUND_COMBO) break;
      DrawComboItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
      return TRUE;
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

BOOL CSoundPage::OnInitDialog() {
  CAppPage::OnInitDialog();
  layout.owner = hwnd;
  layout.AddControl(IDC_SOUND_LIST, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  HWND list = GetDlgItem(hwnd, IDC_SOUND_LIST);
  if (list) {
    const DWORD exStyle = LVS_EX_SUBITEMIMAGES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, exStyle, exStyle);
    SetWindowLongW(list, GWL_STYLE, GetWindowLongW(list, GWL_STYLE) | WS_CLIPSIBLINGS);
    // Shared with other pages' lists: LVS_SHAREIMAGELISTS in the template keeps the list from freeing it.
    if (auto* app = dynamic_cast<CConfigVombraApp*>(g_app)) {
      if (HIMAGELIST images = app->GetImageList()) SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(images));
    }
  }
  if (table.Attach(hwnd, IDC_SOUND_LIST)) {
    LoadColumns();
    table.EnableAltRowColor(m_settings.altListBkColor);
    if (g_app) table.SetToolTip(g_app->GetSharedToolTip());
    table.UpdateColumns();
  }
  combo = GetDlgItem(hwnd, IDC_SOUND_COMBO);
  if (combo) {
    SetWindowLongW(combo, GWL_STYLE, GetWindowLongW(combo, GWL_STYLE) | WS_CLIPSIBLINGS);
    // A longer path would make the add-in's whole settings load fail.
    SendMessageW(combo, CB_LIMITTEXT, kMaxSoundPath, 0);
  }

  rows.files = m_settings.SoundFiles;
  rows.columns = &table.columns;
  rows.visibleColumns = &table.visibleColumns;
  rows.owner = this;
  rows.callback = &CSoundPage::OnListDataChanged;
  UpdateData(false);
  if (viewIndex < 0) viewIndex = m_settings.AddView({this, &CSoundPage::OnSettingsChanged, 0});
  return TRUE;
}

void CSoundPage::OnDestroy() {
  m_settings.RemoveView(viewIndex);
  viewIndex = -1;
  StopEditTimer();
  editing = false;
  if (editBox && editBoxSavedProc) {
    SetWindowLongPtrW(editBox, GWLP_WNDPROC, LONG_PTR(editBoxSavedProc));
    RemovePropW(editBox, kPageProperty);
  }
  editBox = nullptr;
  editBoxSavedProc = nullptr;
  combo = nullptr;
  if (table.hwnd) {
    table.RemoveHeaderTips();
    table.Destroy();
  }
  table.hwnd = nullptr;
  rows.callback = nullptr;
  rows.owner = nullptr;
}

void CSoundPage::LoadColumns() {
  COLUMN_SET set = m_settings.soundsColumns;
  if (set.size() != SNDCOL_COUNT) set = DefaultColumnSet(CS_SOUNDS);
  table.SetColumns(set, kColumnTitles);
}

void CSoundPage::EnableList() {
  if (table.hwnd) EnableWindow(table.hwnd, m_settings.SoundEnabled ? TRUE : FALSE);
}

void CSoundPage::UpdateData(bool save) {
  if (save || !hwnd) return;
  CMuteNotifyScope mute(hwnd);
  CheckDlgButton(hwnd, IDC_SOUND_ENABLED, m_settings.SoundEnabled ? BST_CHECKED : BST_UNCHECKED);
  if (table.hwnd) {
    SendMessageW(table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    LoadColumns();
    table.UpdateColumns();
    rows.FireEvent();
    ApplyGridLines(table.hwnd);
  }
  EnableList();
}

void CSoundPage::OnListDataChanged(void* owner, CVirtualListViewData* data, int) {
  auto* page = static_cast<CSoundPage*>(owner);
  if (page->table.hwnd) RefreshListRows(page->table, *data);
}

void CSoundPage::OnSettingsChanged(void* owner, CDocument*, const uint64_t* hints) {
  auto* page = static_cast<CSoundPage*>(owner);
  if (!page->hwnd) return;
  CAppSettings& settings = page->m_settings;
  const uint64_t bits = *hints;
  const UINT detail = settings.GetViewDetail();
  if (bits & HINT_SOUND_ENABLED) {
    CMuteNotifyScope mute(page->hwnd);
    CheckDlgButton(page->hwnd, IDC_SOUND_ENABLED, settings.SoundEnabled ? BST_CHECKED : BST_UNCHECKED);
    page->EnableList();
  }
  if (!page->table.hwnd) return;
  if ((bits & (HINT_SOUND_FILES | HINT_VIEW_OPTIONS)) && (detail & VIEW_DETAIL_SOUNDS_COLUMNS)) {
    SendMessageW(page->table.hwnd, LVM_SETITEMCOUNT, 0, 0);
    page->LoadColumns();
    page->table.UpdateColumns();
    page->rows.FireEvent();
  } else if (bits & HINT_SOUND_FILES) {
    page->rows.FireEvent();
  } else if (bits & HINT_SOUND_PLAYING) {
    SendMessageW(page->table.hwnd, LVM_REDRAWITEMS, 0, SOUND_COUNT - 1);
  }
  if (bits & HINT_VIEW_OPTIONS) {
    if (detail & VIEW_DETAIL_ALT_LIST_BK_COLOR) page->table.EnableAltRowColor(settings.altListBkColor);
    if (detail & VIEW_DETAIL_TABLE_GRID) ApplyGridLines(page->table.hwnd);
  }
}

int CSoundPage::FirstSelectedRow() const {
  if (!table.hwnd) return -1;
  return int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
}

void CSoundPage::RedrawRow(int row) {
  if (table.hwnd && row >= 0) SendMessageW(table.hwnd, LVM_REDRAWITEMS, row, row);
}

// --- in-place editor ---

void CSoundPage::StopEditTimer() {
  if (!editTimer) return;
  if (hwnd) KillTimer(hwnd, kEditTimer);
  editTimer = false;
}

void CSoundPage::SetCurrentCell(int row, int column) {
  if (row == editRow && column == editColumn) return;
  if (editing) EndEdit(true);
  StopEditTimer();
  if (row != editRow && row != -1) rowChangeTick = Ticks();
  editRow = row;
  editColumn = column;
}

void CSoundPage::BeginEdit() {
  if (hwnd) KillTimer(hwnd, kEditTimer);
  // A WM_TIMER already queued when the timer was stopped (a double click, another row) opens nothing.
  if (!editTimer) return;
  editTimer = false;
  if (editing || !combo || !table.hwnd) return;
  if (editRow < 0 || editRow >= int(SOUND_COUNT) || editColumn < 0) return;
  if (!editBox) {
    editBox = GetWindow(combo, GW_CHILD);
    if (editBox) {
      SetPropW(editBox, kPageProperty, this);
      editBoxSavedProc =
          reinterpret_cast<WNDPROC>(SetWindowLongPtrW(editBox, GWLP_WNDPROC, LONG_PTR(&CSoundPage::EditBoxProc)));
    }
    FillMediaCombo();
  }
  SetWindowTextW(combo, m_settings.SoundFiles[editRow].c_str());
  PlaceEditor();
  editing = true;
  ShowWindow(combo, SW_SHOW);
  SetFocus(combo);
}

void CSoundPage::PlaceEditor() {
  if (!combo || !table.hwnd || editRow < 0 || editColumn < 0) return;
  RECT cell{};
  cell.top = editColumn;
  cell.left = LVIR_BOUNDS;
  if (!SendMessageW(table.hwnd, LVM_GETSUBITEMRECT, editRow, LPARAM(&cell))) return;
  MapWindowPoints(table.hwnd, hwnd, reinterpret_cast<POINT*>(&cell), 2);
  // Column 0 answers the whole row's bounds, and the file column is column 0 once Event is hidden or
  // moved: the header item holds the cell's true edges.
  HWND header = HWND(SendMessageW(table.hwnd, LVM_GETHEADER, 0, 0));
  RECT item{};
  if (header && SendMessageW(header, HDM_GETITEMRECT, editColumn, LPARAM(&item))) {
    MapWindowPoints(header, hwnd, reinterpret_cast<POINT*>(&item), 2);
    cell.left = item.left;
    cell.right = item.right;
  }
  RECT own{};
  GetWindowRect(combo, &own);
  // The entries are longer than the cell: the drop-down reaches to the list's right edge.
  RECT client{};
  GetClientRect(table.hwnd, &client);
  MapWindowPoints(table.hwnd, hwnd, reinterpret_cast<POINT*>(&client), 2);
  SendMessageW(combo, CB_SETDROPPEDWIDTH, std::max(int(cell.right - cell.left), int(client.right - cell.left)), 0);
  // Above the list whatever the template's order.
  SetWindowPos(combo, HWND_TOP, cell.left, cell.top, std::max(0, int(cell.right - cell.left)),
               own.bottom - own.top, SWP_NOACTIVATE);
}

void CSoundPage::EndEdit(bool commit) {
  if (!editing) return;
  std::wstring text;
  if (commit && combo) GetWindowTextString(combo, text);
  // Cleared before the combo hides: hiding the focus window sends CBN_KILLFOCUS, which would commit again
  // (or commit what Esc drops).
  editing = false;
  const HWND focus = GetFocus();
  const bool hadFocus = focus && combo && (focus == combo || IsChild(combo, focus));
  if (combo) ShowWindow(combo, SW_HIDE);
  if (hadFocus && table.hwnd) SetFocus(table.hwnd);
  if (!commit || editRow < 0 || editRow >= int(SOUND_COUNT)) return;
  const size_t cut = text.find(kNameSeparator);
  if (cut != std::wstring::npos) text.resize(cut);
  if (SameTextIgnoringCase(text, m_settings.SoundFiles[editRow])) return;
  if (text.size() > kMaxSoundPath) {
    std::wstring message;
    LoadStrAppendFormat(message, IDS_SOUND_PATH_TOO_LONG, int(kMaxSoundPath));
    ShowMessageBox(message.c_str(), MB_OK | MB_ICONERROR, hwnd);
    return;
  }
  const int row = editRow;
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    m_settings.SetSoundFile(row, text.c_str());
    m_settings.EndUpdate(batch);
  }
  RedrawRow(row);
}

void CSoundPage::DrawComboItem(DRAWITEMSTRUCT* draw) {
  // Owner-drawn only to expand the tab between a media file's path and its name: a plain combo list
  // shows the tab as a box.
  if (draw->itemID == UINT(-1)) return;
  const bool selected = (draw->itemState & ODS_SELECTED) != 0;
  FillRect(draw->hDC, &draw->rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  const LRESULT length = SendMessageW(draw->hwndItem, CB_GETLBTEXTLEN, draw->itemID, 0);
  if (length <= 0) return;
  std::wstring text(size_t(length) + 1, L'\0');
  SendMessageW(draw->hwndItem, CB_GETLBTEXT, draw->itemID, LPARAM(&text[0]));
  text.resize(size_t(length));
  SetBkMode(draw->hDC, TRANSPARENT);
  SetTextColor(draw->hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  RECT rect = draw->rcItem;
  rect.left += 2;
  DrawTextW(draw->hDC, text.c_str(), int(text.size()), &rect,
            DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_EXPANDTABS | DT_END_ELLIPSIS);
  if (draw->itemState & ODS_FOCUS) DrawFocusRect(draw->hDC, &draw->rcItem);
}

LRESULT CALLBACK CSoundPage::EditBoxProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* page = static_cast<CSoundPage*>(GetPropW(wnd, kPageProperty));
  if (!page || !page->editBoxSavedProc) return DefWindowProcW(wnd, message, wParam, lParam);
  const WNDPROC saved = page->editBoxSavedProc;
  switch (message) {
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_KEYDOWN:
      if (wParam == VK_RETURN) {
        page->EndEdit(true);
        return 0;
      }
      if (wParam == VK_ESCAPE) {
        page->EndEdit(false);
        return 0;
      }
      break;
    case WM_CHAR:
      // Enter and Esc are done at WM_KEYDOWN; their characters would only beep.
      if (wParam == L'\r' || wParam == 0x1B) return 0;
      break;
    default:
      break;
  }
  return CallWindowProcW(saved, wnd, message, wParam, lParam);
}

void CSoundPage::FillMediaCombo() {
  if (!combo) return;
  std::vector<wchar_t> buffer(MAX_PATH);
  UINT length = GetWindowsDirectoryW(buffer.data(), UINT(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = GetWindowsDirectoryW(buffer.data(), UINT(buffer.size()));
  }
  if (length == 0 || length >= buffer.size()) return;
  const std::wstring folder = std::wstring(buffer.data(), length) + L"\\Media";
  static const wchar_t* const kExtensions[] = {L".wav", L".mid", L".mp3"};
  std::vector<std::wstring> files;
  FindFilesRecursive(files, folder.c_str(), kExtensions);
  std::sort(files.begin(), files.end(), PathLess);
  for (const std::wstring& path : files) {
    std::wstring entry = path;
    SHFILEINFOW info{};
    if (SHGetFileInfoW(path.c_str(), 0, &info, sizeof info, SHGFI_DISPLAYNAME) && info.szDisplayName[0]) {
      entry += kNameSeparator;
      entry += info.szDisplayName;
    }
    SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(entry.c_str()));
  }
}

// --- commands ---

void CSoundPage::ChooseFile(int row) {
  if (row < 0 || row >= int(SOUND_COUNT)) return;
  std::vector<std::wstring> files;
  if (!m_settings.SoundFiles[row].empty()) files.push_back(m_settings.SoundFiles[row]);
  const DWORD flags = OFN_ENABLESIZING | OFN_LONGNAMES | OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
  if (!ShowFileDialog(files, nullptr, false, IDS_SOUND_FILTER, hwnd, flags) || files.empty()) return;
  const std::wstring& path = files.front();
  if (path == m_settings.SoundFiles[row]) return;
  if (path.size() > kMaxSoundPath) {
    std::wstring message;
    LoadStrAppendFormat(message, IDS_SOUND_PATH_TOO_LONG, int(kMaxSoundPath));
    ShowMessageBox(message.c_str(), MB_OK | MB_ICONERROR, hwnd);
    return;
  }
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    m_settings.SetSoundFile(row, path.c_str());
    m_settings.EndUpdate(batch);
  }
  RedrawRow(row);
}

void CSoundPage::ShowFileInExplorer(int row) {
  if (row < 0 || row >= int(SOUND_COUNT) || m_settings.SoundFiles[row].empty()) return;
  std::wstring parameters;
  StrFormat(parameters, L"/select, \"%s\"", m_settings.SoundFiles[row].c_str());
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_UNICODE | SEE_MASK_FLAG_NO_UI;
  info.hwnd = hwnd;
  info.lpVerb = L"open";
  info.lpFile = L"explorer.exe";
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  const BOOL done = ExplorerSeam.ShellExecuteEx ? ExplorerSeam.ShellExecuteEx(&info) : ShellExecuteExW(&info);
  if (!done) throw COSException(GetLastError());
}

void CSoundPage::PlayOrStop(int row) {
  CMainFrame* frame = MainFrame();
  if (!frame || row < 0 || row >= int(SOUND_COUNT)) return;
  if (frame->mciSound != -1) {
    frame->StopMedia();
    return;
  }
  frame->StopSound();
  if (!m_settings.SoundFiles[row].empty()) frame->PlayEventSound(row);
}

void CSoundPage::ClearFiles(bool noConfirm) {
  if (!table.hwnd) return;
  std::vector<int> selected;
  for (int row = -1; (row = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(row), LVNI_SELECTED))) >= 0;)
    selected.push_back(row);
  if (selected.empty()) return;
  {
    _DOC_UPDATE_INFO batch(&m_settings, this);
    if (!noConfirm && (m_settings.ConfirmFlags & CONFIRM_DELETE_ITEM)) {
      std::wstring text;
      LoadStrAppendFormat(text, IDS_REMOVE_ITEMS, int(selected.size()));
      bool doNotAsk = false;
      const int answer = ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
      if (doNotAsk) m_settings.SetConfirmFlags(CONFIRM_DELETE_ITEM, false);
      if (answer != IDOK) return;
    }
    for (int row : selected) {
      if (row < int(SOUND_COUNT)) m_settings.SetSoundFile(row, L"");
    }
    m_settings.EndUpdate(batch);
  }
  rows.FireEvent();
}

bool CSoundPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  if (id == IDC_SOUND_ENABLED) {
    if (notifyCode != BN_CLICKED) return true;
    {
      _DOC_UPDATE_INFO batch(&m_settings, this);
      m_settings.SoundEnabled = IsDlgButtonChecked(hwnd, IDC_SOUND_ENABLED) == BST_CHECKED;
      m_settings.SetSettingsModified(true);
      m_settings.UpdateAllViews(HINT_SOUND_ENABLED);
      m_settings.EndUpdate(batch);
    }
    EnableList();
    return true;
  }
  if (id == IDC_SOUND_COMBO) {
    if (notifyCode == CBN_KILLFOCUS) EndEdit(true);
    if (notifyCode == CBN_SELENDOK) PostMessageW(hwnd, WM_USER + 1, 0, 0);
    return true;
  }
  try {
    switch (id) {
      case ID_SOUND_PLAY:
        PlayOrStop(FirstSelectedRow());
        return true;
      case ID_SOUND_GO:
        ShowFileInExplorer(FirstSelectedRow());
        return true;
      case ID_SOUND_CHOOSE:
        ChooseFile(FirstSelectedRow());
        return true;
      case ID_SOUND_SELECT_ALL:
        if (table.hwnd) table.SelectAll();
        return true;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ShowError(hwnd, e);
    return true;
  }
  return CAppPage::OnCommand(id, notifyCode, control);
}

void CSoundPage::ShowListMenu(POINT screen) {
  HMENU bar = nullptr;
  HMENU popup = LoadPopup(IDR_SOUND_MENU, &bar);
  if (!popup) return;
  const int selected = table.hwnd ? int(SendMessageW(table.hwnd, LVM_GETSELECTEDCOUNT, 0, 0)) : 0;
  const int row = FirstSelectedRow();
  const bool oneFile = selected == 1 && row >= 0 && row < int(SOUND_COUNT) && !m_settings.SoundFiles[row].empty();
  for (UINT id : {UINT(ID_SOUND_GO), UINT(ID_SOUND_PLAY)})
    EnableMenuItem(popup, id, MF_BYCOMMAND | (oneFile ? MF_ENABLED : MF_GRAYED));
  SetMenuDefaultItem(popup, ID_SOUND_CHOOSE, FALSE);
  auto* app = dynamic_cast<CConfigVombraApp*>(g_app);
  std::vector<_HOTKEY_INFO> savedHotKeys;
  if (app) {
    savedHotKeys.swap(app->menuHotKeys);
    app->menuHotKeys.assign(std::begin(kListHotKeys), std::end(kListHotKeys));
  }
  const UINT command =
      UINT(TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr));
  if (app) app->menuHotKeys.swap(savedHotKeys);
  DestroyMenu(bar);
  if (command) OnCommand(command, 0, nullptr);
}

// --- notifications ---

bool CSoundPage::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (table.hwnd && header->hwndFrom == table.hwnd) {
    try {
      if (OnListNotify(header, result)) return true;
    } catch (const std::exception& e) {
      ShowError(hwnd, e);
      *result = 0;
      return true;
    }
  }
  return CAppPage::OnNotify(id, header, result);
}

void CSoundPage::OnListClick(NMITEMACTIVATE* click) {
  LVHITTESTINFO hit{};
  hit.pt = click->ptAction;
  SendMessageW(table.hwnd, LVM_SUBITEMHITTEST, 0, LPARAM(&hit));
  if (hit.iItem < 0 || hit.iItem >= int(SOUND_COUNT) || hit.iSubItem < 0 ||
      size_t(hit.iSubItem) >= table.visibleColumns.size())
    return;
  SetCurrentCell(hit.iItem, hit.iSubItem);
  switch (table.visibleColumns[size_t(hit.iSubItem)]) {
    case SNDCOL_FILE:
      // A second click on the selected row's file, not part of a double click, opens the editor.
      if (!editTimer && TicksElapsed(rowChangeTick, Ticks()) > kEditDelay) {
        editTimer = SetTimer(hwnd, kEditTimer, kEditDelay, nullptr) != 0;
      }
      break;
    case SNDCOL_PLAY:
      PlayOrStop(hit.iItem);
      break;
    case SNDCOL_GO:
      ShowFileInExplorer(hit.iItem);
      break;
    case SNDCOL_BROWSE:
      ChooseFile(hit.iItem);
      break;
    default:
      break;
  }
}

void CSoundPage::OnItemChanged(NMLISTVIEW* change) {
  if (!(change->uChanged & LVIF_STATE)) return;
  const UINT gained = change->uNewState & ~change->uOldState;
  const UINT lost = change->uOldState & ~change->uNewState;
  if ((gained & LVIS_FOCUSED) && change->iItem >= 0) SetCurrentCell(change->iItem, editColumn);
  if ((lost & (LVIS_FOCUSED | LVIS_SELECTED)) && !editing) {
    const int focused = int(SendMessageW(table.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED));
    // While no row has the focus the cell stays: Wine's list takes the focus off the clicked row and
    // gives it back on every click, which would restart the second-click rule each time.
    if (focused >= 0 && focused != editRow) SetCurrentCell(-1, -1);
  }
}

bool CSoundPage::OnListNotify(NMHDR* header, LRESULT* result) {
  *result = 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      rows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      rows.OnCacheHint(hint->iFrom, hint->iTo);
      return true;
    }
    case NM_CLICK:
      OnListClick(reinterpret_cast<NMITEMACTIVATE*>(header));
      return true;
    case NM_DBLCLK: {
      StopEditTimer();
      const int row = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
      if (row >= 0) ChooseFile(row);
      return true;
    }
    case NM_RETURN:
      ChooseFile(FirstSelectedRow());
      return true;
    case NM_KILLFOCUS:
      StopEditTimer();
      return true;
    case LVN_ITEMCHANGED:
      OnItemChanged(reinterpret_cast<NMLISTVIEW*>(header));
      return true;
    case LVN_KEYDOWN: {
      const WORD key = reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey;
      const bool ctrl = GetKeyState(VK_CONTROL) < 0;
      const bool shift = GetKeyState(VK_SHIFT) < 0;
      const bool alt = GetKeyState(VK_MENU) < 0;
      if (key == VK_INSERT && !ctrl && !shift && !alt) {
        ChooseFile(FirstSelectedRow());
        return true;
      }
      if (key == VK_DELETE && !ctrl && !alt) {
        ClearFiles(shift);
        return true;
      }
      return false;  // the table's keys (Ctrl+A and the rest)
    }
    case TBLN_BEGINDRAG:
    case TBLN_SORT:
      return true;  // rows are neither dragged nor sorted
    case TBLN_COLUMNSCHANGED: {
      auto* change = reinterpret_cast<_TBLN_COLUMNS_INFO*>(header);
      if (!m_settings.configModified) {
        _DOC_UPDATE_INFO batch(&m_settings, this);
        m_settings.SetConfigModified(true);
        m_settings.EndUpdate(batch);
      }
      COLUMN_SET set;
      for (const _COLUMN_INFO& column : table.columns)
        set.push_back({column.width, column.order, column.align, column.flags & (COLUMN_VISIBLE | COLUMN_AUTOSIZE)});
      m_settings.soundsColumns = set;
      if (change->what & COLCHANGE_VISIBLE) rows.FireEvent();
      *result = 1;
      return true;
    }
    case TBLN_RESETCOLUMNS:
      *result = ResetColumnsToDefaults(m_settings, hwnd, *reinterpret_cast<_TBLN_RESET_INFO*>(header), CS_SOUNDS);
      return true;
    default:
      return false;
  }
}
