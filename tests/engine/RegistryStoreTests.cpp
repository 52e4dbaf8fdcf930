// Registry settings store against the registry of the test prefix: the stored layout, older names,
// the two hives, list loading rules and damaged values.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "RegistryStore.h"
#include "SettingsKey.h"

namespace {

const std::wstring kPath = L"Software\\Tarvelon\\Vombra";

// Creates a key below the settings key (or the settings key itself) and writes values into it.
class TestKey {
 public:
  TestKey(HKEY hive, const std::wstring& sub) {
    std::wstring path = sub.empty() ? kPath : kPath + L"\\" + sub;
    LSTATUS status = RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << "creating " << path;
  }
  ~TestKey() {
    if (m_key) RegCloseKey(m_key);
  }
  TestKey(const TestKey&) = delete;
  TestKey& operator=(const TestKey&) = delete;

  TestKey& Raw(const wchar_t* name, DWORD type, const void* data, size_t bytes) {
    EXPECT_EQ(RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), DWORD(bytes)), ERROR_SUCCESS)
        << name;
    return *this;
  }
  TestKey& Dword(const wchar_t* name, DWORD value) { return Raw(name, REG_DWORD, &value, sizeof value); }
  TestKey& Qword(const wchar_t* name, UINT64 value) { return Raw(name, REG_QWORD, &value, sizeof value); }
  // With its terminating NUL, as the store writes strings.
  TestKey& Sz(const wchar_t* name, const std::wstring& text) {
    return Raw(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }

 private:
  HKEY m_key = nullptr;
};

DWORD LoadError(_SETTINGS_INFO& record, UINT parts) {
  try {
    RegLoadSettings(record, parts);
  } catch (const COSException& e) {
    return e.Code();
  }
  return ERROR_SUCCESS;
}

std::string Hex(const BYTE* data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

std::wstring Join(const std::vector<std::wstring>& list) {
  std::wstring text;
  for (const std::wstring& item : list) text += item + L"|";
  return text;
}

std::string KeyHex(const _AUTHKEY_INFO& key) { return std::to_string(key.Length) + ":" + Hex(key.Data, 19); }

void ExpectSameSettings(const _SETTINGS_INFO& a, const _SETTINGS_INFO& e) {
#define SAME(field) EXPECT_EQ(a.field, e.field) << #field
  SAME(Portname);
  SAME(Model);
  SAME(Speed);
  SAME(StopBits);
  SAME(Flags);
  SAME(LogLevel);
  SAME(LogMaxSize);
  SAME(ExternalEventFlags);
  SAME(ConnectTimeout);
  SAME(ReqTimeout);
  SAME(ReqTries);
  SAME(ConnectPeriod);
  SAME(RxPeriod);
  SAME(FormatId);
  SAME(Prefix);
  SAME(Suffix);
  SAME(SettingFlags);
  SAME(SearchFlags);
  SAME(FindIpTimeout);
  SAME(FindIpTries);
  SAME(AdditionalPorts);
  SAME(KeyTypes);
  SAME(IdentKeyDelay);
  SAME(DelayKeyTypes);
  SAME(MifareC.Enabled);
  SAME(MifareC.Sect);
  SAME(MifareC.Block);
  SAME(MifareC.Flags);
  SAME(MifareC.Mask);
  EXPECT_EQ(KeyHex(a.MifareC.AuthKey), KeyHex(e.MifareC.AuthKey));
  SAME(MifareP.Enabled);
  SAME(MifareP.Sect);
  SAME(MifareP.Block);
  SAME(MifareP.Flags);
  SAME(MifareP.Mask);
  EXPECT_EQ(KeyHex(a.MifareP.AuthKey), KeyHex(e.MifareP.AuthKey));
  SAME(MifareUL.Enabled);
  SAME(MifareUL.Page);
  SAME(MifareUL.Count);
  SAME(Temic.ScanParams);
  SAME(Temic.Enabled);
  SAME(Temic.Flags);
  SAME(Temic.Block);
  SAME(Temic.Count);
  SAME(Temic.Password);
  SAME(SoundEnabled);
  for (size_t i = 0; i < SOUND_COUNT; ++i) SAME(SoundFileList[i]);
  SAME(DefaultFormatId);
  SAME(KeyFilterNewId);
  SAME(KeyFilterSortCol);
  SAME(FormatNewId);
  SAME(KeyFilters.size());
  for (size_t i = 0; i < std::min(a.KeyFilters.size(), e.KeyFilters.size()); ++i) {
    SAME(KeyFilters[i].Id);
    SAME(KeyFilters[i].Name);
    SAME(KeyFilters[i].KeyTypes);
    SAME(KeyFilters[i].KeySize);
    SAME(KeyFilters[i].Flags);
    SAME(KeyFilters[i].FormatId);
  }
  SAME(Formats.size());
  for (size_t i = 0; i < std::min(a.Formats.size(), e.Formats.size()); ++i) {
    SAME(Formats[i].Id);
    SAME(Formats[i].Name);
    SAME(Formats[i].Template);
    SAME(Formats[i].Params);
    SAME(Formats[i].Comment);
    SAME(Formats[i].KeyFilters);
    SAME(Formats[i].Flags);
  }
  SAME(Ports.size());
  for (const auto& entry : e.Ports) {
    auto found = a.Ports.find(entry.first);
    if (found == a.Ports.end()) {
      ADD_FAILURE() << "port entry missing";
      continue;
    }
    EXPECT_EQ(found->second.Port, entry.second.Port);
    EXPECT_EQ(found->second.DeviceId, entry.second.DeviceId);
  }
#undef SAME
}

class SettingsStore : public ::testing::Test {
 protected:
  CleanSettingsKeys m_clean;
};

// ---- The stored layout ----

// Typed from the settings table: every value a default record writes, with its type and bytes.
const wchar_t kDefaultLayout[] =
    LR"([Software\Tarvelon\Vombra]
AdditionalPorts = MULTI_SZ "\0"
Binary = DWORD 0x00000001
ConnectPeriod = DWORD 0x00000BB8
ConnectTimeout = DWORD 0x00002710
DelayKeyTypes = DWORD 0x00000000
DifferentRK73 = DWORD 0x00000001
ExternalEventFlags = DWORD 0x00000000
FindIpTimeout = DWORD 0x00000BB8
FindIpTries = DWORD 0x00000001
FormatId = DWORD 0x00000000
IdentKeyDelay = DWORD 0x000003E8
KeyTypes = DWORD 0x003FFFFF
LogLevel = DWORD 0x00000000
LogMaxSize = DWORD 0xFFFFFFFF
Model = DWORD 0x00000000
Nvt = DWORD 0x00000001
Portname = SZ "Auto\0"
Prefix = DWORD 0xFFFFFFFF
ReqTimeout = DWORD 0x00000BB8
ReqTries = DWORD 0x00000002
RxPeriod = DWORD 0xFFFFFFFF
SearchFlags = DWORD 0x0000002E
SettingFlags = DWORD 0x00000001
SoundEnabled = DWORD 0x00000000
Speed = DWORD 0x00000000
StopBits = DWORD 0x00000000
Suffix = DWORD 0x0000000D
Wiegand = DWORD 0x00000000
[Software\Tarvelon\Vombra\Formats]
NewId = DWORD 0x00000001
[Software\Tarvelon\Vombra\KeyFilters]
DefaultFormatId = DWORD 0x00000000
NewId = DWORD 0x00000001
SortCol = DWORD 0x00000000
[Software\Tarvelon\Vombra\MifareC]
AuthKey = QWORD 0x0000FFFFFFFFFFFF
Block = DWORD 0x00000001
Enabled = DWORD 0x00000000
Flags = DWORD 0x00000000
Mask = DWORD 0xFFFFFFFF
Sect = DWORD 0x00000000
[Software\Tarvelon\Vombra\MifareP]
AuthKey = SZ "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\0"
Block = DWORD 0x00000001
Enabled = DWORD 0x00000000
Flags = DWORD 0x00000000
Mask = DWORD 0xFFFFFFFF
Sect = DWORD 0x00000000
[Software\Tarvelon\Vombra\MifareUL]
Count = DWORD 0x00000001
Enabled = DWORD 0x00000000
Page = DWORD 0x00000004
[Software\Tarvelon\Vombra\Ports]
[Software\Tarvelon\Vombra\SoundFileList]
Item1 = SZ "\0"
Item2 = SZ "\0"
Item3 = SZ "\0"
Item4 = SZ "\0"
Item5 = SZ "\0"
Item6 = SZ "\0"
Item7 = SZ "\0"
[Software\Tarvelon\Vombra\Temic]
Block = DWORD 0x00000001
Count = DWORD 0x00000001
Enabled = DWORD 0x00000000
Flags = DWORD 0x00000000
Password = DWORD 0x00000000
ScanParams = SZ "2,0,0;1,1,0;2,1,0;1,0,0;255,0,1000;\0"
)";

TEST_F(SettingsStore, NothingStoredKeepsDefaultsAndTheSaveWritesTheDocumentedLayout) {
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_ALL);
  EXPECT_EQ(record.Hive, 0);
  EXPECT_EQ(record.LegacyNames, 0);
  ExpectSameSettings(record, _SETTINGS_INFO());

  RegSaveSettings(record, SP_ALL);
  EXPECT_EQ(DumpRegistryTree(HKEY_CURRENT_USER, kPath.c_str()), kDefaultLayout);
  EXPECT_EQ(DumpRegistryTree(HKEY_LOCAL_MACHINE, kPath.c_str()), L"<absent>");
}

_SETTINGS_INFO EveryFieldChanged() {
  _SETTINGS_INFO r;
  r.Portname = L"Считыватель 1";
  r.Model = 9;
  r.Speed = 57600;
  r.StopBits = 2;
  r.Flags = RDF_WIEGAND | RDF_NVT;
  r.LogLevel = 6;
  r.LogMaxSize = 10;
  r.ExternalEventFlags = 0xF;
  r.ConnectTimeout = 1;
  r.ReqTimeout = 2;
  r.ReqTries = 3;
  r.ConnectPeriod = 4;
  r.RxPeriod = 5;
  r.FormatId = 6;
  r.Prefix = 2;
  r.Suffix = 0xFFFFFFFF;
  r.SettingFlags = 3;
  r.SearchFlags = 0x11;
  r.FindIpTimeout = 7;
  r.FindIpTries = 8;
  r.AdditionalPorts = {L"COM3", L"Порт 7", L"127.0.0.1:4001"};
  r.KeyTypes = 0x6;
  r.IdentKeyDelay = 0xFFFFFFFF;
  r.DelayKeyTypes = 0xF;
  r.MifareC = {true, 3, 2, 1, 0xF0, {}};
  const BYTE classic[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  MakeAuthKey(classic, 6, r.MifareC.AuthKey);
  r.MifareP = {true, 5, 0, 2, 0x0F, {}};
  const BYTE plus[] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4};
  MakeAuthKey(plus, 5, r.MifareP.AuthKey);
  r.MifareUL = {true, 8, 3};
  r.Temic.ScanParams = {0x00000102, 0x07D00203};
  r.Temic.Enabled = true;
  r.Temic.Flags = 4;
  r.Temic.Block = 2;
  r.Temic.Count = 3;
  r.Temic.Password = 0x12345678;
  r.SoundEnabled = true;
  for (size_t i = 0; i < SOUND_COUNT; ++i) r.SoundFileList[i] = L"C:\\Звуки\\" + std::to_wstring(i) + L".wav";
  r.DefaultFormatId = 20;
  r.KeyFilters = {{12, L"Мифары", 0x1C00, 4, 1, 1}, {3, L"EM", 0x2, 0, 1, 20}};
  r.KeyFilterNewId = 13;
  r.KeyFilterSortCol = 2;
  r.Formats = {{1, L"Decimal", L"%u", L"d(0,4)", L"", 1, FORMAT_PRESET},
               {20, L"Hex", L"%08X", L"d(0,4)", L"Комментарий", 0xFFFFFFFF, FORMAT_SAVE_IN_VOMBRA}};
  r.FormatNewId = 21;
  r.Ports[L"COM3"] = {L"COM3", L"Door"};
  r.Ports[L"127.0.0.1:4001"] = {L"127.0.0.1:4001", L"Gate"};
  return r;
}

TEST_F(SettingsStore, EveryValueRoundTrips) {
  const _SETTINGS_INFO saved = EveryFieldChanged();
  RegSaveSettings(saved, SP_ALL);
  _SETTINGS_INFO loaded;
  RegLoadSettings(loaded, SP_ALL);
  EXPECT_EQ(loaded.Hive, 0);
  ExpectSameSettings(loaded, saved);
}

TEST_F(SettingsStore, PartsAreLoadedAndSavedSeparately) {
  RegSaveSettings(EveryFieldChanged(), SP_LISTS);
  std::wstring dump = DumpRegistryTree(HKEY_CURRENT_USER, kPath.c_str());
  EXPECT_EQ(dump.find(L"Portname"), std::wstring::npos);
  EXPECT_EQ(dump.find(L"\\Ports]"), std::wstring::npos);
  EXPECT_NE(dump.find(L"[Software\\Tarvelon\\Vombra\\KeyFilters\\Item12]"), std::wstring::npos);

  RegSaveSettings(EveryFieldChanged(), SP_MAIN | SP_PORTS);
  _SETTINGS_INFO loaded;
  RegLoadSettings(loaded, SP_PORTS);
  EXPECT_EQ(loaded.Ports.size(), 2u);
  EXPECT_EQ(loaded.Portname, L"Auto");
  EXPECT_TRUE(loaded.KeyFilters.empty());
}

// ---- Value encodings ----

TEST_F(SettingsStore, TypedValuesNeedADwordAndRawValuesTakeTheirBytes) {
  const BYTE speed38400[] = {0x00, 0x96, 0x00, 0x00};
  const BYTE twoBytes[] = {0x60, 0x00};
  const BYTE five[] = {0x05, 0x00, 0x00, 0x00};
  const BYTE zero[] = {0x00, 0x00, 0x00, 0x00};
  const struct {
    const char* what;
    const wchar_t* name;
    DWORD type;
    const BYTE* data;
    size_t bytes;
    std::function<UINT(const _SETTINGS_INFO&)> field;
    UINT expected;
  } cases[] = {
      {"Model 12", L"Model", REG_DWORD, (const BYTE*)"\x0C\0\0\0", 4, [](auto& r) { return r.Model; }, 12},
      {"Model 13 is no model", L"Model", REG_DWORD, (const BYTE*)"\x0D\0\0\0", 4, [](auto& r) { return r.Model; }, 0},
      {"Model as binary", L"Model", REG_BINARY, five, 4, [](auto& r) { return r.Model; }, 0},
      {"LogLevel 6", L"LogLevel", REG_DWORD, (const BYTE*)"\x06\0\0\0", 4, [](auto& r) { return r.LogLevel; }, 6},
      {"LogLevel 7 is none", L"LogLevel", REG_DWORD, (const BYTE*)"\x07\0\0\0", 4, [](auto& r) { return r.LogLevel; },
       0},
      {"Speed as binary", L"Speed", REG_BINARY, speed38400, 4, [](auto& r) { return r.Speed; }, 38400},
      {"Speed of two bytes", L"Speed", REG_BINARY, twoBytes, 2, [](auto& r) { return r.Speed; }, 0x60},
      {"Wiegand non-zero sets", L"Wiegand", REG_DWORD, five, 4, [](auto& r) { return r.Flags; }, 0x17},
      {"Binary zero clears", L"Binary", REG_DWORD, zero, 4, [](auto& r) { return r.Flags; }, 0x14},
      {"Binary as binary ignored", L"Binary", REG_BINARY, zero, 4, [](auto& r) { return r.Flags; }, 0x16},
      {"DifferentRK73 zero clears", L"DifferentRK73", REG_DWORD, zero, 4, [](auto& r) { return r.Flags; }, 0x12},
      {"Nvt zero clears", L"Nvt", REG_DWORD, zero, 4, [](auto& r) { return r.Flags; }, 0x06},
      {"SoundEnabled non-zero", L"SoundEnabled", REG_DWORD, five, 4, [](auto& r) { return UINT(r.SoundEnabled); }, 1},
      {"SoundEnabled as binary ignored", L"SoundEnabled", REG_BINARY, five, 4,
       [](auto& r) { return UINT(r.SoundEnabled); }, 0},
  };
  for (const auto& c : cases) {
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    TestKey(HKEY_CURRENT_USER, L"").Raw(c.name, c.type, c.data, c.bytes);
    _SETTINGS_INFO record;
    RegLoadSettings(record, SP_MAIN);
    EXPECT_EQ(c.field(record), c.expected) << c.what;
  }
}

TEST_F(SettingsStore, TemicScanParamsText) {
  const _SETTINGS_INFO defaults;
  const struct {
    const wchar_t* text;
    std::vector<UINT> list;
  } cases[] = {
      {L"5,1;", {0x00000105}},
      {L"7;1,2,3;", {0x00030201}},
      {L"1,2,3", {0x00030201}},
      {L";;", {}},
      {L"300,2;", {0x0000022C}},
      {L"4, 5 ,6;", {0x00000504}},
      {L"2,0,0;1,1,0;2,1,0;1,0,0;255,0,1000;", {0x00000002, 0x00000101, 0x00000102, 0x00000001, 0x03E800FF}},
      {L"", defaults.Temic.ScanParams},
  };
  for (const auto& c : cases) {
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    TestKey(HKEY_CURRENT_USER, L"Temic").Sz(L"ScanParams", c.text);
    _SETTINGS_INFO record;
    RegLoadSettings(record, SP_MAIN);
    EXPECT_EQ(record.Temic.ScanParams, c.list) << c.text;
  }
}

TEST_F(SettingsStore, MifareAuthenticationKeys) {
  const BYTE eightBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const struct {
    const char* what;
    const wchar_t* sub;
    std::function<void(TestKey&)> write;
    std::string key;  // length:19 bytes
  } cases[] = {
      {"Classic QWORD keeps six low bytes", L"MifareC", [](TestKey& k) { k.Qword(L"AuthKey", 0x1122A1B2C3D4E5F6); },
       "6:F6E5D4C3B2A100000000000000000000000000"},
      {"Classic key of another type is ignored", L"MifareC",
       [&](TestKey& k) { k.Raw(L"AuthKey", REG_BINARY, eightBytes, 8); }, "6:FFFFFFFFFFFF00000000000000000000000000"},
      {"Classic Passw needs an older layout", L"MifareC", [](TestKey& k) { k.Sz(L"Passw", L"A1B2C3D4E5F6"); },
       "6:FFFFFFFFFFFF00000000000000000000000000"},
      {"Plus eight digits", L"MifareP", [](TestKey& k) { k.Sz(L"AuthKey", L"A1B2C3D4"); },
       "4:A1B2C3D4000000000000000000000000000000"},
      {"Plus seven digits", L"MifareP", [](TestKey& k) { k.Sz(L"AuthKey", L"a1b2c3d"); },
       "4:A1B2C3D0000000000000000000000000000000"},
      {"Plus empty text", L"MifareP", [](TestKey& k) { k.Sz(L"AuthKey", L""); },
       "0:00000000000000000000000000000000000000"},
      {"Plus forty digits keep nineteen bytes", L"MifareP",
       [](TestKey& k) { k.Sz(L"AuthKey", L"000102030405060708090A0B0C0D0E0F10111213"); },
       "19:000102030405060708090A0B0C0D0E0F101112"},
      {"Plus key of another type is ignored", L"MifareP", [](TestKey& k) { k.Qword(L"AuthKey", 1); },
       "16:FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000"},
  };
  for (const auto& c : cases) {
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    {
      TestKey key(HKEY_CURRENT_USER, c.sub);
      c.write(key);
    }
    _SETTINGS_INFO record;
    RegLoadSettings(record, SP_MAIN);
    const _AUTHKEY_INFO& key = std::wstring(c.sub) == L"MifareC" ? record.MifareC.AuthKey : record.MifareP.AuthKey;
    EXPECT_EQ(KeyHex(key), c.key) << c.what;
    EXPECT_EQ(record.LegacyNames, 0) << c.what;
  }
}

// Stored data need not end in NULs: only what the value holds is read.
TEST_F(SettingsStore, StringsAndListsWithoutTerminatingNuls) {
  const wchar_t portsNoNul[] = L"COM3\0COM4";  // 9 characters, no NUL after COM4
  const char portsOddBytes[] =
      "C\0O\0M\0"
      "3\0\0\0C\0O\0M\0"
      "4\0"
      "5\0x";  // 21 bytes
  const wchar_t sound[] = L"a.wav";
  const wchar_t port[] = L"COM8";
  const struct {
    const char* what;
    const wchar_t* sub;
    const wchar_t* name;
    DWORD type;
    const void* data;
    size_t bytes;
    std::function<std::wstring(const _SETTINGS_INFO&)> field;
    std::wstring expected;
  } cases[] = {
      {"ports without NULs", L"", L"AdditionalPorts", REG_MULTI_SZ, portsNoNul, 9 * sizeof(wchar_t),
       [](auto& r) { return Join(r.AdditionalPorts); }, L"COM3|COM4|"},
      {"ports with an odd byte count", L"", L"AdditionalPorts", REG_MULTI_SZ, portsOddBytes, 21,
       [](auto& r) { return Join(r.AdditionalPorts); }, L"COM3|COM45|"},
      {"ports of another type", L"", L"AdditionalPorts", REG_SZ, portsNoNul, 5 * sizeof(wchar_t),
       [](auto& r) { return Join(r.AdditionalPorts); }, L""},
      {"sound without NUL", L"SoundFileList", L"Item1", REG_SZ, sound, 5 * sizeof(wchar_t),
       [](auto& r) { return r.SoundFileList[0]; }, L"a.wav"},
      {"sound with an odd byte count", L"SoundFileList", L"Item1", REG_SZ, L"a.wavx", 11,
       [](auto& r) { return r.SoundFileList[0]; }, L"a.wav"},
      {"sound taken by position, not name", L"SoundFileList", L"Ring", REG_SZ, sound, sizeof sound,
       [](auto& r) { return r.SoundFileList[0] + L"|" + r.SoundFileList[1]; }, L"a.wav|"},
      {"port name without NUL", L"", L"Portname", REG_SZ, port, 4 * sizeof(wchar_t), [](auto& r) { return r.Portname; },
       L"COM8"},
      {"port name of another type", L"", L"Portname", REG_EXPAND_SZ, port, sizeof port,
       [](auto& r) { return r.Portname; }, L"Auto"},
  };
  for (const auto& c : cases) {
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    TestKey(HKEY_CURRENT_USER, c.sub).Raw(c.name, c.type, c.data, c.bytes);
    _SETTINGS_INFO record;
    RegLoadSettings(record, SP_MAIN);
    EXPECT_EQ(c.field(record), c.expected) << c.what;
  }
}

TEST_F(SettingsStore, OversizedValuesFailTheLoad) {
  const BYTE eight[8] = {};
  const BYTE nine[9] = {};
  const std::wstring longSound(260, L'x');
  const std::wstring longName(256, L'n');
  const struct {
    const char* what;
    const wchar_t* sub;
    std::wstring name;
    DWORD type;
    const void* data;
    size_t bytes;
  } cases[] = {
      {"DWORD of eight bytes", L"", L"Speed", REG_BINARY, eight, 8},
      {"typed DWORD of eight bytes", L"", L"Model", REG_QWORD, eight, 8},
      {"group DWORD of eight bytes", L"Temic", L"Block", REG_BINARY, eight, 8},
      {"Classic key of nine bytes", L"MifareC", L"AuthKey", REG_BINARY, nine, 9},
      {"key filter DWORD of eight bytes", L"KeyFilters", L"NewId", REG_QWORD, eight, 8},
      {"sound of 260 characters", L"SoundFileList", L"Item1", REG_SZ, longSound.c_str(),
       (longSound.size() + 1) * sizeof(wchar_t)},
      {"sound value name of 256 characters", L"SoundFileList", longName, REG_SZ, L"a.wav", 12},
  };
  for (const auto& c : cases) {
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    TestKey(HKEY_CURRENT_USER, c.sub).Raw(c.name.c_str(), c.type, c.data, c.bytes);
    _SETTINGS_INFO record;
    EXPECT_EQ(LoadError(record, SP_ALL), DWORD(ERROR_MORE_DATA)) << c.what;
  }
}

// ---- Older names ----

TEST_F(SettingsStore, OlderLayoutIsImportedAndItsNamesRemovedOnSave) {
  const wchar_t favorites[] = L"COM3\0Порт 7\0";
  TestKey(HKEY_CURRENT_USER, L"")
      .Raw(L"FavoritePorts", REG_MULTI_SZ, favorites, sizeof favorites)
      .Dword(L"Log", 1)
      .Dword(L"LogFlags", 3);
  TestKey(HKEY_CURRENT_USER, L"ReadMf").Dword(L"Enabled", 1).Sz(L"Passw", L"  0xA1B2C3D4E5F6").Dword(L"Sect", 2);
  TestKey(HKEY_CURRENT_USER, L"ReadUL").Dword(L"Enabled", 1).Dword(L"Page", 8).Dword(L"Count", 3);

  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_ALL);
  EXPECT_EQ(record.LegacyNames, 1);
  EXPECT_EQ(record.AdditionalPorts, (std::vector<std::wstring>{L"COM3", L"Порт 7"}));
  EXPECT_TRUE(record.MifareC.Enabled);
  EXPECT_EQ(record.MifareC.Sect, 2u);
  EXPECT_EQ(KeyHex(record.MifareC.AuthKey), "6:F6E5D4C3B2A100000000000000000000000000");
  EXPECT_TRUE(record.MifareUL.Enabled);
  EXPECT_EQ(record.MifareUL.Page, 8u);
  EXPECT_EQ(record.MifareUL.Count, 3u);

  RegSaveSettings(record, SP_MAIN);
  std::wstring dump = DumpRegistryTree(HKEY_CURRENT_USER, kPath.c_str());
  for (const wchar_t* gone : {L"FavoritePorts", L"Log =", L"LogFlags", L"ReadMf", L"ReadUL"}) {
    EXPECT_EQ(dump.find(gone), std::wstring::npos) << gone;
  }
  EXPECT_NE(dump.find(L"AdditionalPorts = MULTI_SZ \"COM3\\0Порт 7\\0\\0\""), std::wstring::npos) << dump;
  EXPECT_NE(dump.find(L"[Software\\Tarvelon\\Vombra\\MifareC]\nAuthKey = QWORD 0x0000A1B2C3D4E5F6\n"),
            std::wstring::npos)
      << dump;
  EXPECT_NE(dump.find(L"[Software\\Tarvelon\\Vombra\\MifareUL]\nCount = DWORD 0x00000003\nEnabled = DWORD "
                      L"0x00000001\nPage = DWORD 0x00000008\n"),
            std::wstring::npos)
      << dump;
}

// ---- The two hives ----

TEST_F(SettingsStore, MachineCopyAloneIsLoadedAndSavedBackThere) {
  TestKey(HKEY_LOCAL_MACHINE, L"").Sz(L"Portname", L"COM9");
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_ALL);
  EXPECT_EQ(record.Hive, 1);
  EXPECT_EQ(record.Portname, L"COM9");

  record.Portname = L"COM10";
  RegSaveSettings(record, SP_MAIN);
  EXPECT_NE(DumpRegistryTree(HKEY_LOCAL_MACHINE, kPath.c_str()).find(L"Portname = SZ \"COM10\\0\""),
            std::wstring::npos);
  EXPECT_EQ(DumpRegistryTree(HKEY_CURRENT_USER, kPath.c_str()), L"<absent>");
}

TEST_F(SettingsStore, UserCopyWinsAndAnySaveRemovesTheMachineCopy) {
  for (bool otherProduct : {false, true}) {
    SCOPED_TRACE(otherProduct ? "maker's key holds another product" : "maker's key holds only the settings");
    TestKey(HKEY_CURRENT_USER, L"").Sz(L"Portname", L"COM5");
    TestKey(HKEY_LOCAL_MACHINE, L"").Sz(L"Portname", L"COM9");
    HKEY other = nullptr;
    if (otherProduct) {
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarvelon\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &other, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(other);
    }

    _SETTINGS_INFO record;
    RegLoadSettings(record, SP_ALL);
    EXPECT_EQ(record.Hive, 0);
    EXPECT_EQ(record.Portname, L"COM5");

    RegSaveSettings(record, SP_PORTS);
    EXPECT_EQ(DumpRegistryTree(HKEY_LOCAL_MACHINE, kPath.c_str()), L"<absent>");
    EXPECT_EQ(DumpRegistryTree(HKEY_LOCAL_MACHINE, L"Software\\Tarvelon") == L"<absent>", !otherProduct);
    EXPECT_NE(DumpRegistryTree(HKEY_CURRENT_USER, kPath.c_str()).find(L"Portname = SZ \"COM5\\0\""),
              std::wstring::npos);

    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Tarvelon\\Other");
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    CleanSettingsKeys::Remove(HKEY_LOCAL_MACHINE);
  }
}

// ---- Lists ----

TEST_F(SettingsStore, KeyFiltersLoadInEnumerationOrderAndSkipWhatIsNoFilter) {
  TestKey(HKEY_CURRENT_USER, L"KeyFilters").Dword(L"NewId", 7).Dword(L"SortCol", 2).Dword(L"DefaultFormatId", 4);
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item2")
      .Sz(L"Name", L"Two")
      .Dword(L"KeyTypes", 0x6)
      .Dword(L"KeySize", 5)
      .Dword(L"FormatId", 3);
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item10").Sz(L"Name", L"Ten").Sz(L"KeyTypes", L"6").Dword(L"FormatId", 9);
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item32").Sz(L"Name", L"Too big");
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item0").Sz(L"Name", L"Zero");
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\ItemX").Sz(L"Name", L"Not a number");
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item5").Dword(L"KeyTypes", 0x2);
  TestKey(HKEY_CURRENT_USER, L"KeyFilters\\Item7").Sz(L"Name", L"");

  _SETTINGS_INFO record;
  record.KeyFilters.push_back({1, L"stale", 1, 0, 1, 0});
  RegLoadSettings(record, SP_LISTS);
  EXPECT_EQ(record.KeyFilterNewId, 7u);
  EXPECT_EQ(record.KeyFilterSortCol, 2u);
  EXPECT_EQ(record.DefaultFormatId, 4u);
  ASSERT_EQ(record.KeyFilters.size(), 2u);
  const _KEYFILTER_INFO& ten = record.KeyFilters[0];
  EXPECT_EQ(ten.Id, 10u);
  EXPECT_EQ(ten.Name, L"Ten");
  EXPECT_EQ(ten.KeyTypes, 0u);  // not a DWORD
  EXPECT_EQ(ten.KeySize, 0u);   // absent
  EXPECT_EQ(ten.Flags, 1u);
  EXPECT_EQ(ten.FormatId, 9u);
  const _KEYFILTER_INFO& two = record.KeyFilters[1];
  EXPECT_EQ(two.Id, 2u);
  EXPECT_EQ(two.Name, L"Two");
  EXPECT_EQ(two.KeyTypes, 0x6u);
  EXPECT_EQ(two.KeySize, 5u);
  EXPECT_EQ(two.Flags, 1u);
  EXPECT_EQ(two.FormatId, 3u);
}

// The list order is the filters' matching priority and must survive a save and a load, whatever
// their ids; items without a DWORD Order (older writers) follow in enumeration order.
TEST_F(SettingsStore, KeyFilterPriorityOrderIsKept) {
  enum OrderKind { kNone, kDword, kText };
  struct Item {
    UINT id;
    OrderKind kind;
    DWORD order;
  };
  struct Case {
    const char* what;
    bool throughSave;  // the items' ids in list order go through RegSaveSettings
    std::vector<Item> items;
    std::vector<UINT> loaded;
  };
  const Case cases[] = {
      {"saved 2, 10, 3", true, {{2, kNone, 0}, {10, kNone, 0}, {3, kNone, 0}}, {2, 10, 3}},
      {"saved 10, 3, 2", true, {{10, kNone, 0}, {3, kNone, 0}, {2, kNone, 0}}, {10, 3, 2}},
      {"no Order at all", false, {{2, kNone, 0}, {10, kNone, 0}, {3, kNone, 0}}, {10, 2, 3}},
      {"mixed: ordered first, the rest enumerated",
       false,
       {{2, kDword, 7}, {10, kNone, 0}, {3, kDword, 1}, {5, kText, 0}, {4, kNone, 0}},
       {3, 2, 10, 4, 5}},
      {"equal values keep enumeration order", false, {{2, kDword, 1}, {10, kDword, 1}, {3, kDword, 1}}, {10, 2, 3}},
      {"gaps and a large value", false, {{2, kDword, 0xFFFFFFFF}, {10, kDword, 40}, {3, kDword, 0}}, {3, 10, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
    if (c.throughSave) {
      _SETTINGS_INFO saved;
      for (const Item& item : c.items) saved.KeyFilters.push_back({item.id, L"F" + std::to_wstring(item.id), 2, 0, 1, 0});
      saved.KeyFilterNewId = 11;
      RegSaveSettings(saved, SP_LISTS);
    } else {
      TestKey(HKEY_CURRENT_USER, L"KeyFilters").Dword(L"NewId", 11);
      for (const Item& item : c.items) {
        TestKey key(HKEY_CURRENT_USER, L"KeyFilters\\Item" + std::to_wstring(item.id));
        key.Sz(L"Name", L"F" + std::to_wstring(item.id));
        if (item.kind == kDword) key.Dword(L"Order", item.order);
        if (item.kind == kText) key.Sz(L"Order", L"0");
      }
    }
    _SETTINGS_INFO loaded;
    RegLoadSettings(loaded, SP_LISTS);
    std::vector<UINT> ids;
    for (const _KEYFILTER_INFO& filter : loaded.KeyFilters) {
      ids.push_back(filter.Id);
      EXPECT_EQ(filter.Name, L"F" + std::to_wstring(filter.Id));
    }
    EXPECT_EQ(ids, c.loaded);
  }
}

TEST_F(SettingsStore, FormatsLoadInEnumerationOrderAndNeedAName) {
  TestKey(HKEY_CURRENT_USER, L"Formats").Dword(L"NewId", 41);
  TestKey(HKEY_CURRENT_USER, L"Formats\\Item20").Sz(L"Name", L"Twenty").Sz(L"Preset", L"1").Sz(L"KeyFilters", L"3");
  TestKey(HKEY_CURRENT_USER, L"Formats\\Item1")
      .Dword(L"Preset", 1)
      .Dword(L"SaveInVombra", 2)
      .Sz(L"Name", L"One")
      .Sz(L"Template", L"%u")
      .Sz(L"Params", L"d(0,4)")
      .Sz(L"Comment", L"first")
      .Dword(L"KeyFilters", 0xFFFFFFFF);
  TestKey(HKEY_CURRENT_USER, L"Formats\\Item40").Dword(L"SaveInVombra", 1).Sz(L"Name", L"Forty");
  TestKey(HKEY_CURRENT_USER, L"Formats\\Item3").Sz(L"Template", L"%u");
  TestKey(HKEY_CURRENT_USER, L"Formats\\Item0").Sz(L"Name", L"Zero");
  TestKey(HKEY_CURRENT_USER, L"Formats\\Default").Sz(L"Name", L"Not an item");

  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_LISTS);
  EXPECT_EQ(record.FormatNewId, 41u);
  ASSERT_EQ(record.Formats.size(), 3u);
  const _FORMAT_INFO& one = record.Formats[0];
  EXPECT_EQ(one.Id, 1u);
  EXPECT_EQ(one.Name, L"One");
  EXPECT_EQ(one.Template, L"%u");
  EXPECT_EQ(one.Params, L"d(0,4)");
  EXPECT_EQ(one.Comment, L"first");
  EXPECT_EQ(one.KeyFilters, 0xFFFFFFFFu);
  EXPECT_EQ(one.Flags, UINT(FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA));
  const _FORMAT_INFO& twenty = record.Formats[1];
  EXPECT_EQ(twenty.Id, 20u);
  EXPECT_EQ(twenty.Name, L"Twenty");
  EXPECT_EQ(twenty.Template, L"");
  EXPECT_EQ(twenty.KeyFilters, 0u);
  EXPECT_EQ(twenty.Flags, 0u);
  EXPECT_EQ(record.Formats[2].Id, 40u);
  EXPECT_EQ(record.Formats[2].Flags, UINT(FORMAT_SAVE_IN_VOMBRA));
}

TEST_F(SettingsStore, MissingListKeysEmptyTheListsAndResetTheFilterIds) {
  TestKey(HKEY_CURRENT_USER, L"").Sz(L"Portname", L"COM3");
  _SETTINGS_INFO record;
  record.KeyFilters.push_back({1, L"stale", 1, 0, 1, 0});
  record.Formats.push_back({1, L"stale", L"", L"", L"", 1, 0});
  record.KeyFilterSortCol = 3;
  record.DefaultFormatId = 9;
  record.FormatNewId = 5;
  RegLoadSettings(record, SP_LISTS);
  EXPECT_TRUE(record.KeyFilters.empty());
  EXPECT_EQ(record.KeyFilterNewId, 0u);
  EXPECT_EQ(record.KeyFilterSortCol, 0u);
  EXPECT_EQ(record.DefaultFormatId, 9u);
  EXPECT_TRUE(record.Formats.empty());
  EXPECT_EQ(record.FormatNewId, 5u);
}

TEST_F(SettingsStore, PortsBehindAConverterSurviveRepeatedSaves) {
  _SETTINGS_INFO saved;
  saved.Ports[L"COM4\\5"] = {L"COM4\\5", L"Door"};
  saved.Ports[L"COM4"] = {L"COM4", L""};
  saved.Ports[L"COM6\\12"] = {L"COM6\\12", L"Gate"};
  saved.Ports[L"127.0.0.1:4001"] = {L"127.0.0.1:4001", L"Lift"};
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_THROW(RegSaveSettings(saved, SP_PORTS));
    _SETTINGS_INFO loaded;
    RegLoadSettings(loaded, SP_PORTS);
    ExpectSameSettings(loaded, saved);
  }
  std::wstring dump = DumpRegistryTree(HKEY_CURRENT_USER, (kPath + L"\\Ports").c_str());
  EXPECT_NE(dump.find(L"[Software\\Tarvelon\\Vombra\\Ports\\COM4\\5]\nDeviceId = SZ \"Door\\0\"\n"), std::wstring::npos)
      << dump;
  EXPECT_NE(dump.find(L"[Software\\Tarvelon\\Vombra\\Ports\\COM6]\n[Software\\Tarvelon\\Vombra\\Ports\\COM6\\12]\n"),
            std::wstring::npos)
      << dump;

  saved.Ports.erase(L"COM4\\5");
  RegSaveSettings(saved, SP_PORTS);
  _SETTINGS_INFO loaded;
  RegLoadSettings(loaded, SP_PORTS);
  ExpectSameSettings(loaded, saved);
}

// A key some other tool nested below a list item must not make the save fail, that one and every
// later one: the old items go as whole trees.
TEST_F(SettingsStore, ListItemsWithForeignNestedKeysAreReplacedOnSave) {
  struct Case {
    const wchar_t* list;
    const wchar_t* item;
  };
  const Case cases[] = {{L"Formats", L"Item7"}, {L"KeyFilters", L"Item3"}};
  _SETTINGS_INFO saved;
  saved.KeyFilters.push_back({2, L"Cards", 1, 0, 1, 0});
  saved.Formats.push_back({1, L"Decimal", L"%u", L"", L"", 1, 0});
  saved.FormatNewId = 2;
  saved.KeyFilterNewId = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    TestKey(HKEY_CURRENT_USER, std::wstring(c.list) + L"\\" + c.item + L"\\Foreign\\Deeper").Sz(L"Name", L"x");
    for (int round = 1; round <= 2; ++round) {
      SCOPED_TRACE(round);
      ASSERT_NO_THROW(RegSaveSettings(saved, SP_LISTS));
    }
    _SETTINGS_INFO loaded;
    RegLoadSettings(loaded, SP_LISTS);
    ExpectSameSettings(loaded, saved);
    std::wstring dump = DumpRegistryTree(HKEY_CURRENT_USER, (kPath + L"\\" + c.list).c_str());
    EXPECT_EQ(dump.find(std::wstring(L"\\") + c.item), std::wstring::npos) << dump;
    EXPECT_EQ(dump.find(L"Foreign"), std::wstring::npos) << dump;
  }
}

// An empty port name would end the stored port list early and lose the names after it; an empty
// port-table name would write into the Ports key itself. Neither is stored.
TEST_F(SettingsStore, EmptyPortNamesAreNotStored) {
  _SETTINGS_INFO saved;
  saved.AdditionalPorts = {L"COM3", L"", L"COM5"};
  saved.Ports[L""] = {L"", L"Nowhere"};
  saved.Ports[L"COM3"] = {L"COM3", L"Door"};
  RegSaveSettings(saved, SP_MAIN | SP_PORTS);

  _SETTINGS_INFO loaded;
  RegLoadSettings(loaded, SP_ALL);
  EXPECT_EQ(loaded.AdditionalPorts, (std::vector<std::wstring>{L"COM3", L"COM5"}));
  ASSERT_EQ(loaded.Ports.size(), 1u);
  EXPECT_EQ(loaded.Ports[L"COM3"].DeviceId, L"Door");
  EXPECT_EQ(
      DumpRegistryTree(HKEY_CURRENT_USER, (kPath + L"\\Ports").c_str()),
      L"[Software\\Tarvelon\\Vombra\\Ports]\n[Software\\Tarvelon\\Vombra\\Ports\\COM3]\nDeviceId = SZ \"Door\\0\"\n");
}

TEST_F(SettingsStore, PortKeyWithoutDeviceIdIsAnEntry) {
  TestKey(HKEY_CURRENT_USER, L"Ports\\COM8");
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_PORTS);
  ASSERT_EQ(record.Ports.count(L"COM8"), 1u);
  EXPECT_EQ(record.Ports[L"COM8"].Port, L"COM8");
  EXPECT_EQ(record.Ports[L"COM8"].DeviceId, L"");
}

// ---- Root keys handed in: errors of the hive itself ----

class ScratchRoots : public ::testing::Test {
 protected:
  // CTest runs each test in its own process, side by side: every process gets its own scratch key.
  void SetUp() override {
    m_scratch = L"Software\\VombraRegistryStoreTests" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (m_scratch + L"\\User").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &m_user, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (m_scratch + L"\\Machine").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &m_machine, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (m_user) RegCloseKey(m_user);
    if (m_machine) RegCloseKey(m_machine);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_scratch.c_str());
  }

  std::wstring m_scratch;
  // A handle no process holds: every call on it fails with ERROR_INVALID_HANDLE.
  const HKEY m_broken = reinterpret_cast<HKEY>(ULONG_PTR(0x7FFFFFF0));
  HKEY m_user = nullptr;
  HKEY m_machine = nullptr;
};

TEST_F(ScratchRoots, UnreadableUserHiveFailsInsteadOfFallingBackToTheMachine) {
  _SETTINGS_INFO machineCopy;
  machineCopy.Hive = 1;
  machineCopy.Portname = L"COM9";
  RegSaveSettings(machineCopy, SP_MAIN, {m_user, m_machine});

  _SETTINGS_INFO record;
  try {
    RegLoadSettings(record, SP_ALL, {m_broken, m_machine});
    ADD_FAILURE() << "the load went on";
  } catch (const COSException& e) {
    EXPECT_EQ(e.Code(), DWORD(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(record.Portname, L"Auto");

  RegLoadSettings(record, SP_ALL, {m_user, m_machine});
  EXPECT_EQ(record.Hive, 1);
  EXPECT_EQ(record.Portname, L"COM9");
}

TEST_F(ScratchRoots, FailureToRemoveTheOtherCopyIsReportedAfterTheSave) {
  _SETTINGS_INFO record;
  record.Portname = L"COM5";
  try {
    RegSaveSettings(record, SP_MAIN, {m_user, m_broken});
    ADD_FAILURE() << "the save reported success";
  } catch (const COSException& e) {
    EXPECT_EQ(e.Code(), DWORD(ERROR_INVALID_HANDLE));
  }
  _SETTINGS_INFO loaded;
  RegLoadSettings(loaded, SP_MAIN, {m_user, m_machine});
  EXPECT_EQ(loaded.Hive, 0);
  EXPECT_EQ(loaded.Portname, L"COM5");
}

}  // namespace
