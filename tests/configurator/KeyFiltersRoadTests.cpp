// The road of a filter order: set in the key filters dialog, saved by the configurator, matched by the
// real Vombra.dll loaded afterwards, saved again by the add-in and loaded back by the configurator. The
// host looks for the add-in under this program's longer name, so the test puts a copy of Vombra.dll
// there for its length.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "KeyFiltersDialog.h"
#include "MessageBox.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

CConfigVombraApp theApp;

HRESULT WINAPI AnswerOk(const TASKDIALOGCONFIG*, int* button, int*, BOOL* verified) {
  if (button) *button = IDOK;
  if (verified) *verified = FALSE;
  return S_OK;
}

std::vector<std::wstring> Names(const std::vector<_KEYFILTER_INFO>& filters) {
  std::vector<std::wstring> names;
  for (const _KEYFILTER_INFO& f : filters) names.push_back(f.Name);
  return names;
}

class KeyFiltersRoad : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&classes);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring folder = exe;
    folder.resize(folder.rfind(L'\\') + 1);
    CTestVombra::GetAddInLibraryPath(m_library);
    ASSERT_TRUE(CopyFileW((folder + L"Vombra.dll").c_str(), m_library.c_str(), FALSE)) << "Vombra.dll is built";
    theApp.dataFolder = m_folder.Path();
    MessageBoxSeam = CMessageBoxSeam();
    MessageBoxSeam.TaskDialogIndirect = &AnswerOk;
  }
  void TearDown() override {
    if (theApp.testHost) {
      if (theApp.testHost->IsLoaded()) theApp.testHost->Unload();
      delete theApp.testHost;
      theApp.testHost = nullptr;
    }
    DeleteFileW(m_library.c_str());
    MessageBoxSeam = CMessageBoxSeam();
    ConfiguratorTest::TearDown();
  }

  // The name of the add-in's filter that matches a key, as the add-in answers.
  std::wstring AddInFilterFor(CTestVombra* host, int32_t keyType, int32_t keySize) {
    CVariantArray find(4, host);
    find.SetInt(1, keyType);
    find.SetInt(2, keySize);
    find.SetInt(3, 0);
    EXPECT_TRUE(host->CallMethod(L"FindKeyFilterForKey", &find[0], &find[1], 3));
    const int32_t index = find[0].lVal;
    if (index < 0) return L"<none>";
    CVariantArray get(7, host);  // Index, then the five out parameters
    get.SetInt(1, index);
    get.SetString(2, L"");
    for (int i = 3; i < 7; ++i) get.SetInt(i, 0);
    EXPECT_TRUE(host->CallMethod(L"GetKeyFilter", &get[0], &get[1], 6));
    return std::wstring(get[2].pwstrVal, get[2].wstrLen);
  }

  ScratchFolder m_folder;
  std::wstring m_library;
};

TEST_F(KeyFiltersRoad, AFilterMovedUpMatchesFirstInTheAddInAndKeepsItsPlaceThroughBothSaves) {
  CleanSettingsKeys clean;
  CAppSettings& settings = theApp.settings;
  settings.ResetConfig(false);
  settings.ResetSettings();
  settings.SettingFlags = STF_LOAD_AT_START;

  {
    CKeyFiltersDialog dialog(settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, IDD_KEY_FILTERS, nullptr));
    SendMessageW(dialog.hwnd, WM_COMMAND, ID_KEY_FILTER_ADD, 0);
    SetDlgItemTextW(dialog.hwnd, IDC_KEY_FILTER_NAME, L"Gate");
    SendMessageW(dialog.hwnd, WM_COMMAND, ID_KEY_TYPES_UNCHECK_ALL, 0);
    dialog.CyclePanelType(1);  // Em-Marine only
    for (int i = 0; i < 3; ++i) SendMessageW(dialog.hwnd, WM_COMMAND, ID_KEY_FILTER_MOVE_UP, 0);
    SendMessageW(dialog.hwnd, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(dialog.result, IDOK);
  }
  const std::vector<std::wstring> order = {L"Mifare (4 UId)", L"Mifare (7 UId)", L"Gate", L"Em-Marine,RK-73", L"HID",
                                           L"iCode"};
  ASSERT_EQ(Names(settings.keyFilters), order);
  EXPECT_EQ(settings.keyFilters[2].KeyTypes, 1u << 1);
  ASSERT_NO_THROW(settings.SaveSettings());

  CTestVombra* host = theApp.GetTestHost();
  ASSERT_NO_THROW(host->Load());
  EXPECT_EQ(AddInFilterFor(host, 1, 5), L"Gate") << "the add-in matches in the saved order";
  EXPECT_EQ(AddInFilterFor(host, 2, 5), L"HID");

  // What the add-in saves is its own order: the configurator's copy is gone first.
  CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
  CVariantArray save(2, host);
  save.SetInt(1, 2);
  EXPECT_TRUE(host->CallMethod(L"SaveSettings", &save[0], &save[1], 1));
  EXPECT_TRUE(save[0].bVal);
  host->Unload();

  settings.keyFilters.clear();
  ASSERT_NO_THROW(settings.LoadSettings());
  EXPECT_EQ(Names(settings.keyFilters), order);
}

}  // namespace
