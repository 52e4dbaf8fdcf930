#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "SettingsKey.h"

namespace {

const wchar_t kSettingsPath[] = L"Software\\Tarvelon\\Vombra";

bool LessIgnoringCase(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; }

std::wstring HexNumber(unsigned long long value, int digits) {
  wchar_t text[24];
  swprintf(text, 24, L"0x%0*llX", digits, value);
  return text;
}

std::wstring RenderString(const std::vector<BYTE>& data) {
  std::wstring text = L"\"";
  size_t chars = data.size() / 2;
  for (size_t i = 0; i < chars; ++i) {
    wchar_t c = wchar_t(data[2 * i] | data[2 * i + 1] << 8);
    if (c == L'\0') {
      text += L"\\0";
    } else if (c == L'\\' || c == L'"') {
      text += L'\\';
      text += c;
    } else {
      text += c;
    }
  }
  if (data.size() % 2) {
    wchar_t tail[8];
    swprintf(tail, 8, L"\\x%02X", data.back());
    text += tail;
  }
  return text + L"\"";
}

std::wstring RenderValue(DWORD type, const std::vector<BYTE>& data) {
  switch (type) {
    case REG_DWORD:
      if (data.size() == 4)
        return L"DWORD " + HexNumber(data[0] | data[1] << 8 | data[2] << 16 | DWORD(data[3]) << 24, 8);
      break;
    case REG_QWORD:
      if (data.size() == 8) {
        unsigned long long v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | data[i];
        return L"QWORD " + HexNumber(v, 16);
      }
      break;
    case REG_SZ:
      return L"SZ " + RenderString(data);
    case REG_MULTI_SZ:
      return L"MULTI_SZ " + RenderString(data);
    default:
      break;
  }
  std::wstring text = L"TYPE" + std::to_wstring(type) + L" [";
  for (size_t i = 0; i < data.size(); ++i) {
    wchar_t byte[4];
    swprintf(byte, 4, i ? L" %02X" : L"%02X", data[i]);
    text += byte;
  }
  return text + L"]";
}

void DumpKey(HKEY key, const std::wstring& path, std::wstring& out) {
  out += L"[" + path + L"]\n";
  std::vector<std::pair<std::wstring, std::wstring>> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameChars = 16384, type = 0, bytes = 0;
    if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(bytes);
    nameChars = 16384;
    RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data.data(), &bytes);
    data.resize(bytes);
    values.emplace_back(std::wstring(name, nameChars), RenderValue(type, data));
  }
  std::sort(values.begin(), values.end(),
            [](const auto& a, const auto& b) { return LessIgnoringCase(a.first, b.first); });
  for (const auto& v : values) out += v.first + L" = " + v.second + L"\n";

  std::vector<std::wstring> subkeys;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.emplace_back(name, chars);
  }
  std::sort(subkeys.begin(), subkeys.end(), LessIgnoringCase);
  for (const std::wstring& name : subkeys) {
    HKEY sub;
    if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
      out += L"[" + path + L"\\" + name + L"] <unreadable>\n";
      continue;
    }
    DumpKey(sub, path + L"\\" + name, out);
    RegCloseKey(sub);
  }
}

}  // namespace

CleanSettingsKeys::CleanSettingsKeys() {
  Remove(HKEY_CURRENT_USER);
  Remove(HKEY_LOCAL_MACHINE);
}

CleanSettingsKeys::~CleanSettingsKeys() {
  Remove(HKEY_CURRENT_USER);
  Remove(HKEY_LOCAL_MACHINE);
}

void CleanSettingsKeys::Remove(HKEY hive) {
  RegDeleteTreeW(hive, kSettingsPath);
  RegDeleteKeyW(hive, L"Software\\Tarvelon");
}

std::wstring DumpRegistryTree(HKEY root, const wchar_t* path) {
  HKEY key;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<absent>";
  std::wstring out;
  DumpKey(key, path, out);
  RegCloseKey(key);
  return out;
}
