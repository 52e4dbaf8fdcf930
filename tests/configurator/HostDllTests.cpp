// The add-in host with the real Vombra.dll (this program's name is no longer than ConfigVombra.exe, so
// the name rule gives it Vombra.dll) and a text-protocol reader simulated on a loopback port: loading,
// the names in both languages, the road of a key into the test log and the last event, and Close and
// Unload returning promptly while keys stream in. The settings key holds only SettingFlags 0: the
// add-in ignores stored settings and runs on its built-in default format and search settings (no search
// beyond the machine, no COM ports probed).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Core.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "Strings.h"
#include "TestVombra.h"
#include "sim/TextReaderSim.h"
#include "VariantArray.h"
#include "WinApp.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

CTestApp theApp;

bool HasCyrillic(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c >= 0x0400 && c <= 0x04FF) return true;
  }
  return false;
}

class RealHostFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraHostDll-" + std::to_wstring(GetCurrentProcessId());
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
    m_view = m_host->AddView({this, &RealHostFixture::OnHints, 0});
  }
  void TearDown() override {
    m_host.reset();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // The test log as text, for a failure's message.
  std::string LogText() {
    std::string text;
    CTestLog& log = m_host->GetLog();
    for (size_t i = 0; i < log.GetLineCount(); ++i) {
      std::wstring line;
      log.ReadLine(i, line);
      std::string narrow;
      WideToMultiByte(line.c_str(), line.size(), narrow, CP_UTF8);
      text += narrow;
    }
    return text;
  }

  static void OnHints(void* owner, CDocument*, const uint64_t* hints) {
    static_cast<RealHostFixture*>(owner)->m_hints.push_back(*hints);
  }

  // Pumps the host window until `done` holds or the time runs out.
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
      Sleep(20);
    }
  }

  void SetPortText(const std::wstring& port) {
    CVariantArray value(1, m_host.get());
    value.SetString(0, port.c_str());
    m_host->SetPort(&value[0]);
  }

  // Opens the simulated reader and waits until it is connected; its device ID.
  std::wstring OpenSim(CTextReaderSim& sim) {
    SetPortText(sim.PortName());
    std::wstring id;
    EXPECT_TRUE(m_host->Open(&id));
    EXPECT_TRUE(PumpUntil([&] { return m_host->IsFirstDeviceConnected(); }, 10000)) << "the reader never connected";
    return id;
  }

  CleanSettingsKeys m_keys;
  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  int m_view = -1;
  std::vector<uint64_t> m_hints;
};

TEST_F(RealHostFixture, LoadGivesTheAddInsDepthAndNamesInBothLanguages) {
  ASSERT_NO_THROW(m_host->Load());
  EXPECT_TRUE(m_host->IsLoaded());
  EXPECT_EQ(m_host->GetEventBufferDepth(), 4096);
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_COMPONENT | HOST_HINT_SETTINGS}));
  ILanguageExtenderBase* component = m_host->Component;
  EXPECT_EQ(component->GetNProps(), 48);
  EXPECT_EQ(component->GetNMethods(), 53);

  struct Row {
    bool Method;
    const wchar_t* English;
  };
  for (const Row& row : {Row{false, L"Port"}, Row{true, L"Open"}, Row{true, L"TracksData"}}) {
    const long number = row.Method ? component->FindMethod(row.English) : component->FindProp(row.English);
    if (std::wstring(row.English) == L"TracksData") {
      EXPECT_EQ(number, -1) << "an event is no method";
      continue;
    }
    ASSERT_GE(number, 0);
    std::wstring english, russian;
    if (row.Method) {
      m_host->GetMethodName(english, number, 0);
      m_host->GetMethodName(russian, number, 1);
    } else {
      m_host->GetPropName(english, number, 0);
      m_host->GetPropName(russian, number, 1);
    }
    EXPECT_EQ(english, row.English);
    EXPECT_TRUE(HasCyrillic(russian)) << "alias 1 of " << number;
    EXPECT_EQ(row.Method ? component->FindMethod(russian.c_str()) : component->FindProp(russian.c_str()), number);
  }
  // A call by the Russian name reaches the same method.
  std::wstring russianVersion;
  m_host->GetMethodName(russianVersion, component->FindMethod(L"GetVersion"), 1);
  CVariantArray values(1, m_host.get());
  EXPECT_TRUE(m_host->CallMethod(russianVersion.c_str(), &values[0], nullptr, 0));
  std::wstring version;
  VariantToEditText(version, values[0]);
  EXPECT_EQ(version, L"1.9.5.7");

  m_hints.clear();
  m_host->Unload();
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_COMPONENT | HOST_HINT_DEVICES}));
  EXPECT_FALSE(m_host->IsLoaded());
  EXPECT_EQ(m_host->GetEventBufferDepth(), 4096) << "the depth stays as the add-in left it";
}

TEST_F(RealHostFixture, AKeyTravelsFromTheReaderIntoTheLogAndTheLastEvent) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  ASSERT_NO_THROW(m_host->Load());
  m_hints.clear();
  const std::wstring id = OpenSim(sim);
  EXPECT_EQ(id, sim.PortName());
  EXPECT_EQ(m_host->GetOpenDevices(), std::vector<std::wstring>({id}));
  ASSERT_FALSE(m_hints.empty());
  EXPECT_EQ(m_hints[0], HOST_HINT_DEVICES);

  sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(PumpUntil([&] { return !m_host->LastData.empty(); }, 5000)) << "no card data arrived; the log:\n" << LogText();
  EXPECT_EQ(m_host->LastSource, id);
  EXPECT_EQ(m_host->LastData, L"012,12345");
  EXPECT_FALSE(m_host->LastIsError);

  CTestLog& log = m_host->GetLog();
  bool found = false;
  for (size_t i = 0; i < log.GetLineCount(); ++i) {
    _TEST_EVENT_INFO record;
    log.ReadEvent(i, record);
    if (record.Message == L"TracksData") {
      found = true;
      EXPECT_EQ(record.Kind, 1);
      EXPECT_EQ(record.Source, id);
      EXPECT_EQ(record.Data, L"012,12345");
    }
  }
  EXPECT_TRUE(found) << "no TracksData line in the test log";

  m_hints.clear();
  EXPECT_TRUE(m_host->Close(id.c_str()));
  EXPECT_TRUE(m_host->GetOpenDevices().empty());
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_DEVICES}));
  m_host->Unload();
}

TEST_F(RealHostFixture, CloseAndUnloadReturnPromptlyWhileKeysStream) {
  CTextReaderSim sim(SimIdentity(), true);
  ASSERT_TRUE(sim.Listening());
  ASSERT_NO_THROW(m_host->Load());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "Close" : "Unload");
    const std::wstring id = OpenSim(sim);
    std::atomic<bool> stop{false};
    std::thread keys([&] {
      for (int n = 0; !stop; ++n) {
        sim.SendLine("Em-Marine[0000] 012," + std::to_string(10000 + n % 50000));
        Sleep(2);
      }
    });
    // Let the stream fill the queue while this thread does not pump.
    Sleep(500);
    const DWORD start = GetTickCount();
    if (round == 0) {
      EXPECT_TRUE(m_host->Close(id.c_str()));
    } else {
      m_host->Unload();
    }
    const DWORD took = GetTickCount() - start;
    stop = true;
    keys.join();
    EXPECT_LT(took, 3000u);
    PumpUntil([] { return false; }, 200);
    EXPECT_GT(m_host->GetLog().GetLineCount(), 0u);
  }
  EXPECT_FALSE(m_host->IsLoaded());
}

}  // namespace
