#include "MethodDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cwchar>
#include <exception>

#include "Clock.h"
#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MessageBox.h"
#include "MethodsPage.h"
#include "PropertyDialog.h"
#include "Strings.h"
#include "TestListPage.h"
#include "TestVombra.h"
#include "UiHelpers.h"
#include "VariantArray.h"

namespace {

constexpr COLORREF kFixedCellColor = 0xE5E5E5;
constexpr int kFirstColumnWidth = 75;
constexpr int kArgColumnWidth = 75;
// Wide enough for the Russian "Hexadecimal".
constexpr int kRadioWidth = 125;

std::wstring Text(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::wstring TypeIndexValueText(int typeIndex, const std::wstring& text) {
  switch (typeIndex) {
    case 1: return Text(IDS_VARIANT_TYPE_FIRST + 1);
    case 4: return L'"' + text + L'"';
    case 5: return Text(text.empty() || text == L"0" ? IDS_FALSE : IDS_TRUE);
    case 6: return L'{' + text + L'}';
    default: return text;
  }
}

}  // namespace

void PushArgHistory(std::vector<std::wstring>& items, const std::wstring& before) {
  if (items.empty() || items[0] == before || before.empty()) return;
  items.insert(items.begin() + 1, before);
  for (size_t i = 1; i < items.size();) {
    if (items[i] == items[0]) {
      items.erase(items.begin() + std::ptrdiff_t(i));
    } else {
      ++i;
    }
  }
  while (items.size() > kArgHistoryLength) items.pop_back();
}

void ApplyDefaultItems(std::vector<std::wstring>& items, const std::wstring& defaultText) {
  if (!items.empty() && !items[0].empty() && items[0] != defaultText) {
    for (size_t i = 1; i < items.size();) {
      if (items[i] == defaultText) {
        items.erase(items.begin() + std::ptrdiff_t(i));
      } else {
        ++i;
      }
    }
    if (std::find(items.begin() + 1, items.end(), items[0]) == items.end()) items.insert(items.begin() + 1, items[0]);
    while (items.size() > kArgHistoryLength) items.pop_back();
  }
  if (items.empty()) items.emplace_back();
  items[0] = defaultText;
}

WORD ArgTypeFromIndex(int typeIndex) {
  switch (typeIndex) {
    case 1: return VTYPE_NULL;
    case 3: return VTYPE_I4;
    case 4: return VTYPE_PWSTR;
    case 5: return VTYPE_BOOL;
    case 6: return VTYPE_BLOB;
    default: return VTYPE_EMPTY;
  }
}

void ArgCellText(WORD vt, const std::vector<std::wstring>* items, const std::wstring* text, std::wstring& out) {
  const std::wstring value = items ? (items->empty() ? std::wstring() : (*items)[0]) : (text ? *text : std::wstring());
  switch (vt) {
    case VTYPE_EMPTY:
      out.clear();
      break;
    case VTYPE_NULL:
      out = Text(IDS_VARIANT_TYPE_FIRST + 1);
      break;
    case VTYPE_PSTR:
    case VTYPE_BLOB:
      out = L'{' + value + L'}';
      break;
    case VTYPE_BOOL:
      out = Text((items ? ArgBoolValue(*items) : !(value.empty() || value == L"0")) ? IDS_TRUE : IDS_FALSE);
      break;
    case VTYPE_PWSTR:
      out = L'"' + value + L'"';
      break;
    default:
      out = value;
      break;
  }
}

// --- method dialog ---

CMethodDialog::CMethodDialog(CTestVombra* host, UINT method, CAppSettings* settings)
    : host(host), method(method), settings(settings ? *settings : BenchSettings()) {}

LRESULT CMethodDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE: {
      const LRESULT answer = CModalDialog::WindowProc(wnd, message, wParam, lParam);
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return answer;
    }
    case WM_DESTROY:
      OnDestroy();
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

BOOL CMethodDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  modified = false;
  layout.owner = hwnd;
  layout.AddControl(IDC_METHDLG_NAME, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_METHDLG_ARGS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_METHDLG_EXECUTE, ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_METHDLG_PROTOCOL, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  IComponentBase* component = host ? host->Component : nullptr;
  std::wstring ru;
  if (host) {
    host->GetMethodName(name, long(method), 0);
    host->GetMethodName(ru, long(method), 1);
  }
  SetDlgItemTextW(hwnd, IDC_METHDLG_NAME, (ru + L" (" + name + L")").c_str());

  const auto found = settings.methodArgs.find(name);
  if (found != settings.methodArgs.end()) args = found->second;
  long count = 0;
  if (component) {
    try {
      count = std::max(0L, component->GetNParams(long(method)));
    } catch (...) {
      count = 0;
    }
  }
  bool changed = false;
  if (args.size() != size_t(count)) {
    const size_t old = args.size();
    args.resize(size_t(count));
    for (size_t k = old; k < args.size(); ++k) {
      args[k] = _METHOD_ARG_INFO();
      args[k].Vt = VTYPE_EMPTY;
      args[k].Width = -1;
    }
    changed = true;
  }
  if (component) {
    CVariantArray value(1, static_cast<IMemoryManager*>(host));
    for (long k = 0; k < count; ++k) {
      _METHOD_ARG_INFO& arg = args[size_t(k)];
      WORD defaultVt = VTYPE_EMPTY;
      std::wstring defaultText;
      value.Clear(0);
      bool has = false;
      try {
        has = component->GetParamDefValue(long(method), k, &value[0]);
      } catch (...) {
        has = false;
      }
      if (has) {
        defaultVt = value[0].vt;
        VariantToEditText(defaultText, value[0]);
      }
      if (defaultVt == arg.DefaultVt && defaultText == arg.DefaultText) continue;
      arg.DefaultVt = defaultVt;
      arg.DefaultText = defaultText;
      changed = true;
      if (!defaultText.empty() && arg.Vt == VTYPE_EMPTY && (arg.Items.empty() || arg.Items[0].empty())) {
        arg.Vt = defaultVt;
        if (arg.Items.empty()) arg.Items.emplace_back();
        arg.Items[0] = defaultText;
      }
    }
  }
  if (changed && !settings.configModified) {
    _DOC_UPDATE_INFO batch(&settings, this);
    settings.SetConfigModified(true);
    settings.EndUpdate(batch);
  }

  list = GetDlgItem(hwnd, IDC_METHDLG_ARGS);
  if (list) {
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = kFirstColumnWidth;
    column.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, LPARAM(&column));
    // Column 0 of a list view is always left-aligned when inserted; set afterwards it takes.
    column.mask = LVCF_FMT;
    column.fmt = LVCFMT_RIGHT;
    SendMessageW(list, LVM_SETCOLUMNW, 0, LPARAM(&column));
    for (long k = 0; k < count; ++k) {
      std::wstring title;
      IntToStr(int(k), title);
      column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
      column.fmt = LVCFMT_LEFT;
      column.cx = kArgColumnWidth;
      column.pszText = const_cast<wchar_t*>(title.c_str());
      SendMessageW(list, LVM_INSERTCOLUMNW, WPARAM(k + 1), LPARAM(&column));
    }
    const UINT rowTitles[2] = {IDS_ARG_ROW_VALUE, IDS_ARG_ROW_DEFAULT};
    for (int row = 0; row < 2; ++row) {
      std::wstring title = Text(rowTitles[row]);
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = row;
      item.pszText = const_cast<wchar_t*>(title.c_str());
      SendMessageW(list, LVM_INSERTITEMW, 0, LPARAM(&item));
    }
    FillCells();
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, kFirstColumnWidth);
    HWND header = HWND(SendMessageW(list, LVM_GETHEADER, 0, 0));
    const int columns = header ? int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    for (int k = 0; k + 1 < columns && size_t(k) < args.size(); ++k) {
      const int width = args[size_t(k)].Width;
      // A new argument's column fits its title and cells (an empty cell alone would leave a sliver).
      if (width >= 0) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, WPARAM(k + 1), width);
        continue;
      }
      SendMessageW(list, LVM_SETCOLUMNWIDTH, WPARAM(k + 1), LVSCW_AUTOSIZE_USEHEADER);
      if (SendMessageW(list, LVM_GETCOLUMNWIDTH, WPARAM(k + 1), 0) < kArgColumnWidth)
        SendMessageW(list, LVM_SETCOLUMNWIDTH, WPARAM(k + 1), kArgColumnWidth);
    }
  }
  if (g_app) g_app->ExchangeWindowPos(false, hwnd, FORM_METHOD, -1);
  return TRUE;
}

void CMethodDialog::OnDestroy() {
  if (list) {
    for (size_t k = 0; k < args.size(); ++k) {
      const int width = int(SendMessageW(list, LVM_GETCOLUMNWIDTH, WPARAM(k + 1), 0));
      // A column widened by dragging its divider counts as a change even when no HDN_ENDTRACK came.
      if (width != args[k].Width && !(args[k].Width < 0 && !modified)) modified = true;
      args[k].Width = width;
    }
  }
  if (modified) {
    settings.SetMethodArgs(name.c_str(), args);
    if (!settings.configModified) {
      _DOC_UPDATE_INFO batch(&settings, this);
      settings.SetConfigModified(true);
      settings.EndUpdate(batch);
    }
  }
  if (g_app) g_app->ExchangeWindowPos(true, hwnd, FORM_METHOD, -1);
  list = nullptr;
}

void CMethodDialog::FillCells() {
  if (!list) return;
  for (size_t k = 0; k < args.size(); ++k) {
    const _METHOD_ARG_INFO& arg = args[k];
    std::wstring value, byDefault;
    ArgCellText(arg.Vt, &arg.Items, nullptr, value);
    ArgCellText(arg.DefaultVt, nullptr, &arg.DefaultText, byDefault);
    LVITEMW item{};
    item.iSubItem = int(k + 1);
    item.pszText = const_cast<wchar_t*>(value.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, 0, LPARAM(&item));
    item.pszText = const_cast<wchar_t*>(byDefault.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, 1, LPARAM(&item));
  }
}

void CMethodDialog::SelectCell(int row, int column) {
  if (row == selRow && column == selColumn) return;
  selRow = row;
  selColumn = column;
  if (list) RedrawWindow(list, nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE);
}

void CMethodDialog::OnCustomDraw(NMLVCUSTOMDRAW* draw, LRESULT* result) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      *result = CDRF_NOTIFYITEMDRAW;
      return;
    case CDDS_ITEMPREPAINT:
      *result = CDRF_NOTIFYSUBITEMDRAW;
      return;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const int row = int(draw->nmcd.dwItemSpec);
      const int column = draw->iSubItem;
      const bool rowSelected =
          list && (SendMessageW(list, LVM_GETITEMSTATE, WPARAM(row), LVIS_SELECTED) & LVIS_SELECTED) != 0;
      // The list's row highlight is suppressed: only the chosen cell shows selected.
      draw->nmcd.uItemState &= ~UINT(CDIS_SELECTED | CDIS_FOCUS);
      if (column == 0 || row == 1) {
        draw->clrText = RGB(0, 0, 0);
        draw->clrTextBk = kFixedCellColor;
      } else if (rowSelected && row == selRow && column == selColumn) {
        draw->clrText = GetSysColor(COLOR_HIGHLIGHTTEXT);
        draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
      } else {
        draw->clrText = GetSysColor(COLOR_WINDOWTEXT);
        draw->clrTextBk = GetSysColor(COLOR_WINDOW);
      }
      *result = CDRF_NEWFONT;
      return;
    }
    default:
      *result = CDRF_DODEFAULT;
      return;
  }
}

bool CMethodDialog::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (list && header->code == HDN_ENDTRACKW && header->hwndFrom == HWND(SendMessageW(list, LVM_GETHEADER, 0, 0))) {
    modified = true;
    return false;
  }
  if (id != IDC_METHDLG_ARGS || !list || header->hwndFrom != list) return CModalDialog::OnNotify(id, header, result);
  switch (header->code) {
    case NM_CUSTOMDRAW:
      OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header), result);
      return true;
    case NM_CLICK:
    case NM_DBLCLK: {
      auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
      LVHITTESTINFO hit{};
      hit.pt = click->ptAction;
      SendMessageW(list, LVM_SUBITEMHITTEST, 0, LPARAM(&hit));
      if (hit.iItem < 0) return false;
      if (hit.iSubItem >= 1) SelectCell(hit.iItem, hit.iSubItem);
      if (header->code == NM_CLICK) return false;
      if (hit.iSubItem >= 1 && !(hit.flags & LVHT_ONITEMSTATEICON)) {
        if (hit.iItem == 0) EditArgument(hit.iSubItem - 1);
        if (hit.iItem == 1) ApplyDefault(hit.iSubItem - 1);
      }
      *result = 1;
      return true;
    }
    case LVN_ITEMCHANGED: {
      auto* change = reinterpret_cast<NMLISTVIEW*>(header);
      if ((change->uChanged & LVIF_STATE) && ((change->uNewState ^ change->uOldState) & LVIS_SELECTED) &&
          (change->uNewState & LVIS_SELECTED))
        selRow = change->iItem;
      return false;
    }
    case NM_RETURN:
      if (selColumn >= 1) EditArgument(selColumn - 1);
      *result = 1;
      return true;
    default:
      return false;
  }
}

bool CMethodDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDOK:
    case IDCANCEL:
      EndDialog(int(id));
      return true;
    case IDC_METHDLG_EXECUTE:
      Execute();
      return true;
    default:
      return CModalDialog::OnCommand(id, notifyCode, control);
  }
}

void CMethodDialog::EditArgument(int k) {
  if (k < 0 || size_t(k) >= args.size()) return;
  _METHOD_ARG_INFO& arg = args[size_t(k)];
  CMethArgDialog dialog(k, CConfigVombraApp::VariantTypeIndex(arg.Vt), arg.Items,
                        CConfigVombraApp::VariantTypeIndex(arg.DefaultVt), arg.DefaultText);
  if (dialog.DoModal(IDD_METHOD_ARG, hwnd, false) != IDOK) return;
  arg.Vt = ArgTypeFromIndex(dialog.typeIndex);
  arg.Items = dialog.items;
  modified = true;
  FillCells();
}

void CMethodDialog::ApplyDefault(int k) {
  if (k < 0 || size_t(k) >= args.size()) return;
  _METHOD_ARG_INFO& arg = args[size_t(k)];
  if (arg.DefaultVt == VTYPE_EMPTY) return;
  const std::wstring current = arg.Items.empty() ? std::wstring() : arg.Items[0];
  if (arg.Vt == arg.DefaultVt && current == arg.DefaultText) return;
  if (settings.ConfirmFlags & CONFIRM_RESET_TO_DEFAULT) {
    bool doNotAsk = false;
    const int answer = ShowMessageBoxRes(IDS_REALLY, MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
    if (doNotAsk) settings.SetConfirmFlags(CONFIRM_RESET_TO_DEFAULT, false);
    if (answer != IDOK) return;
  }
  arg.Vt = arg.DefaultVt;
  ApplyDefaultItems(arg.Items, arg.DefaultText);
  modified = true;
  FillCells();
}

void CMethodDialog::AppendLine(const std::wstring& text) {
  HWND edit = GetDlgItem(hwnd, IDC_METHDLG_PROTOCOL);
  if (!edit) return;
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::wstring line;
  StrFormat(line, L"%.2d:%.2d:%.2d.%3d %s\r\n", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, text.c_str());
  SetFocus(edit);
  const int length = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, length, length);
  SendMessageW(edit, EM_REPLACESEL, FALSE, LPARAM(line.c_str()));
}

void CMethodDialog::Execute() {
  IComponentBase* component = host && host->IsLoaded() ? host->Component : nullptr;
  if (!component) return;
  bool hasRetVal = false;
  long count = 0;
  try {
    hasRetVal = component->HasRetVal(long(method));
  } catch (...) {
    hasRetVal = false;
  }
  try {
    count = std::max(0L, component->GetNParams(long(method)));
  } catch (...) {
    count = 0;
  }
  try {
    IMemoryManager* manager = static_cast<IMemoryManager*>(host);
    CVariantArray result(1, manager);
    CVariantArray params(std::max(1L, count), manager);
    for (long i = 0; i < count; ++i) {
      const _METHOD_ARG_INFO* arg = size_t(i) < args.size() ? &args[size_t(i)] : nullptr;
      WORD vt = arg ? arg->Vt : WORD(VTYPE_EMPTY);
      // Bytes shown as binary go as a block: a byte string would not be made from hexadecimal text.
      if (vt == VTYPE_PSTR) vt = VTYPE_BLOB;
      params.SetFromText(i, vt, arg && !arg->Items.empty() ? arg->Items[0].c_str() : L"");
    }
    AppendLine(Text(IDS_CALL_STARTED));
    try {
      const DWORD start = Ticks();
      tVariant* values = count > 0 ? params.Values() : nullptr;
      if (hasRetVal) {
        host->CallMethod(name.c_str(), &result[0], values, count);
      } else {
        std::wstring text;
        const long found = component->FindMethod(name.c_str());
        if (found == -1) {
          LoadStrFormat(text, IDS_HOST_METHOD_NOT_FOUND, name.c_str());
          ThrowTestVombraException(text.c_str());
        }
        host->LastErrorCode = 0;
        bool done = false;
        try {
          done = component->CallAsProc(found, values, count);
        } catch (...) {
          done = false;
        }
        if (!done) {
          LoadStrFormat(text, IDS_HOST_METHOD_FAILED, name.c_str());
          if (host->LastErrorCode != 0) text += L' ' + host->LastErrorDescription;
          ThrowTestVombraException(text.c_str());
        }
      }
      const DWORD elapsed = TicksElapsed(start, Ticks());
      std::wstring line = Text(IDS_CALL_SUCCEEDED);
      LoadStrAppendFormat(line, IDS_CALL_DURATION, double(elapsed) / 1000.0);
      AppendLine(line);
      std::wstring shown;
      if (hasRetVal) {
        BenchDisplayText(result[0], shown);
        line.clear();
        LoadStrAppendFormat(line, IDS_CALL_RESULT, shown.c_str());
        AppendLine(line);
      }
      if (count > 0) {
        AppendLine(Text(IDS_CALL_OUT_VALUES));
        for (long i = 0; i < count; ++i) {
          BenchDisplayText(params[i], shown);
          StrFormat(line, L"  %d: ", int(i));
          AppendLine(line + shown);
        }
      }
    } catch (const std::exception& e) {
      AppendLine(ExceptionText(e));
    } catch (...) {
      AppendLine(ExceptionText(CTestVombraException(nullptr)));
    }
  } catch (const std::exception& e) {
    AppendLine(ExceptionText(e));
  }
  AppendLine(L"----------");
}

// --- argument dialog ---

CMethArgDialog::CMethArgDialog(int index, int typeIndex, const std::vector<std::wstring>& items, int defaultType,
                               const std::wstring& defaultText)
    : index(index), typeIndex(typeIndex), items(items), defaultType(defaultType), defaultText(defaultText) {}

LRESULT CMethArgDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_DESTROY:
      DestroyEditors();
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

BOOL CMethArgDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  kind = 0;
  INITCOMMONCONTROLSEX init{sizeof init, ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&init);
  HWND types = GetDlgItem(hwnd, IDC_ARGDLG_TYPE);
  for (int type = 1; type <= 6; ++type) {
    const std::wstring title = Text(IDS_VARIANT_TYPE_FIRST + UINT(type));
    const LRESULT at = SendMessageW(types, CB_ADDSTRING, 0, LPARAM(title.c_str()));
    SendMessageW(types, CB_SETITEMDATA, WPARAM(at), type);
  }
  const int start = typeIndex;
  typeIndex = -1;
  SetType(start);
  std::wstring number;
  UIntToStr(UINT(index), number);
  SetDlgItemTextW(hwnd, IDC_ARGDLG_INDEX, number.c_str());
  const bool hasDefault = defaultType != 0 && defaultType != 2;
  if (hasDefault) SetDlgItemTextW(hwnd, IDC_ARGDLG_DEFAULT_TEXT, TypeIndexValueText(defaultType, defaultText).c_str());
  EnableWindow(GetDlgItem(hwnd, IDC_ARGDLG_DEFAULT), hasDefault);
  CenterWindow();
  if (editors[0]) {
    SetFocus(editors[0]);
    return FALSE;
  }
  return TRUE;
}

HWND CMethArgDialog::Make(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int cx, int cy, UINT id,
                          DWORD exStyle) {
  HWND control = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, hwnd,
                                 reinterpret_cast<HMENU>(UINT_PTR(id)), g_hInstance, nullptr);
  if (!control) return nullptr;
  SendMessageW(control, WM_SETFONT, SendMessageW(hwnd, WM_GETFONT, 0, 0), FALSE);
  for (HWND& slot : editors) {
    if (!slot) {
      slot = control;
      break;
    }
  }
  // After the type list in the tab order.
  SetWindowPos(control, GetDlgItem(hwnd, IDC_ARGDLG_TYPE), 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return control;
}

void CMethArgDialog::DestroyEditors() {
  for (HWND& editor : editors) {
    if (editor) DestroyWindow(editor);
    editor = nullptr;
  }
}

void CMethArgDialog::FillCombo(HWND combo) {
  for (const std::wstring& item : items) {
    if (!item.empty()) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(item.c_str()));
  }
}

void CMethArgDialog::SetType(int type) {
  typeIndex = type;
  HWND types = GetDlgItem(hwnd, IDC_ARGDLG_TYPE);
  SendMessageW(types, CB_SETCURSEL, WPARAM(FindComboItemByData(types, type)), 0);
  int newKind = 0;
  if (type == 3) newKind = 2;
  if (type == 4 || type == 6) newKind = 3;
  if (type == 5) newKind = 1;
  if (newKind == kind) return;
  DestroyEditors();
  kind = newKind;
  RECT place{};
  if (HWND marker = GetDlgItem(hwnd, IDC_VALUE_BINARY)) {
    GetWindowRect(marker, &place);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&place), 2);
  }
  const int x = place.left, y = place.top;
  switch (kind) {
    case 1:
      // The pair is one group so that the arrow keys and a click move the check between them.
      Make(L"Button", Text(IDS_ARG_YES).c_str(), BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, x, y, 50, 23,
           IDC_VALUE_TRUE);
      Make(L"Button", Text(IDS_ARG_NO).c_str(), BS_AUTORADIOBUTTON, x + 58, y, 50, 23, IDC_VALUE_FALSE);
      break;
    case 2: {
      HWND combo = Make(L"ComboBox", L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP, x, y,
                        130, 23 + 123, IDC_ARG_NUMBER_COMBO, WS_EX_CLIENTEDGE);
      FillCombo(combo);
      RECT box{};
      GetWindowRect(combo, &box);
      HWND spin = Make(UPDOWN_CLASSW, L"", UDS_WRAP | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS, x + 132, y,
                       16, box.bottom - box.top, IDC_VALUE_SPIN, WS_EX_CLIENTEDGE);
      if (spin) {
        COMBOBOXINFO info{};
        info.cbSize = sizeof info;
        if (GetComboBoxInfo(combo, &info) && info.hwndItem) SendMessageW(spin, UDM_SETBUDDY, WPARAM(info.hwndItem), 0);
      }
      Make(L"Button", Text(IDS_RADIX_DECIMAL).c_str(), BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP,
           place.right - kRadioWidth, y, kRadioWidth, 21, IDC_RADIX_DECIMAL);
      Make(L"Button", Text(IDS_RADIX_HEX).c_str(), BS_AUTORADIOBUTTON, place.right - kRadioWidth, y + 21,
           kRadioWidth, 21, IDC_RADIX_HEX);
      SetHexMode(hexMode);
      break;
    }
    case 3: {
      HWND combo = Make(L"ComboBox", L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP, x, y,
                        place.right - place.left, 23 + 123, IDC_ARG_TEXT_COMBO, WS_EX_CLIENTEDGE);
      FillCombo(combo);
      break;
    }
    default:
      break;
  }
  ShowValue();
}

void CMethArgDialog::SetHexMode(bool hex) {
  hexMode = hex;
  if (kind != 2) return;
  CheckRadioButton(hwnd, IDC_RADIX_DECIMAL, IDC_RADIX_HEX, hex ? IDC_RADIX_HEX : IDC_RADIX_DECIMAL);
  if (HWND spin = GetDlgItem(hwnd, IDC_VALUE_SPIN)) {
    SendMessageW(spin, UDM_SETBASE, hex ? 16 : 10, 0);
    if (hex) {
      SendMessageW(spin, UDM_SETRANGE32, 0, -1);
    } else {
      SendMessageW(spin, UDM_SETRANGE32, WPARAM(INT_MIN), INT_MAX);
    }
  }
}

void CMethArgDialog::ShowValue() {
  const std::wstring item = items.empty() ? std::wstring() : items[0];
  switch (kind) {
    case 1:
      CheckRadioButton(hwnd, IDC_VALUE_TRUE, IDC_VALUE_FALSE, ArgBoolValue(items) ? IDC_VALUE_TRUE : IDC_VALUE_FALSE);
      break;
    case 2: {
      const int number = int(wcstol(item.c_str(), nullptr, 10));
      std::wstring text;
      StrFormat(text, hexMode ? L"0x%.8X" : L"%d", number);
      SetDlgItemTextW(hwnd, IDC_ARG_NUMBER_COMBO, text.c_str());
      break;
    }
    case 3:
      SetDlgItemTextW(hwnd, IDC_ARG_TEXT_COMBO, item.c_str());
      break;
    default:
      break;
  }
}

bool CMethArgDialog::ReadValue() {
  if (items.empty()) items.emplace_back();
  std::wstring text;
  switch (kind) {
    case 1:
      items[0] = IsDlgButtonChecked(hwnd, IDC_VALUE_TRUE) == BST_CHECKED ? L"1" : L"0";
      return true;
    case 2: {
      GetDlgItemText(IDC_ARG_NUMBER_COMBO, text);
      bool hex = false;
      long long number = 0;
      const bool scanned = ScanNumber(text, hex, number);
      if (hex != hexMode) SetHexMode(hex);
      if (!scanned) return false;
      IntToStr(int(int32_t(uint32_t(uint64_t(number)))), items[0]);
      return true;
    }
    case 3:
      GetDlgItemText(IDC_ARG_TEXT_COMBO, items[0]);
      return true;
    default:
      return true;
  }
}

bool CMethArgDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDOK: {
      if (kind != 0) {
        const std::wstring before = items.empty() ? std::wstring() : items[0];
        if (!ReadValue()) {
          ShowMessageBoxRes(IDS_ENTER_NUMBER, MB_OK | MB_ICONERROR, hwnd);
          if (editors[0]) SetFocus(editors[0]);
          return true;
        }
        PushArgHistory(items, before);
      }
      EndDialog(IDOK);
      return true;
    }
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case IDC_RADIX_DECIMAL:
    case IDC_RADIX_HEX: {
      const bool hex = id == IDC_RADIX_HEX;
      if (notifyCode != BN_CLICKED || hex == hexMode) return true;
      ReadValue();
      SetHexMode(hex);
      ShowValue();
      return true;
    }
    case IDC_ARGDLG_TYPE: {
      if (notifyCode != CBN_SELCHANGE) return true;
      if (kind != 0) ReadValue();
      HWND types = GetDlgItem(hwnd, IDC_ARGDLG_TYPE);
      const LRESULT at = SendMessageW(types, CB_GETCURSEL, 0, 0);
      if (at >= 0) SetType(int(SendMessageW(types, CB_GETITEMDATA, WPARAM(at), 0)));
      return true;
    }
    case IDC_ARGDLG_DEFAULT:
      if (notifyCode != BN_CLICKED) return true;
      SetType(defaultType);
      if (items.empty()) items.emplace_back();
      items[0] = defaultText;
      ShowValue();
      return true;
    default:
      return CModalDialog::OnCommand(id, notifyCode, control);
  }
}
