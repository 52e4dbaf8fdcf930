// The Properties and Methods tabs over the real Vombra.dll (this program's name is no longer than
// ConfigVombra.exe, so the name rule gives it Vombra.dll): every property and method listed, names in
// both languages. The settings key holds only SettingFlags 0, so the add-in searches nothing.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MethodsPage.h"
#include "PageTestSupport.h"
#include "PropertiesPage.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "TestVombra.h"

namespace {

CConfigVombraApp theApp;

std::wstring Cell(HWND list, int row, int column) {
  wchar_t text[256] = L"";
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
  return text;
}

class TabsRoadTest : public ConfiguratorTest {};

TEST_F(TabsRoadTest, EveryPropertyAndMethodIsListedInBothLanguages) {
  CleanSettingsKeys clean;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD settingFlags = 0;
  RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags), sizeof settingFlags);
  RegCloseKey(key);
  ScratchFolder folder;
  std::unique_ptr<CTestVombra> host(CTestVombra::Create(folder.Path().c_str()));
  ASSERT_NE(host, nullptr);
  host->Load();
  ASSERT_TRUE(host->IsLoaded());
  ASSERT_TRUE(RegisterTestWindowClass(L"VombraTabsRoadParent", DefWindowProcW));
  HWND parent = CreateWindowExW(0, L"VombraTabsRoadParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 600, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(parent, nullptr);
  {
    CPropertiesPage properties(host.get(), &theApp.settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(&properties, IDD_TEST_PROPERTIES, parent));
    HWND list = GetDlgItem(properties.hwnd, IDC_PROP_LIST);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 48);
    EXPECT_EQ(Cell(list, 6, 0), L"7");
    EXPECT_EQ(Cell(list, 6, 1), L"Порт");
    EXPECT_EQ(Cell(list, 6, 2), L"Port");
    EXPECT_EQ(Cell(list, 6, 3), L"String");
    EXPECT_EQ(Cell(list, 0, 2), L"SearchStandardComPorts");

    CMethodsPage methods(host.get(), &theApp.settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(&methods, IDD_TEST_METHODS, parent));
    list = GetDlgItem(methods.hwnd, IDC_METH_LIST);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 53);
    EXPECT_EQ(Cell(list, 0, 1), L"ПолучитьНомерВерсии");
    EXPECT_EQ(Cell(list, 0, 2), L"GetVersion");
    EXPECT_EQ(Cell(list, 34, 1), L"ПолучитьИнфоКлюча");
    EXPECT_EQ(Cell(list, 34, 2), L"GetKeyInfo");
    EXPECT_EQ(Cell(list, 34, 3), L"True");
  }
  DestroyWindow(parent);
  host->Unload();
}

}  // namespace
