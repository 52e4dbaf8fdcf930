// A host that hands the add-in every kind of value the Native API has, and nonsense besides, in every
// property and every parameter of every method. Each argument array, each text and each blob ends at
// a page the process cannot touch, so a read or write one element or one byte too far is an access
// violation and fails the run. Every call must come back, answer false only with a last error set,
// and leave nothing of the host's memory taken or freed twice.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "Vombra.h"

namespace {

// Memory whose last byte sits right before a no-access page.
class GuardedBlock {
 public:
  explicit GuardedBlock(size_t bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t pages = (bytes + page - 1) / page + 1;
    m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    if (m_base) VirtualProtect(m_base + (pages - 1) * page, page, PAGE_NOACCESS, &old);
    m_data = m_base ? m_base + (pages - 1) * page - bytes : nullptr;
  }
  ~GuardedBlock() {
    if (m_base) VirtualFree(m_base, 0, MEM_RELEASE);
  }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;
  void* Data() const { return m_data; }

 private:
  BYTE* m_base = nullptr;
  BYTE* m_data = nullptr;
};

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
      addin.StopReaders();
    }
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
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
