// The Connection page against the real Vombra.dll: what the page saves is what the add-in, hosted as the
// configurator hosts it, loads and answers; the log it then writes is the file the page's log commands
// act on. Registry under CleanSettingsKeys; the add-in's log file is kept and put back, under the same
// lock, which the test program holds from before the log is first looked at.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <memory>
#include <string>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MainPage.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "RegistryStore.h"
#include "RegistryTestLock.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

CConfigVombraApp theApp;

const wchar_t kParentClass[] = L"MainPageHostTestsParent";

int g_boxCount = 0;
HRESULT WINAPI CountingTaskDialog(const TASKDIALOGCONFIG*, int* button, int*, BOOL*) {
  ++g_boxCount;
  if (button) *button = IDCANCEL;
  return S_OK;
}

class MainPageHostTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kParentClass, DefWindowProcW));
    m_parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 700, 600, nullptr,
                               nullptr, nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
    MessageBoxSeam.TaskDialogIndirect = &CountingTaskDialog;
    g_boxCount = 0;
    m_log = CMainPage::LogFilePath();
    const DWORD attributes = GetFileAttributesW(m_log.c_str());
    m_logExisted = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (m_logExisted) m_logBytes = ReadBytes(m_log);
    DeleteFileW(m_log.c_str());
  }
  void TearDown() override {
    m_host.reset();
    m_page.reset();
    DestroyWindow(m_parent);
    MessageBoxSeam = CMessageBoxSeam();
    DeleteFileW(m_log.c_str());
    if (m_logExisted) WriteBytes(m_log, m_logBytes);
    ConfiguratorTest::TearDown();
  }

  HWND Item(UINT id) { return GetDlgItem(m_page->hwnd, int(id)); }
  void Choose(UINT id, int index) {
    ComboBox_SetCurSel(Item(id), index);
    SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(Item(id)));
  }
  std::wstring Property(const wchar_t* name) {
    const long number = m_host->Component->FindProp(name);
    EXPECT_GE(number, 0) << "no property";
    if (number < 0) return L"<none>";
    CVariantArray value(1, m_host.get());
    EXPECT_TRUE(m_host->Component->GetPropVal(number, &value[0]));
    std::wstring text;
    VariantToEditText(text, value[0]);
    return text;
  }

  RegistryTestLock m_lock;
  CAppSettings m_settings;
  CCcidConnection m_watcher;
  HWND m_parent = nullptr;
  std::unique_ptr<CMainPage> m_page;
  std::unique_ptr<CTestVombra> m_host;
  ScratchFolder m_folder;
  std::wstring m_log;
  bool m_logExisted = false;
  std::string m_logBytes;
};

TEST_F(MainPageHostTest, TheAddInLoadsWhatThePageSavedAndItsLogIsTheOneThePageClears) {
  CleanSettingsKeys keys;
  // The add-in's SoundLostKey answers slot 5 (the key-found row): its sound names run one slot early.
  m_settings.SoundFiles[5] = L"C:\\Media\\lost.wav";
  m_page.reset(new CMainPage(m_settings, m_watcher));
  ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_MAIN, m_parent));
  ComboBox_SetCurSel(Item(IDC_MAIN_PORT), -1);
  SetWindowTextW(Item(IDC_MAIN_PORT), L"COM33");
  Choose(IDC_MAIN_SPEED, 3);
  Choose(IDC_MAIN_LOG_LEVEL, 6);
  SetWindowTextW(Item(IDC_MAIN_LOG_SIZE), L"3");
  m_page->UpdateData(true);
  m_settings.SaveSettings();

  m_host.reset(CTestVombra::Create(m_folder.Path().c_str()));
  ASSERT_NO_THROW(m_host->Load());
  EXPECT_EQ(Property(L"Port"), L"COM33");
  EXPECT_EQ(Property(L"Speed"), L"38400");
  EXPECT_EQ(Property(L"LogLevel"), L"6");
  EXPECT_EQ(Property(L"MaxLogSize"), L"3");
  EXPECT_EQ(Property(L"SoundLostKey"), L"C:\\Media\\lost.wav");
  m_host->Unload();

  // Every call logged: the add-in wrote the file the page's log menu acts on.
  ASSERT_TRUE(FileExists(m_log));
  EXPECT_FALSE(ReadBytes(m_log).empty());
  SendMessageW(m_page->hwnd, WM_COMMAND, ID_LOG_CLEAR, 0);
  EXPECT_TRUE(FileExists(m_log));
  EXPECT_EQ(ReadBytes(m_log), "");
  EXPECT_EQ(g_boxCount, 0);
}

}  // namespace
