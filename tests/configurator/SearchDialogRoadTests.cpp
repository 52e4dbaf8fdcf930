// The reader search dialog with the real Vombra.dll (this program is SearchRoad.exe, no longer than
// ConfigVombra.exe, so the name rule gives it Vombra.dll): two PC/SC readers of the winscard double and
// a text-protocol reader answering on the pty behind COM21, the serial-port map holding that port
// alone. Also the rule that keeps every real search off the network.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ConfigResourceIds.h"
#include "FakeDevices.h"
#include "PageTestSupport.h"
#include "PortEnum.h"
#include "PtyPeer.h"
#include "RegistryStore.h"
#include "RealSearchFlags.h"
#include "SearchReadersDialog.h"
#include "SettingsKey.h"
#include "Strings.h"
#include "TestVombra.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr char kIdentity[] = "KD-6 A S/N: 321 [301]\r\nSoftware version: 1.2\r\n";

CPageTestApp theApp;

std::wstring Text(HWND dialog, int id) {
  wchar_t text[2048] = L"";
  GetDlgItemTextW(dialog, id, text, 2048);
  return text;
}

// Every search setting a test or the tour gives the real add-in, and the add-in's own default that the
// fixtures storing none run on: none asks the network.
TEST(RealSearchFlagsTest, NoTestOrTourSearchesForConverters) {
  const struct {
    const char* Who;
    DWORD Flags;
  } settings[] = {{"the screen tour", kTourSearchFlags},
                  {"the search dialog road", kSearchRoadFlags},
                  {"the add-in's default", SF_DEFAULT}};
  for (const auto& s : settings) EXPECT_EQ(s.Flags & SF_IP, 0u) << s.Who;
  // The serial-port map is searched only here, where the fixture holds the pty's port alone.
  EXPECT_EQ(kTourSearchFlags & SF_STD_COM, 0u);
}

class SearchDialogRoad : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraSearchRoad-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraSearchRoad", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraSearchRoad", L"", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override {
    if (m_parent) DestroyWindow(m_parent);
    if (m_host) m_host->Unload();
    m_host.reset();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // The stored settings the add-in reads when it starts: taken from the registry, these search flags.
  static void StoreSearchFlags(DWORD searchFlags) {
    ASSERT_EQ(searchFlags & SF_IP, 0u) << "a test never lets the add-in broadcast";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD settingFlags = 1;
    RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags),
                   sizeof settingFlags);
    RegSetValueExW(key, L"SearchFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&searchFlags),
                   sizeof searchFlags);
    RegCloseKey(key);
  }

  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  HWND m_parent = nullptr;
};

TEST_F(SearchDialogRoad, FindsTwoPcscReadersAndATextReaderOnTheSerialPort) {
  CPtyPeer peer;
  if (!peer.Available()) GTEST_SKIP() << peer.WhyNot();
  ASSERT_NE(LoadLibraryW(L"winscard.dll"), nullptr);
  CWinscardDouble smartCards;
  ASSERT_TRUE(smartCards.Loaded()) << "Wine's winscard.dll stub was loaded instead of the double";
  ASSERT_EQ(smartCards.Reset(), SCARD_S_SUCCESS);
  ASSERT_EQ(smartCards.PlugReader(L"Reader A 0"), SCARD_S_SUCCESS);
  ASSERT_EQ(smartCards.PlugReader(L"Reader B 0"), SCARD_S_SUCCESS);

  CFakeDevices devices;
  devices.AddSerialComm(L"\\Device\\Serial0", peer.ComName().c_str());
  CleanSettingsKeys keys;
  StoreSearchFlags(kSearchRoadFlags);
  m_host.reset(CTestVombra::Create(m_folder.c_str()));
  ASSERT_NE(m_host, nullptr);
  m_host->Load();
  ASSERT_TRUE(m_host->IsLoaded());

  // The reader on the pty answers every identification request the search's probes send.
  ASSERT_TRUE(peer.Clear());
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread reader([&] {
    std::string heard;
    while (!stop) {
      heard += peer.Receive(16, 100);
      if (heard.find("i\r") != std::string::npos) {
        heard.clear();
        peer.Send(kIdentity);
        ++answered;
      }
    }
  });

  CSearchReadersDialog dialog(m_host.get());
  ASSERT_TRUE(CDialog::CreateFromTemplate(&dialog, IDD_SEARCH_READERS, m_parent));
  // The timer's ticks, sent here at a faster pace.
  const DWORD start = GetTickCount();
  while (dialog.searching && GetTickCount() - start < 20000) {
    Sleep(100);
    SendMessageW(dialog.hwnd, WM_TIMER, 1, 0);
  }
  stop = true;
  reader.join();

  EXPECT_FALSE(dialog.searching);
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(Text(dialog.hwnd, IDC_SEARCH_RESULTS),
            L"Reader A 0 - KD-6 G\r\nReader B 0 - KD-6 G\r\n" + peer.ComName() + L" - KD-6 A s/n 321 v1.2\r\n");
  EXPECT_EQ(Text(dialog.hwnd, IDC_SEARCH_STATUS), L"The search is complete. 3 readers found.");
  dialog.Destroy();
  m_host->Unload();
  // The add-in's search closed every port it had opened: the pty's port opens again.
  HANDLE port = CreateFileW((L"\\\\.\\" + peer.ComName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

}  // namespace
