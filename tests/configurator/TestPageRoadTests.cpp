// The Test page with the real Vombra.dll (this program is TestPageRoad.exe, no longer than
// ConfigVombra.exe, so the name rule gives it Vombra.dll) and a text-protocol reader simulated on a
// loopback port: the reader opened through the host is listed, its key arrives in the Events tab and
// becomes the last key, the add-in's language switches alone, and Close empties the list. The settings
// key holds only SettingFlags 0: the add-in runs on its built-in defaults.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "EventsPage.h"
#include "PageTestSupport.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "Strings.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

CPageTestApp theApp;

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

class TestPageRoad : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraTestPageRoad-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD settingFlags = 0;
    RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags),
                   sizeof settingFlags);
    RegCloseKey(key);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraTestPageRoad", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraTestPageRoad", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 700, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
    m_page = std::make_unique<CTestPage>(*m_host, m_settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_page.get(), IDD_PAGE_TEST, m_parent));
  }
  void TearDown() override {
    m_page.reset();
    if (m_parent) DestroyWindow(m_parent);
    m_host.reset();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // Pumps this thread's messages (the host's events, the page's timers) until `done` holds.
  template <class Done>
  bool PumpUntil(Done done, DWORD timeout) {
    const DWORD start = GetTickCount();
    for (;;) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (done()) return true;
      if (GetTickCount() - start > timeout) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
  }

  HWND Devices() { return GetDlgItem(m_page->hwnd, IDC_TEST_DEVICES); }
  std::wstring DeviceRow(int row) {
    wchar_t text[256] = {};
    if (SendMessageW(Devices(), CB_GETLBTEXTLEN, row, 0) >= 256) return L"<long>";
    SendMessageW(Devices(), CB_GETLBTEXT, row, LPARAM(text));
    return text;
  }
  HWND EventsList() { return GetDlgItem(m_page->eventsPage->hwnd, IDC_EVENTS_LIST); }
  std::wstring Cell(int row, int column) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(EventsList(), LVM_GETITEMTEXTW, row, LPARAM(&item));
    return text;
  }
  // The newest card data in the Events tab, once the refresh timer showed it.
  bool AwaitCardData(const std::wstring& message) {
    return PumpUntil([&] { return SendMessageW(EventsList(), LVM_GETITEMCOUNT, 0, 0) > 0 && Cell(0, 2) == message; },
                     8000);
  }

  CleanSettingsKeys m_keys;
  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CTestPage> m_page;
};

TEST_F(TestPageRoad, AReaderOpenedThroughTheHostIsListedAndItsKeysArriveInEitherLanguage) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  ASSERT_TRUE(m_host->IsLoaded());

  ASSERT_TRUE(m_host->SetParameter(L"Port", sim.PortName().c_str()));
  std::wstring id;
  ASSERT_TRUE(m_host->Open(&id));
  const std::wstring connected = id + L" " + Str(IDS_TEST_STATUS_BASE + 3) + L" - ";
  ASSERT_TRUE(PumpUntil([&] { return DeviceRow(0).compare(0, connected.size(), connected) == 0; }, 10000))
      << "row: " << std::string(DeviceRow(0).begin(), DeviceRow(0).end());
  EXPECT_NE(DeviceRow(0).find(L" s/n "), std::wstring::npos);
  EXPECT_NE(DeviceRow(0).find(L" v"), std::wstring::npos);
  EXPECT_TRUE(m_page->statusTimer);

  sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(AwaitCardData(L"TracksData"));
  EXPECT_EQ(Cell(0, 1), id);
  EXPECT_GT(m_settings.lastKey.Length, 0) << "the key became the last key";

  // Russian for the add-in only.
  SendMessageW(m_page->eventsPage->hwnd, WM_COMMAND, MAKEWPARAM(ID_EVENTS_RUSSIAN, 0), 0);
  sim.SendLine("Em-Marine[0000] 012,12346");
  ASSERT_TRUE(AwaitCardData(L"ДанныеКарты"));
  EXPECT_EQ(Str(IDS_TEST_LOAD_DLL), L"&Load DLL") << "the configurator stays English";
  EXPECT_EQ(PRIMARYLANGID(GetThreadUILanguage()), LANG_ENGLISH);

  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_CLOSE, BN_CLICKED), 0);
  EXPECT_EQ(SendMessageW(Devices(), CB_GETCOUNT, 0, 0), 0);
  EXPECT_FALSE(m_page->statusTimer);
  SendMessageW(m_page->hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_LOAD, BN_CLICKED), 0);
  EXPECT_FALSE(m_host->IsLoaded());
}

}  // namespace
