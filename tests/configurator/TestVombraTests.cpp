// The add-in host against the scripted fake add-in (this program is ConfigVombraFake.exe, so the name
// rule makes it load VombraFake.dll): the name rule, each load failure and its unwinding, the event
// queue and its depth, the last-event rule, calls by name and their error texts, the wrappers' exact
// values as the fake's journal saw them, the message-box interface, and the host's interface slots as
// an add-in calls them.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "FakeAddin.h"
#include "File.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TestVombra.h"
#include "VariantArray.h"
#include "WinApp.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);

class CTestApp : public CWinApp {
 public:
  bool ShowHelp(UINT) override { return false; }
  bool PreTranslateMessage(MSG*) override { return false; }
};

CTestApp theApp;

std::string Narrow(const std::wstring& text) {
  std::string out;
  WideToAnsi(text.c_str(), -1, out);
  return out;
}

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

// A message box answered by script; the texts it was asked to show are kept.
std::vector<std::wstring> g_shown;
int g_answer = IDOK;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_shown.push_back(config->pszContent ? config->pszContent : L"");
  if (button) *button = g_answer;
  if (radio) *radio = 0;
  if (verified) *verified = FALSE;
  return S_OK;
}

class HostFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraHostTest-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    m_view = m_host->AddView({this, &HostFixture::OnHints, 0});
  }
  void TearDown() override {
    m_host.reset();
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    g_pfnWriteFile = WriteFile;
    MessageBoxSeam = CMessageBoxSeam();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
    EXPECT_EQ(GetModuleHandleW(L"VombraFake.dll"), nullptr) << "the host left the add-in loaded";
  }

  static void OnHints(void* owner, CDocument*, const uint64_t* hints) {
    static_cast<HostFixture*>(owner)->m_hints.push_back(*hints);
  }

  FakeAddinState* State() {
    HMODULE fake = GetModuleHandleW(L"VombraFake.dll");
    if (!fake) return nullptr;
    auto get = reinterpret_cast<PFN_FAKE_ADDIN_STATE>(reinterpret_cast<void*>(GetProcAddress(fake, "FakeAddinGetState")));
    return get ? get() : nullptr;
  }

  // Dispatches what waits for the host's hidden window.
  void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, m_host->GetHostWindow(), 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  void LoadFake() {
    ASSERT_NO_THROW(m_host->Load());
    ASSERT_NE(State(), nullptr);
    m_hints.clear();
  }

  // Calls a fake method with an I4, or a text, per value.
  void CallFake(const wchar_t* name, std::vector<std::wstring> texts, std::vector<int32_t> numbers = {}) {
    CVariantArrayHolder values(m_host.get(), texts, numbers);
    m_host->CallMethod(name, &values.Get()[0], &values.Get()[1], long(texts.size() + numbers.size()));
  }

  struct CVariantArrayHolder {
    CVariantArrayHolder(CTestVombra* host, const std::vector<std::wstring>& texts, const std::vector<int32_t>& numbers)
        : Values(int64_t(1 + texts.size() + numbers.size()), host) {
      int64_t i = 1;
      for (int32_t n : numbers) Values.SetInt(i++, n);
      for (const std::wstring& t : texts) Values.SetString(i++, t.c_str());
    }
    CVariantArray& Get() { return Values; }
    CVariantArray Values;
  };

  std::vector<_TEST_EVENT_INFO> LogRecords() {
    std::vector<_TEST_EVENT_INFO> records;
    CTestLog& log = m_host->GetLog();
    for (size_t i = 0; i < log.GetLineCount(); ++i) {
      _TEST_EVENT_INFO record;
      log.ReadEvent(i, record);
      records.push_back(record);
    }
    return records;
  }

  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  int m_view = -1;
  std::vector<uint64_t> m_hints;
};

TEST(AddInLibraryName, PositionAloneDecides) {
  struct Row {
    const wchar_t* Exe;
    const wchar_t* Library;
  };
  const Row rows[] = {
      {L"C:\\Program Files\\Vombra\\ConfigVombra.exe", L"C:\\Program Files\\Vombra\\Vombra.dll"},
      {L"C:\\P\\ConfigVombraFake.exe", L"C:\\P\\VombraFake.dll"},
      {L"C:\\P\\HostDllTests.exe", L"C:\\P\\Vombra.dll"},
      {L"C:\\P\\a.exe", L"C:\\P\\Vombra.dll"},
      {L"C:\\P\\XXXXXXXXXXXX-64.exe", L"C:\\P\\Vombra-64.dll"},
      {L"C:\\P\\ConfigVombra1.exe", L"C:\\P\\Vombra1.dll"},
      {L"ConfigVombraDebug.exe", L"VombraDebug.dll"},
  };
  for (const Row& row : rows) {
    std::wstring library;
    CTestVombra::AddInLibraryPathFor(row.Exe, library);
    EXPECT_EQ(library, row.Library) << row.Exe;
  }
  // This very program: its own folder, read whole however deep it is.
  std::wstring library;
  CTestVombra::GetAddInLibraryPath(library);
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, &exe[0], DWORD(exe.size())));
  EXPECT_EQ(library, exe.substr(0, exe.rfind(L'\\') + 1) + L"VombraFake.dll");
}

TEST_F(HostFixture, EachLoadFailureUnwindsToUnloaded) {
  struct Row {
    const wchar_t* Script;
    UINT Text;
  };
  const Row rows[] = {
      {L"create-fails", IDS_HOST_CREATE_FAILED},
      {L"memory-refused", IDS_HOST_INIT_FAILED},
      {L"init-fails", IDS_HOST_INIT_FAILED},  // after asking for depth 3
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << Narrow(row.Script));
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, row.Script);
    m_hints.clear();
    try {
      m_host->Load();
      ADD_FAILURE() << "Load succeeded";
    } catch (const CTestVombraException& e) {
      EXPECT_EQ(std::string(e.what()), Narrow(Str(row.Text)));
    }
    EXPECT_FALSE(m_host->IsLoaded());
    EXPECT_EQ(m_host->Component, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"VombraFake.dll"), nullptr);
    EXPECT_EQ(m_host->GetEventBufferDepth(), 32);
    EXPECT_TRUE(m_hints.empty());
  }
  // And the host loads cleanly afterwards.
  SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
  LoadFake();
  EXPECT_EQ(m_host->GetEventBufferDepth(), 4096);
  m_host->Unload();
}

TEST_F(HostFixture, LibraryMissingOrWithoutAnExport) {
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, &exe[0], DWORD(exe.size())));
  const std::wstring folder = exe.substr(0, exe.rfind(L'\\') + 1);
  const std::wstring partial = folder + L"VombraPartial.dll";
  ASSERT_NE(GetFileAttributesW(partial.c_str()), INVALID_FILE_ATTRIBUTES);
  try {
    m_host->LoadAddInLibrary(partial.c_str());
    ADD_FAILURE() << "bound a library without DestroyObject";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.Cause(), CAUSE_BAD_HANDLE);
    EXPECT_EQ(e.FileName(), partial);
  }
  EXPECT_FALSE(m_host->IsLoaded());
  EXPECT_EQ(GetModuleHandleW(L"VombraPartial.dll"), nullptr);

  const std::wstring missing = folder + L"VombraMissing.dll";
  try {
    m_host->LoadAddInLibrary(missing.c_str());
    ADD_FAILURE() << "bound a missing library";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.OsError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(e.FileName(), missing);
  }
  EXPECT_FALSE(m_host->IsLoaded());
}

TEST_F(HostFixture, LoadAndUnloadTellTheObservers) {
  ASSERT_NO_THROW(m_host->Load());
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_COMPONENT | HOST_HINT_SETTINGS}));
  FakeAddinState* state = State();
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->SetLocaleCalls, 1);
  const bool russian = PRIMARYLANGID(LANGIDFROMLCID(GetThreadLocale())) == LANG_RUSSIAN;
  EXPECT_STREQ(state->Locale, russian ? L"ru_RU" : L"en_EN");
  std::wstring id;
  ASSERT_TRUE(m_host->Open(&id));
  m_hints.clear();
  m_host->Unload();
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_COMPONENT | HOST_HINT_DEVICES}));
  EXPECT_TRUE(m_host->GetOpenDevices().empty());
  EXPECT_FALSE(m_host->IsLoaded());
  EXPECT_EQ(m_host->Component, nullptr);
}

TEST_F(HostFixture, TheLocaleFollowsTheThreadLocaleAtConstruction) {
  const LCID saved = GetThreadLocale();
  struct Row {
    LANGID Language;
    const wchar_t* Locale;
  };
  for (const Row& row : {Row{kRussian, L"ru_RU"}, Row{kEnglish, L"en_EN"},
                         Row{MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), L"en_EN"}}) {
    SetThreadLocale(MAKELCID(row.Language, SORT_DEFAULT));
    CTestVombra host(m_folder.c_str());  // a second host: the class exists, its window is not needed here
    SetThreadLocale(saved);
    ASSERT_NO_THROW(host.Load());
    ASSERT_NE(State(), nullptr);
    EXPECT_STREQ(State()->Locale, row.Locale) << row.Language;
    host.Unload();
  }
}

TEST(TestVombraException, TextInTheAnsiCodePage) {
  EXPECT_STREQ(CTestVombraException(nullptr).what(), "Unknown error Test Vombra.");
  const CTestVombraException original(L"\"Open\" method not found.");
  const CTestVombraException copy(original);
  EXPECT_STREQ(copy.what(), "\"Open\" method not found.");
  try {
    ThrowTestVombraException(L"thrown");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "thrown");
  }
}

TEST_F(HostFixture, DepthBoundsTheQueueAndErrorsIgnoreIt) {
  LoadFake();
  ASSERT_TRUE(m_host->SetEventBufferDepth(3));
  // Five events from one worker while the GUI does not drain: the first three are taken.
  CallFake(L"EmitFromThreads", {L"TracksData"}, {1, 5});
  EXPECT_EQ(State()->EventsAccepted, 3);
  EXPECT_EQ(State()->EventsRefused, 2);
  EXPECT_EQ(m_host->GetQueuedCount(), 3u);
  Pump();
  std::vector<_TEST_EVENT_INFO> records = LogRecords();
  ASSERT_EQ(records.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].Kind, 1);
    EXPECT_EQ(records[i].Source, L"FAKE");
    EXPECT_EQ(records[i].Data, L"T0#" + std::to_wstring(i));
  }
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_EVENTS | HOST_HINT_LAST_EVENT}));
  EXPECT_EQ(m_host->LastData, L"T0#2");

  // Depth 0 refuses every event; an error is still queued and logged.
  ASSERT_TRUE(m_host->SetEventBufferDepth(0));
  CallFake(L"Emit", {L"TracksData", L"x"}, {4});
  EXPECT_EQ(State()->EventsRefused, 2 + 4);
  CallFake(L"RaiseError", {L"Port COM9 vanished.\r\nReader stopped."}, {1004, int32_t(0x80004005)});
  Pump();
  records = LogRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3].Kind, 3);
  EXPECT_EQ(records[3].Source, L"Fake");
  EXPECT_EQ(records[3].Message, L"Port COM9 vanished.\r\nReader stopped.");
  EXPECT_EQ(records[3].Data, L"message=1004, error=-2147467259");
  EXPECT_EQ(m_host->LastErrorCode, long(0x80004005));
  EXPECT_EQ(m_host->LastErrorSource, L"Fake");
  m_host->Unload();
}

TEST_F(HostFixture, LoweringTheDepthKeepsTheOldest) {
  LoadFake();
  m_host->SetEventBufferDepth(10);
  CallFake(L"Emit", {L"NoCard", L"k"}, {5});
  EXPECT_EQ(m_host->GetQueuedCount(), 5u);
  m_host->SetEventBufferDepth(2);
  EXPECT_EQ(m_host->GetQueuedCount(), 2u);
  Pump();
  const std::vector<_TEST_EVENT_INFO> records = LogRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Data, L"k#0");
  EXPECT_EQ(records[1].Data, L"k#1");
  // NoCard is neither card data nor a driver error.
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_EVENTS}));
  m_host->CleanEventBuffer();
  m_host->Unload();
}

TEST_F(HostFixture, LastEventIsTheNewestCardDataOrDriverError) {
  struct Row {
    std::vector<const wchar_t*> Messages;  // data is "d<index>"
    const wchar_t* Data;                   // null: the last event stays as it was
    bool IsError;
  };
  const Row rows[] = {
      {{L"TracksData", L"DriverError"}, L"d1", true},
      {{L"DriverError", L"TracksData", L"NoCard"}, L"d1", false},
      {{L"tracksdata"}, L"d0", false},
      {{L"ДАННЫЕКАРТЫ", L"DeviceConnect"}, L"d0", false},
      {{L"ОшибкаДрайвера"}, L"d0", true},
      {{L"ошибкадрайвера", L"Command"}, L"d0", true},
      {{L"NoCard", L"TracksDataX", L"DeviceDisconnect"}, nullptr, false},
  };
  m_host->LastSource = L"before";
  m_host->LastData = L"before";
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << Narrow(row.Messages[0]));
    const std::wstring oldData = m_host->LastData;
    const bool oldError = m_host->LastIsError;
    for (size_t i = 0; i < row.Messages.size(); ++i) {
      std::wstring data = L"d" + std::to_wstring(i);
      ASSERT_TRUE(m_host->ExternalEvent(const_cast<wchar_t*>(L"DEV"), const_cast<wchar_t*>(row.Messages[i]), &data[0]));
    }
    m_hints.clear();
    Pump();
    if (row.Data) {
      EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_EVENTS | HOST_HINT_LAST_EVENT}));
      EXPECT_EQ(m_host->LastSource, L"DEV");
      EXPECT_EQ(m_host->LastData, row.Data);
      EXPECT_EQ(m_host->LastIsError, row.IsError);
    } else {
      EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_EVENTS}));
      EXPECT_EQ(m_host->LastData, oldData);
      EXPECT_EQ(m_host->LastIsError, oldError);
    }
  }
}

TEST_F(HostFixture, ReaderThreadsNeverWaitOnTheGui) {
  LoadFake();
  // Eight threads, while this (the GUI) thread waits for them inside the call and pumps nothing.
  CallFake(L"EmitFromThreads", {L"TracksData"}, {8, 25});
  EXPECT_EQ(State()->EventsAccepted, 200);
  EXPECT_EQ(State()->EventsRefused, 0);
  // Every event posted a message; the first one takes the whole batch, the rest find nothing.
  Pump();
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_EVENTS | HOST_HINT_LAST_EVENT}));
  EXPECT_EQ(m_host->GetLog().GetLineCount(), 200u);
  EXPECT_EQ(m_host->GetQueuedCount(), 0u);
  m_host->Unload();
}

BOOL WINAPI RefusedWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  if (written) *written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

TEST_F(HostFixture, ABatchTheLogCannotTakeIsLostQuietly) {
  m_host->GetLog();
  g_pfnWriteFile = RefusedWrite;
  std::wstring data = L"lost";
  m_host->ExternalEvent(const_cast<wchar_t*>(L"DEV"), const_cast<wchar_t*>(L"TracksData"), &data[0]);
  Pump();
  EXPECT_TRUE(m_hints.empty());
  EXPECT_EQ(m_host->GetQueuedCount(), 0u);
  EXPECT_EQ(m_host->LastData, L"");
  g_pfnWriteFile = WriteFile;
  data = L"kept";
  m_host->ExternalEvent(const_cast<wchar_t*>(L"DEV"), const_cast<wchar_t*>(L"TracksData"), &data[0]);
  Pump();
  EXPECT_EQ(m_host->LastData, L"kept");
  ASSERT_EQ(LogRecords().size(), 1u);
  EXPECT_EQ(LogRecords()[0].Data, L"kept");
}

TEST_F(HostFixture, CallFailuresCarryTheAddInsText) {
  LoadFake();
  struct Row {
    const wchar_t* Method;
    const wchar_t* Description;  // reported through AddError 1004 with the failure; empty: none
    std::wstring Expected;
  };
  std::wstring notFound, failed;
  LoadStrFormat(notFound, IDS_HOST_METHOD_NOT_FOUND, L"NoSuchMethod");
  LoadStrFormat(failed, IDS_HOST_METHOD_FAILED, L"Reconnect");
  const Row rows[] = {
      {L"NoSuchMethod", L"", notFound},
      {L"Reconnect", L"", failed},
      {L"Reconnect", L"Reader is busy.", failed + L" Reader is busy."},
  };
  EXPECT_EQ(Narrow(failed), "Failed to execute method \"Reconnect\".");
  for (const Row& row : rows) {
    FakeAddinState* state = State();
    wcsncpy(state->FailDescription, row.Description, 127);
    state->FailNext = true;
    try {
      CallFake(row.Method, {L"FAKE1"});
      ADD_FAILURE() << "the call did not throw";
    } catch (const CTestVombraException& e) {
      EXPECT_EQ(std::string(e.what()), Narrow(row.Expected));
    }
    state->FailNext = false;
  }
  // A Russian name reaches the same method.
  CVariantArray open(2, m_host.get());
  EXPECT_TRUE(m_host->CallMethod(L"Открыть", &open[0], &open[1], 1));
  EXPECT_EQ(std::wstring(open[1].pwstrVal), L"FAKE1");
  m_host->Unload();
}

TEST_F(HostFixture, SetPortAndNames) {
  LoadFake();
  tVariant port{};
  std::wstring text = L"COM3";
  port.pwstrVal = &text[0];
  port.wstrLen = 4;
  port.vt = VTYPE_PWSTR;
  EXPECT_NO_THROW(m_host->SetPort(&port));
  struct Row {
    uint16_t Type;
    uint64_t Bits;
    const wchar_t* Description;
    const char* Expected;
  };
  const Row rows[] = {
      {VTYPE_I4, uint32_t(-5), L"", "Failed to set property \"Port\" components =-5."},
      {VTYPE_UI4, 7, L"", "Failed to set property \"Port\" components =7."},
      {VTYPE_BOOL, 1, L"Not a port.", "Failed to set property \"Port\" components =true. Not a port."},
      {VTYPE_BOOL, 0, L"", "Failed to set property \"Port\" components =false."},
      {VTYPE_R8, 0, L"", "Failed to set property \"Port\" components =???."},
  };
  for (const Row& row : rows) {
    wcsncpy(State()->FailDescription, row.Description, 127);
    tVariant value{};
    value.ullVal = row.Bits;
    value.vt = row.Type;
    try {
      m_host->SetPort(&value);
      ADD_FAILURE() << "accepted type " << row.Type;
    } catch (const CTestVombraException& e) {
      EXPECT_EQ(std::string(e.what()), row.Expected);
    }
  }
  std::wstring name;
  m_host->GetPropName(name, 0, 1);
  EXPECT_EQ(name, L"Порт");
  m_host->GetMethodName(name, 2, 0);
  EXPECT_EQ(name, L"Open");
  m_host->GetMethodName(name, 2, 1);
  EXPECT_EQ(name, L"Открыть");
  m_host->Unload();
}

TEST_F(HostFixture, WrappersPassExactTypesAndCounts) {
  LoadFake();
  _KEYNUM_INFO key{};
  key.Length = 3;
  key.Data[0] = 0x34;
  key.Data[1] = 0x12;
  key.Data[2] = 0x7F;
  int32_t index = -1;
  uint32_t formatId = 0;
  int32_t position = 0;
  std::wstring out;
  struct Row {
    const wchar_t* Method;
    std::function<void()> Call;
    uint16_t ResultType;  // as handed to the add-in
    std::vector<uint16_t> Types;
    std::vector<std::wstring> Texts;  // per parameter; "" where not a text
    std::vector<uint32_t> Numbers;    // per parameter; I4/UI4/BOOL values, BLOB lengths
  };
  CTestVombra* host = m_host.get();
  const Row rows[] = {
      {L"GetLastError", [&] { EXPECT_EQ(host->GetLastError(&out), int32_t(0x80040233)); }, 0, {0}, {L""}, {0}},
      {L"SetParameter", [&] { host->SetParameter(L"Speed", L"9600"); }, 0, {22, 22}, {L"Speed", L"9600"}, {0, 0}},
      {L"SetParameter", [&] { host->SetReaderFormatId(0x80000001u); }, 0, {22, 16}, {L"ReaderFormatID", L""},
       {0, 0x80000001u}},
      {L"Open", [&] { host->Open(&out); }, 0, {0}, {L""}, {0}},
      {L"Close", [&] { host->Close(L"FAKE1"); }, 0, {22}, {L"FAKE1"}, {0}},
      {L"UpdateReaderParameters", [&] { host->UpdateReaderParameters(L"FAKE1", true); }, 0, {22, 11},
       {L"FAKE1", L""}, {0, 1}},
      {L"LoadSettings", [&] { host->LoadSettings(); }, 0, {16}, {L""}, {7}},
      {L"FindFormat", [&] { EXPECT_EQ(host->FindFormat(), -1); }, 3, {22}, {L"FormatTemp"}, {0}},
      {L"Reconnect", [&] { host->Reconnect(L"FAKE1"); }, 0, {22}, {L"FAKE1"}, {0}},
      {L"GetKeyInfo", [&] { host->GetKeyInfo(L"FAKE1", 2, nullptr, nullptr); }, 0, {22, 3, 0, 0, 0, 0, 0, 0},
       {L"FAKE1", L"", L"", L"", L"", L"", L"", L""}, {0, 0, 0, 0, 0, 0, 0, 0}},
      {L"InsertFormat", [&] { host->InsertFormat(index, L"%d", L"N", &formatId); }, 0, {3, 22, 22, 22, 22, 16},
       {L"", L"FormatTemp", L"%d", L"N", L"", L""}, {uint32_t(-1), 0, 0, 0, 0, 0}},
      {L"SetFormat", [&] { host->SetFormat(4, L"%x", L"K"); }, 0, {3, 22, 22, 22, 0},
       {L"", L"FormatTemp", L"%x", L"K", L""}, {4, 0, 0, 0, 0}},
      {L"CheckFormat", [&] { host->CheckFormat(L"%q", L"", &position); }, 0, {22, 22, 0}, {L"%q", L"", L""},
       {0, 0, 0}},
      {L"Format", [&] { host->Format(L"%d", L"N", 5, key, out); }, 0, {0, 22, 22, 16, 23}, {L"", L"%d", L"N", L"", L""},
       {0, 0, 0, 5, 3}},
      {L"GetStatus", [&] { host->Open(nullptr); EXPECT_TRUE(host->IsFirstDeviceConnected()); }, 0, {22},
       {L"FAKE1"}, {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.Method));
    FakeAddinState* state = State();
    const int before = state->Calls;
    row.Call();
    ASSERT_GT(state->Calls, before);
    const FakeAddinCall& call = state->Journal[state->Calls - 1];
    EXPECT_STREQ(call.Name, row.Method);
    EXPECT_EQ(call.ResultType, row.ResultType);
    ASSERT_EQ(size_t(call.Count), row.Types.size());
    for (size_t i = 0; i < row.Types.size(); ++i) {
      EXPECT_EQ(call.Types[i], row.Types[i]) << "parameter " << i + 1;
      EXPECT_EQ(std::wstring(call.Texts[i]), row.Texts[i]) << "parameter " << i + 1;
      EXPECT_EQ(call.Numbers[i], row.Numbers[i]) << "parameter " << i + 1;
    }
  }
  // What the wrappers read back.
  EXPECT_EQ(index, 4);
  EXPECT_EQ(formatId, 77u);
  EXPECT_EQ(position, 5);
  EXPECT_EQ(out, L"formatted");
  std::wstring description;
  m_host->GetLastError(&description);
  EXPECT_EQ(description, L"Device is not open.");
  m_host->Unload();
}

TEST_F(HostFixture, KeyInfoTypesAndLengthsAreBounded) {
  LoadFake();
  struct Row {
    int32_t Type;
    uint32_t Length;
    int32_t ReadType;
    BYTE ReadLength;
  };
  const Row rows[] = {{21, 5, 21, 5}, {22, 5, 0, 5}, {-1, 1, 0, 1}, {3, 16, 3, 15}, {3, 0, 3, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.Type << "/" << row.Length);
    State()->KeyType = row.Type;
    State()->KeyLength = row.Length;
    int32_t type = -7;
    _KEYNUM_INFO key;
    memset(&key, 0xEE, sizeof key);
    ASSERT_TRUE(m_host->GetKeyInfo(L"FAKE1", 9, &type, &key));
    EXPECT_EQ(type, row.ReadType);
    EXPECT_EQ(key.Length, row.ReadLength);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(key.Data[i], i < row.ReadLength ? BYTE(0x11 + i) : 0) << i;
  }
  m_host->Unload();
}

TEST_F(HostFixture, OutValuesThatAreNotTexts) {
  LoadFake();
  State()->OddOutValues = true;
  int32_t position = 0;
  m_host->CheckFormat(L"%d", L"", &position);
  EXPECT_EQ(position, -1);
  std::wstring out = L"stale";
  _KEYNUM_INFO key{};
  EXPECT_TRUE(m_host->Format(L"%d", L"", 0, key, out));
  EXPECT_EQ(out, L"");
  std::wstring id = L"stale";
  EXPECT_TRUE(m_host->Open(&id));
  EXPECT_EQ(id, L"");
  m_host->Unload();
}

TEST_F(HostFixture, OpenDeviceList) {
  LoadFake();
  EXPECT_FALSE(m_host->IsFirstDeviceConnected());
  std::wstring id;
  ASSERT_TRUE(m_host->Open(&id));
  EXPECT_EQ(id, L"FAKE1");
  ASSERT_TRUE(m_host->Open(&id));  // the same ID again: listed once, no hint
  wcscpy(State()->DeviceId, L"FAKE2");
  ASSERT_TRUE(m_host->Open(&id));
  EXPECT_EQ(m_host->GetOpenDevices(), std::vector<std::wstring>({L"FAKE1", L"FAKE2"}));
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_DEVICES, HOST_HINT_DEVICES}));
  m_hints.clear();
  ASSERT_TRUE(m_host->Close(L"fake1"));  // compared exactly: not listed, no hint
  EXPECT_TRUE(m_hints.empty());
  ASSERT_TRUE(m_host->Close(L"FAKE1"));
  EXPECT_EQ(m_hints, std::vector<uint64_t>({HOST_HINT_DEVICES}));
  EXPECT_EQ(m_host->GetOpenDevices(), std::vector<std::wstring>({L"FAKE2"}));
  m_host->Unload();
  EXPECT_TRUE(m_host->GetOpenDevices().empty());
}

TEST_F(HostFixture, ConfirmAndAlertGoThroughTheMessageBox) {
  LoadFake();
  MessageBoxSeam.TaskDialogIndirect = ScriptedTaskDialog;
  g_shown.clear();
  struct Row {
    int Button;
    int32_t Answer;
  };
  for (const Row& row : {Row{IDOK, 1}, Row{IDCANCEL, 0}}) {
    g_answer = row.Button;
    CVariantArray values(2, m_host.get());
    values.SetString(1, L"Replace the format?");
    m_host->CallMethod(L"Ask", &values[0], &values[1], 1);
    EXPECT_EQ(values[0].lVal, row.Answer);
  }
  CVariantArray values(2, m_host.get());
  values.SetString(1, L"Reader found.");
  m_host->CallMethod(L"Tell", &values[0], &values[1], 1);
  EXPECT_TRUE(values[0].bVal);
  EXPECT_EQ(g_shown, std::vector<std::wstring>({L"Replace the format?", L"Replace the format?", L"Reader found."}));
  m_host->Unload();
}

TEST_F(HostFixture, AnAddInReachesEveryHostSlot) {
  LoadFake();
  CVariantArray values(1, m_host.get());
  m_host->CallMethod(L"ProbeSlots", &values[0], nullptr, 0);
  EXPECT_STREQ(State()->SlotFailure, L"");
  EXPECT_EQ(State()->SlotChecks, 17);
  // Slot 0 deleted nothing: the host still works, and holds only the probe's error record.
  EXPECT_EQ(m_host->GetEventBufferDepth(), 7);
  EXPECT_EQ(m_host->GetQueuedCount(), 1u);
  Pump();
  const std::vector<_TEST_EVENT_INFO> records = LogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Message, L"slot 1");
  EXPECT_EQ(records[0].Data, L"message=7, error=5");
  EXPECT_EQ(m_host->LastErrorCode, 0);  // only code 1004 is the last error
  m_host->Unload();
}

TEST(HostStrings, EveryTextInBothLanguages) {
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  const UINT ids[] = {IDS_HOST_INIT_FAILED, IDS_HOST_CREATE_FAILED, IDS_HOST_SET_PROPERTY_FAILED,
                      IDS_HOST_METHOD_FAILED, IDS_HOST_METHOD_NOT_FOUND, IDS_HOST_PROPERTY_NOT_FOUND};
  for (UINT id : ids) {
    SetUILanguage(kEnglish);
    const std::wstring english = Str(id);
    SetUILanguage(kRussian);
    const std::wstring russian = Str(id);
    EXPECT_FALSE(english.empty()) << id;
    EXPECT_FALSE(russian.empty()) << id;
    EXPECT_NE(english, russian) << id;
    // The Russian text fills the same places.
    EXPECT_EQ(std::count(english.begin(), english.end(), L'%'), std::count(russian.begin(), russian.end(), L'%')) << id;
  }
  SetUILanguage(kEnglish);
  std::wstring text;
  LoadStrFormat(text, IDS_HOST_METHOD_NOT_FOUND, L"Open");
  EXPECT_EQ(text, L"\"Open\" method not found.");
  LoadStrFormat(text, IDS_HOST_PROPERTY_NOT_FOUND, L"Port");
  EXPECT_EQ(text, L"\"Port\" property not found.");
}

}  // namespace
