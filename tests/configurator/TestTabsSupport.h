// Test support for the Test page's Properties and Methods tabs: the host over the fake add-in of
// FakeMembersAddin.h (the program name rule makes each suite's host load its own copy), a parent window,
// scripted message boxes and the list's cell texts. The suite defines the CConfigVombraApp.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ConfigVombraApp.h"
#include "doubles/FakeMembersAddin.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "TestVombra.h"
#include "../classlib/ModalStep.h"

inline std::vector<std::wstring> g_boxes;
inline int g_boxAnswer = IDOK;

inline HRESULT WINAPI TabsScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_boxes.push_back(config->pszContent && !IS_INTRESOURCE(config->pszContent) ? config->pszContent : L"");
  if (button) *button = g_boxAnswer;
  if (radio) *radio = 0;
  if (verified) *verified = FALSE;
  return S_OK;
}

inline void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

inline std::wstring ListCell(HWND list, int row, int column) {
  wchar_t text[512] = L"";
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 512;
  SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
  return text;
}

inline std::wstring ItemText(HWND dialog, int id) {
  wchar_t text[512] = L"";
  GetDlgItemTextW(dialog, id, text, 512);
  return text;
}

inline void SelectRow(HWND list, int row) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = 0;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&item));
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  if (row >= 0) SendMessageW(list, LVM_SETITEMSTATE, row, LPARAM(&item));
}

inline void Click(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  if (control) SendMessageW(control, BM_CLICK, 0, 0);
}

class TestTabsFixture : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    CAppSettings& settings = App()->settings;
    settings.ResetConfig(false);
    settings.configModified = false;
    MessageBoxSeam.TaskDialogIndirect = &TabsScriptedTaskDialog;
    MessageBoxSeam.NoTaskDialog = false;
    g_boxes.clear();
    g_boxAnswer = IDOK;
    host.reset(CTestVombra::Create(folder.Path().c_str()));
    ASSERT_NE(host, nullptr);
    host->Load();
    ASSERT_TRUE(host->IsLoaded());
    auto getState = reinterpret_cast<PFN_FAKE_MEMBERS_STATE>(
        reinterpret_cast<void*>(GetProcAddress(host->GetModule(), "FakeMembersGetState")));
    ASSERT_NE(getState, nullptr);
    state = getState();
    *state = FakeMembersState{};
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraTestTabsParent", DefWindowProcW));
    parent = CreateWindowExW(0, L"VombraTestTabsParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 600, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent, nullptr);
  }
  void TearDown() override {
    if (parent) DestroyWindow(parent);
    parent = nullptr;
    if (host) host->Unload();
    host.reset();
    MessageBoxSeam = CMessageBoxSeam();
    App()->settings.SetConfigPath(L"");
    ConfiguratorTest::TearDown();
  }

  ScratchFolder folder;
  std::unique_ptr<CTestVombra> host;
  FakeMembersState* state = nullptr;
  HWND parent = nullptr;
};
