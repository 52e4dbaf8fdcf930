#include "RegistryStore.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "Core.h"
#include "Exceptions.h"
#include "Handles.h"
#include "RegistryText.h"

const wchar_t kSettingsKeyPath[] = L"Software\\Tarvelon\\Vombra";

namespace {

const wchar_t kMakerKeyPath[] = L"Software\\Tarvelon";
constexpr DWORD kNameChars = 256;       // key and value names
constexpr DWORD kSoundNameChars = 260;  // value names while the sound list is cleared
constexpr DWORD kSoundDataBytes = 520;  // a sound file name of up to 259 characters and its NUL
constexpr size_t kStringStartChars = 512;
constexpr size_t kStringGrowChars = 4096;
constexpr UINT kMaxFilterId = 31;

void Check(LSTATUS status) {
  if (status != ERROR_SUCCESS) ThrowOSException(DWORD(status));
}

// Opens a subkey for reading; false when it does not exist, any other failure throws.
bool OpenForRead(HKEY parent, const wchar_t* name, CRegKey& out) {
  LSTATUS status = RegOpenKeyExW(parent, name, 0, KEY_READ, out.Receive());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  Check(status);
  return true;
}

CRegKey CreateForWrite(HKEY parent, const wchar_t* name) {
  CRegKey key;
  Check(RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, key.Receive(),
                        nullptr));
  return key;
}

// ---- reading values ----

// A DWORD value taken as its raw four bytes, whatever its type.
void ReadRaw(HKEY key, const wchar_t* name, UINT& field) {
  DWORD value = field;
  RegReadDword(key, name, &value);
  field = value;
}

// A DWORD value taken only when it is a REG_DWORD.
bool ReadTyped(HKEY key, const wchar_t* name, DWORD* value) {
  DWORD read = 0;
  if (!RegReadDword(key, name, &read)) return false;
  *value = read;
  return true;
}

void ReadBool(HKEY key, const wchar_t* name, bool& field) {
  DWORD value;
  if (ReadTyped(key, name, &value)) field = value != 0;
}

void ReadFlagBit(HKEY key, const wchar_t* name, UINT& flags, UINT bit) {
  DWORD value;
  if (ReadTyped(key, name, &value)) flags = value ? (flags | bit) : (flags & ~bit);
}

DWORD TypedOrZero(HKEY key, const wchar_t* name) {
  DWORD value = 0;
  return ReadTyped(key, name, &value) ? value : 0;
}

// AdditionalPorts, or its older name FavoritePorts. A broken list is no reason to refuse the
// settings: any failure here leaves the list empty.
void ReadAdditionalPorts(HKEY key, _SETTINGS_INFO& record) {
  record.AdditionalPorts.clear();
  const wchar_t* name = L"AdditionalPorts";
  DWORD type = 0, size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (status == ERROR_FILE_NOT_FOUND) {
    name = L"FavoritePorts";
    status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) record.LegacyNames = 1;
  }
  if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) return;
  std::vector<wchar_t> buffer(size / 2 + 1, L'\0');
  DWORD bytes = DWORD(buffer.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return;
  }
  record.AdditionalPorts = SplitMultiString(buffer.data(), std::min<size_t>(bytes / 2, buffer.size()));
}

void SixLowBytes(UINT64 number, _AUTHKEY_INFO& key) {
  BYTE bytes[6];
  for (int i = 0; i < 6; ++i) bytes[i] = BYTE(number >> (8 * i));
  MakeAuthKey(bytes, 6, key);
}

void ReadMifareClassicKey(HKEY key, _SETTINGS_INFO& record) {
  BYTE buffer[8] = {};
  DWORD type = 0, size = sizeof buffer;
  LSTATUS status = RegQueryValueExW(key, L"AuthKey", nullptr, &type, buffer, &size);
  if (status != ERROR_FILE_NOT_FOUND) Check(status);
  if (status == ERROR_SUCCESS && type == REG_QWORD) {
    UINT64 number = 0;
    std::memcpy(&number, buffer, sizeof number);
    SixLowBytes(number, record.MifareC.AuthKey);
    return;
  }
  std::wstring text;
  UINT64 number;
  if (record.LegacyNames && RegReadString(key, L"Passw", text) && ParseHex64(text, &number)) {
    SixLowBytes(number, record.MifareC.AuthKey);
  }
}

void ReadSoundFiles(HKEY key, _SETTINGS_INFO& record) {
  for (std::wstring& name : record.SoundFileList) name.clear();
  CRegKey sounds;
  if (!OpenForRead(key, L"SoundFileList", sounds)) return;
  DWORD values = 0;
  Check(RegQueryInfoKeyW(sounds.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr));
  DWORD n = std::min<DWORD>(values, DWORD(SOUND_COUNT));
  for (DWORD i = 0; i < n; ++i) {
    wchar_t name[kNameChars];
    wchar_t data[kSoundDataBytes / sizeof(wchar_t)];
    DWORD nameChars = kNameChars, type = 0, bytes = sizeof data;
    LSTATUS status = RegEnumValueW(sounds.Get(), i, name, &nameChars, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data), &bytes);
    if (status == ERROR_NO_MORE_ITEMS) break;
    Check(status);
    // Sounds are taken by position, not by value name. A name stored without its NUL, or with an
    // odd byte count, still ends where the value's data ends.
    if (type == REG_SZ && bytes > 0) record.SoundFileList[i].assign(data, wcsnlen(data, bytes / sizeof(wchar_t)));
  }
}

void LoadMain(HKEY root, _SETTINGS_INFO& r) {
  std::wstring text;
  if (RegReadString(root, L"Portname", text)) r.Portname = text;
  DWORD value;
  if (ReadTyped(root, L"Model", &value) && value < READER_MODEL_COUNT) r.Model = value;
  ReadRaw(root, L"Speed", r.Speed);
  ReadRaw(root, L"StopBits", r.StopBits);
  ReadFlagBit(root, L"Wiegand", r.Flags, RDF_WIEGAND);
  ReadFlagBit(root, L"Binary", r.Flags, RDF_BINARY);
  ReadFlagBit(root, L"DifferentRK73", r.Flags, RDF_DIFFERENT_CODES);
  ReadFlagBit(root, L"Nvt", r.Flags, RDF_NVT);
  ReadRaw(root, L"FormatId", r.FormatId);
  if (ReadTyped(root, L"LogLevel", &value) && value < 7) r.LogLevel = value;
  ReadRaw(root, L"LogMaxSize", r.LogMaxSize);
  ReadRaw(root, L"ExternalEventFlags", r.ExternalEventFlags);
  ReadRaw(root, L"ConnectTimeout", r.ConnectTimeout);
  ReadRaw(root, L"ReqTimeout", r.ReqTimeout);
  ReadRaw(root, L"ReqTries", r.ReqTries);
  ReadRaw(root, L"ConnectPeriod", r.ConnectPeriod);
  ReadRaw(root, L"RxPeriod", r.RxPeriod);
  ReadRaw(root, L"Prefix", r.Prefix);
  ReadRaw(root, L"Suffix", r.Suffix);
  ReadRaw(root, L"SettingFlags", r.SettingFlags);
  ReadRaw(root, L"SearchFlags", r.SearchFlags);
  ReadRaw(root, L"FindIpTimeout", r.FindIpTimeout);
  ReadRaw(root, L"FindIpTries", r.FindIpTries);
  ReadAdditionalPorts(root, r);
  ReadRaw(root, L"KeyTypes", r.KeyTypes);
  ReadRaw(root, L"IdentKeyDelay", r.IdentKeyDelay);
  ReadRaw(root, L"DelayKeyTypes", r.DelayKeyTypes);

  CRegKey sub;
  bool found = OpenForRead(root, L"MifareC", sub);
  if (!found && OpenForRead(root, L"ReadMf", sub)) {
    found = true;
    r.LegacyNames = 1;
  }
  if (found) {
    ReadBool(sub.Get(), L"Enabled", r.MifareC.Enabled);
    ReadRaw(sub.Get(), L"Flags", r.MifareC.Flags);
    ReadRaw(sub.Get(), L"Mask", r.MifareC.Mask);
    ReadMifareClassicKey(sub.Get(), r);
    ReadRaw(sub.Get(), L"Sect", r.MifareC.Sect);
    ReadRaw(sub.Get(), L"Block", r.MifareC.Block);
  }

  if (OpenForRead(root, L"MifareP", sub)) {
    ReadBool(sub.Get(), L"Enabled", r.MifareP.Enabled);
    ReadRaw(sub.Get(), L"Flags", r.MifareP.Flags);
    ReadRaw(sub.Get(), L"Mask", r.MifareP.Mask);
    if (RegReadString(sub.Get(), L"AuthKey", text)) {
      BYTE bytes[sizeof r.MifareP.AuthKey.Data];
      size_t n = HexToBytes(text.c_str(), int(text.size()), bytes, sizeof bytes);
      MakeAuthKey(bytes, int(n), r.MifareP.AuthKey);
    }
    ReadRaw(sub.Get(), L"Sect", r.MifareP.Sect);
    ReadRaw(sub.Get(), L"Block", r.MifareP.Block);
  }

  found = OpenForRead(root, L"MifareUL", sub);
  if (!found && OpenForRead(root, L"ReadUL", sub)) {
    found = true;
    r.LegacyNames = 1;
  }
  if (found) {
    ReadBool(sub.Get(), L"Enabled", r.MifareUL.Enabled);
    ReadRaw(sub.Get(), L"Page", r.MifareUL.Page);
    ReadRaw(sub.Get(), L"Count", r.MifareUL.Count);
  }

  if (OpenForRead(root, L"Temic", sub)) {
    ReadBool(sub.Get(), L"Enabled", r.Temic.Enabled);
    ReadRaw(sub.Get(), L"Flags", r.Temic.Flags);
    if (RegReadString(sub.Get(), L"ScanParams", text) && !text.empty()) {
      r.Temic.ScanParams = ParseScanParams(text);
    }
    ReadRaw(sub.Get(), L"Block", r.Temic.Block);
    ReadRaw(sub.Get(), L"Count", r.Temic.Count);
    ReadRaw(sub.Get(), L"Password", r.Temic.Password);
  }
  sub.Close();

  ReadBool(root, L"SoundEnabled", r.SoundEnabled);
  ReadSoundFiles(root, r);
}

DWORD SubkeyCount(HKEY key) {
  DWORD count = 0;
  Check(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr));
  return count;
}

// Subkey names in the registry's enumeration order (Windows sorts them by name, so Item10 comes
// before Item2; the lists keep that order).
std::vector<std::wstring> SubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  DWORD count = SubkeyCount(key);
  for (DWORD i = 0; i < count; ++i) {
    wchar_t name[kNameChars];
    DWORD chars = kNameChars;
    LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    Check(status);
    names.emplace_back(name, chars);
  }
  return names;
}

void LoadKeyFilters(HKEY root, _SETTINGS_INFO& r) {
  CRegKey filters;
  if (!OpenForRead(root, L"KeyFilters", filters)) {
    // The add-in's free-ID search must not take this 0 as an ID.
    r.KeyFilters.clear();
    r.KeyFilterNewId = 0;
    r.KeyFilterSortCol = 0;
    return;
  }
  ReadRaw(filters.Get(), L"NewId", r.KeyFilterNewId);
  ReadRaw(filters.Get(), L"SortCol", r.KeyFilterSortCol);
  ReadRaw(filters.Get(), L"DefaultFormatId", r.DefaultFormatId);
  r.KeyFilters.clear();
  // The list order is the matching priority, but subkeys enumerate by name (Item10 before Item2):
  // items carrying a REG_DWORD Order come first in that order, the rest (written by older
  // versions) after them as enumerated.
  std::vector<std::pair<DWORD, _KEYFILTER_INFO>> ordered;
  std::vector<_KEYFILTER_INFO> unordered;
  for (const std::wstring& name : SubkeyNames(filters.Get())) {
    UINT id;
    if (!ParseItemName(name, &id) || id < 1 || id > kMaxFilterId) continue;
    CRegKey item;
    if (!OpenForRead(filters.Get(), name.c_str(), item)) continue;
    _KEYFILTER_INFO filter;
    if (!RegReadString(item.Get(), L"Name", filter.Name) || filter.Name.empty()) continue;
    filter.Id = id;
    filter.KeyTypes = TypedOrZero(item.Get(), L"KeyTypes");
    filter.KeySize = TypedOrZero(item.Get(), L"KeySize");
    filter.Flags = 1;
    filter.FormatId = TypedOrZero(item.Get(), L"FormatId");
    DWORD order = 0;
    if (RegReadDword(item.Get(), L"Order", &order)) {
      ordered.emplace_back(order, std::move(filter));
    } else {
      unordered.push_back(std::move(filter));
    }
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& entry : ordered) r.KeyFilters.push_back(std::move(entry.second));
  for (auto& filter : unordered) r.KeyFilters.push_back(std::move(filter));
}

void LoadFormats(HKEY root, _SETTINGS_INFO& r) {
  CRegKey formats;
  if (!OpenForRead(root, L"Formats", formats)) {
    r.Formats.clear();
    return;
  }
  ReadRaw(formats.Get(), L"NewId", r.FormatNewId);
  r.Formats.clear();
  for (const std::wstring& name : SubkeyNames(formats.Get())) {
    UINT id;
    if (!ParseItemName(name, &id) || id < 1) continue;
    CRegKey item;
    if (!OpenForRead(formats.Get(), name.c_str(), item)) continue;
    _FORMAT_INFO format;
    format.Id = id;
    ReadFlagBit(item.Get(), L"Preset", format.Flags, FORMAT_PRESET);
    ReadFlagBit(item.Get(), L"SaveInVombra", format.Flags, FORMAT_SAVE_IN_VOMBRA);
    if (!RegReadString(item.Get(), L"Name", format.Name) || format.Name.empty()) continue;
    RegReadString(item.Get(), L"Template", format.Template);
    RegReadString(item.Get(), L"Params", format.Params);
    RegReadString(item.Get(), L"Comment", format.Comment);
    format.KeyFilters = TypedOrZero(item.Get(), L"KeyFilters");
    r.Formats.push_back(std::move(format));
  }
}

// A port text with a backslash (a reader behind a converter, "COM4\5") is stored as the nested key
// it naturally becomes. A key is an entry when it holds a DeviceId, or when nothing is nested below
// it; a key that only leads to nested entries is none.
void LoadPortEntries(HKEY key, const std::wstring& prefix, _SETTINGS_INFO& r) {
  for (const std::wstring& name : SubkeyNames(key)) {
    CRegKey sub;
    if (!OpenForRead(key, name.c_str(), sub)) continue;
    _PORT_INFO entry;
    entry.Port = prefix + name;
    bool hasDeviceId = RegReadString(sub.Get(), L"DeviceId", entry.DeviceId);
    if (hasDeviceId || SubkeyCount(sub.Get()) == 0) {
      std::wstring port = entry.Port;
      r.Ports[port] = std::move(entry);
    }
    LoadPortEntries(sub.Get(), prefix + name + L'\\', r);
  }
}

void LoadPorts(HKEY root, _SETTINGS_INFO& r) {
  r.Ports.clear();
  CRegKey ports;
  if (OpenForRead(root, L"Ports", ports)) LoadPortEntries(ports.Get(), std::wstring(), r);
}

// ---- writing values ----

void WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  Check(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

void WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  Check(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       DWORD((value.size() + 1) * sizeof(wchar_t))));
}

void WriteQword(HKEY key, const wchar_t* name, UINT64 value) {
  Check(RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

void WriteMultiString(HKEY key, const wchar_t* name, const std::vector<std::wstring>& list) {
  std::wstring data;
  for (const std::wstring& item : list) {
    // An empty name would end the list early on the next load and lose every name after it.
    if (item.empty()) continue;
    data += item;
    data += L'\0';
  }
  data += L'\0';
  Check(RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                       DWORD(data.size() * sizeof(wchar_t))));
}

void WriteBool(HKEY key, const wchar_t* name, bool value) { WriteDword(key, name, value ? 1 : 0); }

// Deletes a key with everything below it; a key that is not there counts as deleted.
void DeleteTree(HKEY parent, const wchar_t* name) {
  typedef LSTATUS(WINAPI * DeleteTreeProc)(HKEY, LPCWSTR);
  typedef DWORD(WINAPI * ShDeleteKeyProc)(HKEY, LPCWSTR);
  LSTATUS status = ERROR_PROC_NOT_FOUND;
  DeleteTreeProc deleteTree = nullptr;
  // RegDeleteTreeW exists from Windows 6 on; earlier systems have only the shell's version.
  if (IsWindowsVistaOrLater()) {
    if (HMODULE advapi = GetModuleHandleW(L"Advapi32.dll")) {
      deleteTree = reinterpret_cast<DeleteTreeProc>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteTreeW")));
    }
  }
  if (deleteTree) {
    status = deleteTree(parent, name);
  } else {
    CModule shlwapi(LoadLibraryW(L"Shlwapi.dll"));
    if (!shlwapi) ThrowOSException(GetLastError());
    auto shDeleteKey = reinterpret_cast<ShDeleteKeyProc>(
        reinterpret_cast<void*>(GetProcAddress(shlwapi.Get(), "SHDeleteKeyW")));
    status = shDeleteKey ? LSTATUS(shDeleteKey(parent, name)) : LSTATUS(ERROR_PROC_NOT_FOUND);
  }
  if (status != ERROR_FILE_NOT_FOUND) Check(status);
}

// Removes every subkey with its whole tree, from the last index down; one that has already gone is
// accepted. Whole trees because a key nested below an item (a converter's port entry, or one some
// other tool left under a list item) makes a plain RegDeleteKeyW fail, and with it every later save.
void DeleteSubkeys(HKEY key) {
  DWORD count = SubkeyCount(key);
  for (DWORD i = count; i-- > 0;) {
    wchar_t name[kNameChars];
    DWORD chars = kNameChars;
    LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) continue;
    Check(status);
    DeleteTree(key, name);
  }
}

void DeleteAllValues(HKEY key) {
  DWORD values = 0;
  Check(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr));
  for (DWORD i = values; i-- > 0;) {
    wchar_t name[kSoundNameChars];
    DWORD chars = kSoundNameChars;
    LSTATUS status = RegEnumValueW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) continue;
    Check(status);
    status = RegDeleteValueW(key, name);
    if (status != ERROR_FILE_NOT_FOUND) Check(status);
  }
}

void SaveMain(HKEY root, const _SETTINGS_INFO& r) {
  WriteString(root, L"Portname", r.Portname);
  WriteDword(root, L"Model", r.Model);
  WriteDword(root, L"Speed", r.Speed);
  WriteDword(root, L"StopBits", r.StopBits);
  WriteBool(root, L"Wiegand", (r.Flags & RDF_WIEGAND) != 0);
  WriteBool(root, L"Binary", (r.Flags & RDF_BINARY) != 0);
  WriteBool(root, L"DifferentRK73", (r.Flags & RDF_DIFFERENT_CODES) != 0);
  WriteBool(root, L"Nvt", (r.Flags & RDF_NVT) != 0);
  WriteDword(root, L"FormatId", r.FormatId);
  WriteDword(root, L"LogLevel", r.LogLevel);
  if (r.LegacyNames) {
    RegDeleteValueW(root, L"Log");
    RegDeleteValueW(root, L"LogFlags");
  }
  WriteDword(root, L"LogMaxSize", r.LogMaxSize);
  WriteDword(root, L"ExternalEventFlags", r.ExternalEventFlags);
  WriteDword(root, L"ConnectTimeout", r.ConnectTimeout);
  WriteDword(root, L"ReqTimeout", r.ReqTimeout);
  WriteDword(root, L"ReqTries", r.ReqTries);
  WriteDword(root, L"ConnectPeriod", r.ConnectPeriod);
  WriteDword(root, L"RxPeriod", r.RxPeriod);
  WriteDword(root, L"Prefix", r.Prefix);
  WriteDword(root, L"Suffix", r.Suffix);
  WriteDword(root, L"SettingFlags", r.SettingFlags);
  WriteDword(root, L"SearchFlags", r.SearchFlags);
  WriteDword(root, L"FindIpTimeout", r.FindIpTimeout);
  WriteDword(root, L"FindIpTries", r.FindIpTries);
  WriteMultiString(root, L"AdditionalPorts", r.AdditionalPorts);
  RegDeleteValueW(root, L"FavoritePorts");
  WriteDword(root, L"KeyTypes", r.KeyTypes);
  WriteDword(root, L"IdentKeyDelay", r.IdentKeyDelay);
  WriteDword(root, L"DelayKeyTypes", r.DelayKeyTypes);

  {
    CRegKey sub = CreateForWrite(root, L"MifareC");
    WriteBool(sub.Get(), L"Enabled", r.MifareC.Enabled);
    WriteDword(sub.Get(), L"Flags", r.MifareC.Flags);
    WriteDword(sub.Get(), L"Mask", r.MifareC.Mask);
    UINT64 number = 0;
    size_t n = std::min<size_t>(r.MifareC.AuthKey.Length, 6);
    for (size_t i = 0; i < n; ++i) number |= UINT64(r.MifareC.AuthKey.Data[i]) << (8 * i);
    WriteQword(sub.Get(), L"AuthKey", number);
    WriteDword(sub.Get(), L"Sect", r.MifareC.Sect);
    WriteDword(sub.Get(), L"Block", r.MifareC.Block);
  }
  if (r.LegacyNames) RegDeleteKeyW(root, L"ReadMf");
  {
    CRegKey sub = CreateForWrite(root, L"MifareP");
    WriteBool(sub.Get(), L"Enabled", r.MifareP.Enabled);
    WriteDword(sub.Get(), L"Flags", r.MifareP.Flags);
    WriteDword(sub.Get(), L"Mask", r.MifareP.Mask);
    std::wstring hex;
    BytesToHexStr(r.MifareP.AuthKey.Data, std::min<size_t>(r.MifareP.AuthKey.Length, sizeof r.MifareP.AuthKey.Data),
                  hex);
    WriteString(sub.Get(), L"AuthKey", hex);
    WriteDword(sub.Get(), L"Sect", r.MifareP.Sect);
    WriteDword(sub.Get(), L"Block", r.MifareP.Block);
  }
  {
    CRegKey sub = CreateForWrite(root, L"MifareUL");
    WriteBool(sub.Get(), L"Enabled", r.MifareUL.Enabled);
    WriteDword(sub.Get(), L"Page", r.MifareUL.Page);
    WriteDword(sub.Get(), L"Count", r.MifareUL.Count);
  }
  if (r.LegacyNames) RegDeleteKeyW(root, L"ReadUL");
  {
    CRegKey sub = CreateForWrite(root, L"Temic");
    WriteBool(sub.Get(), L"Enabled", r.Temic.Enabled);
    WriteDword(sub.Get(), L"Flags", r.Temic.Flags);
    WriteString(sub.Get(), L"ScanParams", ScanParamsText(r.Temic.ScanParams));
    WriteDword(sub.Get(), L"Block", r.Temic.Block);
    WriteDword(sub.Get(), L"Count", r.Temic.Count);
    WriteDword(sub.Get(), L"Password", r.Temic.Password);
  }
  WriteBool(root, L"SoundEnabled", r.SoundEnabled);
  {
    CRegKey sub = CreateForWrite(root, L"SoundFileList");
    DeleteAllValues(sub.Get());
    for (size_t i = 0; i < SOUND_COUNT; ++i) {
      WriteString(sub.Get(), (L"Item" + std::to_wstring(i + 1)).c_str(), r.SoundFileList[i]);
    }
  }
}

void SaveLists(HKEY root, const _SETTINGS_INFO& r) {
  {
    CRegKey filters = CreateForWrite(root, L"KeyFilters");
    WriteDword(filters.Get(), L"NewId", r.KeyFilterNewId);
    WriteDword(filters.Get(), L"SortCol", r.KeyFilterSortCol);
    WriteDword(filters.Get(), L"DefaultFormatId", r.DefaultFormatId);
    DeleteSubkeys(filters.Get());
    DWORD position = 0;
    for (const _KEYFILTER_INFO& filter : r.KeyFilters) {
      CRegKey item = CreateForWrite(filters.Get(), (L"Item" + std::to_wstring(filter.Id)).c_str());
      WriteString(item.Get(), L"Name", filter.Name);
      WriteDword(item.Get(), L"KeyTypes", filter.KeyTypes);
      WriteDword(item.Get(), L"KeySize", filter.KeySize);
      WriteDword(item.Get(), L"FormatId", filter.FormatId);
      WriteDword(item.Get(), L"Order", ++position);
    }
  }
  CRegKey formats = CreateForWrite(root, L"Formats");
  WriteDword(formats.Get(), L"NewId", r.FormatNewId);
  DeleteSubkeys(formats.Get());
  for (const _FORMAT_INFO& format : r.Formats) {
    CRegKey item = CreateForWrite(formats.Get(), (L"Item" + std::to_wstring(format.Id)).c_str());
    WriteBool(item.Get(), L"Preset", (format.Flags & FORMAT_PRESET) != 0);
    WriteBool(item.Get(), L"SaveInVombra", (format.Flags & FORMAT_SAVE_IN_VOMBRA) != 0);
    WriteString(item.Get(), L"Name", format.Name);
    WriteString(item.Get(), L"Template", format.Template);
    WriteString(item.Get(), L"Params", format.Params);
    WriteString(item.Get(), L"Comment", format.Comment);
    WriteDword(item.Get(), L"KeyFilters", format.KeyFilters);
  }
}

void SavePorts(HKEY root, const _SETTINGS_INFO& r) {
  CRegKey ports = CreateForWrite(root, L"Ports");
  // An entry behind a converter ("COM4\5") lives in a nested key.
  DeleteSubkeys(ports.Get());
  for (const auto& entry : r.Ports) {
    // An empty port name would name the Ports key itself.
    if (entry.first.empty()) continue;
    CRegKey item = CreateForWrite(ports.Get(), entry.first.c_str());
    WriteString(item.Get(), L"DeviceId", entry.second.DeviceId);
  }
}

}  // namespace

bool RegReadString(HKEY key, const wchar_t* name, std::wstring& out) {
  out.resize(std::max(out.capacity(), kStringStartChars));
  DWORD type = 0;
  DWORD bytes = DWORD(out.size() * sizeof(wchar_t));
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out[0]), &bytes);
  while (status == ERROR_MORE_DATA) {
    out.resize(std::max(out.size() + kStringGrowChars, size_t(bytes) / sizeof(wchar_t) + 1));
    bytes = DWORD(out.size() * sizeof(wchar_t));
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out[0]), &bytes);
  }
  if (status == ERROR_FILE_NOT_FOUND) {
    out.clear();
    return false;
  }
  if (status != ERROR_SUCCESS) {
    out.clear();
    ThrowOSException(DWORD(status));
  }
  if (type != REG_SZ) {
    out.clear();
    return false;
  }
  // Only what the value holds: it may lack its NUL or end on half a character.
  out.resize(wcsnlen(out.c_str(), std::min<size_t>(bytes / sizeof(wchar_t), out.size())));
  return true;
}

bool RegReadDword(HKEY key, const wchar_t* name, DWORD* out) {
  DWORD type = 0, bytes = sizeof *out;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return false;
  Check(status);
  return type == REG_DWORD;
}

void RegLoadSettings(_SETTINGS_INFO& record, UINT parts) { RegLoadSettings(record, parts, SETTINGS_ROOTS()); }

void RegLoadSettings(_SETTINGS_INFO& record, UINT parts, const SETTINGS_ROOTS& roots) {
  CRegKey root;
  if (OpenForRead(roots.User, kSettingsKeyPath, root)) {
    record.Hive = 0;
  } else if (OpenForRead(roots.Machine, kSettingsKeyPath, root)) {
    record.Hive = 1;
  } else {
    return;
  }
  if (parts & SP_MAIN) LoadMain(root.Get(), record);
  if (parts & SP_LISTS) {
    LoadKeyFilters(root.Get(), record);
    LoadFormats(root.Get(), record);
  }
  if (parts & SP_PORTS) LoadPorts(root.Get(), record);
}

void RegSaveSettings(const _SETTINGS_INFO& record, UINT parts) { RegSaveSettings(record, parts, SETTINGS_ROOTS()); }

void RegSaveSettings(const _SETTINGS_INFO& record, UINT parts, const SETTINGS_ROOTS& roots) {
  HKEY hive = record.Hive ? roots.Machine : roots.User;
  HKEY other = record.Hive ? roots.User : roots.Machine;
  {
    CRegKey root = CreateForWrite(hive, kSettingsKeyPath);
    if (parts & SP_MAIN) SaveMain(root.Get(), record);
    if (parts & SP_LISTS) SaveLists(root.Get(), record);
    if (parts & SP_PORTS) SavePorts(root.Get(), record);
  }
  DeleteTree(other, kSettingsKeyPath);
  // Succeeds only when nothing else of the maker's is left there.
  RegDeleteKeyW(other, kMakerKeyPath);
}
