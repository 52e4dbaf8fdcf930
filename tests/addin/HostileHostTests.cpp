// A host that hands the add-in every kind of value the Native API has, and nonsense besides, in every
// property and every parameter of every method. Each argument array, each text and each blob ends at
// a page the process cannot touch, so a read or write one element or one byte too far is an access
// violation and fails the run. Every call must come back, answer false only with a last error set,
// and leave nothing of the host's memory taken or freed twice.
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AddinLog.h"
#include "CardCommandFixture.h"
#include "FakeHost.h"
#include "GuardedBlock.h"
#include "Vombra.h"
#include "sim/BinaryReaderSim.h"

namespace {

// DoAdditionalAction has no action to run: it refuses every call and leaves the last error alone.
constexpr long kQuietRefusal = 9;

struct ArgKind {
  const char* name;
  tVariant value;
  bool nonsense;  // a value no sound host sends: a false answer must come with a last error
};

class HostileHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
    // Nothing the table sends may reach beyond this machine or the fake smart-card service.
    addin.SearchFlags = 0;
    addin.AdditionalPorts.clear();
    addin.LiveParams.Port = L"Zz";
    BuildKinds();
  }

  void TearDown() override {
    addin.StopReaders();
    addin.EndSearch();
    EXPECT_EQ(host.OutstandingBlocks(), 0u) << "blocks the add-in took and never handed back";
    EXPECT_EQ(host.StrayFrees(), 0u) << "blocks freed twice or never handed out";
  }

  tVariant Text(const wchar_t* text, uint32_t claimed) {
    const size_t chars = wcslen(text) + 1;
    auto* block = new GuardedBlock(chars * sizeof(wchar_t));
    blocks.emplace_back(block);
    std::memcpy(block->Data(), text, chars * sizeof(wchar_t));
    tVariant value{};
    value.pwstrVal = static_cast<WCHAR_T*>(block->Data());
    value.wstrLen = claimed;
    value.vt = VTYPE_PWSTR;
    return value;
  }

  tVariant Bytes(uint16_t type, size_t bytes, uint32_t claimed) {
    auto* block = new GuardedBlock(bytes);
    blocks.emplace_back(block);
    std::memset(block->Data(), 0xA5, bytes);
    tVariant value{};
    value.pstrVal = static_cast<char*>(block->Data());
    value.strLen = claimed;
    value.vt = type;
    return value;
  }

  static tVariant Raw(uint16_t type, uint64_t bits) {
    tVariant value{};
    value.ullVal = bits;
    value.vt = type;
    return value;
  }

  void BuildKinds() {
    soundText = Text(L"Zz", 2);
    kinds = {
        {"EMPTY", Raw(VTYPE_EMPTY, 0), false},
        {"NULL", Raw(VTYPE_NULL, 0), false},
        {"I2", Raw(VTYPE_I2, 0xFFFF), false},
        {"I4 0", Raw(VTYPE_I4, 0), false},
        {"I4 -1", Raw(VTYPE_I4, 0xFFFFFFFFu), false},
        {"R4", Raw(VTYPE_R4, 0x7F800000u), false},
        {"R8", Raw(VTYPE_R8, 0x7FF8000000000000ull), false},
        {"DATE", Raw(VTYPE_DATE, 0xFFF0000000000000ull), false},
        {"TM", Raw(VTYPE_TM, ~0ull), false},
        {"INTERFACE", Raw(VTYPE_INTERFACE, 0), false},
        {"ERROR", Raw(VTYPE_ERROR, 0x80004005u), false},
        {"BOOL", Raw(VTYPE_BOOL, 1), false},
        {"VARIANT", Raw(VTYPE_VARIANT, 0), false},
        {"I1", Raw(VTYPE_I1, 0x80), false},
        {"UI1", Raw(VTYPE_UI1, 0xFF), false},
        {"UI2", Raw(VTYPE_UI2, 0xFFFF), false},
        {"UI4", Raw(VTYPE_UI4, 0xFFFFFFFFu), false},
        {"I8", Raw(VTYPE_I8, 0x8000000000000000ull), false},
        {"UI8", Raw(VTYPE_UI8, ~0ull), false},
        {"INT", Raw(VTYPE_INT, 7), false},
        {"UINT", Raw(VTYPE_UINT, 7), false},
        {"HRESULT", Raw(VTYPE_HRESULT, 0x80004005u), false},
        {"CLSID", Raw(VTYPE_CLSID, 0), false},
        {"PWSTR", soundText, false},
        {"PWSTR empty", Text(L"", 0), false},
        {"PWSTR hex", Text(L"0x0102030405060708090A0B0C0D0E0F10", 34), false},
        {"PWSTR format", Text(L"%u%s%d[%x]", 10), false},
        {"PSTR", Bytes(VTYPE_PSTR, 4, 4), false},
        {"BLOB", Bytes(VTYPE_BLOB, 16, 16), false},
        {"BLOB empty", Raw(VTYPE_BLOB, 0), false},
        {"unknown vt", Raw(77, ~0ull), true},
        {"vt all bits", Raw(0xFFFF, ~0ull), true},
        {"PWSTR null with a length", Raw(VTYPE_PWSTR, 0), true},
        {"PWSTR length beyond the block", Text(L"Zz", 1u << 20), true},
        {"BLOB null with a length", Raw(VTYPE_BLOB, 0), true},
        {"BLOB length beyond the block", Bytes(VTYPE_BLOB, 16, 1u << 20), true},
        {"PSTR length beyond the block", Bytes(VTYPE_PSTR, 16, 0xFFFFFFFFu), true},
    };
    for (ArgKind& kind : kinds) {
      // A null pointer with a length: only the length field is set.
      if (kind.nonsense && kind.value.pstrVal == nullptr && (kind.value.vt == VTYPE_PWSTR || kind.value.vt == VTYPE_BLOB)) {
        kind.value.strLen = 4096;
      }
    }
  }

  // Hands back to the host what the add-in placed in a value it was given (its own blocks only).
  void Release(tVariant& now, const tVariant& given) {
    const uint16_t type = VariantType(&now);
    if ((type == VTYPE_PWSTR || type == VTYPE_BLOB || type == VTYPE_PSTR) && now.pstrVal &&
        now.pstrVal != given.pstrVal) {
      host.FreeVariant(now);
    }
  }

  // One call of the method as a function and as a procedure.
  // The arguments lie as the host lays them out: exactly as many values as given, ending at a
  // no-access page; noArray passes a null array with the count.
  void CallBoth(long method, const std::vector<tVariant>& values, long count, bool nonsense, const std::string& what,
                bool noArray = false) {
    std::unique_ptr<GuardedBlock> array;
    tVariant* params = nullptr;
    if (!values.empty() && !noArray) {
      array.reset(new GuardedBlock(values.size() * sizeof(tVariant)));
      params = static_cast<tVariant*>(array->Data());
    }
    for (int asFunction = 0; asFunction < 2; ++asFunction) {
      SCOPED_TRACE(what + (asFunction ? " as a function" : " as a procedure"));
      if (params) std::memcpy(params, values.data(), values.size() * sizeof(tVariant));
      GuardedBlock resultBlock(sizeof(tVariant));
      auto* result = static_cast<tVariant*>(resultBlock.Data());
      *result = tVariant{};
      addin.SetError(S_OK, nullptr);
      const DWORD start = GetTickCount();
      const bool answer =
          asFunction ? addin.CallAsFunc(method, result, params, count) : addin.CallAsProc(method, params, count);
      EXPECT_LT(GetTickCount() - start, 5000u) << "the call hung";
      if (method == kQuietRefusal) {
        EXPECT_FALSE(answer);
        EXPECT_EQ(addin.LastError, S_OK) << "the last error is left as it was";
      } else if (nonsense && !answer) {
        EXPECT_NE(addin.LastError, S_OK) << "refused without a last error";
      }
      if (asFunction) Release(*result, tVariant{});
      for (size_t i = 0; params && i < values.size(); ++i) Release(params[i], values[i]);
      // A reader a row opened would make the next rows wait on a device that is not there.
      if (!keepReaders) addin.StopReaders();
    }
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
  bool keepReaders = false;  // the rows drive a reader the fixture opened
  std::vector<std::unique_ptr<GuardedBlock>> blocks;
  std::vector<ArgKind> kinds;
  tVariant soundText{};  // a text no method takes for a port, a device or a file
};

TEST_F(HostileHost, EveryMethodTakesEveryArgumentKindInBothLanguages) {
  ASSERT_EQ(addin.GetNMethods(), VOMBRA_METHOD_COUNT);
  for (long method = 0; method < VOMBRA_METHOD_COUNT; ++method) {
    // The methods that touch the settings store or the log file are the settings suites' part.
    const std::wstring known = g_MethodNames[method];
    if (known == L"LoadSettings" || known == L"SaveSettings") continue;
    for (const wchar_t* name : {g_MethodNames[method], g_MethodNamesRu[method]}) {
      const long number = addin.FindMethod(name);
      ASSERT_EQ(number, method);
      const long n = addin.GetNParams(number);
      const bool english = name == g_MethodNames[method];
      const std::string label = "method " + std::to_string(method) + (english ? " en" : " ru");
      for (const ArgKind& kind : kinds) {
        std::vector<tVariant> values(size_t(n), kind.value);
        CallBoth(number, values, n, kind.nonsense, label + " all " + kind.name);
        // Each parameter alone of that kind, the others sound texts (the number is the same whichever
        // name found it, so once is enough).
        for (long i = 0; english && n > 1 && i < n; ++i) {
          std::vector<tVariant> mixed(size_t(n), soundText);
          mixed[size_t(i)] = kind.value;
          CallBoth(number, mixed, n, kind.nonsense,
                   label + " parameter " + std::to_string(i) + " " + kind.name);
        }
      }
      // Too few parameters, none at all, no array with a count, a negative count.
      for (long given = 0; given < n; ++given) {
        std::vector<tVariant> values(size_t(given), soundText);
        CallBoth(number, values, given, true, label + " count " + std::to_string(given));
      }
      if (n > 0) CallBoth(number, std::vector<tVariant>(size_t(n), soundText), n, true, label + " no array", true);
      CallBoth(number, {}, -1, true, label + " negative count");
    }
  }
}

// At log level 6 every call's arguments are written into the log before the body runs: the log's
// reading of a nonsense value stops at the end of the host's block as the bodies' reading does.
TEST_F(HostileHost, LoggedCallsReadNoFurtherThanTheHostsBlocks) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"VombraHostileLog" + std::to_wstring(GetCurrentProcessId());
  g_logFolder = folder;
  addin.LogLevel = 6;
  for (long method = 0; method < VOMBRA_METHOD_COUNT; ++method) {
    const std::wstring known = g_MethodNames[method];
    if (known == L"LoadSettings" || known == L"SaveSettings" || known == L"ClearLog") continue;
    const long n = addin.GetNParams(method);
    for (const ArgKind& kind : kinds) {
      if (!kind.nonsense || n == 0) continue;
      CallBoth(method, std::vector<tVariant>(size_t(n), kind.value), n, true,
               "logged method " + std::to_string(method) + " all " + kind.name);
    }
  }
  addin.LogLevel = 0;
  EXPECT_NE(GetFileAttributesW((folder + L"\\Vombra.log").c_str()), INVALID_FILE_ATTRIBUTES) << "nothing was logged";
  DeleteFileW((folder + L"\\Vombra.log").c_str());
  RemoveDirectoryW(folder.c_str());
  g_logFolder.clear();
}

// The reader and card-command methods with a reader open and connected (a binary-mode device on
// loopback with a Mifare Classic card in its field), so that the rows reach the bodies that talk to
// it: each parameter in turn gets every kind while the others are sound, then all of one kind, then
// too few. Commands that a row leaves running are broken by the next one.
class HostileHostOpenReader : public HostileHost {
 protected:
  void SetUp() override {
    HostileHost::SetUp();
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // Init, which makes the event, is not run: it would read the registry.
    addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    addin.IdentKeyDelay = 0;
    addin.LiveParams.ConnectPeriod = 200;
    addin.LiveParams.RequestTimeout = 300;
    addin.LiveParams.RequestTries = 1;
    keepReaders = true;
  }
  void TearDown() override {
    HostileHost::TearDown();
    WSACleanup();
  }

  // Opens the simulator's port and waits until its reader is connected; the device ID.
  std::wstring OpenConnected(const std::wstring& port) {
    addin.LiveParams.Port = port;
    addin.LiveParams.Flags = RDF_BINARY;
    tVariant result{};
    tVariant id{};
    EXPECT_TRUE(addin.CallAsFunc(addin.FindMethod(L"Open"), &result, &id, 1));
    std::wstring text;
    if (id.vt == VTYPE_PWSTR && id.pwstrVal) text.assign(id.pwstrVal, id.wstrLen);
    Release(id, tVariant{});
    const DWORD start = GetTickCount();
    while (Status(text) != RS_CONNECTED && GetTickCount() - start < 20000) Sleep(20);
    return text;
  }

  int Status(const std::wstring& id) {
    tVariant arg = Text(id.c_str(), uint32_t(id.size()));
    tVariant result{};
    addin.CallAsFunc(addin.FindMethod(L"GetStatus"), &result, &arg, 1);
    return result.vt == VTYPE_I4 ? result.lVal : -1;
  }

  // The method's truth result for sound arguments.
  bool SoundCall(const wchar_t* name, const std::vector<tVariant>& given) {
    std::vector<tVariant> values = given;
    tVariant result{};
    const bool answer = addin.CallAsFunc(addin.FindMethod(name), &result, values.data(), long(values.size()));
    const bool truth = answer && result.vt == VTYPE_BOOL && result.bVal;
    Release(result, tVariant{});
    for (size_t i = 0; i < values.size(); ++i) Release(values[i], given[i]);
    return truth;
  }
};

TEST_F(HostileHostOpenReader, CardMethodsOnAConnectedReaderTakeEveryArgumentKind) {
  SimIdentity identity;
  identity.ModelName = "KD-6 B";
  identity.HwCode = 0x811;
  identity.Serial = 777;
  identity.Version = "1.8";
  CBinaryReaderSim sim(identity);
  ASSERT_TRUE(sim.Listening());
  sim.Change([](CBinaryReaderModel& m) { m.AddCard(Classic1KCard("04 01 02 03")); });
  const std::wstring device = OpenConnected(sim.PortName());
  ASSERT_EQ(Status(device), RS_CONNECTED);

  const tVariant id = Text(device.c_str(), uint32_t(device.size()));
  const tVariant out = Raw(VTYPE_EMPTY, 0);
  const tVariant null = Raw(VTYPE_NULL, 0);
  auto i4 = [](int32_t n) { return Raw(VTYPE_I4, uint32_t(n)); };
  auto ui4 = [](uint32_t n) { return Raw(VTYPE_UI4, n); };
  auto truth = [](bool b) { return Raw(VTYPE_BOOL, b); };
  const tVariant block = Text(L"C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF", 32);
  // Sound arguments of each method; the ones that change how the reader connects come last.
  const struct {
    const wchar_t* name;
    std::vector<tVariant> sound;
  } rows[] = {
      {L"GetStatus", {id}},
      {L"GetReaderInfo", {id, out, out, out, out}},
      {L"GetKeyInfo", {id, i4(0), out, out, out, out, out, out}},
      {L"ContinueScanning", {id}},
      {L"ReadMifareUL", {id, i4(4), out, i4(1), i4(-1)}},
      {L"WriteMifareUL", {id, i4(6), Text(L"11223344", 8), i4(1), i4(-1)}},
      {L"ReadMifareC", {id, i4(1), i4(0), out, i4(1), ui4(0), truth(false), truth(false), i4(-1), null}},
      {L"WriteMifareC", {id, i4(1), i4(0), block, i4(1), ui4(0), truth(false), truth(false), i4(-1), null}},
      {L"ReadMifareP",
       {id, i4(1), i4(0), out, i4(1), ui4(0), truth(false), truth(false), truth(true), i4(-1), null}},
      {L"WriteMifareP",
       {id, i4(1), i4(0), block, i4(1), ui4(0), truth(false), truth(false), truth(true), i4(-1), null}},
      {L"WriteMifareKeysToReader", {id, i4(2), Text(L"A0A1A2A3A4A5", 12), null, i4(-1)}},
      {L"Signal", {id, null, truth(true)}},
      {L"InitializeTemic", {id, ui4(0xFFFFFFFFu)}},
      {L"FindTemic", {id, truth(false), out, i4(-1), null, ui4(0xFFFFFFFFu)}},
      {L"ReadTemic", {id, i4(1), out, i4(1), i4(-1), null, ui4(0xFFFFFFFFu)}},
      {L"WriteTemic", {id, i4(1), Text(L"01020304", 8), i4(1), i4(-1), null, truth(false), ui4(0xFFFFFFFFu)}},
      {L"GetCommandStatus", {id, out, out, out, out, ui4(0)}},
      {L"BreakCommand", {id}},
      {L"GetCommandResult", {id, ui4(3), out, out}},
      {L"UpdateReaderParameters", {id, truth(false)}},
      {L"Reconnect", {id}},
  };
  // The rows must reach a connected reader with a card, or they would test the argument checks only.
  for (const auto& row : rows) {
    if (wcscmp(row.name, L"ReadMifareC") == 0) {
      EXPECT_TRUE(SoundCall(row.name, row.sound)) << std::hex << addin.LastError;
    }
  }

  for (const auto& row : rows) {
    const long method = addin.FindMethod(row.name);
    ASSERT_GE(method, 0);
    ASSERT_EQ(long(row.sound.size()), addin.GetNParams(method));
    const std::string label = std::string("open reader, ") + std::string(row.name, row.name + wcslen(row.name));
    const long n = long(row.sound.size());
    for (const ArgKind& kind : kinds) {
      for (long i = 0; i < n; ++i) {
        std::vector<tVariant> mixed = row.sound;
        mixed[size_t(i)] = kind.value;
        CallBoth(method, mixed, n, kind.nonsense, label + " parameter " + std::to_string(i) + " " + kind.name);
      }
    }
    for (long given = 0; given < n; ++given) {
      std::vector<tVariant> fewer(row.sound.begin(), row.sound.begin() + given);
      CallBoth(method, fewer, given, true, label + " count " + std::to_string(given));
    }
    CallBoth(method, row.sound, n, true, label + " no array", true);
    // The reader comes back after each method's rows, so the next method meets it connected.
    const DWORD start = GetTickCount();
    while (Status(device) != RS_CONNECTED && GetTickCount() - start < 10000) Sleep(20);
  }
  EXPECT_EQ(Status(device), RS_CONNECTED) << "the reader survived the table";
}

TEST_F(HostileHost, EveryPropertyTakesEveryArgumentKind) {
  for (long prop = 0; prop < VOMBRA_PROP_COUNT; ++prop) {
    for (const wchar_t* name : {g_PropNames[prop], g_PropNamesRu[prop]}) {
      ASSERT_EQ(addin.FindProp(name), prop);
      for (const ArgKind& kind : kinds) {
        SCOPED_TRACE("property " + std::to_string(prop) + " " + kind.name);
        GuardedBlock block(sizeof(tVariant));
        auto* value = static_cast<tVariant*>(block.Data());
        *value = kind.value;
        addin.SetError(S_OK, nullptr);
        const bool answer = addin.SetPropVal(prop, value);
        if (kind.nonsense && !answer && addin.IsPropWritable(prop)) {
          EXPECT_NE(addin.LastError, S_OK) << "refused without a last error";
        }
        Release(*value, kind.value);
        tVariant read{};
        EXPECT_TRUE(addin.GetPropVal(prop, &read));
        Release(read, tVariant{});
      }
    }
  }
  for (long prop : {-1L, VOMBRA_PROP_COUNT, 0x7FFFFFFFL}) {
    tVariant value = soundText;
    EXPECT_FALSE(addin.SetPropVal(prop, &value));
    EXPECT_FALSE(addin.GetPropVal(prop, &value));
  }
  EXPECT_FALSE(addin.SetPropVal(0, nullptr));
  EXPECT_FALSE(addin.GetPropVal(0, nullptr));
}

TEST_F(HostileHost, NumbersOutsideTheTablesAreRefused) {
  for (long method : {-1L, VOMBRA_METHOD_COUNT, 0x7FFFFFFFL}) {
    tVariant result{};
    EXPECT_FALSE(addin.CallAsFunc(method, &result, nullptr, 0));
    EXPECT_FALSE(addin.CallAsProc(method, nullptr, 0));
    EXPECT_EQ(result.vt, VTYPE_EMPTY);
    EXPECT_EQ(addin.GetNParams(method), 0);
    EXPECT_EQ(addin.GetMethodName(method, 0), nullptr);
    tVariant def{};
    EXPECT_FALSE(addin.GetParamDefValue(method, 0, &def));
  }
  EXPECT_EQ(addin.FindMethod(nullptr), -1);
  EXPECT_EQ(addin.FindProp(nullptr), -1);
  EXPECT_EQ(addin.GetPropName(0, 2), nullptr);
}

}  // namespace
