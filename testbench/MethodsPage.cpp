#include "MethodsPage.h"

#include <algorithm>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MethodDialog.h"
#include "SearchReadersDialog.h"
#include "Strings.h"
#include "TestVombra.h"

bool ArgBoolValue(const std::vector<std::wstring>& items) {
  return !items.empty() && !items[0].empty() && items[0] != L"0";
}

void BuildParamsText(const METHOD_ARGS* args, int paramCount, std::wstring& out) {
  out = L"(";
  const size_t stored = args ? args->size() : 0;
  for (size_t i = 0; i < stored; ++i) {
    const _METHOD_ARG_INFO& arg = (*args)[i];
    const std::wstring item = arg.Items.empty() ? std::wstring() : arg.Items[0];
    switch (arg.Vt) {
      case VTYPE_PSTR:
      case VTYPE_BLOB:
        out += L'{';
        out += item.size() > 8 ? item.substr(0, 8) + L"..." : item;
        out += L'}';
        break;
      case VTYPE_BOOL: {
        std::wstring name;
        LoadStr(ArgBoolValue(arg.Items) ? IDS_TRUE : IDS_FALSE, name);
        out += name;
        break;
      }
      case VTYPE_PWSTR:
        out += L'"' + item + L'"';
        break;
      default:
        out += item;
        break;
    }
    out += L", ";
  }
  for (int i = int(stored); i < paramCount; ++i) out += L", ";
  if (paramCount > 0 && out.size() >= 3) out.resize(out.size() - 2);
  out += L')';
}

void CTestMethLvData::GetDispInfo(NMLVDISPINFOW* info) {
  const int row = info->item.iItem;
  if (row < 0 || size_t(row) >= rows.size()) return PutText(info, nullptr);
  const _TEST_METH_INFO& method = rows[size_t(row)];
  std::wstring text;
  switch (DataColumn(info->item.iSubItem)) {
    case 0: return PutText(info, &method.Number);
    case 1: return PutText(info, &method.NameRu);
    case 2: return PutText(info, &method.NameEn);
    case 3: {
      LoadStr(method.HasRetVal ? IDS_TRUE : IDS_FALSE, text);
      break;
    }
    case 4: return PutText(info, &method.ParamCountText);
    case 5: return PutText(info, &method.ParamsText);
    default: return PutText(info, nullptr);
  }
  PutText(info, &text);
}

void CTestMethLvData::Refill() {
  rows.clear();
  IComponentBase* component = host && host->IsLoaded() ? host->Component : nullptr;
  if (component) {
    const long count = std::max(0L, component->GetNMethods());
    rows.resize(size_t(count));
    for (long i = 0; i < count; ++i) {
      _TEST_METH_INFO& method = rows[size_t(i)];
      method.Index = UINT(i);
      UIntToStr(UINT(i + 1), method.Number);
      host->GetMethodName(method.NameRu, i, 1);
      host->GetMethodName(method.NameEn, i, 0);
      // An exception escaping the add-in counts as a false answer.
      try {
        method.HasRetVal = component->HasRetVal(i);
      } catch (...) {
        method.HasRetVal = false;
      }
      try {
        method.ParamCount = int(std::max(0L, component->GetNParams(i)));
      } catch (...) {
        method.ParamCount = 0;
      }
      IntToStr(method.ParamCount, method.ParamCountText);
      const METHOD_ARGS* args = nullptr;
      if (methodArgs) {
        const auto found = methodArgs->find(method.NameEn);
        if (found != methodArgs->end()) args = &found->second;
      }
      BuildParamsText(args, method.ParamCount, method.ParamsText);
    }
    Sort();
  }
  FireEvent();
}

void CTestMethLvData::Sort() {
  if (sort == 0) return;
  const int column = std::abs(sort) - 1;
  auto less = [column](const _TEST_METH_INFO& a, const _TEST_METH_INFO& b) {
    switch (column) {
      case 1: return a.NameRu < b.NameRu;
      case 2: return a.NameEn < b.NameEn;
      case 3: return a.HasRetVal < b.HasRetVal;
      case 4: return a.ParamCount < b.ParamCount;
      case 5: return a.ParamsText < b.ParamsText;
      default: return a.Index < b.Index;
    }
  };
  if (sort < 0) {
    std::sort(rows.begin(), rows.end(), [&](const _TEST_METH_INFO& a, const _TEST_METH_INFO& b) { return less(b, a); });
  } else {
    std::sort(rows.begin(), rows.end(), less);
  }
}

CMethodsPage::CMethodsPage(CTestVombra* host, CAppSettings* settings)
    : CTestListPage(IDD_TEST_METHODS, IDC_METH_LIST, CS_METHODS, IDS_METHCOL_FIRST, VIEW_DETAIL_METHODS_COLUMNS,
                    rows, host, settings) {
  rows.methodArgs = &this->settings.methodArgs;
}

bool CMethodsPage::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDC_METH_REFRESH:
      Refill();
      return true;
    case ID_METH_EXECUTE:
      Execute();
      return true;
    case IDC_METH_SEARCH_READERS:
      SearchReaders();
      return true;
    default:
      return CTestListPage::OnCommand(id, notifyCode, control);
  }
}

void CMethodsPage::UpdateButtons() {
  buttonsDirty = false;
  if (!hwnd) return;
  const bool loaded = IsLoaded();
  EnableWindow(GetDlgItem(hwnd, IDC_METH_REFRESH), loaded);
  EnableWindow(GetDlgItem(hwnd, ID_METH_EXECUTE), loaded && FirstSelectedRow() >= 0);
  EnableWindow(GetDlgItem(hwnd, IDC_METH_SEARCH_READERS), loaded);
}

void CMethodsPage::OnActivateRow() { Execute(); }

std::wstring CMethodsPage::SelectedName() {
  const int row = FirstSelectedRow();
  return row >= 0 && size_t(row) < rows.rows.size() ? rows.rows[size_t(row)].NameEn : std::wstring();
}

void CMethodsPage::Execute() {
  const int row = FirstSelectedRow();
  if (row < 0 || size_t(row) >= rows.rows.size() || !IsLoaded()) return;
  CMethodDialog dialog(host, rows.rows[size_t(row)].Index, &settings);
  dialog.DoModal(IDD_METHOD, hwnd, false);
  Refill();
}

void CMethodsPage::SearchReaders() {
  if (!IsLoaded()) return;
  CSearchReadersDialog dialog(host);
  dialog.DoModal(IDD_SEARCH_READERS, hwnd, false);
}
