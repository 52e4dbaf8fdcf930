#pragma once
// The Test page's Methods tab: every method of the hosted add-in, called by name with typed arguments.
#include <map>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "TestListPage.h"

struct _TEST_METH_INFO {
  UINT Index = 0;
  std::wstring Number;
  std::wstring NameRu;
  std::wstring NameEn;
  bool HasRetVal = false;
  int ParamCount = 0;
  std::wstring ParamCountText;
  std::wstring ParamsText;
};

class CTestMethLvData : public CTestLvData {
 public:
  int GetItemCount() override { return int(rows.size()); }
  void GetDispInfo(NMLVDISPINFOW* info) override;
  void Refill() override;
  void Sort();

  std::vector<_TEST_METH_INFO> rows;
  const std::map<std::wstring, METHOD_ARGS>* methodArgs = nullptr;
};

class CMethodsPage : public CTestListPage {
 public:
  // Without a host the application's is taken; without settings the application's document.
  explicit CMethodsPage(CTestVombra* host = nullptr, CAppSettings* settings = nullptr);

  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  void UpdateButtons() override;
  void OnActivateRow() override;
  std::wstring SelectedName() override;

  // Runs the method dialog for the first selected row, then refills (the dialog may store arguments).
  void Execute();
  // Runs the reader search dialog while the add-in is loaded.
  void SearchReaders();

  CTestMethLvData rows;
};

// A remembered Boolean argument is false without an item, or when item 0 is empty or "0".
bool ArgBoolValue(const std::vector<std::wstring>& items);
// The Parameters column: the stored arguments by type, then empty slots up to `paramCount`, in
// parentheses and separated by ", ".
void BuildParamsText(const METHOD_ARGS* args, int paramCount, std::wstring& out);
