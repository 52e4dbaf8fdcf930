#pragma once
// The Test page's Properties tab: every property of the hosted add-in, read and edited by name.
#include <cstdint>
#include <string>
#include <vector>

#include "../addin/NativeApi.h"
#include "TestListPage.h"

struct _TEST_PROP_INFO {
  UINT Index = 0;
  std::wstring Number;
  std::wstring NameRu;
  std::wstring NameEn;
  std::wstring TypeName;
  uint16_t Vt = 0;  // 0xFFFF when the value could not be read
  std::wstring ValueText;
  UINT Access = 0;  // 1 readable, 2 writable
};

class CTestPropLvData : public CTestLvData {
 public:
  int GetItemCount() override { return int(rows.size()); }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void Refill() override;
  // Orders the rows by the sort code.
  void Sort();

  std::vector<_TEST_PROP_INFO> rows;
};

class CPropertiesPage : public CTestListPage {
 public:
  // Without a host the application's is taken; without settings the application's document.
  explicit CPropertiesPage(CTestVombra* host = nullptr, CAppSettings* settings = nullptr);

  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  void UpdateButtons() override;
  void OnActivateRow() override;
  std::wstring SelectedName() override;

  // Opens the property dialog for the first selected row when its type can be edited.
  void Edit();

  CTestPropLvData rows;
};

// Reads a property through the component; an exception escaping the add-in counts as a failed read.
bool ReadProperty(IComponentBase* component, long index, tVariant* value);
