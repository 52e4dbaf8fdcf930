#include "PropertiesPage.h"

#include <algorithm>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MessageBox.h"
#include "PropertyDialog.h"
#include "Strings.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

const wchar_t* const kAccessTexts[4] = {L"", L"R", L"W", L"RW"};

bool Editable(uint16_t vt, bool wide) {
  switch (vt) {
    case VTYPE_I4:
    case VTYPE_BOOL:
    case VTYPE_UI4:
    case VTYPE_PWSTR:
      return true;
    case VTYPE_I8:
    case VTYPE_UI8:
    case VTYPE_BLOB:
      return wide;
    default:
      return false;
  }
}

}  // namespace

bool ReadProperty(IComponentBase* component, long index, tVariant* value) {
  try {
    return component->GetPropVal(index, value);
  } catch (...) {
    return false;
  }
}

void CTestPropLvData::GetDispInfo(NMLVDISPINFOW* info) {
  const int row = info->item.iItem;
  if (row < 0 || size_t(row) >= rows.size()) return PutText(info, nullptr);
  const _TEST_PROP_INFO& prop = rows[size_t(row)];
  std::wstring text;
  switch (DataColumn(info->item.iSubItem)) {
    case 0: return PutText(info, &prop.Number);
    case 1: return PutText(info, &prop.NameRu);
    case 2: return PutText(info, &prop.NameEn);
    case 3: return PutText(info, &prop.TypeName);
    case 4: return PutText(info, &prop.ValueText);
    case 5: text = kAccessTexts[prop.Access & 3]; break;
    default: return PutText(info, nullptr);
  }
  PutText(info, &text);
}

void CTestPropLvData::Refill() {
  rows.clear();
  IComponentBase* component = host && host->IsLoaded() ? host->Component : nullptr;
  if (component) {
    const long count = std::max(0L, component->GetNProps());
    rows.resize(size_t(count));
    CVariantArray value(1, static_cast<IMemoryManager*>(host));
    for (long i = 0; i < count; ++i) {
      _TEST_PROP_INFO& prop = rows[size_t(i)];
      prop.Index = UINT(i);
      UIntToStr(UINT(i + 1), prop.Number);
      host->GetPropName(prop.NameRu, i, 1);
      host->GetPropName(prop.NameEn, i, 0);
      value.Clear(0);
      if (ReadProperty(component, i, &value[0])) {
        prop.Vt = value[0].vt;
        BenchDisplayText(value[0], prop.ValueText);
      } else {
        prop.Vt = 0xFFFF;
      }
      prop.TypeName = BenchTypeName(prop.Vt);
      prop.Access = (component->IsPropReadable(i) ? 1 : 0) | (component->IsPropWritable(i) ? 2 : 0);
    }
    Sort();
  }
  FireEvent();
}

void CTestPropLvData::Sort() {
  if (sort == 0) return;
  const int column = std::abs(sort) - 1;
  const bool descending = sort < 0;
  auto less = [column](const _TEST_PROP_INFO& a, const _TEST_PROP_INFO& b) {
    switch (column) {
      case 1: return a.NameRu < b.NameRu;
      case 2: return a.NameEn < b.NameEn;
      case 3: return a.Vt < b.Vt;
      case 4: return a.ValueText < b.ValueText;
      case 5: return a.Access < b.Access;
      default: return a.Index < b.Index;
    }
  };
  if (descending) {
    std::sort(rows.begin(), rows.end(), [&](const _TEST_PROP_INFO& a, const _TEST_PROP_INFO& b) { return less(b, a); });
  } else {
    std::sort(rows.begin(), rows.end(), less);
  }
}

CPropertiesPage::CPropertiesPage(CTestVombra* host, CAppSettings* settings)
    : CTestListPage(IDD_TEST_PROPERTIES, IDC_PROP_LIST, CS_PROPERTIES, IDS_PROPCOL_FIRST,
                    VIEW_DETAIL_PROPERTIES_COLUMNS, rows, host, settings) {}

bool CPropertiesPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  try {
    switch (id) {
      case IDC_PROP_REFRESH:
        Refill();
        return true;
      case IDC_PROP_LOAD_SETTINGS:
        if (IsLoaded() && !host->LoadSettings()) {
          std::wstring text;
          host->GetLastError(&text);
          ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
        }
        return true;
      case IDC_PROP_SAVE_SETTINGS:
        if (IsLoaded()) {
          CVariantArray values(2, static_cast<IMemoryManager*>(host));
          values.SetUInt(1, 7);
          if (!host->CallMethod(L"SaveSettings", &values[0], &values[1], 1) || (values[0].vt == VTYPE_BOOL && !values[0].bVal)) {
            std::wstring text;
            host->GetLastError(&text);
            ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
          }
        }
        return true;
      case IDC_PROP_CHANGE:
        Edit();
        return true;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ShowError(e);
    return true;
  }
  return CTestListPage::OnCommand(id, notifyCode, control);
}

void CPropertiesPage::UpdateButtons() {
  buttonsDirty = false;
  if (!hwnd) return;
  const bool loaded = IsLoaded();
  const int row = FirstSelectedRow();
  const bool change = loaded && SelectedCount() == 1 && row >= 0 && size_t(row) < rows.rows.size() &&
                      Editable(rows.rows[size_t(row)].Vt, false);
  EnableWindow(GetDlgItem(hwnd, IDC_PROP_REFRESH), loaded);
  EnableWindow(GetDlgItem(hwnd, IDC_PROP_LOAD_SETTINGS), loaded);
  EnableWindow(GetDlgItem(hwnd, IDC_PROP_SAVE_SETTINGS), loaded);
  EnableWindow(GetDlgItem(hwnd, IDC_PROP_CHANGE), change);
}

void CPropertiesPage::OnActivateRow() { Edit(); }

std::wstring CPropertiesPage::SelectedName() {
  const int row = FirstSelectedRow();
  return row >= 0 && size_t(row) < rows.rows.size() ? rows.rows[size_t(row)].NameEn : std::wstring();
}

void CPropertiesPage::Edit() {
  const int row = FirstSelectedRow();
  if (row < 0 || size_t(row) >= rows.rows.size() || !IsLoaded()) return;
  const _TEST_PROP_INFO& prop = rows.rows[size_t(row)];
  if (!Editable(prop.Vt, true)) return;
  CPropertyDialog dialog(host, prop.Index);
  // A stored value reaches the page through the host's settings hint; the rows are read again here too
  // for a page that is not under the Test page.
  if (dialog.DoModal(IDD_PROPERTY, hwnd, false) == IDOK) Refill();
}
