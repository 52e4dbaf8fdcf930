// Test helper of the add-in suites: values written into the fixed settings key, and a fixture that
// holds the registry test lock and keeps the key absent in both hives around each test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "SettingsKey.h"

constexpr wchar_t kVombraKey[] = L"Software\\Tarvelon\\Vombra";

inline void DeleteSettingsKeys() {
  CleanSettingsKeys::Remove(HKEY_CURRENT_USER);
  CleanSettingsKeys::Remove(HKEY_LOCAL_MACHINE);
}

inline bool SettingsKeyExists(HKEY hive) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(hive, kVombraKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Writes one value of any type and size into the settings key of a hive (creating the key).
inline void PutSettingsValue(HKEY hive, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(hive, kVombraKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

inline void PutSettingsDword(HKEY hive, const wchar_t* name, DWORD value) {
  PutSettingsValue(hive, name, REG_DWORD, &value, sizeof value);
}

inline void PutSettingsText(HKEY hive, const wchar_t* name, const std::wstring& text) {
  PutSettingsValue(hive, name, REG_SZ, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
}

// Holds the registry test lock and leaves both hives without the settings key.
class SettingsKeyTest : public ::testing::Test {
 protected:
  CleanSettingsKeys cleanKeys;
};
